// The vantrel program under a real window manager: its own X server (Xvfb) on
// a free display, jwm on it, and the program itself with Qt's X11 platform.
// The test looks at the window as jwm manages it and works it with the pointer
// and keyboard (XTEST) as a user does: the title bar's boxes, a drag, the
// notification-area icon. Skipped only where Xvfb or jwm is not installed
// (scripts/setup.sh installs both).

#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/tcp.h"
#include "tests/app/child_program.h"
#include "tests/app/x11_desktop.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace gui_test {

std::ostream& operator<<(std::ostream& out, const ScreenRect& rect) {
    return out << rect.width << "x" << rect.height << "+" << rect.x << "+" << rect.y;
}

}  // namespace gui_test

namespace {

using namespace std::chrono_literals;
using gui_test::ScreenRect;
using gui_test::WaitFor;
using gui_test::X11Desktop;

const char TITLE[] = "Vantrel 0.65";
const char CLASS_NAME[] = "vantrel";
// The size of the desktop's screen (x11_desktop.cpp).
constexpr int SCREEN_WIDTH = 1024;
constexpr int SCREEN_HEIGHT = 768;
// Clicks per action before a test gives up.
constexpr int ATTEMPTS = 3;

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

class WindowManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string missing = X11Desktop::Missing();
        if (!missing.empty()) GTEST_SKIP() << "no X desktop for this test: " << missing << " not installed";
    }

    void TearDown() override {
        program_.Kill();
        desktop_.reset();
    }

    void StartDesktop(bool withNotificationArea) {
        desktop_ = std::make_unique<X11Desktop>(folder_.path(), withNotificationArea);
        ASSERT_TRUE(desktop_->Started()) << desktop_->Error();
    }

    // The real program beside its own INI file, on the desktop's display.
    void StartProgram(int showCommand) {
        const std::string program = folder_.file("vantrel");
        std::filesystem::copy_file(VANTREL_PROGRAM, program);
        platform::ListenResult probe = platform::listen_tcp(0, true);
        test_support::write_text(folder_.file("Vantrel.ini"),
                                 "[StreamSettings]\nnmoviepaths=1\nmoviepath_1=" + folder_.path() +
                                     "\nserverPort=" + std::to_string(platform::local_port(probe.socket)) +
                                     "\nmovieBitrate=600\naudioBitrate=128\nframeRateDivider=1.0\n");
        gui_test::ChildProgram::Options options;
        options.argv = {program};
        options.environment = {"DISPLAY=" + desktop_->DisplayName(), "QT_QPA_PLATFORM=xcb",
                               "VANTREL_LISTEN_LOOPBACK=1", "VANTREL_TEST_CONSOLE=1",
                               "STARTUP_SHOW_WINDOW=" + std::to_string(showCommand)};
        options.errorLog = log_;
        options.console = true;
        ASSERT_TRUE(program_.Start(options)) << program_.Error();
    }

    // The program's window as the window manager shows it, once it is on the screen.
    X11Desktop::Window WaitForShownWindow(std::chrono::milliseconds timeout = 10s) {
        X11Desktop::Window window = 0;
        const bool shown = WaitFor([&] {
            window = desktop_->ManagedWindow(TITLE);
            return window != 0 && desktop_->IsOnScreen(window) && desktop_->WmState(window) == 1;
        }, timeout);
        return shown ? window : 0;
    }

    // The program in the notification area: its window off the screen and out
    // of the window manager's hands (or never made yet), its icon in the area.
    bool InTray() {
        const X11Desktop::Window window = desktop_->AnyWindow(TITLE);
        return (window == 0 || !desktop_->IsOnScreen(window)) && desktop_->ManagedWindow(TITLE) == 0 &&
               desktop_->TrayIcon(CLASS_NAME) != 0;
    }

    bool WaitForTray() { return WaitFor([&] { return InTray(); }); }

    // What the desktop shows of the program, for a failure's message.
    std::string Described() {
        const X11Desktop::Window window = desktop_->AnyWindow(TITLE);
        std::ostringstream text;
        text << "window " << window << (desktop_->IsOnScreen(window) ? " on the screen" : " off the screen")
             << ", WM_STATE " << desktop_->WmState(window)
             << (desktop_->ManagedWindow(TITLE) ? ", managed" : ", not managed") << ", tray icon "
             << desktop_->TrayIcon(CLASS_NAME) << ", at " << desktop_->Geometry(window) << "; " << Log();
        return text.str();
    }

    // Clicks the window's minimise box until done() holds: a click that a busy
    // machine lost (a user would click again) is clicked again, a few times.
    bool MinimiseByItsBox(X11Desktop::Window window, const std::function<bool()>& done) {
        for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
            const ScreenRect box = desktop_->MinimiseBox(window);
            if (box.width <= 0) return false;
            desktop_->Click(box.x + box.width / 2, box.y + box.height / 2);
            if (WaitFor(done, 3s)) return true;
        }
        return false;
    }

    // Double-clicks the tray icon until the window is back on the screen (again
    // a double-click taken apart by a busy machine is tried again); the window.
    X11Desktop::Window RestoreByTheTrayIcon() {
        for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
            const X11Desktop::Window icon = desktop_->TrayIcon(CLASS_NAME);
            if (icon == 0) break;
            const ScreenRect at = desktop_->Geometry(icon);
            desktop_->DoubleClick(at.x + at.width / 2, at.y + at.height / 2);
            if (const X11Desktop::Window window = WaitForShownWindow(3s)) return window;
        }
        return WaitForShownWindow(0s);
    }

    // The window's place once it stands still at the expected one (or the last seen).
    ScreenRect PlaceOnceAt(X11Desktop::Window window, const ScreenRect& expected) {
        ScreenRect seen;
        WaitFor([&] { return (seen = desktop_->Geometry(window)) == expected; }, 3s);
        return seen;
    }

    // The program's "focus" answer once the window has the keyboard and the
    // answer begins with expected, or the last answer. The window manager
    // gives a window it maps again the keyboard; on a very busy machine that
    // can get lost between it and the program, and the user then clicks the
    // window's task-list entry, as this does once.
    std::string FocusOnce(X11Desktop::Window window, const std::string& expected) {
        std::string answer;
        const auto matches = [&] {
            answer = program_.Ask("focus");
            return answer.rfind(expected, 0) == 0;
        };
        if (WaitFor(matches, 2s) || answer != "focus -") return answer;
        desktop_->Activate(window);
        WaitFor(matches, 3s);
        return answer;
    }

    // The program's "focus" answer once it differs from before: the keys typed
    // since have arrived (they come in order, the console's lines apart).
    std::string FocusOnceOtherThan(const std::string& before) {
        std::string answer;
        WaitFor([&] {
            answer = program_.Ask("focus");
            return answer != before;
        }, 5s);
        return answer;
    }

    std::string IniValue(const std::string& key) {
        const std::string ini = test_support::read_text(folder_.file("Vantrel.ini"));
        const size_t at = ini.find("\n" + key + "=");
        if (at == std::string::npos) return "<missing>";
        const size_t from = at + key.size() + 2;
        return ini.substr(from, ini.find('\n', from) - from);
    }

    // A picture of the screen, once the given window (if any) shows more than
    // its background: the program paints after the window is on the screen.
    void SavePicture(const std::string& name, X11Desktop::Window drawn = 0) {
        gui_test::ScreenPicture picture;
        EXPECT_TRUE(WaitFor([&] {
            if (drawn != 0) return desktop_->Drawn(drawn, &picture);
            picture = desktop_->Picture();
            return true;
        }, 10s)) << name << " shows the window undrawn";
        ASSERT_GT(picture.width, 0);
        const QImage image(reinterpret_cast<const uchar*>(picture.pixels.data()), picture.width, picture.height,
                           QImage::Format_RGB32);
        const char* folder = std::getenv("VANTREL_SCREENSHOTS");
        const std::string dir = folder ? folder : "screenshots";
        std::filesystem::create_directories(dir);
        EXPECT_TRUE(image.save(QString::fromStdString(dir + "/" + name + ".png"), "PNG")) << name;
    }

    void EndWithEsc() {
        ASSERT_TRUE(program_.Tell("key Escape"));
        EXPECT_EQ(program_.WaitForExit(10s), 0) << test_support::read_text(log_);
    }

    std::string Log() { return test_support::read_text(log_); }

    test_support::TempDir folder_{"vantrel-desktop"};
    std::string log_ = folder_.file("stderr.txt");
    std::unique_ptr<X11Desktop> desktop_;
    gui_test::ChildProgram program_;
};

