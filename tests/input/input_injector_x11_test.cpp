// InputInjector against a real X server (Xvfb), observed by a recording client.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "control/input_injector.h"
#include "control/keymap.h"
#include "tests/input/input_events.h"
#include "tests/input/x_event_recorder.h"
#include "tests/support/process.h"

namespace {

using Event = XEventRecorder::Event;

constexpr int WIDTH = 1280;
constexpr int HEIGHT = 720;

auto is(int type, unsigned detail) {
    return [=](const Event& e) { return e.type == type && e.detail == detail; };
}

class InputInjectorX11 : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(display_.ok()) << "Xvfb did not start";
        const char* saved = std::getenv("DISPLAY");
        saved_display_ = saved ? std::optional<std::string>(saved) : std::nullopt;
        setenv("DISPLAY", display_.name().c_str(), 1);
        recorder_ = std::make_unique<XEventRecorder>(display_.name());
        ASSERT_TRUE(recorder_->ok()) << "recording window not mapped";
        injector_ = std::make_unique<InputInjector>();
    }
    void TearDown() override {
        injector_.reset();
        recorder_.reset();
        if (saved_display_) {
            setenv("DISPLAY", saved_display_->c_str(), 1);
        } else {
            unsetenv("DISPLAY");
        }
    }

    bool pointer_at(int x, int y) {
        return testsupport::wait_until(
            [&] {
                int px = -1, py = -1;
                return recorder_->pointer(px, py) && px == x && py == y;
            },
            std::chrono::milliseconds(5000));
    }

    testsupport::VirtualDisplay display_{WIDTH, HEIGHT};
    std::optional<std::string> saved_display_;
    std::unique_ptr<XEventRecorder> recorder_;
    std::unique_ptr<InputInjector> injector_;
};

TEST_F(InputInjectorX11, MovesSpanTheWholeRootWindow) {
    ASSERT_TRUE(injector_->inject(mouse(InputKind::MouseMove, 32767, 32767)));
    EXPECT_TRUE(pointer_at(WIDTH / 2 - 1, HEIGHT / 2 - 1));  // 639.5 and 359.5 round down
    ASSERT_TRUE(injector_->inject(mouse(InputKind::MouseMove, 65535, 65535)));
    EXPECT_TRUE(pointer_at(WIDTH - 1, HEIGHT - 1));
    ASSERT_TRUE(injector_->inject(mouse(InputKind::MouseMove, 0, 0)));
    EXPECT_TRUE(pointer_at(0, 0));
}

TEST_F(InputInjectorX11, ClicksActAtThePointerWithoutMovingIt) {
    ASSERT_TRUE(injector_->inject(mouse(InputKind::MouseMove, 16384, 49151)));
    ASSERT_TRUE(pointer_at(320, 539));
    // The press carries another position: like SendInput, it does not move the pointer.
    for (uint8_t button : {0, 1, 2}) {
        EXPECT_TRUE(injector_->inject(mouse(InputKind::MouseDown, 100, 100, button)));
        EXPECT_TRUE(injector_->inject(mouse(InputKind::MouseUp, 100, 100, button)));
    }
    EXPECT_TRUE(injector_->inject(mouse(InputKind::MouseDown, 100, 100, 7)));  // no such button: no event
    ASSERT_TRUE(recorder_->wait_for(is(ButtonRelease, 2)));
    const auto& events = recorder_->events();
    ASSERT_EQ(events.size(), 6u);
    const unsigned expected[] = {1, 3, 2};  // left, right, middle
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(events[2 * i].type, ButtonPress);
        EXPECT_EQ(events[2 * i].detail, expected[i]);
        EXPECT_EQ(events[2 * i + 1].type, ButtonRelease);
        EXPECT_EQ(events[2 * i + 1].detail, expected[i]);
        EXPECT_EQ(events[2 * i].x_root, 320);
        EXPECT_EQ(events[2 * i].y_root, 539);
    }
}

TEST_F(InputInjectorX11, KeysReachTheFocusedClient) {
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, 'A')));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyUp, 'A')));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, vk::Return, true)));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyUp, vk::Return, true)));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, vk::Home, false)));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyUp, vk::Home, false)));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, vk::Home, true)));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyUp, vk::Home, true)));
    ASSERT_TRUE(recorder_->wait_for([](const Event& e) { return e.type == KeyRelease; }, 4));

    std::vector<unsigned long> pressed;
    for (const Event& e : recorder_->events()) {
        if (e.type == KeyPress) pressed.push_back(e.keysym);
    }
    EXPECT_EQ(pressed, (std::vector<unsigned long>{XK_a, XK_KP_Enter, XK_KP_Home, XK_Home}));
}

