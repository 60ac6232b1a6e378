// Tray icon as a status-notifier item (libayatana-appindicator) with a GTK menu, and the
// balloon as a desktop notification. GTK and the indicator live on the tray thread, which
// runs GLib's default main context; the TrayIcon methods hand their work to it.
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <sys/stat.h>

#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <optional>

#include <spdlog/spdlog.h>

#include "host/tray_icon.h"
#include "host/tray_icon_menu.h"
#include "host/tray_icon_x11.h"

namespace {

constexpr const char* INDICATOR_ID = "zarvex-agent";
constexpr const char* ICON_NAME = "application-x-executable";

struct Balloon {
    std::string title;
    std::string text;
};

// Objects of the tray thread, touched only there.
struct TrayWidgets {
    GDBusConnection* bus = nullptr;
    AppIndicator* indicator = nullptr;
    GtkWidget* menu = nullptr;
    GtkWidget* status_item = nullptr;
};

// Shared between the TrayIcon methods and the tray thread, one tray per process; the
// mutex guards every field.
struct TrayState {
    std::mutex mutex;
    bool owned = false;            // a TrayIcon has started the tray thread
    GMainLoop* loop = nullptr;     // while the tray thread's loop runs
    TrayWidgets* widgets = nullptr;
    bool update_queued = false;    // an apply_updates call is pending on the loop
    bool status_changed = false;
    bool quit = false;
    std::string status;
    std::optional<Balloon> balloon;
    TrayIcon::CommandCallback on_command;
};

TrayState& state() {
    static TrayState s;
    return s;
}

gboolean apply_updates(gpointer);

// Caller holds the lock. Nothing is queued before the loop runs or after it ended: the
// tray thread applies what is pending itself when it starts.
void queue_update_locked(TrayState& s) {
    if (s.loop == nullptr || s.update_queued) return;
    s.update_queued = true;
    g_idle_add(apply_updates, s.widgets);
}

std::string valid_utf8(const std::string& text) {
    std::string cut = text.substr(0, text.find('\0'));
    gchar* valid = g_utf8_make_valid(cut.c_str(), static_cast<gssize>(cut.size()));
    std::string out = valid;
    g_free(valid);
    return out;
}

// Menu labels are mnemonic strings for status-notifier hosts: a literal underscore is
// written twice.
std::string menu_label(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '_') out += '_';
    }
    return out;
}

void apply_status(TrayWidgets& w, const std::string& status) {
    std::string text = valid_utf8(status);
    gtk_menu_item_set_label(GTK_MENU_ITEM(w.status_item), menu_label(text).c_str());
    std::string tooltip = tray_tooltip_text(text);
    app_indicator_set_title(w.indicator, tooltip.empty() ? TRAY_INITIAL_TOOLTIP : tooltip.c_str());
}

void on_notify_done(GObject* source, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply != nullptr) g_variant_unref(reply);
    if (error != nullptr) {
        // No notification server on this desktop: the balloon is simply not shown.
        spdlog::debug("Tray notification not shown: {}", error->message);
        g_error_free(error);
    }
}

void show_notification(TrayWidgets& w, const Balloon& balloon) {
    std::string title = valid_utf8(balloon.title);
    std::string text = valid_utf8(balloon.text);
    g_dbus_connection_call(w.bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", "Notify",
                           g_variant_new("(susssasa{sv}i)", "Zarvex", 0u, ICON_NAME, title.c_str(), text.c_str(),
                                         nullptr, nullptr, -1),
                           G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, on_notify_done, nullptr);
}

gboolean apply_updates(gpointer data) {
    auto* w = static_cast<TrayWidgets*>(data);
    TrayState& s = state();
    std::optional<std::string> status;
    std::optional<Balloon> balloon;
    GMainLoop* quit = nullptr;
    {
        std::lock_guard lock(s.mutex);
        s.update_queued = false;
        if (s.status_changed) status = s.status;
        s.status_changed = false;
        balloon.swap(s.balloon);
        if (s.quit) quit = s.loop;
    }
    if (quit != nullptr) {
        g_main_loop_quit(quit);
        return G_SOURCE_REMOVE;
    }
    if (status) apply_status(*w, *status);
    if (balloon) show_notification(*w, *balloon);
    return G_SOURCE_REMOVE;
}

void on_item_activate(GtkMenuItem*, gpointer command) {
    TrayState& s = state();
    TrayIcon::CommandCallback callback;
    {
        std::lock_guard lock(s.mutex);
        callback = s.on_command;
    }
    if (callback) callback(GPOINTER_TO_INT(command));
}