// Template 102 has a minimise box and no maximise box, at a fixed size: a
// normal top-level window, which the window manager gives a minimise box.
// The box takes it to the tray; the icon's double-click brings it back where
// the user had moved it, with the focus where it was.
TEST_F(WindowManagerTest, TheMinimiseBoxTakesTheWindowToTheTrayAndTheIconBringsItBackWhereItWas) {
    ASSERT_NO_FATAL_FAILURE(StartDesktop(true));
    ASSERT_NO_FATAL_FAILURE(StartProgram(1));
    const X11Desktop::Window window = WaitForShownWindow();
    ASSERT_NE(window, 0u) << Described();

    EXPECT_EQ(desktop_->AtomNames(window, "_NET_WM_WINDOW_TYPE"),
              std::vector<std::string>{"_NET_WM_WINDOW_TYPE_NORMAL"});
    EXPECT_FALSE(desktop_->HasProperty(window, "WM_TRANSIENT_FOR"));
    EXPECT_TRUE(Contains(desktop_->AtomNames(window, "_NET_WM_ALLOWED_ACTIONS"), "_NET_WM_ACTION_MOVE"));
    EXPECT_EQ(desktop_->FixedWindowFaults(window), std::vector<std::string>{});
    const ScreenRect shown = desktop_->Geometry(window);
    SavePicture("desktop_main_window", window);

    // The user drags the window by its title bar somewhere else.
    const ScreenRect bar = desktop_->MinimiseBox(window);
    desktop_->Drag(shown.x + shown.width / 2, bar.y + bar.height / 2, shown.x + shown.width / 2 + 70,
                   bar.y + bar.height / 2 + 50);
    const ScreenRect moved{shown.x + 70, shown.y + 50, shown.width, shown.height};
    ASSERT_EQ(PlaceOnceAt(window, moved), moved);
    EXPECT_EQ(FocusOnce(window, "focus IDC_BROWSE"), "focus IDC_BROWSE");

    ASSERT_TRUE(MinimiseByItsBox(window, [&] { return InTray(); })) << "the minimise box did not go to the tray: "
                                                                     << Described();
    SavePicture("desktop_in_tray", desktop_->TrayIcon(CLASS_NAME));

    ASSERT_EQ(RestoreByTheTrayIcon(), window) << Described();
    EXPECT_TRUE(WaitFor([&] { return desktop_->TrayIcon(CLASS_NAME) == 0; }));
    EXPECT_EQ(PlaceOnceAt(window, moved), moved);
    EXPECT_EQ(FocusOnce(window, "focus IDC_BROWSE"), "focus IDC_BROWSE");
    SavePicture("desktop_back_from_tray", window);
    EndWithEsc();
}