TEST_F(InputInjectorX11, UnmappableKeysFailWithoutEvents) {
    EXPECT_FALSE(injector_->inject(key(InputKind::KeyDown, 0xFF)));
    InputEvent bogus = key(InputKind::KeyDown, 'A');
    bogus.kind = static_cast<InputKind>(6);
    EXPECT_FALSE(injector_->inject(bogus));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, 'B')));
    ASSERT_TRUE(recorder_->wait_for(is(KeyPress, recorder_->keycode(XK_b))));
    EXPECT_EQ(recorder_->events().size(), 1u);
    injector_->release_all();
}

TEST_F(InputInjectorX11, KeysMissingFromTheMapBorrowEmptyKeycodesUntilDestroyed) {
    ASSERT_EQ(recorder_->keycode(XK_F13), 0u) << "the test needs a keysym the keyboard map lacks";
    EXPECT_TRUE(injector_->inject(key(InputKind::KeyUp, vk::F1 + 14)));  // F15 never pressed: nothing to do
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, vk::F1 + 12)));  // F13
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, vk::F1 + 13)));  // F14, while F13 is held
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyUp, vk::F1 + 12)));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyUp, vk::F1 + 13)));
    ASSERT_TRUE(recorder_->wait_for([](const Event& e) { return e.type == KeyRelease; }, 2));

    std::vector<unsigned long> pressed;
    std::vector<unsigned> keycodes;
    for (const Event& e : recorder_->events()) {
        if (e.type != KeyPress) continue;
        pressed.push_back(e.keysym);
        keycodes.push_back(e.detail);
    }
    EXPECT_EQ(pressed, (std::vector<unsigned long>{XK_F13, XK_F14}));
    EXPECT_EQ(recorder_->events().size(), 4u);
    EXPECT_EQ(recorder_->keycode(XK_F15), 0u);
    ASSERT_EQ(keycodes.size(), 2u);
    EXPECT_NE(keycodes[0], keycodes[1]);

    injector_.reset();
    recorder_->events();  // takes in the map change
    EXPECT_EQ(recorder_->keycode(XK_F13), 0u);
    EXPECT_EQ(recorder_->keycode(XK_F14), 0u);
}

TEST_F(InputInjectorX11, WheelTurnsInWholeNotches) {
    ASSERT_TRUE(injector_->inject(mouse(InputKind::MouseWheel, 0, 0, 0, -120)));
    ASSERT_TRUE(recorder_->wait_for(is(ButtonRelease, 5)));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(injector_->inject(mouse(InputKind::MouseWheel, 0, 0, 0, 30)));
    ASSERT_TRUE(injector_->inject(mouse(InputKind::MouseWheel, 0, 0, 0, 240)));
    ASSERT_TRUE(recorder_->wait_for(is(ButtonRelease, 4), 3));
    EXPECT_EQ(recorder_->count(ButtonPress, 5), 1u);
    EXPECT_EQ(recorder_->count(ButtonPress, 4), 3u);
}

TEST_F(InputInjectorX11, ReleaseAllLetsGoOfHeldKeysAndButtonsOnce) {
    const unsigned shift = recorder_->keycode(XK_Shift_L);
    const unsigned letter = recorder_->keycode(XK_q);
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, vk::LShift)));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, 'Q')));
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, 'Q')));  // auto-repeat
    ASSERT_TRUE(injector_->inject(mouse(InputKind::MouseDown, 0, 0, 0)));
    ASSERT_TRUE(recorder_->wait_for(is(ButtonPress, 1)));

    injector_->release_all();
    ASSERT_TRUE(recorder_->wait_for(is(KeyRelease, shift)));
    EXPECT_EQ(recorder_->count(KeyRelease, letter), 1u);
    EXPECT_EQ(recorder_->count(ButtonRelease, 1), 1u);

    // Nothing is held any more: destroying the injector (which syncs on close) adds no
    // further releases.
    injector_.reset();
    EXPECT_EQ(recorder_->count(KeyRelease, shift), 1u);
    EXPECT_EQ(recorder_->count(KeyRelease, letter), 1u);
    EXPECT_EQ(recorder_->count(ButtonRelease, 1), 1u);
}

TEST_F(InputInjectorX11, DestroyingTheInjectorReleasesHeldKeys) {
    const unsigned ctrl = recorder_->keycode(XK_Control_R);
    ASSERT_TRUE(injector_->inject(key(InputKind::KeyDown, vk::Control, true)));
    ASSERT_TRUE(recorder_->wait_for(is(KeyPress, ctrl)));
    injector_.reset();
    EXPECT_EQ(recorder_->count(KeyRelease, ctrl), 1u);
}

}  // namespace
