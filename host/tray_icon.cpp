#include "host/tray_icon.h"

#include <spdlog/spdlog.h>

#include "host/tray_icon_menu.h"

std::vector<TrayMenuItem> tray_menu_items(const std::string& status) {
    std::vector<TrayMenuItem> items;
    items.push_back({false, TRAY_CMD_STATUS, status, false});
    items.push_back({true, 0, {}, true});
    items.push_back({false, TRAY_CMD_OPEN_DASHBOARD, "Open Dashboard", true});
    items.push_back({false, TRAY_CMD_SHOW_LOG, "Show Log File", true});
    items.push_back({true, 0, {}, true});
    items.push_back({false, TRAY_CMD_QUIT, "Quit Zarvex", true});
    return items;
}

std::string tray_cut_text(const std::string& text, std::size_t max_bytes) {
    std::string out = text.substr(0, text.find('\0'));
    if (out.size() <= max_bytes) return out;
    auto continuation = [&out](std::size_t i) { return (static_cast<unsigned char>(out[i]) & 0xC0) == 0x80; };
    // Back off over continuation bytes to the lead byte of the character that was cut; a
    // UTF-8 character has at most three of them. Not UTF-8 there: keep the plain byte cut.
    std::size_t end = max_bytes;
    while (end > 0 && max_bytes - end < 3 && continuation(end)) --end;
    if (continuation(end)) end = max_bytes;
    out.resize(end);
    return out;
}

std::string tray_tooltip_text(const std::string& status) { return tray_cut_text(status, TRAY_TOOLTIP_MAX); }

void run_tray_command(int command, const std::string& server_url, const std::function<void()>& request_stop) {
    switch (command) {
    case TRAY_CMD_OPEN_DASHBOARD:
        shell_open(server_url + "/app/");
        break;
    case TRAY_CMD_SHOW_LOG:
        shell_open("agent.log");
        break;
    case TRAY_CMD_QUIT:
        spdlog::info("Quit requested from tray");
        if (request_stop) request_stop();
        break;
    default:
        break;
    }
}
