// The launcher's windows as the user sees them: the forms' frames and sizes,
// and the real folder dialog.

#include "launcher/BrowseFolders.h"
#include "launcher/frmAbout.h"
#include "launcher/frmSettings.h"
#include "tests/launcher/forms/launcher_fixture.h"

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace launcher_test {
namespace {

const char PROMPT[] = "Select the folder to use as the root of your virtual Memory Stick.";

class FormWindowsTest : public LauncherTest {
protected:
    void SetUp() override {
        installation.install();
        ASSERT_TRUE(Load());
    }
};

// Every child control lies inside the window, and a wrapped label has the
// height its text needs at its width.
void ExpectNothingCutOff(QWidget* window) {
    const QRect inside = window->rect();
    for (QWidget* child : window->findChildren<QWidget*>()) {
        if (!child->isVisible()) continue;
        const QRect at(child->mapTo(window, QPoint(0, 0)), child->size());
        EXPECT_TRUE(inside.contains(at)) << child->objectName().toStdString();
        auto* label = qobject_cast<QLabel*>(child);
        if (label && label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->objectName().toStdString();
        }
    }
}

// Settings and About are fixed windows like the main one: a minimise and a
// close box, no maximise box, one size that shows every control.
TEST_F(FormWindowsTest, SettingsAndAboutHaveAFixedSizeAndNoMaximiseBox) {
    struct Case {
        const char* name;
        std::function<QWidget*()> open;
    } const cases[] = {
        {"tarnwick_settings_fixed", [this]() -> QWidget* { form().mSettings->trigger(); return launcher().settings(); }},
        {"tarnwick_about_fixed", [this]() -> QWidget* { form().mAbout->trigger(); return launcher().about(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget* window = c.open();
        ASSERT_NE(window, nullptr);
        const Qt::WindowFlags flags = window->windowFlags();
        EXPECT_EQ(window->windowType(), Qt::Window);
        EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
        EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
        EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
        EXPECT_EQ(window->minimumSize(), window->maximumSize());
        EXPECT_EQ(window->size(), window->minimumSize());
        ExpectNothingCutOff(window);
        SaveScreenshot(window, c.name);
        window->close();
        ProcessDeletes();
    }
}

// Acts on the folder dialog once it is up (the dialog runs its own event loop).
class FolderDialogUser {
public:
    explicit FolderDialogUser(std::function<void(QWidget*)> act) : act_(std::move(act)) { Look(); }
    bool acted() const { return acted_; }

private:
    static constexpr int LOOKS = 500;
    void Look() {
        QTimer::singleShot(10, [this] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                acted_ = true;
                act_(dialog);
            } else if (++looks_ < LOOKS) {
                Look();
            }
        });
    }
    std::function<void(QWidget*)> act_;
    int looks_ = 0;
    bool acted_ = false;
};

QLabel* PromptLabel(QWidget* dialog) {
    for (QLabel* label : dialog->findChildren<QLabel*>())
        if (label->text() == QString(PROMPT)) return label;
    return nullptr;
}

void Press(QWidget* dialog, QDialogButtonBox::StandardButton which) {
    for (QDialogButtonBox* box : dialog->findChildren<QDialogButtonBox*>())
        if (QPushButton* button = box->button(which)) {
            button->click();
            return;
        }
    ADD_FAILURE() << "no such button";
    dialog->close();
}

// The prompt stands whole inside the dialog, not in its title bar; the folder
// typed or picked there is the result, blanks at its ends included.
TEST_F(FormWindowsTest, TheFolderDialogShowsItsPromptInsideAndGivesTheChosenFolder) {
    const std::string folders[] = {installation.make_folder("chosen"), installation.make_folder("ends in blank ")};
    for (const std::string& folder : folders) {
        SCOPED_TRACE(folder);
        std::string title;
        bool prompt_shown = false;
        FolderDialogUser user([&](QWidget* dialog) {
            title = dialog->windowTitle().toStdString();
            QLabel* prompt = PromptLabel(dialog);
            prompt_shown = prompt && prompt->isVisible() && prompt->width() >= prompt->minimumSizeHint().width() &&
                           prompt->height() >= prompt->heightForWidth(prompt->width());
            if (prompt) ExpectNothingCutOff(dialog);
            SaveScreenshot(dialog, "tarnwick_browse_for_folder");
            if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit")) name->setText(QString::fromStdString(folder));
            Press(dialog, QDialogButtonBox::Open);
        });
        const std::string chosen = BrowseForFolder(nullptr, PROMPT);
        ASSERT_TRUE(user.acted());
        EXPECT_TRUE(prompt_shown);
        EXPECT_EQ(title.find("Select the folder"), std::string::npos) << title;
        EXPECT_EQ(chosen, folder);
    }
    FolderDialogUser canceller([](QWidget* dialog) { Press(dialog, QDialogButtonBox::Cancel); });
    EXPECT_EQ(BrowseForFolder(nullptr, PROMPT), "");
    EXPECT_TRUE(canceller.acted());
}

}  // namespace
}  // namespace launcher_test
