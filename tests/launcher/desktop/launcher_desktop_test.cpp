// The launcher as installed, under a real window manager: its own X server
// (Xvfb), jwm with a notification area, the real tarnwick program in a
// temporary installation with stand-in link programs that log their arguments
// and working folder. The test works the tray icon and the menu as a user does
// (XTEST) and looks at the windows as jwm manages them. Skipped only where
// Xvfb or jwm is not installed (scripts/setup.sh installs both).

#include "launcher/basRegistry.h"
#include "tests/app/child_program.h"
#include "tests/app/x11_desktop.h"
#include "tests/launcher/support/stand_ins.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QString>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using gui_test::ScreenRect;
using gui_test::WaitFor;
using gui_test::X11Desktop;
using launcher_test::LogLine;

const char CLASS_NAME[] = "tarnwick";
// Clicks on the icon before a test gives up (a busy machine may lose one).
constexpr int ATTEMPTS = 3;

class LauncherDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string missing = X11Desktop::Missing();
        if (!missing.empty()) GTEST_SKIP() << "no X desktop for this test: " << missing << " not installed";
        desktop_ = std::make_unique<X11Desktop>(installation_.make_folder("desktop"), true);
        ASSERT_TRUE(desktop_->Started()) << desktop_->Error();
        // Laid out as scripts/install.sh lays it out, with stand-ins for the link programs.
        std::filesystem::copy_file(TARNWICK_PROGRAM, installation_.prefix() + "/tarnwick");
        installation_.add_link_programs();
        installation_.install();
    }

    void TearDown() override {
        program_.Kill();
        desktop_.reset();
    }

    void StartLauncher() {
        gui_test::ChildProgram::Options options;
        options.argv = {installation_.prefix() + "/tarnwick"};
        options.environment = {"DISPLAY=" + desktop_->DisplayName(), "QT_QPA_PLATFORM=xcb"};
        options.errorLog = log_;
        ASSERT_TRUE(program_.Start(options)) << program_.Error();
    }

    X11Desktop::Window WaitForShownWindow(const std::string& title, std::chrono::milliseconds timeout = 10s) {
        X11Desktop::Window window = 0;
        const bool shown = WaitFor([&] {
            window = desktop_->ManagedWindow(title);
            return window != 0 && desktop_->IsOnScreen(window) && desktop_->WmState(window) == 1;
        }, timeout);
        return shown ? window : 0;
    }

    // Clicks the tray icon, which opens the menu, and types the item's
    // mnemonic until done() holds.
    bool ChooseFromTheMenu(const char* key, const std::function<bool()>& done) {
        for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
            const X11Desktop::Window icon = desktop_->TrayIcon(CLASS_NAME);
            if (icon == 0) return false;
            const ScreenRect at = desktop_->Geometry(icon);
            desktop_->Click(at.x + at.width / 2, at.y + at.height / 2);
            // The menu on the screen and painted; a key that is lost still is tried again.
            WaitFor([&] {
                const X11Desktop::Window menu = desktop_->PopupMenu(CLASS_NAME);
                return menu != 0 && desktop_->Drawn(menu);
            }, 3s);
            desktop_->PressKey(key);
            if (WaitFor(done, 3s)) return true;
            desktop_->PressKey("Escape");
        }
        return false;
    }

    // The screen once the window is painted.
    void SavePicture(const std::string& name, X11Desktop::Window window) {
        gui_test::ScreenPicture picture;
        EXPECT_TRUE(WaitFor([&] { return desktop_->Drawn(window, &picture); }, 10s)) << name << " undrawn";
        ASSERT_GT(picture.width, 0);
        const QImage image(reinterpret_cast<const uchar*>(picture.pixels.data()), picture.width, picture.height,
                           QImage::Format_RGB32);
        std::filesystem::create_directories(SCREENSHOT_DIR);
        EXPECT_TRUE(image.save(QString::fromStdString(std::string(SCREENSHOT_DIR) + "/" + name + ".png"), "PNG"));
    }

    std::string Log() { return test_support::read_text(log_); }

    // The stand-ins' log once the four stops are in it: program and first argument, sorted.
    std::vector<std::string> StartedPrograms() {
        std::vector<std::string> programs;
        for (const LogLine& line : installation_.wait_for_log(Stops().size()))
            programs.push_back(line.program + " " + (line.arguments.empty() ? "" : line.arguments[0]));
        std::sort(programs.begin(), programs.end());
        return programs;
    }
    static std::vector<std::string> Stops() {
        return {"tskill nethostfs", "tskill sockettest", "tskill usbhostfs", "tskill vantrel"};
    }

    launcher_test::TestInstallation installation_;
    std::string log_ = installation_.make_folder("logs") + "/stderr.txt";
    std::unique_ptr<X11Desktop> desktop_;
    gui_test::ChildProgram program_;
};

