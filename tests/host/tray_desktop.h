#pragma once

// A private desktop session for tray tests: a session bus of our own (dbus-daemon) and,
// on it, a status-notifier watcher with one host and a notification server, both written
// with GIO and served from a thread of their own. Plus the client calls a tray host makes
// on an item: its properties and its exported menu.

#include <gio/gio.h>

#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"

namespace traytest {

// dbus-daemon on a socket in dir, with no service activation; stopped by the destructor.
class PrivateBus {
public:
    explicit PrivateBus(const testsupport::TempDir& dir);
    ~PrivateBus();
    bool ok() const { return !address_.empty(); }
    const std::string& address() const { return address_; }
    const std::string& error() const { return error_; }

private:
    testsupport::Process daemon_;
    std::string address_, error_;
};

struct Notification {
    std::string app_name;
    std::string summary;
    std::string body;
};

// An item as a host sees it: the bus name it lives on and its object path.
struct ItemAddress {
    std::string bus_name;
    std::string path;
};

class FakeDesktop {
public:
    FakeDesktop() = default;
    ~FakeDesktop();
    FakeDesktop(const FakeDesktop&) = delete;
    FakeDesktop& operator=(const FakeDesktop&) = delete;

    // Connects to the bus and owns org.kde.StatusNotifierWatcher and (if notifications)
    // org.freedesktop.Notifications. False with error() on failure.
    bool start(const std::string& address, bool notifications = true);
    void stop();
    const std::string& error() const { return error_; }

    std::vector<ItemAddress> items();
    std::vector<Notification> notifications();
    // The desktop's connection, for the host-side calls below.
    GDBusConnection* connection() const { return connection_; }

private:
    void serve(std::string address, bool notifications, std::promise<std::string>* started);

    std::thread thread_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    std::string error_;

    std::mutex mutex_;
    std::vector<ItemAddress> items_;
    std::vector<Notification> notifications_;

    friend struct WatcherCalls;
};

// A property of an object, or nothing (after a failed call).
std::optional<std::string> get_string_property(GDBusConnection* bus, const ItemAddress& object,
                                               const std::string& interface, const std::string& name);

// One entry of a menu exported over com.canonical.dbusmenu.
struct MenuEntry {
    int id = 0;
    std::string type;   // "separator", or empty for a standard item
    std::string label;
    bool enabled = true;
    bool visible = true;
};

// The top level of the menu at object (GetLayout); empty after a failed call.
std::vector<MenuEntry> get_menu(GDBusConnection* bus, const ItemAddress& menu);

// Sends a "clicked" event for the entry (Event); false if the call failed.
bool click_menu_entry(GDBusConnection* bus, const ItemAddress& menu, int id);

}  // namespace traytest
