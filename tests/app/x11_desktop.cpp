#include "tests/app/x11_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

#include "tests/support/files.h"

#if VANTREL_TEST_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#endif

namespace gui_test {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return done();
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

#if VANTREL_TEST_X11

namespace {

constexpr auto SERVER_START_LIMIT = 10s;
constexpr auto WINDOW_MANAGER_START_LIMIT = 10s;
// Held between a press and its release, and between the clicks of a double-click
// (well inside the usual 400 ms double-click time).
constexpr auto CLICK_HOLD = 30ms;

// This desktop's window manager: one desktop, a tray along the bottom with the
// task list (and the notification area when asked for), and title bars with a
// minimise box first, then the title, a maximise box and a close box, each box
// drawn only when the window manager offers that action.
std::string WindowManagerConfiguration(bool withNotificationArea) {
    return std::string("<?xml version=\"1.0\"?>\n<JWM>\n"
                       "  <Desktops width=\"1\" height=\"1\"/>\n"
                       "  <Tray x=\"0\" y=\"-1\" height=\"28\" autohide=\"off\">\n"
                       "    <TaskList maxwidth=\"220\"/>\n") +
           (withNotificationArea ? "    <Dock/>\n" : "") +
           "  </Tray>\n"
           "  <WindowStyle>\n"
           "    <Font>Sans-10:bold</Font>\n"
           "    <Width>4</Width>\n"
           "    <Foreground>#FFFFFF</Foreground><Background>#555555</Background>\n"
           "    <Active><Foreground>#FFFFFF</Foreground><Background>#2f6db5</Background></Active>\n"
           "  </WindowStyle>\n"
           "  <TrayStyle><Font>Sans-10</Font><Background>#333333</Background><Foreground>#FFFFFF</Foreground>"
           "</TrayStyle>\n"
           "  <TitleButtonOrder>itmx</TitleButtonOrder>\n"
           "  <FocusModel>click</FocusModel>\n"
           "  <Mouse context=\"title\" button=\"1\">move</Mouse>\n"
           "  <Mouse context=\"minimize\" button=\"-1\">minimize</Mouse>\n"
           "  <Mouse context=\"maximize\" button=\"-1\">maximize</Mouse>\n"
           "  <Mouse context=\"close\" button=\"-1\">close</Mouse>\n"
           "</JWM>\n";
}

}  // namespace

namespace {

// Windows come and go while the test looks at them: an error is an answer of
// "nothing there", never the end of the test program (Xlib's default).
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

struct Property {
    Atom type = None;
    int format = 0;
    std::vector<unsigned char> bytes;
    unsigned long items = 0;
};

}  // namespace

struct X11Desktop::Connection {
    Display* display = nullptr;

    ~Connection() {
        if (display) XCloseDisplay(display);
    }

    Atom Intern(const char* name) const { return XInternAtom(display, name, False); }
    ::Window Root() const { return DefaultRootWindow(display); }

