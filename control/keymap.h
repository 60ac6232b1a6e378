#pragma once

#include <cstdint>

#include "net/protocol.h"

// Translation of the virtual-key codes viewers send to X keysyms (US layout for the
// punctuation keys).
//
// The X keysym for a virtual key, or 0 when the key has none. The extended flag picks
// the right-hand Ctrl/Alt, numpad Enter and the dedicated navigation block (without it,
// Insert/Delete/Home/End/PageUp/PageDown and the arrows are the numpad keys); the scan
// code picks the right Shift for the generic VK_SHIFT.
uint32_t keysym_for_virtual_key(uint16_t virtual_key, uint16_t scan_code, bool extended);
