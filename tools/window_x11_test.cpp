// The window helpers against a real X server: an Xvfb of our own with small
// windows made through Xlib directly.

// gtest before Xlib: Xlib's macros (None, Bool) clash with gtest's names.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/keysym.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Tools/window.h"
#include "tools/xvfb_test_server.h"

namespace {

using namespace Tools;
using Tools::testing::Xvfb;

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;

Xvfb g_server(kScreenWidth, kScreenHeight);
std::string g_skip_reason;

class X11WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (g_server.Start(&g_skip_reason)) ::setenv("DISPLAY", g_server.display().c_str(), 1);
    }
    static void TearDownTestSuite() { g_server.Stop(); }

    void SetUp() override {
        if (g_server.display().empty()) GTEST_SKIP() << g_skip_reason;
        display_ = XOpenDisplay(g_server.display().c_str());
        ASSERT_NE(display_, nullptr);
        root_ = DefaultRootWindow(display_);
    }
    void TearDown() override {
        if (!display_) return;
        for (Window window : windows_) XDestroyWindow(display_, window);
        XDeleteProperty(display_, root_, Intern("_NET_WORKAREA"));
        XSync(display_, False);
        XCloseDisplay(display_);
    }

    Window Make(int x, int y, int width, int height, bool map, long events = 0) {
        XSetWindowAttributes attributes{};
        attributes.event_mask = events | StructureNotifyMask;
        const Window window = XCreateWindow(display_, root_, x, y, width, height, 0, CopyFromParent, InputOutput,
                                            CopyFromParent, CWEventMask, &attributes);
        windows_.push_back(window);
        if (map) {
            XMapWindow(display_, window);
            XEvent event;
            XWindowEvent(display_, window, StructureNotifyMask, &event);
            while (event.type != MapNotify) XWindowEvent(display_, window, StructureNotifyMask, &event);
        }
        XSync(display_, False);
        return window;
    }

    ::Atom Intern(const char* name) { return XInternAtom(display_, name, False); }

    int MapState(Window window) {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display_, window, &attributes);
        return attributes.map_state;
    }

    std::vector<long> Longs(Window window, const char* property, ::Atom type) {
        ::Atom actual;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        std::vector<long> values;
        if (XGetWindowProperty(display_, window, Intern(property), 0, 64, False, type, &actual, &format, &count,
                               &after, &data) == Success &&
            data) {
            values.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + count);
            XFree(data);
        }
        return values;
    }

    void SetLongs(Window window, const char* property, ::Atom type, std::vector<long> values) {
        XChangeProperty(display_, window, Intern(property), type, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(values.data()), static_cast<int>(values.size()));
        XSync(display_, False);
    }

    // The next event that satisfies match, within a generous deadline.
    bool NextEvent(const std::function<bool(const XEvent&)>& match, XEvent* out) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            XSync(display_, False);
            while (XPending(display_)) {
                XNextEvent(display_, out);
                if (match(*out)) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    Window Focus() {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(display_, &focus, &revert);
        return focus;
    }

    // Position of window among the root's children, bottom first.
    long StackIndex(Window window) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        XQueryTree(display_, root_, &root, &parent, &children, &count);
        long index = std::find(children, children + count, window) - children;
        XFree(children);
        return index;
    }

    void Key(KeySym symbol, bool down) {
        XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, symbol), down ? True : False, CurrentTime);
        XSync(display_, False);
    }

    Display* display_ = nullptr;
    Window root_ = 0;
    std::vector<Window> windows_;
};

TEST_F(X11WindowTest, ActivateRaisesAndFocuses) {
    const Window lower = Make(50, 50, 100, 100, true);
    const Window upper = Make(60, 60, 100, 100, true);
    ASSERT_GT(StackIndex(upper), StackIndex(lower));
    ActiveAppWindow(static_cast<int64_t>(lower));
    EXPECT_EQ(Focus(), lower);
    EXPECT_GT(StackIndex(lower), StackIndex(upper));

    PushAppWindowID(static_cast<int64_t>(upper));
    ActiveProcessMainWindow();
    EXPECT_EQ(Focus(), upper);
    EXPECT_GT(StackIndex(upper), StackIndex(lower));
    RemoveAppWindowID(static_cast<int64_t>(upper));
}

