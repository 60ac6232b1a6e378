// Portable mapping logic of input injection: the SendInput record, pointer and wheel
// arithmetic, held-input tracking, and the virtual-key to keysym table.
#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "control/input_injector.h"
#include "control/keymap.h"
#include "tests/support/log_capture.h"

namespace {

InputEvent mouse(InputKind kind, uint16_t x, uint16_t y, uint8_t button = 0, int16_t wheel = 0) {
    InputEvent e;
    e.kind = kind;
    e.x = x;
    e.y = y;
    e.button = button;
    e.wheel_delta = wheel;
    return e;
}

InputEvent key(InputKind kind, uint16_t vk, uint16_t scan, bool extended) {
    InputEvent e;
    e.kind = kind;
    e.virtual_key = vk;
    e.scan_code = scan;
    e.extended = extended;
    return e;
}

TEST(InputRecord, MouseRowsCarryPositionAndFlags) {
    struct Row {
        InputKind kind;
        uint8_t button;
        uint32_t flags;
    };
    const Row rows[] = {
        {InputKind::MouseMove, 0, 0xC001}, {InputKind::MouseMove, 7, 0xC001},
        {InputKind::MouseDown, 0, 0xC002}, {InputKind::MouseDown, 1, 0xC008}, {InputKind::MouseDown, 2, 0xC020},
        {InputKind::MouseUp, 0, 0xC004},   {InputKind::MouseUp, 1, 0xC010},   {InputKind::MouseUp, 2, 0xC040},
        {InputKind::MouseDown, 3, 0xC000}, {InputKind::MouseUp, 255, 0xC000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "kind " << int(row.kind) << " button " << int(row.button));
        const auto r = input_record_for(mouse(row.kind, 65535, 12345, row.button, 99));
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->type, INPUT_TYPE_MOUSE);
        EXPECT_EQ(r->dx, 65535);  // zero-extended, never sign-extended
        EXPECT_EQ(r->dy, 12345);
        EXPECT_EQ(r->mouse_data, 0u);
        EXPECT_EQ(r->flags, row.flags);
    }
}

TEST(InputRecord, WheelDeltaIsSignExtended) {
    auto down = input_record_for(mouse(InputKind::MouseWheel, 1, 2, 0, -120));
    ASSERT_TRUE(down.has_value());
    EXPECT_EQ(down->flags, 0xC800u);
    EXPECT_EQ(down->mouse_data, 0xFFFFFF88u);
    EXPECT_EQ(down->dx, 1);
    auto up = input_record_for(mouse(InputKind::MouseWheel, 1, 2, 0, 32767));
    EXPECT_EQ(up->mouse_data, 32767u);
    EXPECT_EQ(input_record_for(mouse(InputKind::MouseWheel, 1, 2, 0, -32768))->mouse_data, 0xFFFF8000u);
}

TEST(InputRecord, KeyRowsUseVirtualKeyWithUpAndExtendedFlags) {
    struct Row {
        InputKind kind;
        bool extended;
        uint32_t flags;
    };
    const Row rows[] = {{InputKind::KeyDown, false, 0}, {InputKind::KeyDown, true, 1},
                        {InputKind::KeyUp, false, 2},   {InputKind::KeyUp, true, 3}};
    for (const Row& row : rows) {
        const auto r = input_record_for(key(row.kind, 0xA3, 0x1D, row.extended));
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->type, INPUT_TYPE_KEYBOARD);
        EXPECT_EQ(r->vk, 0xA3);
        EXPECT_EQ(r->scan, 0x1D);
        EXPECT_EQ(r->flags, row.flags);
        EXPECT_EQ(r->mouse_data, 0u);
    }
}

TEST(InputRecord, UnknownKindSubmitsNothing) {
    for (int kind : {6, 7, 200}) {
        InputEvent e = key(static_cast<InputKind>(kind), 0x41, 0x1E, false);
        EXPECT_FALSE(input_record_for(e).has_value()) << kind;
    }
}

