#pragma once
// A desktop of its own for one test: a virtual X server (Xvfb) on a free
// display, the jwm window manager on it (with or without a notification area in
// its tray), and an X client that looks at the windows as the window manager
// shows them and works the pointer and keyboard as a user does (XTEST).
//
// Everything is bounded: the server and the window manager must be up within
// a few seconds, every wait has a limit, and both end with the object.
//
// No Xlib type appears here; window ids are plain numbers.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/app/child_program.h"

namespace gui_test {

struct ScreenRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const ScreenRect& other) const {
        return x == other.x && y == other.y && width == other.width && height == other.height;
    }
};

// A picture of the screen: 0xffRRGGBB, row by row.
struct ScreenPicture {
    int width = 0;
    int height = 0;
    std::vector<unsigned> pixels;
};

class X11Desktop {
public:
    using Window = unsigned long;

    // What is missing for a desktop here ("" when Xvfb, jwm and the X client
    // libraries are all present).
    static std::string Missing();

    // Starts the server and the window manager; logs and the window manager's
    // configuration go into folder. withNotificationArea: the tray has a dock
    // for notification icons (_NET_SYSTEM_TRAY_S0).
    X11Desktop(const std::string& folder, bool withNotificationArea);
    ~X11Desktop();
    X11Desktop(const X11Desktop&) = delete;
    X11Desktop& operator=(const X11Desktop&) = delete;

    bool Started() const { return m_started; }
    // Why it did not start, with the logs.
    const std::string& Error() const { return m_error; }
    // ":N", for DISPLAY.
    const std::string& DisplayName() const { return m_displayName; }

    // The window the window manager manages (in _NET_CLIENT_LIST) under that
    // title; 0 when there is none.
    Window ManagedWindow(const std::string& title);
    // Any top-level window of that title, managed or not (a hidden one too).
    Window AnyWindow(const std::string& title);
    bool IsOnScreen(Window window);
    // ICCCM WM_STATE: 0 withdrawn (or none), 1 normal, 3 iconic.
    int WmState(Window window);
    // The atom names of an ATOM-list property (_NET_WM_WINDOW_TYPE, _NET_WM_ALLOWED_ACTIONS ...).
    std::vector<std::string> AtomNames(Window window, const char* property);
    bool HasProperty(Window window, const char* property);
    // CARDINAL-list property, such as _NET_FRAME_EXTENTS (left, right, top, bottom).
    std::vector<long> Cardinals(Window window, const char* property);
    struct SizeHints {
        bool hasMin = false;
        bool hasMax = false;
        int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    };
    SizeHints NormalHints(Window window);
    // The client area in screen coordinates.
    ScreenRect Geometry(Window window);
    // What keeps a managed window from being one of a fixed size with a
    // minimise and a close box and no maximise or resize; empty when nothing does.
    std::vector<std::string> FixedWindowFaults(Window window);

    // Whether something owns the notification area selection.
    bool HasNotificationArea();
    // The icon of a program (by WM_CLASS name) docked in the notification area; 0 when none.
    Window TrayIcon(const std::string& className);

    // A popup menu of a program (by WM_CLASS name) on the screen; 0 when none.
    Window PopupMenu(const std::string& className);

    // The centre of the window manager's minimise box on a managed window's
    // title bar (this desktop's title buttons: minimise, title, maximise, close).
    ScreenRect MinimiseBox(Window window);

    // The user's hands.
    void Click(int x, int y);
    void DoubleClick(int x, int y);
    void Drag(int fromX, int fromY, int toX, int toY);
    void PressKey(const char* keysymName);
    // What a pager or task list sends to bring a window to the front.
    void Activate(Window window);

    ScreenPicture Picture();
    // Whether the window shows more than its background (a program paints
    // after its window is on the screen); picture, when given, is the screen then.
    bool Drawn(Window window, ScreenPicture* picture = nullptr);

private:
    struct Connection;
    bool StartServer(const std::string& folder);
    bool StartWindowManager(const std::string& folder, bool withNotificationArea);

    ChildProgram m_server;
    ChildProgram m_windowManager;
    std::unique_ptr<Connection> m_x;
    std::string m_displayName;
    std::string m_error;
    bool m_started = false;
};

// Polls done() every 20 ms for at most timeout; its last value.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace gui_test