TEST_F(X11WindowTest, ActivateRestoresMinimisedAndLeavesHiddenAlone) {
    const Window shown = Make(10, 10, 50, 50, true);
    ActiveAppWindow(static_cast<int64_t>(shown));
    ASSERT_EQ(Focus(), shown);

    const Window minimised = Make(20, 20, 50, 50, false);
    SetLongs(minimised, "WM_STATE", Intern("WM_STATE"), {IconicState, 0});
    const Window hidden = Make(30, 30, 50, 50, false);
    ActiveAppWindow(static_cast<int64_t>(hidden));
    EXPECT_EQ(MapState(hidden), IsUnmapped);
    EXPECT_EQ(Focus(), shown);

    ActiveAppWindow(static_cast<int64_t>(minimised));
    EXPECT_EQ(MapState(minimised), IsViewable);

    // A window id that names nothing is ignored, and the helpers keep working.
    ActiveAppWindow(0x7ffffff0);
    SetWindowTop(0x7ffffff0, true);
    int left = -7;
    getWindowRect(0x7ffffff0, &left, nullptr, nullptr, nullptr);
    EXPECT_EQ(left, -7);
    getWindowRect(static_cast<int64_t>(shown), &left, nullptr, nullptr, nullptr);
    EXPECT_EQ(left, 10);
}

TEST_F(X11WindowTest, WindowManagerReceivesActivationAndTopmostRequests) {
    const Window window = Make(40, 40, 80, 80, true);
    // Acting as the window manager: requests to the root come to us.
    XSelectInput(display_, root_, SubstructureRedirectMask | SubstructureNotifyMask);
    XSync(display_, False);
    auto message = [&](const char* type) {
        return [this, window, type](const XEvent& event) {
            return event.type == ClientMessage && event.xclient.window == window &&
                   event.xclient.message_type == Intern(type);
        };
    };
    XEvent event;
    ActiveAppWindow(static_cast<int64_t>(window));
    ASSERT_TRUE(NextEvent(message("_NET_ACTIVE_WINDOW"), &event));
    EXPECT_EQ(event.xclient.data.l[0], 2);

    SetWindowTop(static_cast<int64_t>(window), true);
    ASSERT_TRUE(NextEvent(message("_NET_WM_STATE"), &event));
    EXPECT_EQ(event.xclient.data.l[0], 1);
    EXPECT_EQ(static_cast<::Atom>(event.xclient.data.l[1]), Intern("_NET_WM_STATE_ABOVE"));
    SetWindowTop(static_cast<int64_t>(window), false);
    ASSERT_TRUE(NextEvent(message("_NET_WM_STATE"), &event));
    EXPECT_EQ(event.xclient.data.l[0], 0);
    EXPECT_EQ(static_cast<::Atom>(event.xclient.data.l[1]), Intern("_NET_WM_STATE_ABOVE"));
    XSelectInput(display_, root_, NoEventMask);
}

TEST_F(X11WindowTest, TopmostOfAWithdrawnWindowIsItsOwnState) {
    const Window window = Make(0, 0, 30, 30, false);
    const long above = static_cast<long>(Intern("_NET_WM_STATE_ABOVE"));
    const long sticky = static_cast<long>(Intern("_NET_WM_STATE_STICKY"));
    SetLongs(window, "_NET_WM_STATE", XA_ATOM, {sticky});
    SetWindowTop(static_cast<int64_t>(window), true);
    EXPECT_EQ(Longs(window, "_NET_WM_STATE", XA_ATOM), (std::vector<long>{sticky, above}));
    SetWindowTop(static_cast<int64_t>(window), true);
    EXPECT_EQ(Longs(window, "_NET_WM_STATE", XA_ATOM), (std::vector<long>{sticky, above}));
    SetWindowTop(static_cast<int64_t>(window), false);
    EXPECT_EQ(Longs(window, "_NET_WM_STATE", XA_ATOM), (std::vector<long>{sticky}));
}

