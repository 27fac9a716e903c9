// The tray icon's popup menu, the switches and the ways Form1 ends.

#include "tests/launcher/forms/launcher_fixture.h"
#include "launcher/frmAbout.h"
#include "launcher/frmSettings.h"
#include "tests/support/files.h"

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QMenu>
#include <QSystemTrayIcon>

#include <algorithm>
#include <filesystem>

namespace launcher_test {
namespace {

class Form1MenuTest : public LauncherTest {
protected:
    void SetUp() override {
        installation.add_link_programs();
        installation.install();
        shared_ = UseSharedFolder();
        linux_path_ = "\"" + shared_ + "\"";
        ASSERT_TRUE(Load());
    }
    std::string shared_;
    std::string linux_path_;
};

TEST_F(Form1MenuTest, ThePopupMenuHasItsItemsInOrderAndOpensOnEveryIconEvent) {
    std::vector<std::string> items;
    for (QAction* action : form().mTest->actions())
        items.push_back(action->objectName().toStdString() + "=" +
                        (action->isSeparator() ? std::string("-") : action->text().toStdString()));
    EXPECT_EQ(items, (std::vector<std::string>{"mAbout=&About", "mSep1=-", "mSettings=&Settings", "mSep2=-",
                                               "mOskel=Run Vantrel", "mWifiControl=Enable WifiController", "mSep4=-",
                                               "mUSB=Enable &USB", "mWifi=Enable &WiFi", "mSep3=-", "mExit=&Exit"}));
    EXPECT_EQ(form().SysTray1->contextMenu(), nullptr) << "the menu opens from the icon's event only";
    for (int message : {WM_RBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}) {
        form().Form1_SysTray1_MouseEvent(message);
        EXPECT_TRUE(form().mTest->isVisible()) << message;
        form().mTest->hide();
    }
    emit form().SysTray1->activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(form().mTest->isVisible());
    SaveScreenshot(form().mTest, "tarnwick_popup_menu");
    form().mTest->hide();
}

TEST_F(Form1MenuTest, EachSwitchStartsAndStopsItsProgramAndTellsSo) {
    struct Case {
        QAction* Form1::*item;
        const char* on_caption;
        std::string on_command;
        const char* on_message;
        const char* off_caption;
        const char* off_command;
        const char* off_message;
        const char* program;
    } const cases[] = {
        {&Form1::mUSB, "Disable &USB", "files\\usbhostfs.exe " + linux_path_, "USB Mode enabled.", "Enable &USB",
         "files\\tskill usbhostfs", "USB Mode disabled.", "usbhostfs"},
        {&Form1::mWifi, "Disable &WiFi", "nethostfs.bat " + linux_path_, "WiFi Mode enabled.", "Enable &WiFi",
         "files\\tskill nethostfs", "WiFi Mode Disabled.", "nethostfs"},
        {&Form1::mWifiControl, "Disable WifiController", "files\\SocketTest.exe", "WifiController enabled",
         "Enable WifiController", "files\\tskill sockettest", "WifiController disabled.", "sockettest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        calls.clear();
        boxes.clear();
        installation.clear_log();
        QAction* item = form().*c.item;
        // One click: the command hidden, the caption, the box, the program's log line.
        auto click = [&](const std::string& command, const char* caption, const char* message, const char* program) {
            const size_t before = calls.size();
            item->trigger();
            ASSERT_EQ(calls.size(), before + 1);
            EXPECT_EQ(calls.back().command, command);
            EXPECT_EQ(calls.back().style, 0);
            EXPECT_EQ(item->text().toStdString(), caption);
            ASSERT_EQ(boxes.size(), before + 1);
            EXPECT_EQ(boxes.back().text, message);
            EXPECT_EQ(boxes.back().icon, MsgBoxIcon::Information);
            EXPECT_EQ(boxes.back().title, "Tarnwick");
            const std::vector<LogLine> log = installation.wait_for_log(calls.size());
            ASSERT_EQ(log.size(), calls.size());
            EXPECT_EQ(log.back().program, program);
            EXPECT_EQ(log.back().show_window, "0");
        };
        click(c.on_command, c.on_caption, c.on_message, c.program);
        click(c.off_command, c.off_caption, c.off_message, "tskill");
        const std::vector<LogLine> stopped = installation.log();
        ASSERT_EQ(stopped.size(), 2u);
        EXPECT_EQ(stopped[1].arguments, std::vector<std::string>{c.program});
    }
    EXPECT_EQ(ends, 0);
}

TEST_F(Form1MenuTest, AMissingProgramShowsTheCriticalBoxAndKeepsTheCaption) {
    std::filesystem::remove(installation.files() + "/usbhostfs");
    std::filesystem::remove(installation.files() + "/sockettest");
    // A folder in the batch file's place: the batch file cannot be written.
    std::filesystem::create_directories(installation.prefix() + "/nethostfs.bat/x");
    form().mUSB->trigger();
    form().mWifiControl->trigger();
    form().mWifi->trigger();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, "File not found: files/usbhostfs.exe");
    EXPECT_EQ(boxes[1].text, "File not found: files/SocketTest.exe");
    EXPECT_NE(boxes[2].text.find("nethostfs.bat"), std::string::npos);
    for (const ShownBox& box : boxes) EXPECT_EQ(box.icon, MsgBoxIcon::Critical);
    EXPECT_EQ(Commands().size(), 2u) << "nethostfs is not started without its batch file";
    EXPECT_EQ(form().mUSB->text().toStdString(), "Enable &USB");
    EXPECT_EQ(form().mWifiControl->text().toStdString(), "Enable WifiController");
    EXPECT_EQ(form().mWifi->text().toStdString(), "Enable &WiFi");
    EXPECT_EQ(ends, 0) << "the switches handle their own failures";
}

TEST_F(Form1MenuTest, RunVantrelStartsTheServerInANormalWindowEveryTime) {
    form().mOskel->trigger();
    form().mOskel->trigger();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].command, "files\\vantrel.exe");
    EXPECT_EQ(calls[0].style, 1);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(form().mOskel->text().toStdString(), "Run Vantrel");
    const std::vector<LogLine> log = installation.wait_for_log(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].program, "vantrel");
    EXPECT_EQ(log[0].show_window, "1");
}