// A shared folder that is gone, with USB and Wi-Fi on: the box says so, the
// icon comes up, and Settings and About open from its menu as fixed windows.
// Exit stops every program.
TEST_F(LauncherDesktopTest, WithItsFolderGoneTheLauncherComesUpAndItsFormsOpenFromTheTray) {
    const std::string gone = installation_.make_folder("gone share");
    std::filesystem::remove(gone);
    installation_.write_own_key("\"USB\"=dword:00000001\n\"Wifi\"=dword:00000001\n\"RunCount\"=dword:00000001\n"
                                "\"VirtualHost\"=\"" + gone + "\"\n");
    ASSERT_NO_FATAL_FAILURE(StartLauncher());

    const X11Desktop::Window box = WaitForShownWindow("Tarnwick");
    ASSERT_NE(box, 0u) << Log();
    EXPECT_NE(Log().find("Tarnwick: Path not found: " + gone), std::string::npos) << Log();
    SavePicture("tarnwick_desktop_folder_gone", box);
    desktop_->PressKey("Return");
    ASSERT_TRUE(WaitFor([&] { return desktop_->TrayIcon(CLASS_NAME) != 0; }, 10s)) << Log();
    EXPECT_TRUE(program_.Running());

    X11Desktop::Window settings = 0;
    ASSERT_TRUE(ChooseFromTheMenu("s", [&] { return (settings = WaitForShownWindow("Tarnwick Settings", 0s)) != 0; }))
        << Log();
    EXPECT_EQ(desktop_->FixedWindowFaults(settings), std::vector<std::string>{});
    SavePicture("tarnwick_desktop_settings", settings);

    // From the folder box to Browse, and the folder dialog with its prompt inside.
    desktop_->PressKey("Tab");
    desktop_->PressKey("space");
    const X11Desktop::Window browse = WaitForShownWindow("Browse for Folder");
    ASSERT_NE(browse, 0u) << Log();
    SavePicture("tarnwick_desktop_browse_for_folder", browse);
    // Cancelled: the folder is applied again, and it is still gone.
    desktop_->PressKey("Escape");
    ASSERT_TRUE(WaitFor([&] { return desktop_->ManagedWindow("Browse for Folder") == 0; }));
    ASSERT_NE(WaitForShownWindow("Tarnwick"), 0u) << Log();
    desktop_->PressKey("Return");
    ASSERT_TRUE(WaitFor([&] { return desktop_->TrayIcon(CLASS_NAME) != 0; }, 10s)) << Log();
    EXPECT_EQ(StartedPrograms(), Stops()) << "the reload stops all; no server is started on a folder that is gone";
    installation_.clear_log();

    X11Desktop::Window about = 0;
    ASSERT_TRUE(ChooseFromTheMenu("a", [&] { return (about = WaitForShownWindow("About Tarnwick", 0s)) != 0; }))
        << Log();
    EXPECT_EQ(desktop_->FixedWindowFaults(about), std::vector<std::string>{});
    SavePicture("tarnwick_desktop_about", about);

    ASSERT_TRUE(ChooseFromTheMenu("e", [&] { return !program_.Running() || program_.WaitForExit(0ms) != -2; }))
        << Log();
    EXPECT_EQ(StartedPrograms(), Stops());
}

}  // namespace