TEST_F(X11WindowTest, WindowRectIncludesTheFrame) {
    const Window window = Make(10, 20, 200, 100, true);
    int left = 0, top = 0, width = 0, height = 0;
    getWindowRect(static_cast<int64_t>(window), &left, &top, &width, &height);
    EXPECT_EQ((std::vector<int>{left, top, width, height}), (std::vector<int>{10, 20, 200, 100}));
    SetLongs(window, "_NET_FRAME_EXTENTS", XA_CARDINAL, {2, 3, 20, 4});
    getWindowRect(static_cast<int64_t>(window), &left, &top, &width, &height);
    EXPECT_EQ((std::vector<int>{left, top, width, height}), (std::vector<int>{8, 0, 205, 124}));
}

TEST_F(X11WindowTest, MonitorAndWorkArea) {
    const Window window = Make(100, 100, 200, 100, true);
    int v[8] = {-7, -7, -7, -7, -7, -7, -7, -7};
    EXPECT_EQ(GetWindowMonitorPhyInfo(static_cast<int64_t>(window), &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                                      &v[7]),
              1.0);
    EXPECT_EQ(std::vector<int>(v, v + 8),
              (std::vector<int>{0, 0, kScreenWidth, kScreenHeight, 0, 0, kScreenWidth, kScreenHeight}));

    SetLongs(root_, "_NET_WORKAREA", XA_CARDINAL, {0, 30, kScreenWidth, kScreenHeight - 30});
    EXPECT_EQ(GetWindowMonitorPhyInfo(static_cast<int64_t>(window), nullptr, nullptr, nullptr, nullptr, &v[4],
                                      &v[5], &v[6], &v[7]),
              1.0);
    EXPECT_EQ(std::vector<int>(v + 4, v + 8), (std::vector<int>{0, 30, kScreenWidth, kScreenHeight - 30}));

    // Off every monitor: nothing is written.
    const Window away = Make(kScreenWidth + 500, 0, 50, 50, true);
    int untouched[2] = {-7, -7};
    EXPECT_EQ(GetWindowMonitorPhyInfo(static_cast<int64_t>(away), &untouched[0], &untouched[1], nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr),
              1.0);
    EXPECT_EQ(untouched[0], -7);
    EXPECT_EQ(untouched[1], -7);
}

struct HeldKey {
    KeySym symbol;
    uint32_t virtual_key;
    uint32_t set;
    uint32_t clear;
};

TEST_F(X11WindowTest, ModifiersFromTheKeyMap) {
    const HeldKey cases[] = {
        {XK_Control_R, 0x11, 0x4 | 0x800, 0x400 | 0x2 | 0x8},
        {XK_Control_L, 0x11, 0x4 | 0x400, 0x800},
        {XK_Shift_L, 0x10, 0x2 | 0x400, 0x800 | 0x4},
        {XK_Shift_R, 0x10, 0x2 | 0x800, 0x400},
        {XK_Alt_L, 0x12, 0x8 | 0x400, 0x800},
    };
    for (const HeldKey& c : cases) {
        SCOPED_TRACE(XKeysymToString(c.symbol));
        Key(c.symbol, true);
        const uint32_t held = GetKeyboardModifiers(c.virtual_key, 0);
        Key(c.symbol, false);
        EXPECT_EQ(held & c.set, c.set);
        EXPECT_EQ(held & c.clear, 0u);
        EXPECT_EQ(GetKeyboardModifiers(c.virtual_key, 0) & (0x2 | 0x4 | 0x8 | 0x400 | 0x800), 0u);
    }
    struct Lock {
        KeySym symbol;
        uint32_t bit;
    };
    for (const Lock& lock : {Lock{XK_Caps_Lock, 0x1u}, Lock{XK_Num_Lock, 0x100u}}) {
        SCOPED_TRACE(XKeysymToString(lock.symbol));
        const uint32_t before = GetKeyboardModifiers(0x41, 0) & lock.bit;
        Key(lock.symbol, true);
        Key(lock.symbol, false);
        EXPECT_EQ(GetKeyboardModifiers(0x41, 0) & lock.bit, before ^ lock.bit);
        Key(lock.symbol, true);
        Key(lock.symbol, false);
        EXPECT_EQ(GetKeyboardModifiers(0x41, 0) & lock.bit, before);
    }
}