    bool Read(::Window window, const char* name, Property& property) const {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, Intern(name), 0, 4096, False, AnyPropertyType, &type, &format,
                               &items, &after, &data) != Success ||
            type == None) {
            if (data) XFree(data);
            return false;
        }
        // Format 32 comes as longs, whatever their width.
        const size_t unit = format == 32 ? sizeof(long) : static_cast<size_t>(format / 8);
        property.type = type;
        property.format = format;
        property.items = items;
        property.bytes.assign(data, data + items * unit);
        XFree(data);
        return true;
    }

    std::vector<long> Longs(::Window window, const char* name) const {
        Property property;
        std::vector<long> values;
        if (!Read(window, name, property) || property.format != 32) return values;
        values.resize(property.items);
        std::memcpy(values.data(), property.bytes.data(), property.items * sizeof(long));
        return values;
    }

    std::string Title(::Window window) const {
        Property property;
        if (Read(window, "_NET_WM_NAME", property) || Read(window, "WM_NAME", property)) {
            return std::string(property.bytes.begin(), property.bytes.end());
        }
        return "";
    }

    std::string ClassName(::Window window) const {
        XClassHint hint{};
        if (!XGetClassHint(display, window, &hint)) return "";
        std::string name = hint.res_name ? hint.res_name : "";
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        return name;
    }

    std::vector<::Window> Children(::Window window) const {
        ::Window root = 0, parent = 0;
        ::Window* children = nullptr;
        unsigned count = 0;
        std::vector<::Window> list;
        if (XQueryTree(display, window, &root, &parent, &children, &count) && children) {
            list.assign(children, children + count);
            XFree(children);
        }
        return list;
    }

    // The first window under (and including) top whose test holds, depth first.
    ::Window Find(::Window top, const std::function<bool(::Window)>& test, int depth = 4) const {
        if (test(top)) return top;
        if (depth == 0) return 0;
        for (::Window child : Children(top)) {
            if (::Window found = Find(child, test, depth - 1)) return found;
        }
        return 0;
    }

    void Sync() const { XSync(display, False); }
};

std::string X11Desktop::Missing() {
    std::string missing;
    for (const char* program : {"Xvfb", "jwm"}) {
        if (!ChildProgram::Available(program)) missing += std::string(missing.empty() ? "" : ", ") + program;
    }
    return missing;
}

X11Desktop::X11Desktop(const std::string& folder, bool withNotificationArea) : m_x(std::make_unique<Connection>()) {
    XSetErrorHandler(IgnoreXError);
    m_started = StartServer(folder) && StartWindowManager(folder, withNotificationArea);
}

X11Desktop::~X11Desktop() {
    m_windowManager.Stop();
    m_x.reset();  // before the server goes: Xlib ends the process when its server vanishes
    m_server.Stop();
}

bool X11Desktop::StartServer(const std::string& folder) {
    // The server picks a free display itself and writes its number once it
    // takes connections.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        m_error = "pipe failed";
        return false;
    }
    ChildProgram::Options options;
    options.argv = {"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"};
    options.errorLog = folder + "/xvfb.log";
    options.passFd = ready[1];
    const bool spawned = m_server.Start(options);
    close(ready[1]);
    std::string number;
    const auto until = std::chrono::steady_clock::now() + SERVER_START_LIMIT;
    while (spawned && number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
        pollfd readable{ready[0], POLLIN, 0};
        if (poll(&readable, 1, 50) <= 0) continue;
        char bytes[16];
        const ssize_t got = read(ready[0], bytes, sizeof bytes);
        if (got <= 0) break;
        number.append(bytes, static_cast<size_t>(got));
    }
    close(ready[0]);
    if (number.find('\n') == std::string::npos) {
        m_error = "Xvfb did not come up: " + m_server.Error() + test_support::read_text(options.errorLog);
        return false;
    }
    m_displayName = ":" + number.substr(0, number.find('\n'));
    WaitFor([&] { return (m_x->display = XOpenDisplay(m_displayName.c_str())) != nullptr; }, 2s);
    if (!m_x->display) m_error = "cannot connect to " + m_displayName;
    return m_x->display != nullptr;
}

bool X11Desktop::StartWindowManager(const std::string& folder, bool withNotificationArea) {
    const std::string configuration = folder + "/jwmrc";
    test_support::write_text(configuration, WindowManagerConfiguration(withNotificationArea));
    ChildProgram::Options options;
    options.argv = {"jwm", "-display", m_displayName, "-f", configuration};
    options.errorLog = folder + "/jwm.log";
    options.environment = {"DISPLAY=" + m_displayName};
    if (!m_windowManager.Start(options)) {
        m_error = m_windowManager.Error();
        return false;
    }
    const bool up = WaitFor(
        [&] {
            return !m_x->Longs(m_x->Root(), "_NET_SUPPORTING_WM_CHECK").empty() &&
                   (!withNotificationArea || HasNotificationArea());
        },
        WINDOW_MANAGER_START_LIMIT);
    if (!up) m_error = "jwm did not come up: " + test_support::read_text(options.errorLog);
    return up;
}

