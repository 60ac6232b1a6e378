#include "host/tray_icon_x11.h"

#include <gtk/gtk.h>
#include <gdk/gdkx.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {

// The handlers in place before GTK started; forwarded to while GTK opens its display.
std::atomic<XErrorHandler> g_saved_error_handler{nullptr};
std::atomic<XIOErrorHandler> g_saved_io_error_handler{nullptr};

int forward_error(Display* display, XErrorEvent* event) {
    XErrorHandler handler = g_saved_error_handler.load();
    return handler != nullptr ? handler(display, event) : 0;
}

int forward_io_error(Display* display) {
    XIOErrorHandler handler = g_saved_io_error_handler.load();
    return handler != nullptr ? handler(display) : 0;
}

std::function<void()> g_on_display_lost;  // tray thread only
std::atomic<bool> g_display_lost{false};

void on_display_lost(Display*, void*) {
    g_display_lost = true;
    if (g_on_display_lost) g_on_display_lost();
}

}  // namespace

bool tray_gtk_init(std::string& why) {
    const char* x_display = std::getenv("DISPLAY");
    const char* wayland_display = std::getenv("WAYLAND_DISPLAY");
    bool have_x = x_display != nullptr && *x_display != '\0';
    bool have_wayland = wayland_display != nullptr && *wayland_display != '\0';
    if (!have_x && !have_wayland) {
        why = "no display";
        return false;
    }
    if (g_display_lost) {
        why = "display connection lost";
        return false;
    }
    // GDK puts its own X error handlers in place when it opens the display; the capture's
    // (which counts errors and survives a lost server) are put back afterwards.
    g_saved_error_handler = XSetErrorHandler(forward_error);
    g_saved_io_error_handler = XSetIOErrorHandler(forward_io_error);
    // The agent's other threads use the C locale; GTK must not switch it under them.
    // The tray draws nothing with OpenGL. With GL on, GDK probes GLX when it opens the
    // display, and GLX's exit hook then waits forever on a display whose server went
    // away, so the process could not exit.
    static std::once_flag locale_once;
    std::call_once(locale_once, [] {
        gtk_disable_setlocale();
        g_setenv("GDK_GL", "disable", FALSE);
    });
    bool ok = gtk_init_check(nullptr, nullptr) != FALSE;
    XSetErrorHandler(g_saved_error_handler.load());
    XSetIOErrorHandler(g_saved_io_error_handler.load());
    if (!ok) {
        why = std::string("cannot open display '") + (have_x ? x_display : wayland_display) + "'";
        return false;
    }
    // From here on a server that goes away only marks GTK's display lost (and calls the
    // watcher, once the tray runs): Xlib's own exit handler would end the process from
    // the tray thread.
    GdkDisplay* display = gdk_display_get_default();
    if (display != nullptr && GDK_IS_X11_DISPLAY(display)) {
        XSetIOErrorExitHandler(GDK_DISPLAY_XDISPLAY(display), on_display_lost, nullptr);
    }
    return true;
}

void tray_watch_display(std::function<void()> on_lost) { g_on_display_lost = std::move(on_lost); }

bool tray_display_lost() { return g_display_lost.load(); }
