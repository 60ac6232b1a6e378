// The Linux tray in this process, on Xvfb and a private session bus: it registers each
// time it starts, runs menu commands on its own thread, leaves the process's X error
// handlers and locale as it found them, and outlives neither its display nor the process.
#include <atomic>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "host/tray_icon.h"
#include "tests/support/scoped_env.h"
#include "tests/host/tray_desktop.h"
#include "tests/support/log_capture.h"

// Last: its macros clash with GoogleTest.
#include <X11/Xlib.h>

using namespace testsupport;
using namespace traytest;
using namespace std::chrono_literals;

namespace {

int ignore_x_error(Display*, XErrorEvent*) { return 0; }
int ignore_x_io_error(Display*) { return 0; }

}  // namespace

TEST(TrayThread, RegistersOnEachStartRunsCommandsOnItsThreadAndKeepsProcessSettings) {
    auto display = std::make_unique<VirtualDisplay>();
    ASSERT_TRUE(display->ok());
    TempDir dir("zarvex-tray");
    PrivateBus bus(dir);
    ASSERT_TRUE(bus.ok()) << bus.error();
    FakeDesktop desktop;
    ASSERT_TRUE(desktop.start(bus.address(), /*notifications=*/false)) << desktop.error();
    ScopedEnv display_env("DISPLAY", display->name());
    ScopedEnv bus_env("DBUS_SESSION_BUS_ADDRESS", bus.address());
    ScopedEnv locale_env("LC_ALL", "C.UTF-8");
    XSetErrorHandler(ignore_x_error);
    XSetIOErrorHandler(ignore_x_io_error);
    LogCapture log;

    for (size_t run = 1; run <= 2; ++run) {
        TrayIcon tray;
        std::atomic<int> command{0};
        std::atomic<bool> on_tray_thread{false};
        const std::thread::id test_thread = std::this_thread::get_id();
        tray.start([&](int id) {
            on_tray_thread = std::this_thread::get_id() != test_thread;
            command = id;
        });
        const std::string status = "Status " + std::to_string(run);
        tray.set_status(status);
        tray.show_balloon("Zarvex", "no notification server here");

        ASSERT_TRUE(wait_until([&] { return desktop.items().size() == run; }, 10s)) << log.text();
        const ItemAddress item = desktop.items().back();
        auto title = [&] {
            return get_string_property(desktop.connection(), item, "org.kde.StatusNotifierItem", "Title");
        };
        EXPECT_TRUE(wait_until([&] { return title() == status; }, 5s)) << title().value_or("(no title)");
        std::optional<std::string> menu_path =
            get_string_property(desktop.connection(), item, "org.kde.StatusNotifierItem", "Menu");
        ASSERT_TRUE(menu_path.has_value());
        std::vector<MenuEntry> entries = get_menu(desktop.connection(), {item.bus_name, *menu_path});
        ASSERT_EQ(entries.size(), 6u);
        EXPECT_EQ(entries[0].label, status);
        ASSERT_TRUE(click_menu_entry(desktop.connection(), {item.bus_name, *menu_path}, entries[5].id));
        EXPECT_TRUE(wait_until([&] { return command.load() == TRAY_CMD_QUIT; }, 5s));
        EXPECT_TRUE(on_tray_thread.load());

        auto before = std::chrono::steady_clock::now();
        tray.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    }

    // GTK put its own X error handlers in place and the tray put these back.
    EXPECT_EQ(XSetErrorHandler(nullptr), &ignore_x_error);
    EXPECT_EQ(XSetIOErrorHandler(nullptr), &ignore_x_io_error);
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
    EXPECT_EQ(log.count("info|Tray icon created"), 2u) << log.text();
    EXPECT_EQ(log.count("warning|"), 0u) << log.text();

    // The X server going away ends the tray, not the process.
    XSetIOErrorHandler(ignore_x_io_error);
    TrayIcon tray;
    tray.start([](int) {});
    ASSERT_TRUE(wait_until([&] { return desktop.items().size() == 3; }, 10s)) << log.text();
    display.reset();
    EXPECT_TRUE(wait_until([&] { return log.contains("warning|Tray stopped: display connection lost"); }, 5s))
        << log.text();
    auto before = std::chrono::steady_clock::now();
    tray.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    XSetIOErrorHandler(nullptr);
}
