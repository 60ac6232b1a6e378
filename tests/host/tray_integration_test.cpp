// The agent's tray on a desktop of our own: Xvfb, a private session bus, and a watcher
// and notification server on it. The menu is read and clicked the way a tray host does,
// over the status-notifier and dbusmenu protocols.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/host/tray_desktop.h"
#include "tests/support/rig.h"

using namespace testsupport;
using namespace traytest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* ITEM_INTERFACE = "org.kde.StatusNotifierItem";

// A stand-in xdg-open that appends its argument to dir/opened; returns its folder.
std::string write_recording_opener(const TempDir& dir) {
    fs::create_directories(dir / "bin");
    write_file(dir / "bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + dir / "opened" + "'\n");
    fs::permissions(dir / "bin/xdg-open", fs::perms::owner_all);
    return dir / "bin";
}

std::string opened(const TempDir& dir) { return fs::exists(dir / "opened") ? read_file(dir / "opened") : ""; }

size_t count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

}  // namespace

TEST(TrayAgent, MenuShowsTheStatusAndItsCommandsOpenAndQuit) {
    Rig rig;
    ASSERT_TRUE(rig.start_system()) << rig.error();
    TempDir dir("zarvex-tray");
    PrivateBus bus(dir);
    ASSERT_TRUE(bus.ok()) << bus.error();
    FakeDesktop desktop;
    ASSERT_TRUE(desktop.start(bus.address())) << desktop.error();
    GDBusConnection* host = desktop.connection();

    const std::string path = write_recording_opener(dir) + ":" + std::getenv("PATH");
    ASSERT_TRUE(rig.start_agent({{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"PATH", path}})) << rig.error();
    Process& agent = rig.agent();

    ASSERT_TRUE(wait_until([&] { return !desktop.items().empty(); }, 10s)) << agent.out() << agent.err();
    EXPECT_EQ(desktop.items().size(), 1u);
    const ItemAddress item = desktop.items().front();
    EXPECT_EQ(get_string_property(host, item, ITEM_INTERFACE, "Status"), "Active");

    const std::string status = "Zarvex \xE2\x80\x94 Connected to " + rig.server_url();
    EXPECT_TRUE(wait_until([&] { return get_string_property(host, item, ITEM_INTERFACE, "Title") == status; }, 5s))
        << get_string_property(host, item, ITEM_INTERFACE, "Title").value_or("(no title)");

    std::optional<std::string> menu_path = get_string_property(host, item, ITEM_INTERFACE, "Menu");
    ASSERT_TRUE(menu_path.has_value());
    const ItemAddress menu{item.bus_name, *menu_path};
    std::vector<MenuEntry> entries;
    ASSERT_TRUE(wait_until(
        [&] {
            entries = get_menu(host, menu);
            return entries.size() == 6 && entries[0].label == status;
        },
        5s))
        << (entries.empty() ? std::string("(no menu)") : entries[0].label);
    EXPECT_FALSE(entries[0].enabled);
    const char* labels[] = {nullptr, nullptr, "Open Dashboard", "Show Log File", nullptr, "Quit Zarvex"};
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_TRUE(entries[i].visible) << i;
        if (labels[i] == nullptr) {
            if (i != 0) {
                EXPECT_EQ(entries[i].type, "separator") << i;
            }
            continue;
        }
        EXPECT_EQ(entries[i].type, "") << i;
        EXPECT_EQ(entries[i].label, labels[i]);
        EXPECT_TRUE(entries[i].enabled) << i;
    }

    // The balloon arrives as a desktop notification.
    ASSERT_TRUE(wait_until([&] { return !desktop.notifications().empty(); }, 5s));
    Notification note = desktop.notifications().front();
    EXPECT_EQ(note.summary, "Zarvex");
    EXPECT_EQ(note.body, "Agent is running. Right-click the tray icon for options.");

    ASSERT_TRUE(click_menu_entry(host, menu, entries[2].id));
    EXPECT_TRUE(wait_until([&] { return opened(dir) == rig.server_url() + "/app/\n"; }, 5s)) << opened(dir);
    ASSERT_TRUE(click_menu_entry(host, menu, entries[3].id));
    EXPECT_TRUE(wait_until([&] { return opened(dir) == rig.server_url() + "/app/\nagent.log\n"; }, 5s))
        << opened(dir);
    EXPECT_TRUE(agent.running());

    ASSERT_TRUE(click_menu_entry(host, menu, entries[5].id));
    std::optional<int> code = agent.wait(15s);
    ASSERT_TRUE(code.has_value()) << agent.out();
    EXPECT_EQ(*code, 0) << agent.out() << agent.err();
    const std::string out = agent.out();
    size_t quit = out.find("] [info] Quit requested from tray");
    size_t shutdown = out.find("] [info] Agent shutting down...");
    ASSERT_NE(quit, std::string::npos) << out;
    ASSERT_NE(shutdown, std::string::npos) << out;
    EXPECT_LT(quit, shutdown);
    EXPECT_EQ(count(out, "Tray not available"), 0u) << out;
}

TEST(TrayAgent, WithoutSessionBusOneWarningAndTheAgentStreamsOn) {
    Rig rig;
    ASSERT_TRUE(rig.start_system()) << rig.error();
    TempDir dir("zarvex-tray");
    ASSERT_TRUE(rig.start_agent({{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir / "no-bus"}})) << rig.error();
    Process& agent = rig.agent();
    ASSERT_TRUE(agent.wait_for_output("Tray not available", 10s)) << agent.out();

    agent.signal(SIGINT);
    std::optional<int> code = agent.wait(15s);
    ASSERT_TRUE(code.has_value()) << agent.out();
    EXPECT_EQ(*code, 0) << agent.out() << agent.err();
    const std::string out = agent.out();
    EXPECT_EQ(count(out, "Tray not available"), 1u) << out;
    EXPECT_EQ(count(out, "] [warning] Tray not available: no session bus: "), 1u) << out;
    EXPECT_NE(out.find("Agent shutting down..."), std::string::npos) << out;
    // Nothing from the GLib family on the console either.
    EXPECT_EQ(count(agent.err(), "WARNING"), 0u) << agent.err();
    EXPECT_EQ(count(agent.err(), "CRITICAL"), 0u) << agent.err();
}

TEST(TrayAgent, SessionBusGoingAwayLeavesTheAgentRunning) {
    Rig rig;
    ASSERT_TRUE(rig.start_system()) << rig.error();
    TempDir dir("zarvex-tray");
    auto bus = std::make_unique<PrivateBus>(dir);
    ASSERT_TRUE(bus->ok()) << bus->error();
    FakeDesktop desktop;
    ASSERT_TRUE(desktop.start(bus->address())) << desktop.error();
    ASSERT_TRUE(rig.start_agent({{"DBUS_SESSION_BUS_ADDRESS", bus->address()}})) << rig.error();
    Process& agent = rig.agent();
    ASSERT_TRUE(wait_until([&] { return !desktop.items().empty(); }, 10s)) << agent.out();

    desktop.stop();
    bus.reset();  // the daemon ends: every connection to it closes
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(agent.running()) << agent.out();
    EXPECT_EQ(agent.out().find("Agent shutting down..."), std::string::npos) << agent.out();

    agent.signal(SIGINT);
    std::optional<int> code = agent.wait(15s);
    ASSERT_TRUE(code.has_value()) << agent.out();
    EXPECT_EQ(*code, 0) << agent.out() << agent.err();
}
