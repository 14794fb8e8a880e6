// Two real Velmora processes on an X server of the test's own: the second
// start hands over to the first, whose window comes to the front with the
// input focus, also when another window covered it.

// gtest before Xlib: Xlib's macros (None, Bool) clash with gtest's names.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>

#include "host/test_support/velmora_fixture.h"
#include "tools/xvfb_test_server.h"

namespace {

using test_support::ChildProcess;
using test_support::DescribeStatus;
using test_support::kVelmoraDeadline;

Tools::testing::Xvfb g_server;
std::string g_skip_reason;

class RaiseWindowTest : public test_support::VelmoraProcessTest {
protected:
    static void SetUpTestSuite() {
        if (!g_server.Start(&g_skip_reason) && g_skip_reason.empty()) g_skip_reason = "Xvfb could not be started";
    }
    static void TearDownTestSuite() { g_server.Stop(); }

    void SetUp() override {
        if (g_server.display().empty()) GTEST_SKIP() << g_skip_reason;
        VelmoraProcessTest::SetUp();
        display_ = XOpenDisplay(g_server.display().c_str());
        ASSERT_NE(display_, nullptr);
        // Windows of the host come and go while we look at them.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        root_ = DefaultRootWindow(display_);
    }
    void TearDown() override {
        if (!display_) return;
        if (cover_) XDestroyWindow(display_, cover_);
        XCloseDisplay(display_);
    }

    // The first instance shows the demo configuration's window on the X server.
    std::map<std::string, std::string> OnDisplay() const {
        return {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", g_server.display()}};
    }

    static bool WaitFor(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + kVelmoraDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition()) return true;
            const timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        return condition();
    }

    long Pid(Window window) {
        Atom actual;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        long pid = 0;
        if (XGetWindowProperty(display_, window, XInternAtom(display_, "_NET_WM_PID", False), 0, 1, False,
                               XA_CARDINAL, &actual, &format, &count, &after, &data) == Success &&
            data) {
            if (count == 1) pid = *reinterpret_cast<long*>(data);
            XFree(data);
        }
        return pid;
    }

    std::string Title(Window window) {
        char* name = nullptr;
        if (!XFetchName(display_, window, &name) || !name) return {};
        std::string title = name;
        XFree(name);
        return title;
    }

    // A shown top-level window of process pid with this title, or 0.
    Window ShownWindowTitled(pid_t pid, const std::string& title) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        Window found = 0;
        if (XQueryTree(display_, root_, &root, &parent, &children, &count)) {
            for (unsigned i = 0; i < count && !found; ++i) {
                if (Pid(children[i]) == pid && Viewable(children[i]) && Title(children[i]) == title) found = children[i];
            }
            XFree(children);
        }
        return found;
    }

    bool Viewable(Window window) {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(display_, window, &attributes) && attributes.map_state == IsViewable;
    }

    // A shown top-level window of process pid, or 0.
    Window ShownWindowOf(pid_t pid) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        Window found = 0;
        if (XQueryTree(display_, root_, &root, &parent, &children, &count)) {
            for (unsigned i = 0; i < count && !found; ++i) {
                if (Pid(children[i]) == pid && Viewable(children[i])) found = children[i];
            }
            XFree(children);
        }
        return found;
    }

    // Position among the root's children, bottom first.
    long StackIndex(Window window) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, root_, &root, &parent, &children, &count)) return -1;
        const long index = std::find(children, children + count, window) - children;
        XFree(children);
        return index;
    }

    Window Focus() {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(display_, &focus, &revert);
        return focus;
    }

    // A window of the test's own over the given one, holding the focus.
    void Cover(Window window) {
        XWindowAttributes below{};
        ASSERT_TRUE(XGetWindowAttributes(display_, window, &below));
        cover_ = XCreateSimpleWindow(display_, root_, below.x, below.y, below.width + 20, below.height + 20, 0, 0, 0);
        XMapRaised(display_, cover_);
        XSync(display_, False);
        ASSERT_TRUE(WaitFor([&] { return Viewable(cover_); }));
        XSetInputFocus(display_, cover_, RevertToParent, CurrentTime);
        XSync(display_, False);
        ASSERT_EQ(Focus(), cover_);
        ASSERT_GT(StackIndex(cover_), StackIndex(window));
    }

    Display* display_ = nullptr;
    Window root_ = 0;
    Window cover_ = 0;
};

TEST_F(RaiseWindowTest, SecondStartBringsTheFirstWindowForward) {
    const std::string config = temp_.path() + "/plugins.json";
    std::ofstream(config) << R"({"plugins": [{"type": 2, "file": ")" DEMO_WINDOW_PATH R"(", "name": "DemoWindow"}]})";
    Start({"-plugin_config=" + config}, OnDisplay());
    ASSERT_TRUE(WaitUntilRunning());
    const pid_t first = child_.pid();
    Window shown = 0;
    ASSERT_TRUE(WaitFor([&] { return (shown = ShownWindowOf(first)) != 0; })) << "the first instance shows no window";
    Cover(shown);

    ChildProcess second;
    ASSERT_TRUE(second.Start(VELMORA_PROGRAM, {}, Environment(OnDisplay()), temp_.path()));
    int status = -1;
    ASSERT_TRUE(second.WaitForExit(kVelmoraDeadline, &status)) << "the second instance did not leave";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);

    EXPECT_TRUE(WaitFor([&] { return Focus() == shown; })) << "the first instance's window did not get the focus";
    EXPECT_GT(StackIndex(shown), StackIndex(cover_)) << "the first instance's window is still covered";

    ASSERT_EQ(kill(first, SIGTERM), 0);
    ASSERT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
}

// Where a window can be seen, safe mode says so in one of its own.
TEST_F(RaiseWindowTest, SafeModeShowsItsNotice) {
    const std::string config = temp_.path() + "/plugins.json";
    std::ofstream(config) << R"({"plugins": [{"type": 1, "name": "InnerPluginTest"}]})";
    Start({"--safe-mode", "-plugin_config=" + config}, OnDisplay());
    ASSERT_TRUE(WaitUntilRunning());
    const pid_t host = child_.pid();
    EXPECT_TRUE(WaitFor([&] { return ShownWindowTitled(host, "Velmora: safe mode") != 0; }))
        << "no safe-mode notice on the display";

    ASSERT_EQ(kill(host, SIGTERM), 0);
    int status = -1;
    ASSERT_TRUE(child_.WaitForExit(kVelmoraDeadline, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << DescribeStatus(status);
}

}  // namespace
