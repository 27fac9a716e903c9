// The About box, the tray icon object on its own and the program's message boxes.

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <thread>

#include "app/about_dlg.h"
#include "app/resource_ids.h"
#include "app/system_tray.h"
#include "app/ui_message_box.h"
#include "platform/message_box.h"
#include "tests/app/dialog_fixture.h"
#include "tests/support/temp_dir.h"

// Takes the addresses QDesktopServices would give to a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    std::vector<QString> opened;
public slots:
    void open(const QUrl& url) { opened.push_back(url.toString()); }
};

namespace {

using gui_test::WaitUntil;

TEST(AboutDlg, ShowsThePleaReadOnlyWithItsEmptySecondLine) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "About Vantrel");
    auto* text = about.findChild<QPlainTextEdit*>("IDC_ABOUT_TEXT");
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->isReadOnly());
    const QStringList lines = text->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[1].isEmpty());
    EXPECT_FALSE(lines[2].isEmpty());
    EXPECT_EQ(about.m_strDonateText.find("\r\n\r\n"), about.m_strDonateText.find("\r\n"));
    QStringList labels;
    for (QLabel* label : about.findChildren<QLabel*>()) labels << label->text();
    EXPECT_TRUE(labels.contains("Vantrel Version 0.65"));
    EXPECT_TRUE(labels.contains("SPECIAL THANKS TO"));
    auto* button = about.findChild<QPushButton*>("IDC_DONATE");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QString("Go To ") + PROJECT_WEB_PAGE);
    about.show();
    for (QWidget* child : about.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(about.rect().contains(child->geometry())) << child->objectName().toStdString();
    }
    gui_test::SaveScreenshot(&about, "about_box");
}

TEST(AboutDlg, WebButtonOpensThePageAndTheBoxStaysOpen) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    CAboutDlg about;
    about.show();
    QTest::mouseClick(about.findChild<QPushButton*>("IDC_DONATE"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("https");
    EXPECT_EQ(catcher.opened, std::vector<QString>{PROJECT_WEB_PAGE});
    EXPECT_TRUE(about.isVisible());
}

// Enter on the focused button is its click, as in the main dialog; on the
// text it does nothing, and the box never ends by Enter.
TEST(AboutDlg, EnterOnTheFocusedGoToButtonClicksIt) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    CAboutDlg about;
    about.show();
    about.activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return about.isActiveWindow(); }));
    auto* button = about.findChild<QPushButton*>("IDC_DONATE");
    auto* text = about.findChild<QPlainTextEdit*>("IDC_ABOUT_TEXT");
    EXPECT_EQ(QApplication::focusWidget(), button);  // first in the template
    bool finished = false;
    QObject::connect(&about, &QDialog::finished, [&] { finished = true; });
    const struct {
        const char* name;
        Qt::Key key;
        QWidget* focus;
        size_t opened;  // pages opened so far
    } cases[] = {
        {"Return on the button", Qt::Key_Return, button, 1},
        {"keypad Enter on the button", Qt::Key_Enter, button, 2},
        {"Return on the text", Qt::Key_Return, text, 2},
        {"keypad Enter on the text", Qt::Key_Enter, text, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.focus->setFocus();
        QTest::keyClick(c.focus, c.key);
        EXPECT_EQ(catcher.opened.size(), c.opened);
        EXPECT_TRUE(about.isVisible());
        EXPECT_FALSE(finished);
    }
    QDesktopServices::unsetUrlHandler("https");
}

// Menu commands reach this window instead of the dialog.
class RecordingWindow : public CMainWindowTarget {
public:
    void SendCommand(unsigned commandId) override { commands.push_back(commandId); }
    void SetForegroundWindow() override { ++raised; }
    std::vector<unsigned> commands;
    int raised = 0;
};

TEST(SystemTray, NoNotificationAreaAddsNoIcon) {
    CSystemTray::SetTrayAvailableForTest([] { return false; });
    CSystemTray tray;
    EXPECT_FALSE(tray.CreateTrayIcon(nullptr, 0xC000, "Vantrel", QIcon(), IDR_TRAY_MENU));
    EXPECT_FALSE(tray.m_bIconAdded);
    CSystemTray::SetTrayAvailableForTest(nullptr);
}

