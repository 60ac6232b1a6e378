// Notification-area icon: a message-only window on the tray thread owns the icon, shows
// the menu on a click and forwards the chosen command.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstring>
#include <mutex>
#include <optional>

#include <spdlog/spdlog.h>

#include "host/tray_icon.h"
#include "host/tray_icon_menu.h"

namespace {

constexpr UINT WM_TRAY_CALLBACK = WM_APP + 1;
constexpr UINT WM_TRAY_STATUS = WM_APP + 2;
constexpr UINT TRAY_ICON_ID = 1;
constexpr UINT TRAY_ICON_FLAGS = NIF_MESSAGE | NIF_ICON | NIF_TIP;
constexpr UINT TRAY_MENU_FLAGS = TPM_RETURNCMD | TPM_RIGHTBUTTON;
constexpr const char* TRAY_CLASS_NAME = "ZarvexTrayWindow";
constexpr const char* TRAY_WINDOW_TITLE = "Zarvex";
constexpr WORD STANDARD_APPLICATION_ICON = 32512;  // IDI_APPLICATION

static_assert(WM_TRAY_CALLBACK == 0x8001 && WM_TRAY_STATUS == 0x8002);
static_assert(TRAY_ICON_FLAGS == 7 && TRAY_MENU_FLAGS == 0x102);
static_assert(sizeof(void*) != 8 || sizeof(NOTIFYICONDATAA) == 528, "the shell's full notify-icon record");
static_assert(sizeof(void*) != 8 || sizeof(WNDCLASSEXA) == 80);
static_assert(sizeof(NOTIFYICONDATAA{}.szTip) == TRAY_TOOLTIP_MAX + 1);
static_assert(sizeof(NOTIFYICONDATAA{}.szInfoTitle) == TRAY_BALLOON_TITLE_MAX + 1);
static_assert(sizeof(NOTIFYICONDATAA{}.szInfo) == TRAY_BALLOON_TEXT_MAX + 1);

struct Balloon {
    std::string title;
    std::string text;
};

// The window procedure is a plain function, so what it shares with the TrayIcon methods
// lives here, one tray per process. The mutex guards every field; shell calls are made
// on copies, outside it.
struct TrayShared {
    std::mutex mutex;
    bool owned = false;  // a TrayIcon has started the tray thread
    std::string status;
    TrayIcon::CommandCallback on_command;
    HWND window = nullptr;
    NOTIFYICONDATAA icon{};
    bool icon_added = false;         // tray thread only
    std::optional<Balloon> balloon;  // asked for before the icon existed
    HANDLE thread_done = nullptr;    // set by the tray thread as it ends
};

TrayShared& shared() {
    static TrayShared s;
    return s;
}

template <std::size_t N>
void copy_cut(char (&dst)[N], const std::string& src) {
    std::string cut = tray_cut_text(src, N - 1);
    std::memcpy(dst, cut.c_str(), cut.size() + 1);
}

NOTIFYICONDATAA balloon_request(const NOTIFYICONDATAA& icon, const Balloon& balloon) {
    NOTIFYICONDATAA data = icon;
    data.uFlags = NIF_INFO;
    copy_cut(data.szInfoTitle, balloon.title);
    copy_cut(data.szInfo, balloon.text);
    data.dwInfoFlags = NIIF_INFO;
    return data;
}

void show_menu(HWND window) {
    TrayShared& s = shared();
    POINT cursor{};
    GetCursorPos(&cursor);
    std::string status;
    {
        std::lock_guard lock(s.mutex);
        status = s.status;
    }
    HMENU menu = CreatePopupMenu();
    for (const TrayMenuItem& item : tray_menu_items(status)) {
        if (item.separator) {
            AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        } else {
            AppendMenuA(menu, MF_STRING | (item.enabled ? 0u : static_cast<UINT>(MF_DISABLED)),
                        static_cast<UINT_PTR>(item.id), item.label.c_str());
        }
    }
    SetForegroundWindow(window);
    int chosen = static_cast<int>(TrackPopupMenu(menu, TRAY_MENU_FLAGS, cursor.x, cursor.y, 0, window, nullptr));
    DestroyMenu(menu);
    if (chosen == 0) return;  // cancelled
    TrayIcon::CommandCallback callback;
    {
        std::lock_guard lock(s.mutex);
        callback = s.on_command;
    }
    if (callback) callback(chosen);
}

void remove_icon() {
    TrayShared& s = shared();
    if (!s.icon_added) return;
    NOTIFYICONDATAA data;
    {
        std::lock_guard lock(s.mutex);
        data = s.icon;
    }
    Shell_NotifyIconA(NIM_DELETE, &data);
    s.icon_added = false;
}

LRESULT CALLBACK tray_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    TrayShared& s = shared();
    switch (message) {
    case WM_DESTROY:
        remove_icon();
        PostQuitMessage(0);
        return 0;
    case WM_TRAY_CALLBACK: {
        UINT mouse = LOWORD(static_cast<DWORD_PTR>(lparam));
        if (mouse == WM_RBUTTONUP || mouse == WM_LBUTTONUP) show_menu(window);
        return 0;
    }
    case WM_TRAY_STATUS: {
        NOTIFYICONDATAA data;
        {
            std::lock_guard lock(s.mutex);
            copy_cut(s.icon.szTip, s.status);
            data = s.icon;
        }
        if (s.icon_added) Shell_NotifyIconA(NIM_MODIFY, &data);
        return 0;
    }
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

void tray_thread_body(const std::atomic<bool>* running) {
    TrayShared& s = shared();
    // Shell handlers that ShellExecuteA hands the menu's commands to may rely on COM.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = tray_window_proc;
    window_class.hInstance = instance;
    window_class.lpszClassName = TRAY_CLASS_NAME;
    RegisterClassExA(&window_class);  // already registered by an earlier run: fine
    HWND window =
        CreateWindowExA(0, TRAY_CLASS_NAME, TRAY_WINDOW_TITLE, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (window == nullptr) {
        spdlog::error("Failed to create tray window");
        if (SUCCEEDED(com)) CoUninitialize();
        return;
    }

    // The window becomes visible to stop() under the same lock that checks running, so a
    // stop either sees no window (and the icon is never added) or posts WM_DESTROY to it.
    NOTIFYICONDATAA add{};
    std::optional<Balloon> balloon;
    bool go = false;
    {
        std::lock_guard lock(s.mutex);
        if (running->load()) {
            go = true;
            s.icon = {};
            s.icon.cbSize = sizeof(NOTIFYICONDATAA);
            s.icon.hWnd = window;
            s.icon.uID = TRAY_ICON_ID;
            s.icon.uFlags = TRAY_ICON_FLAGS;
            s.icon.uCallbackMessage = WM_TRAY_CALLBACK;
            s.icon.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(STANDARD_APPLICATION_ICON));
            // A status set while the window was being made is shown at once.
            copy_cut(s.icon.szTip, s.status.empty() ? std::string(TRAY_INITIAL_TOOLTIP) : s.status);
            s.window = window;
            add = s.icon;
            balloon.swap(s.balloon);
        }
    }
    if (go) {
        s.icon_added = Shell_NotifyIconA(NIM_ADD, &add) != FALSE;
        spdlog::info("Tray icon created");
        if (balloon) {
            NOTIFYICONDATAA request = balloon_request(add, *balloon);
            Shell_NotifyIconA(NIM_MODIFY, &request);
        }
        MSG msg;
        while (running->load()) {
            BOOL got = GetMessageA(&msg, nullptr, 0, 0);
            if (got == 0 || got == -1) break;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    {
        std::lock_guard lock(s.mutex);
        s.window = nullptr;
    }
    // Left the loop on running alone (WM_DESTROY still queued): the icon goes all the same.
    remove_icon();
    if (SUCCEEDED(com)) CoUninitialize();
}

void tray_thread(const std::atomic<bool>* running, HANDLE done) {
    tray_thread_body(running);
    SetEvent(done);
}

// Waits for the tray thread to end while serving messages other threads send to this
// thread's windows: the thread's last shell call may be one of them (a shell tray in this
// process), and a plain join would never return.
void wait_for_tray_thread(HANDLE done) {
    while (MsgWaitForMultipleObjects(1, &done, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace

TrayIcon::~TrayIcon() { stop(); }

bool TrayIcon::start(CommandCallback on_command) {
    if (running_.load()) return true;
    TrayShared& s = shared();
    {
        std::lock_guard lock(s.mutex);
        if (s.owned) return true;  // another TrayIcon shows the process's icon
        s.owned = true;
        s.on_command = std::move(on_command);
        s.status.clear();
        s.balloon.reset();
    }
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        std::lock_guard lock(s.mutex);
        s.thread_done = done;
    }
    running_ = true;
    thread_ = std::thread(tray_thread, &running_, done);
    return true;
}

void TrayIcon::set_status(const std::string& text) {
    TrayShared& s = shared();
    HWND window = nullptr;
    {
        std::lock_guard lock(s.mutex);
        if (!running_.load()) return;
        s.status = text;
        window = s.window;
    }
    if (window != nullptr) PostMessageA(window, WM_TRAY_STATUS, 0, 0);
}

void TrayIcon::show_balloon(const std::string& title, const std::string& message) {
    TrayShared& s = shared();
    NOTIFYICONDATAA request;
    {
        std::lock_guard lock(s.mutex);
        if (!running_.load()) return;
        if (s.window == nullptr) {
            // Shown by the tray thread as soon as the icon exists.
            s.balloon = Balloon{title, message};
            return;
        }
        request = balloon_request(s.icon, Balloon{title, message});
    }
    Shell_NotifyIconA(NIM_MODIFY, &request);
}

void TrayIcon::stop() {
    if (!running_.exchange(false)) return;
    TrayShared& s = shared();
    HWND window = nullptr;
    {
        std::lock_guard lock(s.mutex);
        window = s.window;
    }
    if (window != nullptr) PostMessageA(window, WM_DESTROY, 0, 0);
    HANDLE done = nullptr;
    {
        std::lock_guard lock(s.mutex);
        done = s.thread_done;
        s.thread_done = nullptr;
    }
    if (done != nullptr) {
        wait_for_tray_thread(done);
        CloseHandle(done);
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(s.mutex);
    s.owned = false;
    s.on_command = nullptr;
    s.balloon.reset();
}