TEST(PointerMapping, EndsAndCentreOfSeveralRootSizes) {
    for (int32_t extent : {640, 1024, 1080, 1920, 1921, 7680, 32768}) {
        SCOPED_TRACE(extent);
        EXPECT_EQ(normalized_to_pixel(0, extent), 0);
        EXPECT_EQ(normalized_to_pixel(65535, extent), extent - 1);
        const int32_t centre = normalized_to_pixel(32767, extent);
        EXPECT_LE(std::abs(2 * centre - (extent - 1)), 1);  // the middle pixel, or one of the middle two
    }
    EXPECT_EQ(normalized_to_pixel(32767, 1921), 960);
    EXPECT_EQ(normalized_to_pixel(65535, 1), 0);
    EXPECT_EQ(normalized_to_pixel(65535, 0), 0);
    // Monotonic: no position maps left of a smaller one.
    int32_t last = 0;
    for (uint32_t v = 0; v <= 65535; v += 97) {
        const int32_t px = normalized_to_pixel(static_cast<uint16_t>(v), 1366);
        EXPECT_GE(px, last);
        last = px;
    }
}

TEST(PointerMapping, ViewerButtonsToXButtons) {
    EXPECT_EQ(x_button_for(0), 1u);
    EXPECT_EQ(x_button_for(1), 3u);
    EXPECT_EQ(x_button_for(2), 2u);
    EXPECT_EQ(x_button_for(3), 0u);
}

