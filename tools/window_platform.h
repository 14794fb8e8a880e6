#pragma once

// What the window helpers need from a display server. Every function does
// nothing and returns false when there is no display.

#include <cstdint>

namespace Tools::detail {

struct KeyState {
    bool caps_lock = false, num_lock = false;
    bool shift_left = false, shift_right = false;
    bool control_left = false, control_right = false;
    bool alt_left = false, alt_right = false;
};

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

struct MonitorInfo {
    Rect logical;   // the monitor in desktop coordinates
    Rect physical;  // its position and size in device pixels
    Rect work;      // the work area in desktop coordinates
};

// Modifier bits from the key state and the key itself.
uint32_t ModifierBits(uint32_t virtual_key, uint32_t key_flags, const KeyState& state);

bool DisplayActivate(int64_t window);
bool DisplaySetTopmost(int64_t window, bool top);
bool DisplayWindowRect(int64_t window, Rect* rect);
bool DisplayMonitorOf(int64_t window, MonitorInfo* monitor);
bool DisplaySuspendScreenSaver(bool suspend);
bool DisplayKeyState(KeyState* state);
bool DisplayMouse(int type, bool down, int x, int y);

}  // namespace Tools::detail
