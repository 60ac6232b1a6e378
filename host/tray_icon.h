#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

// Menu command identifiers of the tray.
inline constexpr int TRAY_CMD_STATUS = 100;
inline constexpr int TRAY_CMD_OPEN_DASHBOARD = 101;
inline constexpr int TRAY_CMD_SHOW_LOG = 102;
inline constexpr int TRAY_CMD_QUIT = 103;

// The notification-area icon with its menu, on a thread of its own.
class TrayIcon {
public:
    using CommandCallback = std::function<void(int)>;

    TrayIcon() = default;
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Starts the tray thread with the menu's command callback; true. Already running:
    // the callback is discarded.
    bool start(CommandCallback on_command);
    // The status line: the tooltip (cut to 127 bytes) and the menu's first item (whole).
    void set_status(const std::string& text);
    void show_balloon(const std::string& title, const std::string& message);
    // Removes the icon and joins the thread; nothing when never started.
    void stop();

private:
    std::thread thread_;
    std::atomic<bool> running_{false};
};

// The tooltip for a status text: cut at the first NUL and to at most 127 bytes.
std::string tray_tooltip_text(const std::string& status);

// The runtime's command table: 101 opens server_url + "/app/", 102 opens "agent.log",
// 103 logs "Quit requested from tray" and calls request_stop; anything else does nothing.
void run_tray_command(int command, const std::string& server_url, const std::function<void()>& request_stop);

// Opens a URL or a file with the desktop's handler without waiting for it.
void shell_open(const std::string& target);
