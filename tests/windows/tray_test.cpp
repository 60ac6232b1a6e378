// The tray icon against the shell: added, modified, deleted, and a command chosen from
// its menu. The shell's side is a stand-in tray window of this process where the
// system's own tray does not answer first (Wine without a desktop shell); where it
// does, the shell-message checks are skipped.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/tray_icon.h"
#include "host/tray_icon_menu.h"
#include "tests/support/log_capture.h"
#include "win_test_support.h"

namespace {

constexpr UINT WM_TRAY_CALLBACK = WM_APP + 1;

struct ShellMessage {
    DWORD command = 0;  // NIM_ADD, NIM_MODIFY, NIM_DELETE
    std::string payload;
};

std::mutex g_messages_lock;
std::vector<ShellMessage> g_messages;

LRESULT CALLBACK fake_tray_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
        std::lock_guard lock(g_messages_lock);
        g_messages.push_back({static_cast<DWORD>(data->dwData),
                              std::string(static_cast<const char*>(data->lpData), data->cbData)});
        return TRUE;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// The shell's tray as Shell_NotifyIcon finds it, when this process's window is the one
// found. Its window runs on a thread of its own: the tray thread's shell calls are sent
// to it, also while the test thread waits for the tray thread to end.
class FakeShellTray {
public:
    FakeShellTray() {
        {
            std::lock_guard lock(g_messages_lock);
            g_messages.clear();
        }
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = fake_tray_proc;
            wc.hInstance = GetModuleHandleA(nullptr);
            wc.lpszClassName = "Shell_TrayWnd";
            RegisterClassA(&wc);
            window_ = CreateWindowExA(0, "Shell_TrayWnd", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance,
                                      nullptr);
            thread_id_ = GetCurrentThreadId();
            SetEvent(ready);
            MSG msg;
            while (window_ != nullptr && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
            if (window_) DestroyWindow(window_);
        });
        WaitForSingleObject(ready, 5000);
        CloseHandle(ready);
        found_ = window_ != nullptr && FindWindowA("Shell_TrayWnd", nullptr) == window_;
    }
    ~FakeShellTray() {
        PostThreadMessageA(thread_id_, WM_QUIT, 0, 0);
        if (thread_.joinable()) thread_.join();
    }
    bool in_use() const { return found_; }
    // The messages so far, once `n` arrived or 5 s passed.
    std::vector<ShellMessage> wait_for_messages(size_t n) {
        wait_for([n] {
            std::lock_guard lock(g_messages_lock);
            return g_messages.size() >= n;
        }, std::chrono::seconds(5));
        std::lock_guard lock(g_messages_lock);
        return g_messages;
    }

private:
    std::thread thread_;
    std::atomic<HWND> window_{nullptr};
    DWORD thread_id_ = 0;
    bool found_ = false;
};

// Whether the payload holds `text` as NUL-terminated UTF-16 (the shell's copy of the tip).
bool holds_wide_text(const std::string& payload, const std::string& text) {
    std::string wide;
    for (char c : text) {
        wide += c;
        wide += '\0';
    }
    wide += std::string("\0\0", 2);
    return payload.find(wide) != std::string::npos;
}

HWND tray_window() { return FindWindowExA(HWND_MESSAGE, nullptr, "ZarvexTrayWindow", nullptr); }

TEST(WindowsTray, IconIsAddedModifiedAndDeleted) {
    FakeShellTray shell;
    if (!shell.in_use()) GTEST_SKIP() << "the system's own tray answers the shell's calls here";
    {
        TrayIcon tray;
        ASSERT_TRUE(tray.start([](int) {}));
        auto messages = shell.wait_for_messages(1);
        ASSERT_GE(messages.size(), 1u);
        EXPECT_EQ(messages[0].command, DWORD{NIM_ADD});
        EXPECT_TRUE(holds_wide_text(messages[0].payload, TRAY_INITIAL_TOOLTIP));
        ASSERT_NE(tray_window(), nullptr);

        const std::string long_status = "Connected - " + std::string(200, 'x');
        tray.set_status(long_status);
        messages = shell.wait_for_messages(2);
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[1].command, DWORD{NIM_MODIFY});
        EXPECT_TRUE(holds_wide_text(messages[1].payload, long_status.substr(0, TRAY_TOOLTIP_MAX)))
            << "the tip is cut to 127 bytes";
        EXPECT_FALSE(holds_wide_text(messages[1].payload, long_status.substr(0, TRAY_TOOLTIP_MAX + 1)));
        tray.stop();
    }
    auto messages = shell.wait_for_messages(3);
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages.back().command, DWORD{NIM_DELETE});
    EXPECT_EQ(tray_window(), nullptr);
}

TEST(WindowsTray, QuitFromTheMenuStopsTheAgent) {
    LogCapture log;
    std::atomic<bool> stop_requested{false};
    std::atomic<int> chosen{0};
    TrayIcon tray;
    ASSERT_TRUE(tray.start([&](int command) {
        chosen = command;
        run_tray_command(command, "http://127.0.0.1:9", [&] { stop_requested = true; });
    }));
    HWND window = nullptr;
    ASSERT_TRUE(wait_for([&] { return (window = tray_window()) != nullptr; }, std::chrono::seconds(5)));
    tray.set_status("Connected to relay");
    // A click on the icon opens the menu; the keyboard picks its last item.
    PostMessageA(window, WM_TRAY_CALLBACK, 1, WM_RBUTTONUP);
    HWND menu = nullptr;
    if (!wait_for([&] { return (menu = FindWindowA("#32768", nullptr)) != nullptr && IsWindowVisible(menu); },
                  std::chrono::seconds(5))) {
        tray.stop();
        GTEST_SKIP() << "no popup menu appeared";
    }
    PostMessageA(menu, WM_KEYDOWN, VK_UP, 0);
    PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
    if (!wait_for([&] { return stop_requested.load(); }, std::chrono::seconds(5))) {
        // Close a menu that did not take the keys, so that the tray thread can end.
        PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        ADD_FAILURE() << "the menu's last item was not chosen";
    }
    EXPECT_EQ(chosen.load(), TRAY_CMD_QUIT);
    EXPECT_TRUE(log.contains("info|Quit requested from tray")) << log.text();
    tray.stop();
    EXPECT_EQ(tray_window(), nullptr);
}

}  // namespace
