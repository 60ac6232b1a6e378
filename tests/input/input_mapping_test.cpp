// Portable mapping logic of input injection: the SendInput record, pointer and wheel
// arithmetic, held-input tracking, and the virtual-key to keysym table.
#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "control/input_injector.h"
#include "control/keymap.h"
#include "tests/input/input_events.h"
#include "tests/support/log_capture.h"

namespace {

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
        const auto r = input_record_for(key(row.kind, 0xA3, row.extended, 0x1D));
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
        InputEvent e = key(static_cast<InputKind>(kind), 0x41, false, 0x1E);
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

struct KeyCase {
    uint16_t vk;
    uint32_t keysym;
    bool extended = false;
    uint16_t scan = 0;
};

void expect_keysyms(std::initializer_list<KeyCase> cases) {
    for (const KeyCase& c : cases) {
        EXPECT_EQ(keysym_for_virtual_key(c.vk, c.scan, c.extended), c.keysym)
            << "vk 0x" << std::hex << c.vk << (c.extended ? " extended" : "") << " scan 0x" << c.scan;
    }
}

TEST(Keymap, LettersDigitsFunctionAndNumpadKeys) {
    expect_keysyms({{'A', XK_a}, {'Z', XK_z}, {'0', XK_0}, {'9', XK_9},
                    {vk::F1, XK_F1}, {0x7B, XK_F12}, {vk::F24, XK_F24},
                    {vk::Numpad0, XK_KP_0}, {0x69, XK_KP_9}, {vk::Decimal, XK_KP_Decimal},
                    {vk::Divide, XK_KP_Divide, true}, {vk::Multiply, XK_KP_Multiply},
                    {vk::Subtract, XK_KP_Subtract}, {vk::Add, XK_KP_Add},
                    {vk::NumLock, XK_Num_Lock, true}, {vk::Clear, XK_KP_Begin}});
}

TEST(Keymap, ExtendedFlagSeparatesKeysSharingACode) {
    expect_keysyms({{vk::Return, XK_Return, false, 0x1C}, {vk::Return, XK_KP_Enter, true, 0x1C},
                    {vk::Control, XK_Control_L, false, 0x1D}, {vk::Control, XK_Control_R, true, 0x1D},
                    {vk::Menu, XK_Alt_L, false, 0x38}, {vk::Menu, XK_Alt_R, true, 0x38},
                    {vk::Shift, XK_Shift_L, false, 0x2A}, {vk::Shift, XK_Shift_R, false, RIGHT_SHIFT_SCAN_CODE}});
    // Without the flag the navigation codes come from the numpad, with it from the dedicated block.
    expect_keysyms({{vk::Insert, XK_KP_Insert}, {vk::Insert, XK_Insert, true},
                    {vk::Delete, XK_KP_Delete}, {vk::Delete, XK_Delete, true},
                    {vk::Home, XK_KP_Home}, {vk::Home, XK_Home, true},
                    {vk::End, XK_KP_End}, {vk::End, XK_End, true},
                    {vk::Prior, XK_KP_Prior}, {vk::Prior, XK_Prior, true},
                    {vk::Next, XK_KP_Next}, {vk::Next, XK_Next, true},
                    {vk::Left, XK_KP_Left}, {vk::Left, XK_Left, true},
                    {vk::Right, XK_KP_Right}, {vk::Right, XK_Right, true},
                    {vk::Up, XK_KP_Up}, {vk::Up, XK_Up, true},
                    {vk::Down, XK_KP_Down}, {vk::Down, XK_Down, true}});
}

TEST(Keymap, ModifiersSystemKeysPunctuationAndMedia) {
    expect_keysyms({{vk::LShift, XK_Shift_L}, {vk::RShift, XK_Shift_R}, {vk::RControl, XK_Control_R, true},
                    {vk::LMenu, XK_Alt_L}, {vk::LWin, XK_Super_L, true}, {vk::RWin, XK_Super_R, true},
                    {vk::Apps, XK_Menu, true}, {vk::Capital, XK_Caps_Lock}, {vk::Back, XK_BackSpace},
                    {vk::Escape, XK_Escape}, {vk::Snapshot, XK_Print, true}, {vk::Pause, XK_Pause}});
    expect_keysyms({{vk::Oem1, XK_semicolon}, {vk::OemPlus, XK_equal}, {vk::OemMinus, XK_minus},
                    {vk::Oem2, XK_slash}, {vk::Oem3, XK_grave}, {vk::Oem5, XK_backslash},
                    {vk::Oem7, XK_apostrophe}, {vk::Oem102, XK_less}});
    expect_keysyms({{vk::VolumeMute, XF86XK_AudioMute, true}, {vk::VolumeDown, XF86XK_AudioLowerVolume, true},
                    {vk::VolumeUp, XF86XK_AudioRaiseVolume, true}, {vk::MediaPlayPause, XF86XK_AudioPlay, true},
                    {vk::MediaNextTrack, XF86XK_AudioNext, true}, {vk::BrowserBack, XF86XK_Back, true},
                    {vk::BrowserHome, XF86XK_HomePage, true}});
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
        EXPECT_FALSE(injector.inject(key(InputKind::KeyDown, 'A', false, 0x1E)));
        injector.release_all();
    }
    EXPECT_EQ(log.count("\n"), 1u) << log.text();
    EXPECT_TRUE(log.contains("warning|Input injection unavailable")) << log.text();
    if (saved) setenv("DISPLAY", previous.c_str(), 1);
}

}  // namespace