X11Desktop::Window X11Desktop::ManagedWindow(const std::string& title) {
    for (long client : m_x->Longs(m_x->Root(), "_NET_CLIENT_LIST")) {
        if (m_x->Title(static_cast<::Window>(client)) == title) return static_cast<Window>(client);
    }
    return 0;
}

X11Desktop::Window X11Desktop::AnyWindow(const std::string& title) {
    return m_x->Find(m_x->Root(), [&](::Window window) { return m_x->Title(window) == title; });
}

bool X11Desktop::IsOnScreen(Window window) {
    XWindowAttributes attributes{};
    return XGetWindowAttributes(m_x->display, window, &attributes) && attributes.map_state == IsViewable;
}

int X11Desktop::WmState(Window window) {
    const std::vector<long> state = m_x->Longs(window, "WM_STATE");
    return state.empty() ? 0 : static_cast<int>(state[0]);
}

std::vector<std::string> X11Desktop::AtomNames(Window window, const char* property) {
    std::vector<std::string> names;
    for (long atom : m_x->Longs(window, property)) {
        char* name = XGetAtomName(m_x->display, static_cast<Atom>(atom));
        names.emplace_back(name ? name : "?");
        if (name) XFree(name);
    }
    return names;
}

bool X11Desktop::HasProperty(Window window, const char* property) {
    Property found;
    return m_x->Read(window, property, found);
}

std::vector<long> X11Desktop::Cardinals(Window window, const char* property) {
    return m_x->Longs(window, property);
}

X11Desktop::SizeHints X11Desktop::NormalHints(Window window) {
    XSizeHints hints{};
    long supplied = 0;
    SizeHints result;
    if (!XGetWMNormalHints(m_x->display, window, &hints, &supplied)) return result;
    result.hasMin = (hints.flags & PMinSize) != 0;
    result.hasMax = (hints.flags & PMaxSize) != 0;
    result.minWidth = hints.min_width;
    result.minHeight = hints.min_height;
    result.maxWidth = hints.max_width;
    result.maxHeight = hints.max_height;
    return result;
}

ScreenRect X11Desktop::Geometry(Window window) {
    XWindowAttributes attributes{};
    ScreenRect rect;
    if (!XGetWindowAttributes(m_x->display, window, &attributes)) return rect;
    ::Window child = 0;
    XTranslateCoordinates(m_x->display, window, m_x->Root(), 0, 0, &rect.x, &rect.y, &child);
    rect.width = attributes.width;
    rect.height = attributes.height;
    return rect;
}

bool X11Desktop::HasNotificationArea() {
    return XGetSelectionOwner(m_x->display, m_x->Intern("_NET_SYSTEM_TRAY_S0")) != None;
}

X11Desktop::Window X11Desktop::TrayIcon(const std::string& className) {
    const ::Window area = XGetSelectionOwner(m_x->display, m_x->Intern("_NET_SYSTEM_TRAY_S0"));
    if (area == None) return 0;
    // The icons are windows of their programs, embedded in the area's window.
    for (::Window icon : m_x->Children(area)) {
        if (m_x->ClassName(icon) == className && IsOnScreen(icon)) return icon;
    }
    return 0;
}

X11Desktop::Window X11Desktop::PopupMenu(const std::string& className) {
    // Menus bypass the window manager: override-redirect children of the root.
    for (::Window window : m_x->Children(m_x->Root())) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(m_x->display, window, &attributes) && attributes.override_redirect &&
            attributes.map_state == IsViewable && m_x->ClassName(window) == className)
            return window;
    }
    return 0;
}

