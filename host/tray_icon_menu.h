#pragma once

// What the tray backends share: the menu they build and the text limits of the shell.

#include <cstddef>
#include <string>
#include <vector>

// Longest tooltip, balloon title and balloon text, in bytes without the terminating NUL.
inline constexpr std::size_t TRAY_TOOLTIP_MAX = 127;
inline constexpr std::size_t TRAY_BALLOON_TITLE_MAX = 63;
inline constexpr std::size_t TRAY_BALLOON_TEXT_MAX = 255;

// Initial tooltip, shown until the first status arrives.
inline constexpr const char* TRAY_INITIAL_TOOLTIP = "Zarvex Agent";

struct TrayMenuItem {
    bool separator = false;
    int id = 0;          // command identifier; 0 for a separator
    std::string label;   // empty for a separator
    bool enabled = true;
};

// The tray menu for a status line, top to bottom: the status (disabled), a separator,
// "Open Dashboard", "Show Log File", a separator, "Quit Zarvex".
std::vector<TrayMenuItem> tray_menu_items(const std::string& status);

// text cut at its first NUL and to at most max_bytes bytes. A UTF-8 sequence that would
// be split by the cut is left out whole, so the result never ends in half a character.
std::string tray_cut_text(const std::string& text, std::size_t max_bytes);
