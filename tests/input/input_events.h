#pragma once

#include "net/protocol.h"

// InputEvent builders for the input tests.
inline InputEvent mouse(InputKind kind, uint16_t x = 0, uint16_t y = 0, uint8_t button = 0, int16_t wheel = 0) {
    InputEvent e;
    e.kind = kind;
    e.x = x;
    e.y = y;
    e.button = button;
    e.wheel_delta = wheel;
    return e;
}

inline InputEvent key(InputKind kind, uint16_t vk, bool extended = false, uint16_t scan = 0) {
    InputEvent e;
    e.kind = kind;
    e.virtual_key = vk;
    e.scan_code = scan;
    e.extended = extended;
    return e;
}