ScreenRect X11Desktop::MinimiseBox(Window window) {
    // Extents: left, right, top, bottom. The title bar is the top extent less
    // the border; its boxes are squares as high as the bar.
    const std::vector<long> extents = Cardinals(window, "_NET_FRAME_EXTENTS");
    const ScreenRect client = Geometry(window);
    if (extents.size() != 4) return {};
    const int border = static_cast<int>(extents[0]);
    const int bar = static_cast<int>(extents[2]) - border;
    return ScreenRect{client.x, client.y - bar, bar, bar};
}

void X11Desktop::Click(int x, int y) {
    XTestFakeMotionEvent(m_x->display, -1, x, y, CurrentTime);
    m_x->Sync();
    std::this_thread::sleep_for(CLICK_HOLD);
    XTestFakeButtonEvent(m_x->display, 1, True, CurrentTime);
    m_x->Sync();
    std::this_thread::sleep_for(CLICK_HOLD);
    XTestFakeButtonEvent(m_x->display, 1, False, CurrentTime);
    m_x->Sync();
}

void X11Desktop::DoubleClick(int x, int y) {
    Click(x, y);
    std::this_thread::sleep_for(CLICK_HOLD);
    Click(x, y);
}

void X11Desktop::Drag(int fromX, int fromY, int toX, int toY) {
    XTestFakeMotionEvent(m_x->display, -1, fromX, fromY, CurrentTime);
    m_x->Sync();
    std::this_thread::sleep_for(CLICK_HOLD);
    XTestFakeButtonEvent(m_x->display, 1, True, CurrentTime);
    m_x->Sync();
    constexpr int STEPS = 8;
    for (int step = 1; step <= STEPS; ++step) {
        std::this_thread::sleep_for(CLICK_HOLD);
        XTestFakeMotionEvent(m_x->display, -1, fromX + (toX - fromX) * step / STEPS,
                             fromY + (toY - fromY) * step / STEPS, CurrentTime);
        m_x->Sync();
    }
    std::this_thread::sleep_for(CLICK_HOLD);
    XTestFakeButtonEvent(m_x->display, 1, False, CurrentTime);
    m_x->Sync();
}

void X11Desktop::PressKey(const char* keysymName) {
    const KeyCode key = XKeysymToKeycode(m_x->display, XStringToKeysym(keysymName));
    XTestFakeKeyEvent(m_x->display, key, True, CurrentTime);
    XTestFakeKeyEvent(m_x->display, key, False, CurrentTime);
    m_x->Sync();
}

void X11Desktop::Activate(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = m_x->Intern("_NET_ACTIVE_WINDOW");
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // from a pager
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_x->display, m_x->Root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    m_x->Sync();
}

ScreenPicture X11Desktop::Picture() {
    ScreenPicture picture;
    XWindowAttributes root{};
    XGetWindowAttributes(m_x->display, m_x->Root(), &root);
    XImage* image = XGetImage(m_x->display, m_x->Root(), 0, 0, static_cast<unsigned>(root.width),
                              static_cast<unsigned>(root.height), AllPlanes, ZPixmap);
    if (!image) return picture;
    picture.width = root.width;
    picture.height = root.height;
    picture.pixels.reserve(static_cast<size_t>(root.width) * static_cast<size_t>(root.height));
    for (int y = 0; y < root.height; ++y) {
        for (int x = 0; x < root.width; ++x) {
            picture.pixels.push_back(static_cast<unsigned>(XGetPixel(image, x, y) & 0xffffff) | 0xff000000u);
        }
    }
    XDestroyImage(image);
    return picture;
}

#else  // no X client libraries: every desktop is missing

struct X11Desktop::Connection {};

std::string X11Desktop::Missing() {
    return "the X client libraries (libx11-dev, libxtst-dev) at build time";
}