// Started in the tray (show command 7, as the launcher starts it) and brought
// back: the focus is on "Browse", so a key typed at once changes no setting;
// after another trip the window stands where it stood and the focus is where
// it was.
TEST_F(WindowManagerTest, StartedInTheTrayItComesBackWithTheFocusOnBrowseWhereItWas) {
    ASSERT_NO_FATAL_FAILURE(StartDesktop(true));
    ASSERT_NO_FATAL_FAILURE(StartProgram(7));
    // Straight to the tray: the window is never on the screen meanwhile.
    ASSERT_TRUE(WaitForTray()) << Described();
    for (int look = 0; look < 10; ++look) {
        std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(InTray()) << Described();
    }

    const X11Desktop::Window window = RestoreByTheTrayIcon();
    ASSERT_NE(window, 0u) << Described();
    // It places itself on the screen when it first shows, and keeps that place.
    const ScreenRect before = desktop_->Geometry(window);
    EXPECT_TRUE(before.x >= 0 && before.y >= 0 && before.x + before.width <= SCREEN_WIDTH &&
                before.y + before.height <= SCREEN_HEIGHT)
        << before;
    EXPECT_EQ(FocusOnce(window, "focus IDC_BROWSE"), "focus IDC_BROWSE");
    SavePicture("desktop_started_in_tray_back", window);
    // A digit on "Browse" does nothing; Tab then goes on to the movie bit rate.
    const std::string focusBefore = program_.Ask("focus");
    desktop_->PressKey("5");
    desktop_->PressKey("Tab");
    EXPECT_EQ(FocusOnceOtherThan(focusBefore), "focus IDC_MOVIE_BITRATE selected 600");
    EXPECT_EQ(IniValue("movieBitrate"), "600");

    // Another trip, now from the movie bit rate: it comes back there.
    ASSERT_TRUE(MinimiseByItsBox(window, [&] { return InTray(); })) << Described();
    ASSERT_EQ(RestoreByTheTrayIcon(), window) << Described();
    EXPECT_EQ(PlaceOnceAt(window, before), before);
    EXPECT_EQ(FocusOnce(window, "focus IDC_MOVIE_BITRATE"), "focus IDC_MOVIE_BITRATE selected 600");
    EXPECT_EQ(IniValue("movieBitrate"), "600");
    EndWithEsc();
}

// Without a notification area there would be no icon to come back by: the
// minimise box makes a plain minimised window, which the task list brings back.
TEST_F(WindowManagerTest, WithoutANotificationAreaTheMinimiseBoxMinimises) {
    ASSERT_NO_FATAL_FAILURE(StartDesktop(false));
    ASSERT_NO_FATAL_FAILURE(StartProgram(1));
    const X11Desktop::Window window = WaitForShownWindow();
    ASSERT_NE(window, 0u) << Described();
    const ScreenRect shown = desktop_->Geometry(window);
    ASSERT_FALSE(desktop_->HasNotificationArea());

    EXPECT_TRUE(MinimiseByItsBox(window, [&] { return desktop_->WmState(window) == 3; })) << "not iconic " << Described();
    EXPECT_EQ(desktop_->ManagedWindow(TITLE), window);  // still in the task list
    EXPECT_FALSE(desktop_->IsOnScreen(window));
    SavePicture("desktop_minimised_without_tray");

    desktop_->Activate(window);
    EXPECT_EQ(WaitForShownWindow(), window);
    EXPECT_EQ(PlaceOnceAt(window, shown), shown);
    EndWithEsc();
}

}  // namespace