void build_indicator(TrayWidgets& w) {
    w.menu = gtk_menu_new();
    g_object_ref_sink(w.menu);
    for (const TrayMenuItem& item : tray_menu_items({})) {
        GtkWidget* widget = nullptr;
        if (item.separator) {
            widget = gtk_separator_menu_item_new();
        } else {
            widget = gtk_menu_item_new_with_mnemonic(menu_label(item.label).c_str());
            gtk_widget_set_sensitive(widget, item.enabled ? TRUE : FALSE);
            if (item.enabled) {
                g_signal_connect(widget, "activate", G_CALLBACK(on_item_activate), GINT_TO_POINTER(item.id));
            }
            if (item.id == TRAY_CMD_STATUS) w.status_item = widget;
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(w.menu), widget);
    }
    // Items never shown are exported as invisible.
    gtk_widget_show_all(w.menu);

    w.indicator = app_indicator_new(INDICATOR_ID, ICON_NAME, APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    app_indicator_set_title(w.indicator, TRAY_INITIAL_TOOLTIP);
    app_indicator_set_menu(w.indicator, GTK_MENU(w.menu));
    app_indicator_set_status(w.indicator, APP_INDICATOR_STATUS_ACTIVE);
}

void destroy_indicator(TrayWidgets& w) {
    if (w.indicator != nullptr) g_object_unref(w.indicator);
    if (w.menu != nullptr) {
        gtk_widget_destroy(w.menu);
        g_object_unref(w.menu);
    }
    w = TrayWidgets{w.bus};
}

// Runs what is already due on the default context (D-Bus replies, unregistration), with a
// bound in case something keeps rescheduling itself.
void drain_default_context() {
    for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

// GTK, the accessibility bridge and the indicator libraries report through GLib's log;
// what they say goes to the agent's log instead of straight to the console, and their
// warnings (a desktop without an accessibility bus, for one) only at debug level.
void route_library_messages() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto handler = [](const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
            bool severe = (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) != 0;
            spdlog::log(severe ? spdlog::level::warn : spdlog::level::debug, "Tray: {}: {}",
                        domain != nullptr ? domain : "", message != nullptr ? message : "");
        };
        const auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
        for (const char* domain : {"Gtk", "Gdk", "dbind", "atk-bridge", "libayatana-appindicator",
                                   "LIBDBUSMENU-GLIB", "LIBDBUSMENU-GTK"}) {
            g_log_set_handler(domain, levels, handler, nullptr);
        }
    });
}

// The session bus, or nothing with the reason. Without an address GLib would try to
// launch a bus of its own; the tray never does that.
GDBusConnection* open_session_bus(std::string& why) {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        struct stat st {};
        std::string socket = runtime != nullptr ? std::string(runtime) + "/bus" : std::string();
        if (socket.empty() || stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
            why = "no session bus";
            return nullptr;
        }
    }
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr) {
        why = std::string("no session bus: ") + (error != nullptr ? error->message : "unknown error");
        if (error != nullptr) g_error_free(error);
        return nullptr;
    }
    // The bus going away takes the tray with it, not the agent.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus;
}

void tray_thread(const std::atomic<bool>* running) {
    TrayState& s = state();
    std::string why;
    TrayWidgets w;
    w.bus = open_session_bus(why);
    if (w.bus == nullptr) {
        spdlog::warn("Tray not available: {}", why);
        return;
    }
    route_library_messages();
    if (!tray_gtk_init(why)) {
        spdlog::warn("Tray not available: {}", why);
        g_object_unref(w.bus);
        return;
    }

    build_indicator(w);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    bool go = false;
    {
        std::lock_guard lock(s.mutex);
        if (running->load()) {
            go = true;
            s.loop = loop;
            s.widgets = &w;
            s.status_changed = !s.status.empty();
            queue_update_locked(s);
        }
    }
    if (go) {
        spdlog::info("Tray icon created");
        tray_watch_display([loop] {
            spdlog::warn("Tray stopped: display connection lost");
            g_main_loop_quit(loop);
        });
        g_main_loop_run(loop);
        tray_watch_display({});
    }
    {
        std::lock_guard lock(s.mutex);
        s.loop = nullptr;
        s.widgets = nullptr;
        s.update_queued = false;
    }
    // With the display gone GTK cannot be used any more: the objects are left as they are.
    if (!tray_display_lost()) {
        drain_default_context();
        destroy_indicator(w);
        drain_default_context();
    }
    g_main_loop_unref(loop);
    g_object_unref(w.bus);
}

}  // namespace

TrayIcon::~TrayIcon() { stop(); }

bool TrayIcon::start(CommandCallback on_command) {
    if (running_.load()) return true;
    TrayState& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.owned) return true;  // another TrayIcon shows the process's icon
        s.owned = true;
        s.on_command = std::move(on_command);
        s.status.clear();
        s.status_changed = false;
        s.balloon.reset();
        s.quit = false;
    }
    running_ = true;
    thread_ = std::thread(tray_thread, &running_);
    return true;
}

void TrayIcon::set_status(const std::string& text) {
    TrayState& s = state();
    std::lock_guard lock(s.mutex);
    if (!running_.load()) return;
    s.status = text;
    s.status_changed = true;
    queue_update_locked(s);
}

void TrayIcon::show_balloon(const std::string& title, const std::string& message) {
    TrayState& s = state();
    std::lock_guard lock(s.mutex);
    if (!running_.load()) return;
    s.balloon = Balloon{title, message};
    queue_update_locked(s);
}

void TrayIcon::stop() {
    if (!running_.exchange(false)) return;
    TrayState& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.quit = true;
        queue_update_locked(s);
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(s.mutex);
    s.owned = false;
    s.on_command = nullptr;
    s.balloon.reset();
    s.quit = false;
}