X11Desktop::X11Desktop(const std::string&, bool) : m_x(std::make_unique<Connection>()) {
    m_error = Missing();
}
X11Desktop::~X11Desktop() = default;
bool X11Desktop::StartServer(const std::string&) { return false; }
bool X11Desktop::StartWindowManager(const std::string&, bool) { return false; }
X11Desktop::Window X11Desktop::ManagedWindow(const std::string&) { return 0; }
X11Desktop::Window X11Desktop::AnyWindow(const std::string&) { return 0; }
bool X11Desktop::IsOnScreen(Window) { return false; }
int X11Desktop::WmState(Window) { return 0; }
std::vector<std::string> X11Desktop::AtomNames(Window, const char*) { return {}; }
bool X11Desktop::HasProperty(Window, const char*) { return false; }
std::vector<long> X11Desktop::Cardinals(Window, const char*) { return {}; }
X11Desktop::SizeHints X11Desktop::NormalHints(Window) { return {}; }
ScreenRect X11Desktop::Geometry(Window) { return {}; }
bool X11Desktop::HasNotificationArea() { return false; }
X11Desktop::Window X11Desktop::TrayIcon(const std::string&) { return 0; }
ScreenRect X11Desktop::MinimiseBox(Window) { return {}; }
void X11Desktop::Click(int, int) {}
void X11Desktop::DoubleClick(int, int) {}
void X11Desktop::Drag(int, int, int, int) {}
void X11Desktop::PressKey(const char*) {}
void X11Desktop::Activate(Window) {}
ScreenPicture X11Desktop::Picture() { return {}; }
X11Desktop::Window X11Desktop::PopupMenu(const std::string&) { return 0; }

#endif

namespace {

// How many colours (up to a few dozen) a part of the picture has.
size_t Colours(const ScreenPicture& picture, const ScreenRect& area) {
    std::set<unsigned> seen;
    for (int y = std::max(area.y, 0); y < std::min(area.y + area.height, picture.height); ++y) {
        for (int x = std::max(area.x, 0); x < std::min(area.x + area.width, picture.width) && seen.size() < 32; ++x) {
            seen.insert(picture.pixels[static_cast<size_t>(y) * static_cast<size_t>(picture.width) +
                                       static_cast<size_t>(x)]);
        }
    }
    return seen.size();
}

}  // namespace

bool X11Desktop::Drawn(Window window, ScreenPicture* picture) {
    ScreenPicture screen = Picture();
    const bool drawn = Colours(screen, Geometry(window)) > 8;
    if (picture) *picture = std::move(screen);
    return drawn;
}

std::vector<std::string> X11Desktop::FixedWindowFaults(Window window) {
    std::vector<std::string> faults;
    const std::vector<std::string> actions = AtomNames(window, "_NET_WM_ALLOWED_ACTIONS");
    const auto offered = [&](const char* action) {
        return std::find(actions.begin(), actions.end(), action) != actions.end();
    };
    for (const char* wanted : {"_NET_WM_ACTION_MINIMIZE", "_NET_WM_ACTION_CLOSE"}) {
        if (!offered(wanted)) faults.push_back(std::string("not offered: ") + wanted);
    }
    for (const char* unwanted : {"_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_MAXIMIZE_VERT", "_NET_WM_ACTION_RESIZE"}) {
        if (offered(unwanted)) faults.push_back(std::string("offered: ") + unwanted);
    }
    const ScreenRect shown = Geometry(window);
    const SizeHints hints = NormalHints(window);
    if (!hints.hasMin || !hints.hasMax || hints.minWidth != shown.width || hints.maxWidth != shown.width ||
        hints.minHeight != shown.height || hints.maxHeight != shown.height) {
        faults.push_back("size hints " + std::to_string(hints.minWidth) + "x" + std::to_string(hints.minHeight) +
                         " to " + std::to_string(hints.maxWidth) + "x" + std::to_string(hints.maxHeight) +
                         " for a window of " + std::to_string(shown.width) + "x" + std::to_string(shown.height));
    }
    return faults;
}

}  // namespace gui_test