TEST(SystemTray, ActivationReasonsBecomeMouseEvents) {
    EXPECT_EQ(CSystemTray::EventForActivation(QSystemTrayIcon::Context), WM_RBUTTONUP);
    EXPECT_EQ(CSystemTray::EventForActivation(QSystemTrayIcon::DoubleClick), WM_LBUTTONDBLCLK);
    EXPECT_EQ(CSystemTray::EventForActivation(QSystemTrayIcon::Trigger), WM_LBUTTONUP);
    EXPECT_EQ(CSystemTray::EventForActivation(QSystemTrayIcon::MiddleClick), WM_MBUTTONUP);
}

TEST(SystemTray, MenuCommandsAndTheDefaultItemByPosition) {
    CSystemTray::SetTrayAvailableForTest([] { return true; });
    RecordingWindow window;
    AfxSetMainWnd(&window);
    CSystemTray tray;
    ASSERT_TRUE(tray.CreateTrayIcon(nullptr, 0xC000, "Vantrel", QIcon(), IDR_TRAY_MENU));
    EXPECT_EQ(tray.m_strTip, "Vantrel");
    const char* choose = "Exit";
    CSystemTray::SetMenuTrackerForTest([&](QMenu& popup, const QPoint&) -> QAction* {
        for (QAction* item : popup.actions()) {
            if (item->text() == choose) return item;
        }
        return nullptr;
    });
    EXPECT_EQ(tray.OnTrayNotify(IDR_TRAY_MENU, WM_RBUTTONUP), 1);
    choose = "Vantrel";
    EXPECT_EQ(tray.OnTrayNotify(IDR_TRAY_MENU, WM_RBUTTONUP), 1);
    choose = "nothing";
    EXPECT_EQ(tray.OnTrayNotify(IDR_TRAY_MENU, WM_RBUTTONUP), 1);
    EXPECT_EQ(tray.OnTrayNotify(IDR_TRAY_MENU, WM_LBUTTONDBLCLK), 1);
    // The high word of the event is not looked at.
    EXPECT_EQ(tray.OnTrayNotify(IDR_TRAY_MENU, 0x10000 | WM_LBUTTONDBLCLK), 1);
    EXPECT_EQ(window.commands, (std::vector<unsigned>{ID_TRAY_EXIT, ID_TRAY_RESTORE, ID_TRAY_RESTORE,
                                                      ID_TRAY_RESTORE}));
    EXPECT_EQ(window.raised, 5);
    // A second item by position, then a default given as a command id.
    tray.m_nDefaultItem = 1;
    EXPECT_EQ(tray.OnTrayNotify(IDR_TRAY_MENU, WM_LBUTTONDBLCLK), 1);
    tray.m_bDefaultItemByPosition = false;
    tray.m_nDefaultItem = ID_TRAY_RESTORE;
    EXPECT_EQ(tray.OnTrayNotify(IDR_TRAY_MENU, WM_LBUTTONDBLCLK), 1);
    EXPECT_EQ(window.commands.back(), ID_TRAY_RESTORE);
    EXPECT_EQ(window.commands.at(window.commands.size() - 2), ID_TRAY_EXIT);
    CSystemTray::SetMenuTrackerForTest(nullptr);
    CSystemTray::SetTrayAvailableForTest(nullptr);
    AfxSetMainWnd(nullptr);
}

TEST(SystemTray, MenuResourceAndPicture) {
    EXPECT_EQ(CSystemTray::LoadMenu(5), nullptr);
    std::unique_ptr<QMenu> popup = CSystemTray::LoadMenu(IDR_TRAY_MENU);
    ASSERT_NE(popup, nullptr);
    ASSERT_EQ(popup->actions().size(), 2);
    EXPECT_EQ(popup->actions()[0]->data().toUInt(), ID_TRAY_RESTORE);
    EXPECT_EQ(popup->actions()[1]->data().toUInt(), ID_TRAY_EXIT);
    popup->setDefaultAction(popup->actions()[0]);
    popup->adjustSize();
    gui_test::SaveScreenshot(popup.get(), "tray_menu");
}

TEST(SystemTray, AnimationFramesWrapAndNeedAnIcon) {
    CSystemTray tray;
    EXPECT_FALSE(tray.AdvanceIconFrame());  // no frames
    tray.m_animationIcons = {QIcon(), QIcon(), QIcon()};
    EXPECT_FALSE(tray.AdvanceIconFrame());  // frame moves, but no icon was added
    EXPECT_EQ(tray.m_nIconFrame, 1);
    tray.AdvanceIconFrame();
    tray.AdvanceIconFrame();
    EXPECT_EQ(tray.m_nIconFrame, 0);
    EXPECT_FALSE(tray.StopIconAnimation());  // no timer
}