TEST(WheelAccumulator, WholeNotchesAndCarriedRemainder) {
    WheelAccumulator wheel;
    EXPECT_EQ(wheel.add(-120), -1);
    EXPECT_EQ(wheel.add(360), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(wheel.add(30), 0);
    EXPECT_EQ(wheel.add(30), 1);  // four deltas of 30 make one notch
    EXPECT_EQ(wheel.add(200), 1);
    EXPECT_EQ(wheel.add(40), 1);  // 80 carried + 40
    EXPECT_EQ(wheel.add(-32768), -273);
    EXPECT_EQ(wheel.add(-112), -1);  // -8 carried + -112
}

TEST(WheelAccumulator, ReversalDropsTheOtherDirectionsRemainder) {
    WheelAccumulator wheel;
    EXPECT_EQ(wheel.add(90), 0);
    EXPECT_EQ(wheel.add(-120), -1);  // not swallowed by the 90 left over upwards
    EXPECT_EQ(wheel.add(-60), 0);
    EXPECT_EQ(wheel.add(100), 0);
    EXPECT_EQ(wheel.add(20), 1);
}

TEST(PressedInputs, TracksDistinctHeldInputsAndReleasesNewestFirst) {
    PressedInputs held;
    held.key_down(50);
    held.key_down(38);
    held.key_down(50);  // auto-repeat
    held.key_down(64);
    held.key_up(38);
    held.key_up(999);  // never pressed
    held.button_down(0);
    held.button_down(2);
    held.button_down(3);  // not a real button
    held.button_up(0);
    EXPECT_TRUE(held.held(50));
    EXPECT_FALSE(held.held(38));
    EXPECT_EQ(held.take_keys(), (std::vector<uint64_t>{64, 50}));
    EXPECT_EQ(held.take_buttons(), (std::vector<uint8_t>{2}));
    EXPECT_TRUE(held.take_keys().empty());
    EXPECT_TRUE(held.take_buttons().empty());
}

TEST(Keymap, LettersDigitsAndFunctionKeys) {
    EXPECT_EQ(keysym_for_virtual_key('A', 0, false), uint32_t{XK_a});
    EXPECT_EQ(keysym_for_virtual_key('Z', 0, false), uint32_t{XK_z});
    EXPECT_EQ(keysym_for_virtual_key('0', 0, false), uint32_t{XK_0});
    EXPECT_EQ(keysym_for_virtual_key('9', 0, false), uint32_t{XK_9});
    EXPECT_EQ(keysym_for_virtual_key(vk::F1, 0, false), uint32_t{XK_F1});
    EXPECT_EQ(keysym_for_virtual_key(0x7B, 0, false), uint32_t{XK_F12});
    EXPECT_EQ(keysym_for_virtual_key(vk::F24, 0, false), uint32_t{XK_F24});
}

TEST(Keymap, NumpadKeys) {
    EXPECT_EQ(keysym_for_virtual_key(vk::Numpad0, 0, false), uint32_t{XK_KP_0});
    EXPECT_EQ(keysym_for_virtual_key(0x69, 0, false), uint32_t{XK_KP_9});
    EXPECT_EQ(keysym_for_virtual_key(vk::Decimal, 0, false), uint32_t{XK_KP_Decimal});
    EXPECT_EQ(keysym_for_virtual_key(vk::Divide, 0, true), uint32_t{XK_KP_Divide});
    EXPECT_EQ(keysym_for_virtual_key(vk::Multiply, 0, false), uint32_t{XK_KP_Multiply});
    EXPECT_EQ(keysym_for_virtual_key(vk::Subtract, 0, false), uint32_t{XK_KP_Subtract});
    EXPECT_EQ(keysym_for_virtual_key(vk::Add, 0, false), uint32_t{XK_KP_Add});
    EXPECT_EQ(keysym_for_virtual_key(vk::NumLock, 0, true), uint32_t{XK_Num_Lock});
    EXPECT_EQ(keysym_for_virtual_key(vk::Clear, 0, false), uint32_t{XK_KP_Begin});
}

TEST(Keymap, ExtendedFlagSeparatesKeysSharingACode) {
    EXPECT_EQ(keysym_for_virtual_key(vk::Return, 0x1C, false), uint32_t{XK_Return});
    EXPECT_EQ(keysym_for_virtual_key(vk::Return, 0x1C, true), uint32_t{XK_KP_Enter});
    EXPECT_EQ(keysym_for_virtual_key(vk::Control, 0x1D, false), uint32_t{XK_Control_L});
    EXPECT_EQ(keysym_for_virtual_key(vk::Control, 0x1D, true), uint32_t{XK_Control_R});
    EXPECT_EQ(keysym_for_virtual_key(vk::Menu, 0x38, false), uint32_t{XK_Alt_L});
    EXPECT_EQ(keysym_for_virtual_key(vk::Menu, 0x38, true), uint32_t{XK_Alt_R});
    EXPECT_EQ(keysym_for_virtual_key(vk::Shift, 0x2A, false), uint32_t{XK_Shift_L});
    EXPECT_EQ(keysym_for_virtual_key(vk::Shift, RIGHT_SHIFT_SCAN_CODE, false), uint32_t{XK_Shift_R});

    struct Pair {
        uint16_t vk;
        uint32_t numpad, dedicated;
    };
    const Pair nav[] = {
        {vk::Insert, XK_KP_Insert, XK_Insert}, {vk::Delete, XK_KP_Delete, XK_Delete},
        {vk::Home, XK_KP_Home, XK_Home},       {vk::End, XK_KP_End, XK_End},
        {vk::Prior, XK_KP_Prior, XK_Prior},    {vk::Next, XK_KP_Next, XK_Next},
        {vk::Left, XK_KP_Left, XK_Left},       {vk::Right, XK_KP_Right, XK_Right},
        {vk::Up, XK_KP_Up, XK_Up},             {vk::Down, XK_KP_Down, XK_Down},
    };
    for (const Pair& p : nav) {
        EXPECT_EQ(keysym_for_virtual_key(p.vk, 0, false), p.numpad) << std::hex << p.vk;
        EXPECT_EQ(keysym_for_virtual_key(p.vk, 0, true), p.dedicated) << std::hex << p.vk;
    }
}

TEST(Keymap, ModifiersSystemKeysAndPunctuation) {
    EXPECT_EQ(keysym_for_virtual_key(vk::LShift, 0, false), uint32_t{XK_Shift_L});
    EXPECT_EQ(keysym_for_virtual_key(vk::RShift, 0, false), uint32_t{XK_Shift_R});
    EXPECT_EQ(keysym_for_virtual_key(vk::RControl, 0, true), uint32_t{XK_Control_R});
    EXPECT_EQ(keysym_for_virtual_key(vk::LMenu, 0, false), uint32_t{XK_Alt_L});
    EXPECT_EQ(keysym_for_virtual_key(vk::LWin, 0, true), uint32_t{XK_Super_L});
    EXPECT_EQ(keysym_for_virtual_key(vk::RWin, 0, true), uint32_t{XK_Super_R});
    EXPECT_EQ(keysym_for_virtual_key(vk::Apps, 0, true), uint32_t{XK_Menu});
    EXPECT_EQ(keysym_for_virtual_key(vk::Capital, 0, false), uint32_t{XK_Caps_Lock});
    EXPECT_EQ(keysym_for_virtual_key(vk::Back, 0, false), uint32_t{XK_BackSpace});
    EXPECT_EQ(keysym_for_virtual_key(vk::Escape, 0, false), uint32_t{XK_Escape});
    EXPECT_EQ(keysym_for_virtual_key(vk::Snapshot, 0, true), uint32_t{XK_Print});
    EXPECT_EQ(keysym_for_virtual_key(vk::Pause, 0, false), uint32_t{XK_Pause});

    EXPECT_EQ(keysym_for_virtual_key(vk::Oem1, 0, false), uint32_t{XK_semicolon});
    EXPECT_EQ(keysym_for_virtual_key(vk::OemPlus, 0, false), uint32_t{XK_equal});
    EXPECT_EQ(keysym_for_virtual_key(vk::OemMinus, 0, false), uint32_t{XK_minus});
    EXPECT_EQ(keysym_for_virtual_key(vk::Oem2, 0, false), uint32_t{XK_slash});
    EXPECT_EQ(keysym_for_virtual_key(vk::Oem3, 0, false), uint32_t{XK_grave});
    EXPECT_EQ(keysym_for_virtual_key(vk::Oem5, 0, false), uint32_t{XK_backslash});
    EXPECT_EQ(keysym_for_virtual_key(vk::Oem7, 0, false), uint32_t{XK_apostrophe});
}

TEST(Keymap, MediaAndBrowserKeys) {
    EXPECT_EQ(keysym_for_virtual_key(vk::VolumeMute, 0, true), uint32_t{XF86XK_AudioMute});
    EXPECT_EQ(keysym_for_virtual_key(vk::VolumeDown, 0, true), uint32_t{XF86XK_AudioLowerVolume});
    EXPECT_EQ(keysym_for_virtual_key(vk::VolumeUp, 0, true), uint32_t{XF86XK_AudioRaiseVolume});
    EXPECT_EQ(keysym_for_virtual_key(vk::MediaPlayPause, 0, true), uint32_t{XF86XK_AudioPlay});
    EXPECT_EQ(keysym_for_virtual_key(vk::MediaNextTrack, 0, true), uint32_t{XF86XK_AudioNext});
    EXPECT_EQ(keysym_for_virtual_key(vk::BrowserBack, 0, true), uint32_t{XF86XK_Back});
    EXPECT_EQ(keysym_for_virtual_key(vk::BrowserHome, 0, true), uint32_t{XF86XK_HomePage});
}

TEST(Keymap, CodesWithoutAKeyGiveNothing) {
    for (uint16_t code : {0x00, 0x01, 0x07, 0x3A, 0x40, 0x5E, 0x88, 0xFF, 0x100, 0xFFFF}) {
        EXPECT_EQ(keysym_for_virtual_key(code, 0, false), 0u) << std::hex << code;
        EXPECT_EQ(keysym_for_virtual_key(code, 0, true), 0u) << std::hex << code;
    }
}

TEST(InputInjectorWithoutDisplay, FailsQuietlyAfterOneLogLine) {
    const char* saved = std::getenv("DISPLAY");
    const std::string previous = saved ? saved : "";
    unsetenv("DISPLAY");
    LogCapture log;
    {
        InputInjector injector;
        EXPECT_FALSE(injector.inject(mouse(InputKind::MouseMove, 1, 1)));
        EXPECT_FALSE(injector.inject(key(InputKind::KeyDown, 'A', 0x1E, false)));
        injector.release_all();
    }
    EXPECT_EQ(log.count("\n"), 1u) << log.text();
    EXPECT_TRUE(log.contains("warning|Input injection unavailable")) << log.text();
    if (saved) setenv("DISPLAY", previous.c_str(), 1);
}

}  // namespace