TEST_F(X11WindowTest, SimulatedMouseInput) {
    const Window window = Make(100, 100, 300, 200, true, ButtonPressMask | ButtonReleaseMask);
    // Normalised coordinates that land exactly on pixel (150, 160).
    const int x = (150 * 65536 + kScreenWidth - 1) / kScreenWidth;
    const int y = (160 * 65536 + kScreenHeight - 1) / kScreenHeight;
    auto pointer = [&] {
        Window root, child;
        int root_x = 0, root_y = 0, wx, wy;
        unsigned mask;
        XQueryPointer(display_, root_, &root, &child, &root_x, &root_y, &wx, &wy, &mask);
        return std::vector<int>{root_x, root_y};
    };
    SimulateMouseEvent(ButtonMove, ButtonUp, x, y);
    EXPECT_EQ(pointer(), (std::vector<int>{150, 160}));
    SimulateMouseEvent(static_cast<ButtonType>(7), ButtonDown, 0, 0);  // no such button: nothing
    EXPECT_EQ(pointer(), (std::vector<int>{150, 160}));

    struct Click {
        ButtonType type;
        unsigned button;
    };
    for (const Click& click : {Click{ButtonLeft, 1u}, Click{ButtonMiddle, 2u}, Click{ButtonRight, 3u}}) {
        auto is = [&](int type) {
            return [&, type](const XEvent& event) {
                return event.type == type && event.xbutton.window == window && event.xbutton.button == click.button;
            };
        };
        XEvent event;
        SimulateMouseEvent(click.type, ButtonDown, x, y);
        ASSERT_TRUE(NextEvent(is(ButtonPress), &event)) << "button " << click.button;
        EXPECT_EQ(event.xbutton.x, 50);
        EXPECT_EQ(event.xbutton.y, 60);
        SimulateMouseEvent(click.type, ButtonUp, x, y);
        ASSERT_TRUE(NextEvent(is(ButtonRelease), &event)) << "button " << click.button;
    }
    // The far corner stays on the screen.
    SimulateMouseEvent(ButtonMove, ButtonUp, 65535, 65535);
    EXPECT_EQ(pointer(), (std::vector<int>{kScreenWidth - 1, kScreenHeight - 1}));
}

TEST_F(X11WindowTest, DisplaySleepKeepsTheScreenSaverAway) {
    auto state = [&] {
        XScreenSaverInfo* info = XScreenSaverAllocInfo();
        XScreenSaverQueryInfo(display_, root_, info);
        const int result = info->state;
        XFree(info);
        return result;
    };
    auto wait_for_saver = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (state() != ScreenSaverOn && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return state() == ScreenSaverOn;
    };
    // A one-second saver: proves the server would start it.
    XSetScreenSaver(display_, 1, 0, DontPreferBlanking, AllowExposures);
    XForceScreenSaver(display_, ScreenSaverReset);
    XSync(display_, False);
    ASSERT_TRUE(wait_for_saver()) << "the server never starts its screen saver";
    XForceScreenSaver(display_, ScreenSaverReset);
    XSync(display_, False);

    DisableComputerDisplaySleep();
    DisableComputerDisplaySleep();  // a second call changes nothing
    // Twice the saver's delay: it must not come on while suspended.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(state(), ScreenSaverOff);
    EnableComputerDisplaySleep();
    EXPECT_TRUE(wait_for_saver());
    EnableComputerDisplaySleep();

    XSetScreenSaver(display_, 0, 0, DontPreferBlanking, AllowExposures);
    XForceScreenSaver(display_, ScreenSaverReset);
    XSync(display_, False);
}

}  // namespace
