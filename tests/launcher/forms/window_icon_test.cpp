// The launcher's windows carry its Memory Stick as their window icon, in the
// title bar and the task bar, as the server's window carries its own.

#include "launcher/TarnwickIcon.h"
#include "launcher/frmAbout.h"
#include "launcher/frmSettings.h"
#include "tests/launcher/forms/launcher_fixture.h"

#include <QAction>
#include <QImage>
#include <QPainter>
#include <QPixmap>

#include <filesystem>
#include <functional>

namespace launcher_test {
namespace {

class WindowIconTest : public LauncherTest {
protected:
    void SetUp() override {
        installation.install();
        ASSERT_TRUE(Load());
    }
};

QImage At(const QIcon& icon, int size) {
    return icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
}

// The window's icon beside the launcher's at the title bar's and the task
// bar's sizes, for the eye.
void SaveIconPicture(const QIcon& icon, const std::string& name) {
    QPixmap picture(16 + 32 + 48 + 40, 48 + 8);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    int x = 4;
    for (int size : {16, 32, 48}) {
        painter.drawPixmap(x, 4, icon.pixmap(size, size));
        x += size + 12;
    }
    painter.end();
    std::filesystem::create_directories(SCREENSHOT_DIR);
    picture.save(QString::fromStdString(std::string(SCREENSHOT_DIR) + "/" + name + ".png"));
}

TEST_F(WindowIconTest, SettingsAndAboutShowTheLaunchersIcon) {
    struct Case {
        const char* name;
        std::function<QWidget*()> open;
    } const cases[] = {
        {"tarnwick_settings_window_icon", [this]() -> QWidget* { form().mSettings->trigger(); return launcher().settings(); }},
        {"tarnwick_about_window_icon", [this]() -> QWidget* { form().mAbout->trigger(); return launcher().about(); }},
    };
    const QIcon launcherIcon = TarnwickIcon(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QWidget* window = c.open();
        ASSERT_NE(window, nullptr);
        const QIcon icon = window->windowIcon();
        ASSERT_FALSE(icon.isNull());
        for (int size : {16, 32, 48}) EXPECT_EQ(At(icon, size), At(launcherIcon, size)) << size << " pixels";
        SaveIconPicture(icon, c.name);
        window->close();
        ProcessDeletes();
    }
}

}  // namespace
}  // namespace launcher_test
