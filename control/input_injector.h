#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "net/protocol.h"

// Turns viewers' mouse and keyboard events into synthetic input on this machine:
// SendInput on Windows, XTest on an X11 display elsewhere. On X11 a key whose keysym
// has no key in the keyboard map is typed through an empty keycode that the injector
// maps for it, and returns to empty when the injector is destroyed.
//
// Mouse positions arrive normalised to 0..65535 across the whole virtual desktop and are
// handed to the system as they are; button presses and wheel turns act at the pointer's
// current position. Keys arrive as Windows virtual-key codes.
//
// The injector remembers which keys and mouse buttons it holds down, so that a viewer who
// leaves mid-press does not leave them stuck: release_all() lets go of all of them, and
// the destructor calls it. Both member functions may be called from any thread.
class InputInjector {
public:
    // Opens the platform's input channel (on X11 its own connection to $DISPLAY). A
    // failure is logged once; the object is still usable and inject() then returns false.
    InputInjector();
    ~InputInjector();
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // Injects one event. True when the system accepted it (or it asked for nothing, such
    // as a press of a button the platform does not have); false when it could not be
    // injected: no input channel, an unknown kind or key, or a refusal by the system.
    // Failures are logged once per cause, not once per event.
    bool inject(const InputEvent& event);

    // Releases every key and mouse button that inject() pressed and has not released.
    void release_all();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- Portable pieces shared by the backends (and reached by the tests) ----

// The fields of a Windows INPUT record that injection fills; time stamp and extra
// information are always 0.
struct InputRecord {
    uint32_t type = 0;  // INPUT_MOUSE 0, INPUT_KEYBOARD 1
    int32_t dx = 0;
    int32_t dy = 0;
    uint32_t mouse_data = 0;
    uint32_t flags = 0;  // dwFlags of the mouse or keyboard part
    uint16_t vk = 0;
    uint16_t scan = 0;
};

inline constexpr uint32_t INPUT_TYPE_MOUSE = 0;
inline constexpr uint32_t INPUT_TYPE_KEYBOARD = 1;

// The record SendInput gets for an event; no value for a kind it does not know.
std::optional<InputRecord> input_record_for(const InputEvent& event);

// Pixel for a normalised coordinate on an axis `extent` pixels long: 0 is the first
// pixel, 65535 the last, 32767 the middle.
int32_t normalized_to_pixel(uint16_t value, int32_t extent);

// X pointer button for a viewer button (0 left, 1 right, 2 middle); 0 for none.
unsigned x_button_for(uint8_t button);
inline constexpr unsigned X_BUTTON_WHEEL_UP = 4;
inline constexpr unsigned X_BUTTON_WHEEL_DOWN = 5;

// Turns wheel deltas into whole notches of 120, carrying the remainder so that small
// deltas add up. A turn in the other direction drops the remainder of the previous one.
class WheelAccumulator {
public:
    static constexpr int NOTCH = 120;
    // Whole notches to turn now: positive away from the user (up), negative towards.
    int add(int16_t delta);

private:
    int remainder_ = 0;
};

// Keys and mouse buttons held down through the injector. A key is any 64-bit identity
// the backend chooses (an X keycode, a Windows key and its flags).
class PressedInputs {
public:
    void key_down(uint64_t key);
    void key_up(uint64_t key);
    bool held(uint64_t key) const;
    void button_down(uint8_t button);  // buttons other than 0..2 are not tracked
    void button_up(uint8_t button);
    // Hands over and forgets everything held; keys most recently pressed first.
    std::vector<uint64_t> take_keys();
    std::vector<uint8_t> take_buttons();

private:
    std::vector<uint64_t> keys_;  // in press order
    std::vector<uint8_t> buttons_;
};