// Ending because of a run-time error leaves no program running without the launcher.
TEST_F(Form1MenuTest, AnUnhandledFailureStopsEverythingBeforeTheEnd) {
    std::filesystem::remove(installation.files() + "/vantrel");
    form().mOskel->trigger();
    ExpectUnhandledEnd("files\\vantrel.exe", "File not found: files/vantrel.exe");
    EXPECT_FALSE(form().SysTray1->isVisible());
}

TEST_F(Form1MenuTest, ExitWithNothingStartedRunsTheFourStopsInOrder) {
    EXPECT_TRUE(form().SysTray1->isVisible());
    form().mExit->trigger();
    EXPECT_EQ(Commands(), StopCommands());
    for (const ShellCall& call : calls) EXPECT_EQ(call.style, 0);
    EXPECT_FALSE(form().SysTray1->isVisible());
    EXPECT_EQ(ends, 1);
    std::vector<std::string> killed;
    for (const LogLine& line : installation.wait_for_log(4)) {
        EXPECT_EQ(line.program, "tskill");
        killed.push_back(line.arguments.at(0));
    }
    std::sort(killed.begin(), killed.end());
    EXPECT_EQ(killed, (std::vector<std::string>{"nethostfs", "sockettest", "usbhostfs", "vantrel"}));
}

TEST_F(Form1MenuTest, TheSessionsEndUnloadsAndTerminates) {
    launcher().EndSession();
    std::vector<std::string> expected = StopCommands();
    for (const std::string& stop : StopCommands()) expected.push_back(stop);
    EXPECT_EQ(Commands(), expected);
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(form().SysTray1->isVisible());
}

TEST_F(Form1MenuTest, TheFormsOpenOnceEach) {
    form().mSettings->trigger();
    frmSettings* settings = launcher().settings();
    form().mSettings->trigger();
    EXPECT_EQ(launcher().settings(), settings);
    EXPECT_TRUE(settings->isVisible());
    form().mAbout->trigger();
    frmAbout* about = launcher().about();
    form().mAbout->trigger();
    EXPECT_EQ(launcher().about(), about);
    int top_levels = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && (widget->objectName() == "frmSettings" || widget->objectName() == "frmAbout"))
            ++top_levels;
    EXPECT_EQ(top_levels, 2);
}

TEST_F(Form1MenuTest, Command1WritesTheBatchFileAndStartsNothing) {
    std::filesystem::remove(installation.prefix() + "/nethostfs.bat");
    form().Command1->click();
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(test_support::read_text(installation.prefix() + "/nethostfs.bat"),
              "/:\r\ncd \"" + shared_ + "\"\r\n\"" + installation.prefix() + "/files/nethostfs.exe\"\r\n");
}

}  // namespace
}  // namespace launcher_test
