#pragma once

// Window, input and display helpers. A window is named by its native id (the
// X window id on X11) in a signed 64-bit value. Without a display each
// function does nothing and returns its default. The application window
// stack, the no-sharing set and the display-sleep state are process-wide and
// meant for the GUI thread.

#include <cstdint>

#include <Application/Export.h>

namespace Tools {

enum ButtonType : int {
    ButtonMove = 0,  // move only
    ButtonLeft = 1,
    ButtonMiddle = 2,
    ButtonRight = 3,
};

enum ButtonState : int {
    ButtonUp = 0,  // any state other than ButtonDown releases
    ButtonDown = 1,
};

// Bits of GetKeyboardModifiers.
enum KeyboardModifier : uint32_t {
    ModifierCapsLock = 0x1,  // toggled on
    ModifierShift = 0x2,
    ModifierControl = 0x4,
    ModifierAlt = 0x8,
    ModifierNumLock = 0x100,  // toggled on
    ModifierKeypad = 0x200,   // the key is on the numeric keypad
    ModifierLeft = 0x400,     // the key is the left one of a pair
    ModifierRight = 0x800,    // the key is the right one of a pair
};

// Restores the window if minimised, raises it and gives it the focus; a
// window that does not exist or is not shown is left alone.
APP_API void ActiveAppWindow(int64_t window);

// The application window stack: ids in push order, duplicates allowed.
APP_API void PushAppWindowID(int64_t window);
APP_API void RemoveAppWindowID(int64_t window);  // the first equal entry
APP_API uint64_t GetActiveAppWindowID();          // the last entry, 0 when empty
APP_API void ActiveProcessMainWindow();           // ActiveAppWindow on the last entry

// Windows kept out of screen sharing: an ordered set without duplicates.
APP_API void SetWindowNoSharing(int64_t window);
// Copies at most 100 ids, ascending, into destination; returns the count.
APP_API int GetNoSharingWindow(int64_t* destination);
APP_API void ClearNoSharingWindow();

// Keeps the window above all others (true) or not, without moving it.
APP_API void SetWindowTop(int64_t window, bool top);
// The window's outer rectangle on the screen; outputs untouched on failure.
APP_API void getWindowRect(int64_t window, int* left, int* top, int* width, int* height);
APP_API uint64_t GetWindowID(int64_t window);  // the value unchanged
APP_API uint64_t GetScreenID(int64_t window);  // the value unchanged
// Geometry of the monitor showing the window, in physical pixels: its
// position and size, and its work area. Returns the scale of physical to
// logical pixels; 1.0 without writing anything when no monitor shows it.
// Every output is optional.
APP_API double GetWindowMonitorPhyInfo(int64_t window, int* monitor_x, int* monitor_y, int* monitor_width,
                                       int* monitor_height, int* work_x, int* work_y, int* work_width,
                                       int* work_height);
// Kept for callers; the display server scales for us.
APP_API void EnableHighDpiAwareness(bool enable);

// Keeps the screen saver and display power saving away until enabled again;
// the library enables it again when it is unloaded.
APP_API void DisableComputerDisplaySleep();
APP_API void EnableComputerDisplaySleep();

// The KeyboardModifier bits for a Windows virtual key code and its key flags
// (bit 24: extended key).
APP_API uint32_t GetKeyboardModifiers(uint32_t virtual_key, uint32_t key_flags);

// A mouse event at (x, y) in absolute coordinates normalised to 0..65535
// across the screen. Types other than those of ButtonType do nothing.
APP_API void SimulateMouseEvent(ButtonType type, ButtonState state, int x, int y);

// Accepted and ignored.
APP_API void AddChildWindow(int64_t parent, int64_t child);
APP_API void OpenFile(const char* path);
APP_API void OpenURL(const char* url);
APP_API void SetWindowLevel(int64_t window, int64_t level);
APP_API void set_active_monitor_display();

}  // namespace Tools
