#include "control/input_injector.h"

#include <algorithm>

namespace {

// dwFlags bits of the Windows mouse and keyboard records.
constexpr uint32_t MOUSE_MOVE = 0x0001;
constexpr uint32_t MOUSE_LEFTDOWN = 0x0002;
constexpr uint32_t MOUSE_LEFTUP = 0x0004;
constexpr uint32_t MOUSE_RIGHTDOWN = 0x0008;
constexpr uint32_t MOUSE_RIGHTUP = 0x0010;
constexpr uint32_t MOUSE_MIDDLEDOWN = 0x0020;
constexpr uint32_t MOUSE_MIDDLEUP = 0x0040;
constexpr uint32_t MOUSE_WHEEL = 0x0800;
constexpr uint32_t MOUSE_VIRTUALDESK = 0x4000;
constexpr uint32_t MOUSE_ABSOLUTE = 0x8000;
constexpr uint32_t KEY_EXTENDEDKEY = 0x0001;
constexpr uint32_t KEY_KEYUP = 0x0002;

uint32_t button_flag(bool down, uint8_t button) {
    switch (button) {
        case 0: return down ? MOUSE_LEFTDOWN : MOUSE_LEFTUP;
        case 1: return down ? MOUSE_RIGHTDOWN : MOUSE_RIGHTUP;
        case 2: return down ? MOUSE_MIDDLEDOWN : MOUSE_MIDDLEUP;
        default: return 0;  // a record that does nothing
    }
}

}  // namespace

std::optional<InputRecord> input_record_for(const InputEvent& event) {
    InputRecord r;
    const uint32_t absolute = MOUSE_ABSOLUTE | MOUSE_VIRTUALDESK;
    switch (event.kind) {
        case InputKind::MouseMove:
        case InputKind::MouseDown:
        case InputKind::MouseUp:
        case InputKind::MouseWheel:
            r.type = INPUT_TYPE_MOUSE;
            r.dx = event.x;
            r.dy = event.y;
            break;
        case InputKind::KeyDown:
        case InputKind::KeyUp:
            r.type = INPUT_TYPE_KEYBOARD;
            r.vk = event.virtual_key;
            r.scan = event.scan_code;
            r.flags = (event.extended ? KEY_EXTENDEDKEY : 0) | (event.kind == InputKind::KeyUp ? KEY_KEYUP : 0);
            return r;
        default:
            return std::nullopt;
    }
    switch (event.kind) {
        case InputKind::MouseMove: r.flags = absolute | MOUSE_MOVE; break;
        case InputKind::MouseDown: r.flags = absolute | button_flag(true, event.button); break;
        case InputKind::MouseUp: r.flags = absolute | button_flag(false, event.button); break;
        default:  // MouseWheel: the signed delta, sign-extended to 32 bits
            r.flags = absolute | MOUSE_WHEEL;
            r.mouse_data = static_cast<uint32_t>(static_cast<int32_t>(event.wheel_delta));
            break;
    }
    return r;
}

int32_t normalized_to_pixel(uint16_t value, int32_t extent) {
    if (extent <= 1) return 0;
    // Round to nearest: 0 -> 0, 65535 -> extent-1; 64-bit so large desktops cannot overflow.
    const int64_t last = extent - 1;
    return static_cast<int32_t>((static_cast<int64_t>(value) * last + 65535 / 2) / 65535);
}

unsigned x_button_for(uint8_t button) {
    switch (button) {
        case 0: return 1;
        case 1: return 3;
        case 2: return 2;
        default: return 0;
    }
}

int WheelAccumulator::add(int16_t delta) {
    if ((delta > 0 && remainder_ < 0) || (delta < 0 && remainder_ > 0)) remainder_ = 0;
    remainder_ += delta;
    const int notches = remainder_ / NOTCH;  // truncates toward zero for either sign
    remainder_ -= notches * NOTCH;
    return notches;
}

void PressedInputs::key_down(uint64_t key) {
    if (std::find(keys_.begin(), keys_.end(), key) == keys_.end()) keys_.push_back(key);
}

void PressedInputs::key_up(uint64_t key) { std::erase(keys_, key); }

bool PressedInputs::held(uint64_t key) const { return std::find(keys_.begin(), keys_.end(), key) != keys_.end(); }

void PressedInputs::button_down(uint8_t button) {
    if (button > 2) return;  // only left, right and middle can be held
    if (std::find(buttons_.begin(), buttons_.end(), button) == buttons_.end()) buttons_.push_back(button);
}

void PressedInputs::button_up(uint8_t button) { std::erase(buttons_, button); }

std::vector<uint64_t> PressedInputs::take_keys() {
    std::vector<uint64_t> out(keys_.rbegin(), keys_.rend());
    keys_.clear();
    return out;
}

std::vector<uint8_t> PressedInputs::take_buttons() {
    std::vector<uint8_t> out(buttons_.rbegin(), buttons_.rend());
    buttons_.clear();
    return out;
}
