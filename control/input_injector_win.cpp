// Windows backend: one SendInput record per event.
#include <windows.h>

#include <spdlog/spdlog.h>

#include <mutex>

#include "control/input_injector.h"

static_assert(sizeof(void*) != 8 || sizeof(INPUT) == 40, "INPUT must be the 40-byte 64-bit record");

namespace {

// Identity of a held key: the virtual key with the scan code and extended flag it was
// pressed with, so that the release can repeat them.
uint64_t key_identity(const InputEvent& event) {
    return uint64_t{event.virtual_key} | (uint64_t{event.scan_code} << 16) | (uint64_t{event.extended} << 32);
}

InputEvent key_up_for(uint64_t identity) {
    InputEvent event;
    event.kind = InputKind::KeyUp;
    event.virtual_key = static_cast<uint16_t>(identity & 0xFFFF);
    event.scan_code = static_cast<uint16_t>((identity >> 16) & 0xFFFF);
    event.extended = ((identity >> 32) & 1) != 0;
    return event;
}

}  // namespace

struct InputInjector::Impl {
    std::mutex mutex;
    PressedInputs pressed;
    bool failing = false;  // the current run of refusals has been logged

    bool send(const InputEvent& event);
};

InputInjector::InputInjector() : impl_(std::make_unique<Impl>()) {}

InputInjector::~InputInjector() { release_all(); }

bool InputInjector::inject(const InputEvent& event) {
    std::lock_guard lock(impl_->mutex);
    switch (event.kind) {
        case InputKind::MouseDown: impl_->pressed.button_down(event.button); break;
        case InputKind::MouseUp: impl_->pressed.button_up(event.button); break;
        case InputKind::KeyDown: impl_->pressed.key_down(key_identity(event)); break;
        case InputKind::KeyUp: impl_->pressed.key_up(key_identity(event)); break;
        default: break;
    }
    return impl_->send(event);
}

void InputInjector::release_all() {
    std::lock_guard lock(impl_->mutex);
    const auto buttons = impl_->pressed.take_buttons();
    const auto keys = impl_->pressed.take_keys();
    if (buttons.empty() && keys.empty()) return;
    for (uint8_t b : buttons) {
        InputEvent up;  // no move flag: the position fields are ignored
        up.kind = InputKind::MouseUp;
        up.button = b;
        impl_->send(up);
    }
    for (uint64_t k : keys) impl_->send(key_up_for(k));
    spdlog::info("Released {} held keys and {} held mouse buttons", keys.size(), buttons.size());
}

bool InputInjector::Impl::send(const InputEvent& event) {
    const auto record = input_record_for(event);
    if (!record) return false;
    INPUT input{};
    input.type = record->type;
    if (record->type == INPUT_TYPE_MOUSE) {
        input.mi.dx = record->dx;
        input.mi.dy = record->dy;
        input.mi.mouseData = record->mouse_data;
        input.mi.dwFlags = record->flags;
    } else {
        input.ki.wVk = record->vk;
        input.ki.wScan = record->scan;
        input.ki.dwFlags = record->flags;
    }
    if (SendInput(1, &input, sizeof(INPUT)) == 1) {
        failing = false;
        return true;
    }
    // Refused, typically because the foreground window belongs to a more privileged
    // process or the secure desktop is showing. Log once per run of refusals.
    if (!failing) spdlog::warn("SendInput refused viewer input (error {})", GetLastError());
    failing = true;
    return false;
}
