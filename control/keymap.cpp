#include "control/keymap.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace {

// Keys whose identity depends on the extended flag: {without, with}.
uint32_t pick(bool extended, uint32_t plain, uint32_t with_extended) { return extended ? with_extended : plain; }

}  // namespace

uint32_t keysym_for_virtual_key(uint16_t virtual_key, uint16_t scan_code, bool extended) {
    const uint16_t v = virtual_key;
    if (v >= vk::Key0 && v <= vk::Key0 + 9) return XK_0 + (v - vk::Key0);
    if (v >= vk::KeyA && v <= vk::KeyA + 25) return XK_a + (v - vk::KeyA);
    if (v >= vk::Numpad0 && v <= vk::Numpad0 + 9) return XK_KP_0 + (v - vk::Numpad0);
    if (v >= vk::F1 && v <= vk::F24) return XK_F1 + (v - vk::F1);

    switch (v) {
        // Editing and whitespace.
        case vk::Cancel: return XK_Break;
        case vk::Back: return XK_BackSpace;
        case vk::Tab: return XK_Tab;
        case vk::Clear: return XK_KP_Begin;  // numpad 5 with Num Lock off
        case vk::Return: return pick(extended, XK_Return, XK_KP_Enter);
        case vk::Escape: return XK_Escape;
        case vk::Space: return XK_space;

        // Modifiers and locks.
        case vk::Shift: return scan_code == RIGHT_SHIFT_SCAN_CODE ? XK_Shift_R : XK_Shift_L;
        case vk::Control: return pick(extended, XK_Control_L, XK_Control_R);
        case vk::Menu: return pick(extended, XK_Alt_L, XK_Alt_R);
        case vk::LShift: return XK_Shift_L;
        case vk::RShift: return XK_Shift_R;
        case vk::LControl: return XK_Control_L;
        case vk::RControl: return XK_Control_R;
        case vk::LMenu: return XK_Alt_L;
        case vk::RMenu: return XK_Alt_R;
        case vk::LWin: return XK_Super_L;
        case vk::RWin: return XK_Super_R;
        case vk::Apps: return XK_Menu;
        case vk::Capital: return XK_Caps_Lock;
        case vk::NumLock: return XK_Num_Lock;
        case vk::Scroll: return XK_Scroll_Lock;

        // Navigation: the dedicated block is extended, the same codes without the
        // flag come from the numpad with Num Lock off.
        case vk::Prior: return pick(extended, XK_KP_Prior, XK_Prior);
        case vk::Next: return pick(extended, XK_KP_Next, XK_Next);
        case vk::End: return pick(extended, XK_KP_End, XK_End);
        case vk::Home: return pick(extended, XK_KP_Home, XK_Home);
        case vk::Left: return pick(extended, XK_KP_Left, XK_Left);
        case vk::Up: return pick(extended, XK_KP_Up, XK_Up);
        case vk::Right: return pick(extended, XK_KP_Right, XK_Right);
        case vk::Down: return pick(extended, XK_KP_Down, XK_Down);
        case vk::Insert: return pick(extended, XK_KP_Insert, XK_Insert);
        case vk::Delete: return pick(extended, XK_KP_Delete, XK_Delete);

        // Numpad operators.
        case vk::Multiply: return XK_KP_Multiply;
        case vk::Add: return XK_KP_Add;
        case vk::Separator: return XK_KP_Separator;
        case vk::Subtract: return XK_KP_Subtract;
        case vk::Decimal: return XK_KP_Decimal;
        case vk::Divide: return XK_KP_Divide;

        // System keys.
        case vk::Pause: return XK_Pause;
        case vk::Select: return XK_Select;
        case vk::Print: return XK_Print;
        case vk::Execute: return XK_Execute;
        case vk::Snapshot: return XK_Print;
        case vk::Help: return XK_Help;
        case vk::Sleep: return XF86XK_Sleep;
        case vk::Convert: return XK_Henkan_Mode;
        case vk::NonConvert: return XK_Muhenkan;
        case vk::ModeChange: return XK_Mode_switch;
        case vk::OemClear: return XK_Clear;

        // Punctuation, US layout.
        case vk::Oem1: return XK_semicolon;
        case vk::OemPlus: return XK_equal;
        case vk::OemComma: return XK_comma;
        case vk::OemMinus: return XK_minus;
        case vk::OemPeriod: return XK_period;
        case vk::Oem2: return XK_slash;
        case vk::Oem3: return XK_grave;
        case vk::Oem4: return XK_bracketleft;
        case vk::Oem5: return XK_backslash;
        case vk::Oem6: return XK_bracketright;
        case vk::Oem7: return XK_apostrophe;
        case vk::Oem102: return XK_less;

        // Browser, media and launcher keys.
        case vk::BrowserBack: return XF86XK_Back;
        case vk::BrowserForward: return XF86XK_Forward;
        case vk::BrowserRefresh: return XF86XK_Refresh;
        case vk::BrowserStop: return XF86XK_Stop;
        case vk::BrowserSearch: return XF86XK_Search;
        case vk::BrowserFavorites: return XF86XK_Favorites;
        case vk::BrowserHome: return XF86XK_HomePage;
        case vk::VolumeMute: return XF86XK_AudioMute;
        case vk::VolumeDown: return XF86XK_AudioLowerVolume;
        case vk::VolumeUp: return XF86XK_AudioRaiseVolume;
        case vk::MediaNextTrack: return XF86XK_AudioNext;
        case vk::MediaPrevTrack: return XF86XK_AudioPrev;
        case vk::MediaStop: return XF86XK_AudioStop;
        case vk::MediaPlayPause: return XF86XK_AudioPlay;
        case vk::LaunchMail: return XF86XK_Mail;
        case vk::LaunchMediaSelect: return XF86XK_AudioMedia;
        case vk::LaunchApp1: return XF86XK_MyComputer;
        case vk::LaunchApp2: return XF86XK_Calculator;

        default: return 0;
    }
}
