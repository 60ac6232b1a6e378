#include "tests/host/tray_desktop.h"

#include <chrono>

using namespace std::chrono_literals;

namespace traytest {

namespace {

constexpr int CALL_TIMEOUT_MS = 5000;

const char* const WATCHER_XML = R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>)";

const char* const NOTIFICATIONS_XML = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
  </interface>
</node>)";

std::string take_error(GError* error) {
    std::string text = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    return text;
}

bool own_name(GDBusConnection* connection, const char* name, std::string& error) {
    GError* err = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "RequestName",
                                                  g_variant_new("(su)", name, 4u /* DO_NOT_QUEUE */),
                                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, CALL_TIMEOUT_MS,
                                                  nullptr, &err);
    if (reply == nullptr) {
        error = std::string("RequestName ") + name + ": " + take_error(err);
        return false;
    }
    guint32 result = 0;
    g_variant_get(reply, "(u)", &result);
    g_variant_unref(reply);
    if (result != 1) {
        error = std::string("not the owner of ") + name;
        return false;
    }
    return true;
}

}  // namespace

// --- PrivateBus ------------------------------------------------------------------------

PrivateBus::PrivateBus(const testsupport::TempDir& dir) {
    // Only what a bus needs to carry messages: no service files, so nothing of the
    // machine's own desktop gets activated on it.
    const std::string config = dir / "bus.conf";
    testsupport::write_file(config,
                            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                            "<busconfig>\n"
                            "  <type>session</type>\n"
                            "  <listen>unix:path=" + dir / "bus" + "</listen>\n"
                            "  <auth>EXTERNAL</auth>\n"
                            "  <policy context=\"default\">\n"
                            "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                            "    <allow eavesdrop=\"true\"/>\n"
                            "    <allow own=\"*\"/>\n"
                            "  </policy>\n"
                            "</busconfig>\n");
    if (!daemon_.start({"/usr/bin/dbus-daemon", "--config-file=" + config, "--print-address", "--nofork"})) {
        error_ = "cannot start dbus-daemon";
        return;
    }
    bool printed = testsupport::wait_until([&] { return daemon_.out().find('\n') != std::string::npos; }, 10s);
    std::string out = daemon_.out();
    if (!printed) {
        error_ = "dbus-daemon printed no address: " + out + daemon_.err();
        return;
    }
    address_ = out.substr(0, out.find('\n'));
}

PrivateBus::~PrivateBus() { daemon_.stop(); }

// --- FakeDesktop -----------------------------------------------------------------------

