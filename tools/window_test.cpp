// The window helpers without a display: process-wide lists and defaults.

#include <cstdlib>

#include <gtest/gtest.h>

#include "Tools/window.h"
#include "tools/window_platform.h"

namespace {

using namespace Tools;

// No display for this program, whatever the environment has.
const bool kNoDisplay = [] {
    ::unsetenv("DISPLAY");
    return true;
}();

TEST(WindowStackTest, LastPushedIsActive) {
    ASSERT_TRUE(kNoDisplay);
    EXPECT_EQ(GetActiveAppWindowID(), 0u);
    ActiveProcessMainWindow();  // empty: nothing to do
    PushAppWindowID(5);
    PushAppWindowID(7);
    PushAppWindowID(5);
    RemoveAppWindowID(5);  // only the first 5 goes
    EXPECT_EQ(GetActiveAppWindowID(), 5u);
    RemoveAppWindowID(5);
    EXPECT_EQ(GetActiveAppWindowID(), 7u);
    RemoveAppWindowID(42);
    EXPECT_EQ(GetActiveAppWindowID(), 7u);
    ActiveProcessMainWindow();  // no display: nothing happens
    RemoveAppWindowID(7);
    EXPECT_EQ(GetActiveAppWindowID(), 0u);
}

TEST(NoSharingTest, OrderedSetWithoutDuplicatesCappedAtHundred) {
    ClearNoSharingWindow();
    SetWindowNoSharing(9);
    SetWindowNoSharing(3);
    SetWindowNoSharing(9);
    int64_t ids[100] = {};
    EXPECT_EQ(GetNoSharingWindow(ids), 2);
    EXPECT_EQ(ids[0], 3);
    EXPECT_EQ(ids[1], 9);

    for (int64_t id = 1000; id < 1150; ++id) SetWindowNoSharing(id);
    int64_t many[101];
    many[100] = -1;
    EXPECT_EQ(GetNoSharingWindow(many), 100);
    EXPECT_EQ(many[0], 3);
    EXPECT_EQ(many[99], 1097);
    EXPECT_EQ(many[100], -1);  // never more than 100 written
    ClearNoSharingWindow();
    EXPECT_EQ(GetNoSharingWindow(ids), 0);
}

struct ModifierCase {
    const char* label;
    uint32_t key;
    uint32_t flags;
    detail::KeyState state;
    uint32_t bits;
};

detail::KeyState Keys(void (*set)(detail::KeyState&)) {
    detail::KeyState state;
    set(state);
    return state;
}

class ModifierBitsTest : public ::testing::TestWithParam<ModifierCase> {};

TEST_P(ModifierBitsTest, DesignedBits) {
    const ModifierCase& c = GetParam();
    EXPECT_EQ(detail::ModifierBits(c.key, c.flags, c.state), c.bits);
}

constexpr uint32_t kExtended = 1u << 24;

INSTANTIATE_TEST_SUITE_P(
    Keys, ModifierBitsTest,
    ::testing::Values(
        ModifierCase{"right_control", 0x11, 0, Keys([](auto& s) { s.control_right = true; }), 0x4 | 0x800},
        ModifierCase{"both_controls_left_first", 0x11, 0,
                     Keys([](auto& s) { s.control_left = s.control_right = true; }), 0x4 | 0x400},
        ModifierCase{"left_shift", 0x10, 0, Keys([](auto& s) { s.shift_left = true; }), 0x2 | 0x400},
        ModifierCase{"right_alt", 0x12, 0, Keys([](auto& s) { s.alt_right = true; }), 0x8 | 0x800},
        ModifierCase{"shift_held_other_key", 0x41, 0, Keys([](auto& s) { s.shift_right = true; }), 0x2},
        ModifierCase{"locks", 0x41, 0, Keys([](auto& s) { s.caps_lock = s.num_lock = true; }), 0x1 | 0x100},
        ModifierCase{"left_system_key", 0x5B, 0, {}, 0x400},
        ModifierCase{"right_system_key", 0x5C, 0, {}, 0x800},
        ModifierCase{"keypad_digit", 0x60, 0, {}, 0x200}, ModifierCase{"keypad_divide", 0x6F, 0, {}, 0x200},
        ModifierCase{"separator_not_keypad", 0x6C, 0, {}, 0}, ModifierCase{"clear", 0x0C, 0, {}, 0x200},
        ModifierCase{"num_lock_key", 0x90, 0, {}, 0x200},
        ModifierCase{"keypad_enter", 0x0D, kExtended, {}, 0x200}, ModifierCase{"main_enter", 0x0D, 0, {}, 0},
        ModifierCase{"keypad_home", 0x24, 0, {}, 0x200}, ModifierCase{"arrow_block_home", 0x24, kExtended, {}, 0},
        ModifierCase{"keypad_delete", 0x2E, 0, {}, 0x200}, ModifierCase{"arrow_block_insert", 0x2D, kExtended, {}, 0},
        ModifierCase{"letter", 0x41, 0, {}, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(NoDisplayTest, EveryHelperKeepsItsDefault) {
    EXPECT_EQ(GetKeyboardModifiers(0x11, 0), 0u);
    EXPECT_EQ(GetKeyboardModifiers(0x5B, 0), 0x400u);
    EXPECT_EQ(GetKeyboardModifiers(0x0D, kExtended), 0x200u);

    int values[8] = {-7, -7, -7, -7, -7, -7, -7, -7};
    EXPECT_EQ(GetWindowMonitorPhyInfo(1, &values[0], &values[1], &values[2], &values[3], &values[4], &values[5],
                                      &values[6], &values[7]),
              1.0);
    getWindowRect(1, &values[0], &values[1], &values[2], &values[3]);
    for (int value : values) EXPECT_EQ(value, -7);

    ActiveAppWindow(1);
    SetWindowTop(1, true);
    SimulateMouseEvent(ButtonLeft, ButtonDown, 100, 100);
    DisableComputerDisplaySleep();
    EnableComputerDisplaySleep();
    EnableHighDpiAwareness(true);
    AddChildWindow(1, 2);
    OpenFile("/tmp/x");
    OpenURL("https://example.invalid/");
    SetWindowLevel(1, 2);
    set_active_monitor_display();
    EXPECT_EQ(GetWindowID(-5), static_cast<uint64_t>(-5));
    EXPECT_EQ(GetScreenID(77), 77u);
}

}  // namespace