TEST(UiMessageBoxes, StderrLineWritesEveryLineBreakAsBackslashN) {
    const struct {
        const char* text;
        const char* line;
    } cases[] = {
        {"Illegal audio bit rate", "Vantrel: Illegal audio bit rate"},
        {"a\r\nb\nc\rd", "Vantrel: a\\nb\\nc\\nd"},
        {"end\n", "Vantrel: end\\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(CUiMessageBoxes::StderrLine(c.text, "Vantrel"), c.line);
}

TEST(UiMessageBoxes, AWorkersBoxShowsOnTheUiThreadAndTheWorkerWaitsForIt) {
    std::vector<std::pair<std::string, QThread*>> shown;
    CUiMessageBoxes boxes([&](const std::string& text, const std::string&, QWidget*) {
        shown.emplace_back(text, QThread::currentThread());
    });
    std::atomic<bool> returned{false};
    testing::internal::CaptureStderr();
    std::thread worker([&] {
        platform::MessageBox("Could not start server, port already taken?", "Vantrel");
        returned = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }));
    worker.join();
    const std::string written = testing::internal::GetCapturedStderr();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].second, QApplication::instance()->thread());
    EXPECT_NE(written.find("Vantrel: Could not start server, port already taken?\n"), std::string::npos);
}

TEST(UiMessageBoxes, ReleasingLetsAWaitingWorkerGoOnWithoutItsBox) {
    int shown = 0;
    CUiMessageBoxes boxes([&](const std::string&, const std::string&, QWidget*) { ++shown; });
    std::atomic<bool> returned{false};
    testing::internal::CaptureStderr();
    // The UI thread does not take events here: only the release frees the worker.
    std::thread worker([&] {
        platform::MessageBox("text", "Error");
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    CUiMessageBoxes::ReleaseCurrentWaiters();
    worker.join();
    testing::internal::GetCapturedStderr();
    QApplication::processEvents();
    EXPECT_EQ(shown, 0);
}

// The box a user sees: caption, the text with its line breaks, one OK that ends
// it, owned by the window that raised it.
TEST(UiMessageBoxes, TheRealBoxShowsCaptionTextAndOneOk) {
    QWidget owner;
    owner.show();
    std::string seenTitle, seenText;
    QWidget* seenParent = nullptr;
    int buttons = -1;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr) << "no modal box";
        seenTitle = box->windowTitle().toStdString();
        seenText = box->text().toStdString();
        seenParent = box->parentWidget();
        buttons = static_cast<int>(box->buttons().size());
        gui_test::SaveScreenshot(box, "message_box");
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        ASSERT_NE(ok, nullptr);
        ok->click();
    });
    CUiMessageBoxes::ShowQtBox("Error while opening codec for output stream #0.0 - maybe incorrect parameters "
                               "such as bit_rate, rate, width or height\r\nsecond line",
                               "Error", &owner);
    EXPECT_EQ(seenTitle, "Error");
    EXPECT_EQ(seenText, "Error while opening codec for output stream #0.0 - maybe incorrect parameters such as "
                        "bit_rate, rate, width or height\nsecond line");
    EXPECT_EQ(seenParent, &owner);
    EXPECT_EQ(buttons, 1);
}

// Texts come from feeds and file names: whatever looks like markup is shown as
// typed, and no file it names is loaded (the picture would make the text 400 high).
TEST(UiMessageBoxes, AMessageThatLooksLikeMarkupIsShownAsPlainText) {
    test_support::TempDir folder("vantrel-box");
    const std::string picture = folder.file("big.png");
    ASSERT_TRUE(QImage(400, 400, QImage::Format_RGB32).save(QString::fromStdString(picture), "PNG"));
    const std::string text = "Error while downloading \"http://x/<img src=\"" + picture + "\">.mp3\" : HTTP status 404";
    int labelHeight = -1;
    QString shownText;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr) << "no modal box";
        const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        ASSERT_NE(label, nullptr);
        labelHeight = label->sizeHint().height();
        shownText = label->text();
        gui_test::SaveScreenshot(box, "message_box_markup");
        box->button(QMessageBox::Ok)->click();
    });
    CUiMessageBoxes::ShowQtBox(text, "Error", nullptr);
    EXPECT_EQ(shownText.toStdString(), text);
    EXPECT_GT(labelHeight, 0);
    EXPECT_LT(labelHeight, 400);
}

}  // namespace

#include "about_tray_boxes_test.moc"
