// The window helpers' process-wide state and the parts that need no display.

#include <algorithm>
#include <cmath>
#include <mutex>
#include <set>
#include <vector>

#include "Tools/window.h"
#include "tools/window_platform.h"

namespace Tools {
namespace {

constexpr uint32_t kExtendedKey = 1u << 24;
constexpr int kMaxNoSharingWindows = 100;

// Meant for the GUI thread, but a lock costs nothing and keeps a stray call
// from another thread from corrupting the lists.
struct WindowState {
    std::mutex mutex;
    std::vector<int64_t> stack;
    std::set<int64_t> no_sharing;
    bool display_sleep_disabled = false;

    ~WindowState() {
        // Unloading with display sleep disabled gives it back.
        if (display_sleep_disabled) detail::DisplaySuspendScreenSaver(false);
    }
};

WindowState& State() {
    static WindowState state;
    return state;
}

}  // namespace

namespace detail {

uint32_t ModifierBits(uint32_t virtual_key, uint32_t key_flags, const KeyState& state) {
    uint32_t bits = 0;
    if (state.caps_lock) bits |= ModifierCapsLock;
    if (state.shift_left || state.shift_right) bits |= ModifierShift;
    if (state.control_left || state.control_right) bits |= ModifierControl;
    if (state.alt_left || state.alt_right) bits |= ModifierAlt;
    if (state.num_lock) bits |= ModifierNumLock;

    const uint32_t k = virtual_key;
    const bool extended = (key_flags & kExtendedKey) != 0;
    if (k == 0x0C || (k >= 0x60 && k <= 0x6B) || (k >= 0x6D && k <= 0x6F) || k == 0x90) bits |= ModifierKeypad;
    if (k == 0x0D && extended) bits |= ModifierKeypad;
    if (((k >= 0x21 && k <= 0x28) || k == 0x2D || k == 0x2E) && !extended) bits |= ModifierKeypad;

    auto side = [&](bool left, bool right) {
        if (left)
            bits |= ModifierLeft;
        else if (right)
            bits |= ModifierRight;
    };
    if (k == 0x10) side(state.shift_left, state.shift_right);
    if (k == 0x11) side(state.control_left, state.control_right);
    if (k == 0x12) side(state.alt_left, state.alt_right);
    if (k == 0x5B) bits |= ModifierLeft;
    if (k == 0x5C) bits |= ModifierRight;
    return bits;
}

}  // namespace detail

void ActiveAppWindow(int64_t window) { detail::DisplayActivate(window); }

void PushAppWindowID(int64_t window) {
    WindowState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.stack.push_back(window);
}

void RemoveAppWindowID(int64_t window) {
    WindowState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto found = std::find(state.stack.begin(), state.stack.end(), window);
    if (found != state.stack.end()) state.stack.erase(found);
}

uint64_t GetActiveAppWindowID() {
    WindowState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.stack.empty() ? 0 : static_cast<uint64_t>(state.stack.back());
}

void ActiveProcessMainWindow() {
    const uint64_t window = GetActiveAppWindowID();
    if (window != 0) ActiveAppWindow(static_cast<int64_t>(window));
}

void SetWindowNoSharing(int64_t window) {
    WindowState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.no_sharing.insert(window);
}

int GetNoSharingWindow(int64_t* destination) {
    WindowState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    int count = 0;
    for (auto it = state.no_sharing.begin(); it != state.no_sharing.end() && count < kMaxNoSharingWindows; ++it) {
        if (destination) destination[count] = *it;
        ++count;
    }
    return count;
}

void ClearNoSharingWindow() {
    WindowState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.no_sharing.clear();
}

void SetWindowTop(int64_t window, bool top) { detail::DisplaySetTopmost(window, top); }

void getWindowRect(int64_t window, int* left, int* top, int* width, int* height) {
    detail::Rect rect;
    if (!detail::DisplayWindowRect(window, &rect)) return;
    if (left) *left = rect.x;
    if (top) *top = rect.y;
    if (width) *width = rect.width;
    if (height) *height = rect.height;
}

uint64_t GetWindowID(int64_t window) { return static_cast<uint64_t>(window); }

uint64_t GetScreenID(int64_t window) { return static_cast<uint64_t>(window); }

double GetWindowMonitorPhyInfo(int64_t window, int* monitor_x, int* monitor_y, int* monitor_width,
                               int* monitor_height, int* work_x, int* work_y, int* work_width, int* work_height) {
    detail::MonitorInfo monitor;
    if (!detail::DisplayMonitorOf(window, &monitor) || monitor.logical.width <= 0) return 1.0;
    const double scale = static_cast<double>(monitor.physical.width) / monitor.logical.width;
    const detail::Rect& logical = monitor.logical;
    const detail::Rect& work = monitor.work;
    if (monitor_x) *monitor_x = monitor.physical.x;
    if (monitor_y) *monitor_y = monitor.physical.y;
    if (monitor_width) *monitor_width = monitor.physical.width;
    if (monitor_height) *monitor_height = monitor.physical.height;
    if (work_x) *work_x = monitor.physical.x + static_cast<int>(std::floor((work.x - logical.x) * scale));
    if (work_y) *work_y = monitor.physical.y + static_cast<int>(std::floor((work.y - logical.y) * scale));
    if (work_width) *work_width = static_cast<int>(std::floor(work.width * scale));
    if (work_height) *work_height = static_cast<int>(std::floor(work.height * scale));
    return scale;
}

void EnableHighDpiAwareness(bool /*enable*/) {}

void DisableComputerDisplaySleep() {
    WindowState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.display_sleep_disabled) return;
    detail::DisplaySuspendScreenSaver(true);
    state.display_sleep_disabled = true;
}

void EnableComputerDisplaySleep() {
    WindowState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.display_sleep_disabled) return;
    detail::DisplaySuspendScreenSaver(false);
    state.display_sleep_disabled = false;
}

uint32_t GetKeyboardModifiers(uint32_t virtual_key, uint32_t key_flags) {
    detail::KeyState keys;
    detail::DisplayKeyState(&keys);
    return detail::ModifierBits(virtual_key, key_flags, keys);
}

void SimulateMouseEvent(ButtonType type, ButtonState state, int x, int y) {
    const int kind = static_cast<int>(type);
    if (kind < ButtonMove || kind > ButtonRight) return;
    detail::DisplayMouse(kind, state == ButtonDown, x, y);
}

void AddChildWindow(int64_t, int64_t) {}
void OpenFile(const char*) {}
void OpenURL(const char*) {}
void SetWindowLevel(int64_t, int64_t) {}
void set_active_monitor_display() {}

}  // namespace Tools
