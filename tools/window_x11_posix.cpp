// The window helpers over X11. Xlib and its extensions are loaded at first
// use, so the library neither links against X nor needs it: without the
// libraries or a display every call reports false and does nothing.
//
// One connection of our own serves all calls, under one lock. X errors on it
// (a window that has gone, say) are caught around each call instead of
// ending the process as Xlib's default handler would.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "tools/window_platform.h"

namespace Tools::detail {
namespace {

using IOErrorExitHandler = void (*)(Display*, void*);
using SetIOErrorExitHandlerFunction = void (*)(Display*, IOErrorExitHandler, void*);

#define VELMORA_XLIB_FUNCTIONS(F)                                                                              \
    F(XOpenDisplay) F(XConnectionNumber) F(XDefaultRootWindow) F(XDefaultScreen) F(XDisplayWidth)              \
    F(XDisplayHeight) F(XInternAtom) F(XSendEvent) F(XSync) F(XFlush) F(XFree) F(XGetWindowAttributes)         \
    F(XRaiseWindow) F(XMapRaised) F(XSetInputFocus) F(XGetWindowProperty) F(XChangeProperty)                   \
    F(XTranslateCoordinates) F(XQueryKeymap) F(XKeysymToKeycode) F(XQueryPointer) F(XGetModifierMapping)       \
    F(XFreeModifiermap) F(XSetErrorHandler)
#define VELMORA_XTEST_FUNCTIONS(F) F(XTestFakeMotionEvent) F(XTestFakeButtonEvent)
#define VELMORA_XRANDR_FUNCTIONS(F) \
    F(XRRQueryExtension) F(XRRGetScreenResourcesCurrent) F(XRRFreeScreenResources) F(XRRGetCrtcInfo) F(XRRFreeCrtcInfo)
#define VELMORA_XSS_FUNCTIONS(F) F(XScreenSaverQueryExtension) F(XScreenSaverSuspend)

#define VELMORA_DECLARE(name) decltype(&::name) name = nullptr;

struct Api {
    VELMORA_XLIB_FUNCTIONS(VELMORA_DECLARE)
    VELMORA_XTEST_FUNCTIONS(VELMORA_DECLARE)
    VELMORA_XRANDR_FUNCTIONS(VELMORA_DECLARE)
    VELMORA_XSS_FUNCTIONS(VELMORA_DECLARE)
    SetIOErrorExitHandlerFunction XSetIOErrorExitHandler = nullptr;
    bool xtest = false, xrandr = false, xss = false;
};

template <typename Function>
bool Resolve(void* library, const char* name, Function* out) {
    *out = library ? reinterpret_cast<Function>(::dlsym(library, name)) : nullptr;
    return *out != nullptr;
}

// Libraries stay loaded for the life of the process; a connection may outlive
// any caller.
void* OpenLibrary(const char* name) { return ::dlopen(name, RTLD_NOW | RTLD_LOCAL); }

bool LoadApi(Api* api) {
    void* xlib = OpenLibrary("libX11.so.6");
    if (!xlib) return false;
    bool ok = true;
#define VELMORA_RESOLVE_REQUIRED(name) ok = Resolve(xlib, #name, &api->name) && ok;
    VELMORA_XLIB_FUNCTIONS(VELMORA_RESOLVE_REQUIRED)
    if (!ok) return false;
    Resolve(xlib, "XSetIOErrorExitHandler", &api->XSetIOErrorExitHandler);
    void* xtest = OpenLibrary("libXtst.so.6");
    api->xtest = true;
#define VELMORA_RESOLVE_XTEST(name) api->xtest = Resolve(xtest, #name, &api->name) && api->xtest;
    VELMORA_XTEST_FUNCTIONS(VELMORA_RESOLVE_XTEST)
    void* xrandr = OpenLibrary("libXrandr.so.2");
    api->xrandr = true;
#define VELMORA_RESOLVE_XRANDR(name) api->xrandr = Resolve(xrandr, #name, &api->name) && api->xrandr;
    VELMORA_XRANDR_FUNCTIONS(VELMORA_RESOLVE_XRANDR)
    void* xss = OpenLibrary("libXss.so.1");
    api->xss = true;
#define VELMORA_RESOLVE_XSS(name) api->xss = Resolve(xss, #name, &api->name) && api->xss;
    VELMORA_XSS_FUNCTIONS(VELMORA_RESOLVE_XSS)
    return true;
}

struct Connection {
    Api api;
    bool loaded = false, load_tried = false;
    Display* display = nullptr;
    bool lost = false;  // the server went away; the connection is never used again
    bool has_xrandr = false, has_xss = false;
    Window root = 0;
};

std::mutex& ConnectionMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

Connection& TheConnection() {
    static Connection* connection = new Connection;
    return *connection;
}

XErrorHandler g_previous_error_handler = nullptr;
int g_errors = 0;

int OnXError(Display* display, XErrorEvent* event) {
    if (display == TheConnection().display) {
        ++g_errors;
        return 0;
    }
    return g_previous_error_handler ? g_previous_error_handler(display, event) : 0;
}

void OnConnectionLost(Display*, void*) { TheConnection().lost = true; }

bool Connect(Connection& c) {
    if (c.lost) return false;
    if (!c.load_tried) {
        c.load_tried = true;
        c.loaded = LoadApi(&c.api);
    }
    if (!c.loaded) return false;
    if (c.display) return true;
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    c.display = c.api.XOpenDisplay(nullptr);
    if (!c.display) return false;
    ::fcntl(c.api.XConnectionNumber(c.display), F_SETFD, FD_CLOEXEC);
    // Without this hook Xlib ends the process when the server goes away.
    if (c.api.XSetIOErrorExitHandler) c.api.XSetIOErrorExitHandler(c.display, OnConnectionLost, nullptr);
    c.root = c.api.XDefaultRootWindow(c.display);
    int event_base = 0, error_base = 0;
    c.has_xrandr = c.api.xrandr && c.api.XRRQueryExtension(c.display, &event_base, &error_base);
    c.has_xss = c.api.xss && c.api.XScreenSaverQueryExtension(c.display, &event_base, &error_base);
    return true;
}

// Runs body on the connection with X errors caught; false without a display.
template <typename Body>
bool WithDisplay(Body body) {
    std::lock_guard<std::mutex> lock(ConnectionMutex());
    Connection& c = TheConnection();
    if (!Connect(c)) return false;
    g_previous_error_handler = c.api.XSetErrorHandler(OnXError);
    g_errors = 0;
    const bool result = body(c);
    if (!c.lost) c.api.XSync(c.display, False);
    c.api.XSetErrorHandler(g_previous_error_handler);
    return result && g_errors == 0;
}

Atom Intern(Connection& c, const char* name) { return c.api.XInternAtom(c.display, name, False); }

// A 32-bit property as longs, as Xlib hands them out.
std::vector<long> ReadLongs(Connection& c, Window window, const char* property, Atom type) {
    Atom actual_type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<long> values;
    if (c.api.XGetWindowProperty(c.display, window, Intern(c, property), 0, 1024, False, type, &actual_type,
                                 &format, &count, &after, &data) == Success &&
        data && format == 32) {
        const long* longs = reinterpret_cast<const long*>(data);
        values.assign(longs, longs + count);
    }
    if (data) c.api.XFree(data);
    return values;
}

bool IsIconic(Connection& c, Window window) {
    const Atom wm_state = Intern(c, "WM_STATE");
    const std::vector<long> state = ReadLongs(c, window, "WM_STATE", wm_state);
    return !state.empty() && state[0] == IconicState;
}

void SendToRoot(Connection& c, Window window, const char* message, long a, long b, long d, long e) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = Intern(c, message);
    event.xclient.format = 32;
    event.xclient.data.l[0] = a;
    event.xclient.data.l[1] = b;
    event.xclient.data.l[2] = d;
    event.xclient.data.l[3] = e;
    c.api.XSendEvent(c.display, c.root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

constexpr long kSourcePager = 2;  // window managers honour requests from pagers

bool WindowRect(Connection& c, Window window, Rect* rect) {
    XWindowAttributes attributes{};
    if (!c.api.XGetWindowAttributes(c.display, window, &attributes)) return false;
    int x = 0, y = 0;
    Window child = 0;
    if (!c.api.XTranslateCoordinates(c.display, window, c.root, 0, 0, &x, &y, &child)) return false;
    const int border = attributes.border_width;
    rect->x = x - border;
    rect->y = y - border;
    rect->width = attributes.width + 2 * border;
    rect->height = attributes.height + 2 * border;
    // A window manager's frame is part of the window's outer rectangle.
    const std::vector<long> frame = ReadLongs(c, window, "_NET_FRAME_EXTENTS", XA_CARDINAL);
    if (frame.size() >= 4) {
        rect->x -= static_cast<int>(frame[0]);
        rect->y -= static_cast<int>(frame[2]);
        rect->width += static_cast<int>(frame[0] + frame[1]);
        rect->height += static_cast<int>(frame[2] + frame[3]);
    }
    return true;
}

int Overlap(const Rect& a, const Rect& b) {
    const int width = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const int height = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    return width > 0 && height > 0 ? width * height : 0;
}

Rect Intersect(const Rect& a, const Rect& b) {
    Rect r;
    r.x = std::max(a.x, b.x);
    r.y = std::max(a.y, b.y);
    r.width = std::max(0, std::min(a.x + a.width, b.x + b.width) - r.x);
    r.height = std::max(0, std::min(a.y + a.height, b.y + b.height) - r.y);
    return r;
}

// The monitors: XRandR's active CRTCs, each with its mode's pixel size; the
// whole screen when XRandR has none.
std::vector<MonitorInfo> Monitors(Connection& c) {
    std::vector<MonitorInfo> monitors;
    if (c.has_xrandr) {
        if (XRRScreenResources* resources = c.api.XRRGetScreenResourcesCurrent(c.display, c.root)) {
            for (int i = 0; i < resources->ncrtc; ++i) {
                XRRCrtcInfo* crtc = c.api.XRRGetCrtcInfo(c.display, resources, resources->crtcs[i]);
                if (!crtc) continue;
                if (crtc->mode != None && crtc->width > 0 && crtc->height > 0) {
                    MonitorInfo monitor;
                    monitor.logical = {crtc->x, crtc->y, static_cast<int>(crtc->width), static_cast<int>(crtc->height)};
                    monitor.physical = monitor.logical;
                    for (int m = 0; m < resources->nmode; ++m) {
                        if (resources->modes[m].id != crtc->mode) continue;
                        const bool turned = crtc->rotation & (RR_Rotate_90 | RR_Rotate_270);
                        monitor.physical.width = static_cast<int>(turned ? resources->modes[m].height : resources->modes[m].width);
                        monitor.physical.height = static_cast<int>(turned ? resources->modes[m].width : resources->modes[m].height);
                    }
                    monitors.push_back(monitor);
                }
                c.api.XRRFreeCrtcInfo(crtc);
            }
            c.api.XRRFreeScreenResources(resources);
        }
    }
    if (monitors.empty()) {
        const int screen = c.api.XDefaultScreen(c.display);
        MonitorInfo whole;
        whole.logical = {0, 0, c.api.XDisplayWidth(c.display, screen), c.api.XDisplayHeight(c.display, screen)};
        whole.physical = whole.logical;
        monitors.push_back(whole);
    }
    // The desktop's work area (without panels), per monitor.
    const std::vector<long> area = ReadLongs(c, c.root, "_NET_WORKAREA", XA_CARDINAL);
    const std::vector<long> desktop = ReadLongs(c, c.root, "_NET_CURRENT_DESKTOP", XA_CARDINAL);
    size_t index = desktop.empty() ? 0 : static_cast<size_t>(std::max(0L, desktop[0])) * 4;
    if (index + 4 > area.size()) index = 0;
    for (MonitorInfo& monitor : monitors) {
        monitor.work = monitor.logical;
        if (area.size() >= index + 4) {
            const Rect work{static_cast<int>(area[index]), static_cast<int>(area[index + 1]),
                            static_cast<int>(area[index + 2]), static_cast<int>(area[index + 3])};
            const Rect inside = Intersect(work, monitor.logical);
            if (inside.width > 0 && inside.height > 0) monitor.work = inside;
        }
    }
    return monitors;
}

bool KeyDown(Connection& c, const char keys[32], KeySym symbol) {
    const KeyCode code = c.api.XKeysymToKeycode(c.display, symbol);
    return code != 0 && (keys[code / 8] >> (code % 8)) & 1;
}

// The modifier mask bit that carries the key with this symbol.
unsigned MaskOf(Connection& c, KeySym symbol) {
    const KeyCode code = c.api.XKeysymToKeycode(c.display, symbol);
    XModifierKeymap* map = c.api.XGetModifierMapping(c.display);
    unsigned mask = 0;
    if (map && code) {
        for (int modifier = 0; modifier < 8 && !mask; ++modifier)
            for (int k = 0; k < map->max_keypermod; ++k)
                if (map->modifiermap[modifier * map->max_keypermod + k] == code) mask = 1u << modifier;
    }
    if (map) c.api.XFreeModifiermap(map);
    return mask;
}

}  // namespace

bool DisplayActivate(int64_t window) {
    return WithDisplay([&](Connection& c) {
        const Window id = static_cast<Window>(window);
        XWindowAttributes attributes{};
        if (window == 0 || !c.api.XGetWindowAttributes(c.display, id, &attributes)) return false;
        const bool viewable = attributes.map_state == IsViewable;
        const bool iconic = !viewable && IsIconic(c, id);
        if (!viewable && !iconic) return false;
        if (iconic) c.api.XMapRaised(c.display, id);
        SendToRoot(c, id, "_NET_ACTIVE_WINDOW", kSourcePager, CurrentTime, 0, 0);
        c.api.XRaiseWindow(c.display, id);
        if (viewable) c.api.XSetInputFocus(c.display, id, RevertToParent, CurrentTime);
        return true;
    });
}

bool DisplaySetTopmost(int64_t window, bool top) {
    return WithDisplay([&](Connection& c) {
        const Window id = static_cast<Window>(window);
        XWindowAttributes attributes{};
        if (window == 0 || !c.api.XGetWindowAttributes(c.display, id, &attributes)) return false;
        const Atom above = Intern(c, "_NET_WM_STATE_ABOVE");
        if (attributes.map_state == IsUnmapped && !IsIconic(c, id)) {
            // A withdrawn window keeps its own state; the manager reads it on map.
            std::vector<long> states = ReadLongs(c, id, "_NET_WM_STATE", XA_ATOM);
            states.erase(std::remove(states.begin(), states.end(), static_cast<long>(above)), states.end());
            if (top) states.push_back(static_cast<long>(above));
            c.api.XChangeProperty(c.display, id, Intern(c, "_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                                  reinterpret_cast<const unsigned char*>(states.data()),
                                  static_cast<int>(states.size()));
        } else {
            SendToRoot(c, id, "_NET_WM_STATE", top ? 1 : 0, static_cast<long>(above), 0, kSourcePager);
            if (top && attributes.map_state == IsViewable) c.api.XRaiseWindow(c.display, id);
        }
        return true;
    });
}

bool DisplayWindowRect(int64_t window, Rect* rect) {
    Rect found;
    const bool ok = WithDisplay([&](Connection& c) { return window != 0 && WindowRect(c, static_cast<Window>(window), &found); });
    if (ok) *rect = found;
    return ok;
}

bool DisplayMonitorOf(int64_t window, MonitorInfo* monitor) {
    MonitorInfo best;
    const bool ok = WithDisplay([&](Connection& c) {
        Rect rect;
        if (window == 0 || !WindowRect(c, static_cast<Window>(window), &rect)) return false;
        int best_overlap = 0;
        for (const MonitorInfo& candidate : Monitors(c)) {
            const int overlap = Overlap(rect, candidate.logical);
            if (overlap > best_overlap) {
                best_overlap = overlap;
                best = candidate;
            }
        }
        return best_overlap > 0;
    });
    if (ok) *monitor = best;
    return ok;
}

bool DisplaySuspendScreenSaver(bool suspend) {
    return WithDisplay([&](Connection& c) {
        if (!c.has_xss) return false;
        // The server ends the suspension itself if our connection closes.
        c.api.XScreenSaverSuspend(c.display, suspend ? True : False);
        return true;
    });
}

bool DisplayKeyState(KeyState* state) {
    KeyState found;
    const bool ok = WithDisplay([&](Connection& c) {
        char keys[32] = {};
        c.api.XQueryKeymap(c.display, keys);
        found.shift_left = KeyDown(c, keys, XK_Shift_L);
        found.shift_right = KeyDown(c, keys, XK_Shift_R);
        found.control_left = KeyDown(c, keys, XK_Control_L);
        found.control_right = KeyDown(c, keys, XK_Control_R);
        found.alt_left = KeyDown(c, keys, XK_Alt_L);
        found.alt_right = KeyDown(c, keys, XK_Alt_R);
        Window root = 0, child = 0;
        int root_x = 0, root_y = 0, x = 0, y = 0;
        unsigned mask = 0;
        if (c.api.XQueryPointer(c.display, c.root, &root, &child, &root_x, &root_y, &x, &y, &mask)) {
            found.caps_lock = (mask & LockMask) != 0;
            const unsigned num_lock = MaskOf(c, XK_Num_Lock);
            found.num_lock = num_lock && (mask & num_lock);
        }
        return true;
    });
    if (ok) *state = found;
    return ok;
}

bool DisplayMouse(int type, bool down, int x, int y) {
    return WithDisplay([&](Connection& c) {
        if (!c.api.xtest) return false;
        const int screen = c.api.XDefaultScreen(c.display);
        const long width = c.api.XDisplayWidth(c.display, screen);
        const long height = c.api.XDisplayHeight(c.display, screen);
        auto to_pixels = [](int normalised, long size) {
            const long pixel = static_cast<long>(std::clamp(normalised, 0, 65535)) * size / 65536;
            return static_cast<int>(std::clamp(pixel, 0L, size - 1));
        };
        c.api.XTestFakeMotionEvent(c.display, -1, to_pixels(x, width), to_pixels(y, height), CurrentTime);
        if (type >= 1 && type <= 3) {
            // X numbers the buttons left 1, middle 2, right 3, as the types do.
            c.api.XTestFakeButtonEvent(c.display, static_cast<unsigned>(type), down ? True : False, CurrentTime);
        }
        return true;
    });
}

}  // namespace Tools::detail