struct WatcherCalls {
    static void method(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar* interface,
                       const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                       gpointer user_data) {
        auto* desktop = static_cast<FakeDesktop*>(user_data);
        const std::string name = method;
        if (std::string(interface) == "org.kde.StatusNotifierWatcher") {
            if (name == "RegisterStatusNotifierItem") {
                const gchar* service = nullptr;
                g_variant_get(parameters, "(&s)", &service);
                // The item names either its object path (on the sender's connection) or
                // a bus name (with the standard path).
                ItemAddress item;
                if (service[0] == '/') {
                    item = {sender, service};
                } else {
                    item = {service, "/StatusNotifierItem"};
                }
                std::string announced = item.bus_name + item.path;
                {
                    std::lock_guard lock(desktop->mutex_);
                    desktop->items_.push_back(item);
                }
                g_dbus_connection_emit_signal(connection, nullptr, "/StatusNotifierWatcher",
                                              "org.kde.StatusNotifierWatcher", "StatusNotifierItemRegistered",
                                              g_variant_new("(s)", announced.c_str()), nullptr);
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
            return;
        }
        if (name == "Notify") {
            const gchar *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
            guint32 replaces = 0;
            gint32 timeout = 0;
            GVariantIter *actions = nullptr, *hints = nullptr;
            g_variant_get(parameters, "(&su&s&s&sasa{sv}i)", &app, &replaces, &icon, &summary, &body, &actions,
                          &hints, &timeout);
            g_variant_iter_free(actions);
            g_variant_iter_free(hints);
            guint32 id = 0;
            {
                std::lock_guard lock(desktop->mutex_);
                desktop->notifications_.push_back({app, summary, body});
                id = static_cast<guint32>(desktop->notifications_.size());
            }
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", id));
        } else if (name == "GetCapabilities") {
            const gchar* caps[] = {"body", nullptr};
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", caps));
        } else if (name == "GetServerInformation") {
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(ssss)", "fake", "test", "1", "1.2"));
        } else {
            g_dbus_method_invocation_return_value(invocation, nullptr);
        }
    }

    static GVariant* property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                              GError** error, gpointer user_data) {
        auto* desktop = static_cast<FakeDesktop*>(user_data);
        const std::string property = name;
        if (property == "RegisteredStatusNotifierItems") {
            GVariantBuilder builder;
            g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
            std::lock_guard lock(desktop->mutex_);
            for (const ItemAddress& item : desktop->items_) {
                g_variant_builder_add(&builder, "s", (item.bus_name + item.path).c_str());
            }
            return g_variant_builder_end(&builder);
        }
        if (property == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
        if (property == "ProtocolVersion") return g_variant_new_int32(0);
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
        return nullptr;
    }
};

FakeDesktop::~FakeDesktop() { stop(); }

bool FakeDesktop::start(const std::string& address, bool notifications) {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    std::promise<std::string> started;
    std::future<std::string> result = started.get_future();
    thread_ = std::thread(&FakeDesktop::serve, this, address, notifications, &started);
    if (result.wait_for(10s) != std::future_status::ready) {
        error_ = "fake desktop did not start";
        return false;
    }
    error_ = result.get();
    return error_.empty();
}

void FakeDesktop::serve(std::string address, bool notifications, std::promise<std::string>* started) {
    g_main_context_push_thread_default(context_);
    std::string error;
    GError* err = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &err);
    GDBusInterfaceVTable vtable{};
    vtable.method_call = WatcherCalls::method;
    vtable.get_property = WatcherCalls::property;
    if (connection == nullptr) {
        error = "cannot connect to the bus: " + take_error(err);
    } else {
        g_dbus_connection_set_exit_on_close(connection, FALSE);
        struct Export {
            const char* xml;
            const char* path;
            const char* name;
        };
        std::vector<Export> exports = {{WATCHER_XML, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher"}};
        if (notifications) {
            exports.push_back({NOTIFICATIONS_XML, "/org/freedesktop/Notifications", "org.freedesktop.Notifications"});
        }
        for (const Export& e : exports) {
            GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(e.xml, &err);
            if (node == nullptr) {
                error = take_error(err);
                break;
            }
            guint id = g_dbus_connection_register_object(connection, e.path, node->interfaces[0], &vtable, this,
                                                         nullptr, &err);
            g_dbus_node_info_unref(node);
            if (id == 0) {
                error = take_error(err);
                break;
            }
            if (!own_name(connection, e.name, error)) break;
        }
    }
    connection_ = connection;
    started->set_value(error);
    if (error.empty()) g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
}

void FakeDesktop::stop() {
    if (!thread_.joinable()) return;
    // Queued on the desktop's context, so it also ends a loop that has not started yet.
    g_main_context_invoke(
        context_,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
    if (connection_ != nullptr) {
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
        connection_ = nullptr;
    }
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    loop_ = nullptr;
    context_ = nullptr;
}

std::vector<ItemAddress> FakeDesktop::items() {
    std::lock_guard lock(mutex_);
    return items_;
}

std::vector<Notification> FakeDesktop::notifications() {
    std::lock_guard lock(mutex_);
    return notifications_;
}

// --- Host-side calls -------------------------------------------------------------------

std::optional<std::string> get_string_property(GDBusConnection* bus, const ItemAddress& object,
                                               const std::string& interface, const std::string& name) {
    GVariant* reply = g_dbus_connection_call_sync(bus, object.bus_name.c_str(), object.path.c_str(),
                                                  "org.freedesktop.DBus.Properties", "Get",
                                                  g_variant_new("(ss)", interface.c_str(), name.c_str()),
                                                  G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, CALL_TIMEOUT_MS,
                                                  nullptr, nullptr);
    if (reply == nullptr) return std::nullopt;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    std::optional<std::string> text;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) || g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH)) {
        text = g_variant_get_string(value, nullptr);
    }
    g_variant_unref(value);
    g_variant_unref(reply);
    return text;
}

std::vector<MenuEntry> get_menu(GDBusConnection* bus, const ItemAddress& menu) {
    std::vector<MenuEntry> entries;
    const gchar* no_names[] = {nullptr};
    GVariant* reply = g_dbus_connection_call_sync(bus, menu.bus_name.c_str(), menu.path.c_str(),
                                                  "com.canonical.dbusmenu", "GetLayout",
                                                  g_variant_new("(ii^as)", 0, -1, no_names),
                                                  G_VARIANT_TYPE("(u(ia{sv}av))"), G_DBUS_CALL_FLAGS_NONE,
                                                  CALL_TIMEOUT_MS, nullptr, nullptr);
    if (reply == nullptr) return entries;
    GVariant* layout = g_variant_get_child_value(reply, 1);
    GVariant* children = g_variant_get_child_value(layout, 2);
    for (gsize i = 0; i < g_variant_n_children(children); ++i) {
        GVariant* boxed = g_variant_get_child_value(children, i);
        GVariant* child = g_variant_get_variant(boxed);
        MenuEntry entry;
        GVariant* props = nullptr;
        g_variant_get_child(child, 0, "i", &entry.id);
        props = g_variant_get_child_value(child, 1);
        const gchar* text = nullptr;
        gboolean flag = FALSE;
        if (g_variant_lookup(props, "type", "&s", &text)) entry.type = text;
        if (g_variant_lookup(props, "label", "&s", &text)) entry.label = text;
        if (g_variant_lookup(props, "enabled", "b", &flag)) entry.enabled = flag != FALSE;
        if (g_variant_lookup(props, "visible", "b", &flag)) entry.visible = flag != FALSE;
        entries.push_back(entry);
        g_variant_unref(props);
        g_variant_unref(child);
        g_variant_unref(boxed);
    }
    g_variant_unref(children);
    g_variant_unref(layout);
    g_variant_unref(reply);
    return entries;
}

bool click_menu_entry(GDBusConnection* bus, const ItemAddress& menu, int id) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, menu.bus_name.c_str(), menu.path.c_str(), "com.canonical.dbusmenu", "Event",
        g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), nullptr, G_DBUS_CALL_FLAGS_NONE,
        CALL_TIMEOUT_MS, nullptr, nullptr);
    if (reply == nullptr) return false;
    g_variant_unref(reply);
    return true;
}

}  // namespace traytest
