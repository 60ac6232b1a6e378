// Linux output list: the XRandR monitors of the X display named by $DISPLAY.

#include "media/monitors_x11.h"

#include <X11/extensions/Xrandr.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<unsigned long> g_x11_errors{0};

int count_x11_error(Display*, XErrorEvent*) {
    g_x11_errors.fetch_add(1);
    return 0;
}

// The process-wide handler for a broken connection only reports; what happens next is up
// to the connection's exit handler (XSetIOErrorExitHandler). Xlib's own exit handler
// calls exit() on whichever thread met the broken connection, so every connection of
// the agent sets one of its own that marks the connection dead, and the streaming loop
// ends the agent in order.
int ignore_io_error(Display*) { return 0; }

void ignore_lost_connection(Display*, void*) {}

bool has_randr_monitors(Display* display) {
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &event_base, &error_base)) return false;
    if (!XRRQueryVersion(display, &major, &minor)) return false;
    return major > 1 || (major == 1 && minor >= 5);  // XRRGetMonitors came with 1.5
}

std::string atom_name(Display* display, Atom atom) {
    if (atom == None) return {};
    char* text = XGetAtomName(display, atom);
    if (text == nullptr) return {};
    std::string name(text);
    XFree(text);
    return name;
}

}  // namespace

std::vector<MonitorInfo> list_x11_monitors(Display* display) {
    std::vector<MonitorInfo> monitors;
    Window root = DefaultRootWindow(display);
    if (has_randr_monitors(display)) {
        int count = 0;
        XRRMonitorInfo* found = XRRGetMonitors(display, root, True, &count);
        for (int i = 0; found != nullptr && i < count; ++i) {
            if (found[i].width <= 0 || found[i].height <= 0) continue;
            MonitorInfo monitor;
            monitor.index = static_cast<uint32_t>(monitors.size());
            monitor.name = atom_name(display, found[i].name);
            monitor.width = static_cast<uint32_t>(found[i].width);
            monitor.height = static_cast<uint32_t>(found[i].height);
            monitor.x = found[i].x;
            monitor.y = found[i].y;
            monitor.is_primary = is_primary_position(monitor.x, monitor.y);
            monitors.push_back(monitor);
        }
        if (found != nullptr) XRRFreeMonitors(found);
    }
    if (monitors.empty()) {
        int screen = DefaultScreen(display);
        MonitorInfo whole;
        whole.name = "screen";
        whole.width = static_cast<uint32_t>(DisplayWidth(display, screen));
        whole.height = static_cast<uint32_t>(DisplayHeight(display, screen));
        whole.is_primary = true;  // the whole root window starts at the origin
        monitors.push_back(whole);
    }

    return monitors;
}

void install_x11_error_handler() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(count_x11_error);
        XSetIOErrorHandler(ignore_io_error);
    });
}

unsigned long x11_error_count() { return g_x11_errors.load(); }

std::vector<MonitorInfo> enumerate_monitors() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return {};
    install_x11_error_handler();
    // A server gone mid-way leaves a short list (or the whole root as one output).
    XSetIOErrorExitHandler(display, ignore_lost_connection, nullptr);
    std::vector<MonitorInfo> monitors = list_x11_monitors(display);
    XCloseDisplay(display);
    for (const MonitorInfo& monitor : monitors) log_monitor(monitor);
    return monitors;
}
