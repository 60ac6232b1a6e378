#pragma once

#include <cstdint>

// Windows virtual-key codes as viewers send them, and their translation to X keysyms
// (US layout for the punctuation keys). Mixed-case names keep clear of <windows.h> macros.
namespace vk {
inline constexpr uint16_t Cancel = 0x03;
inline constexpr uint16_t Back = 0x08;
inline constexpr uint16_t Tab = 0x09;
inline constexpr uint16_t Clear = 0x0C;
inline constexpr uint16_t Return = 0x0D;
inline constexpr uint16_t Shift = 0x10;
inline constexpr uint16_t Control = 0x11;
inline constexpr uint16_t Menu = 0x12;
inline constexpr uint16_t Pause = 0x13;
inline constexpr uint16_t Capital = 0x14;
inline constexpr uint16_t Escape = 0x1B;
inline constexpr uint16_t Convert = 0x1C;
inline constexpr uint16_t NonConvert = 0x1D;
inline constexpr uint16_t ModeChange = 0x1F;
inline constexpr uint16_t Space = 0x20;
inline constexpr uint16_t Prior = 0x21;
inline constexpr uint16_t Next = 0x22;
inline constexpr uint16_t End = 0x23;
inline constexpr uint16_t Home = 0x24;
inline constexpr uint16_t Left = 0x25;
inline constexpr uint16_t Up = 0x26;
inline constexpr uint16_t Right = 0x27;
inline constexpr uint16_t Down = 0x28;
inline constexpr uint16_t Select = 0x29;
inline constexpr uint16_t Print = 0x2A;
inline constexpr uint16_t Execute = 0x2B;
inline constexpr uint16_t Snapshot = 0x2C;
inline constexpr uint16_t Insert = 0x2D;
inline constexpr uint16_t Delete = 0x2E;
inline constexpr uint16_t Help = 0x2F;
inline constexpr uint16_t Key0 = 0x30;  // '0'..'9' are 0x30..0x39
inline constexpr uint16_t KeyA = 0x41;  // 'A'..'Z' are 0x41..0x5A
inline constexpr uint16_t LWin = 0x5B;
inline constexpr uint16_t RWin = 0x5C;
inline constexpr uint16_t Apps = 0x5D;
inline constexpr uint16_t Sleep = 0x5F;
inline constexpr uint16_t Numpad0 = 0x60;  // Numpad0..Numpad9 are 0x60..0x69
inline constexpr uint16_t Multiply = 0x6A;
inline constexpr uint16_t Add = 0x6B;
inline constexpr uint16_t Separator = 0x6C;
inline constexpr uint16_t Subtract = 0x6D;
inline constexpr uint16_t Decimal = 0x6E;
inline constexpr uint16_t Divide = 0x6F;
inline constexpr uint16_t F1 = 0x70;  // F1..F24 are 0x70..0x87
inline constexpr uint16_t F24 = 0x87;
inline constexpr uint16_t NumLock = 0x90;
inline constexpr uint16_t Scroll = 0x91;
inline constexpr uint16_t LShift = 0xA0;
inline constexpr uint16_t RShift = 0xA1;
inline constexpr uint16_t LControl = 0xA2;
inline constexpr uint16_t RControl = 0xA3;
inline constexpr uint16_t LMenu = 0xA4;
inline constexpr uint16_t RMenu = 0xA5;
inline constexpr uint16_t BrowserBack = 0xA6;
inline constexpr uint16_t BrowserForward = 0xA7;
inline constexpr uint16_t BrowserRefresh = 0xA8;
inline constexpr uint16_t BrowserStop = 0xA9;
inline constexpr uint16_t BrowserSearch = 0xAA;
inline constexpr uint16_t BrowserFavorites = 0xAB;
inline constexpr uint16_t BrowserHome = 0xAC;
inline constexpr uint16_t VolumeMute = 0xAD;
inline constexpr uint16_t VolumeDown = 0xAE;
inline constexpr uint16_t VolumeUp = 0xAF;
inline constexpr uint16_t MediaNextTrack = 0xB0;
inline constexpr uint16_t MediaPrevTrack = 0xB1;
inline constexpr uint16_t MediaStop = 0xB2;
inline constexpr uint16_t MediaPlayPause = 0xB3;
inline constexpr uint16_t LaunchMail = 0xB4;
inline constexpr uint16_t LaunchMediaSelect = 0xB5;
inline constexpr uint16_t LaunchApp1 = 0xB6;
inline constexpr uint16_t LaunchApp2 = 0xB7;
inline constexpr uint16_t Oem1 = 0xBA;  // ;:
inline constexpr uint16_t OemPlus = 0xBB;
inline constexpr uint16_t OemComma = 0xBC;
inline constexpr uint16_t OemMinus = 0xBD;
inline constexpr uint16_t OemPeriod = 0xBE;
inline constexpr uint16_t Oem2 = 0xBF;  // /?
inline constexpr uint16_t Oem3 = 0xC0;  // `~
inline constexpr uint16_t Oem4 = 0xDB;  // [{
inline constexpr uint16_t Oem5 = 0xDC;  // \|
inline constexpr uint16_t Oem6 = 0xDD;  // ]}
inline constexpr uint16_t Oem7 = 0xDE;  // '"
inline constexpr uint16_t Oem102 = 0xE2;  // the extra <> key of ISO keyboards
inline constexpr uint16_t OemClear = 0xFE;
}  // namespace vk

// Scan code of the right Shift key: VK_SHIFT alone does not tell the two Shift keys apart.
inline constexpr uint16_t RIGHT_SHIFT_SCAN_CODE = 0x36;

// The X keysym for a virtual key, or 0 when the key has none. The extended flag picks
// the right-hand Ctrl/Alt, numpad Enter and the dedicated navigation block (without it,
// Insert/Delete/Home/End/PageUp/PageDown and the arrows are the numpad keys); the scan
// code picks the right Shift for the generic VK_SHIFT.
uint32_t keysym_for_virtual_key(uint16_t virtual_key, uint16_t scan_code, bool extended);
