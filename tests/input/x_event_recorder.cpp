#include "tests/input/x_event_recorder.h"

#include <X11/Xutil.h>

#include "tests/support/process.h"

XEventRecorder::XEventRecorder(const std::string& display_name) {
    display_ = XOpenDisplay(display_name.c_str());
    if (!display_) return;
    const int screen = DefaultScreen(display_);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask | StructureNotifyMask;
    Window w = XCreateWindow(display_, RootWindow(display_, screen), 0, 0,
                             static_cast<unsigned>(DisplayWidth(display_, screen)),
                             static_cast<unsigned>(DisplayHeight(display_, screen)), 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWOverrideRedirect | CWEventMask, &attrs);
    XMapRaised(display_, w);
    const bool mapped = testsupport::wait_until(
        [&] {
            while (XPending(display_) > 0) {
                XEvent ev;
                XNextEvent(display_, &ev);
                if (ev.type == MapNotify && ev.xmap.window == w) return true;
            }
            return false;
        },
        std::chrono::milliseconds(5000));
    if (!mapped) return;
    XSetInputFocus(display_, w, RevertToPointerRoot, CurrentTime);
    XSync(display_, False);
    window_ = w;
}

XEventRecorder::~XEventRecorder() {
    if (display_) XCloseDisplay(display_);
}

void XEventRecorder::drain() {
    while (XPending(display_) > 0) {
        XEvent ev;
        XNextEvent(display_, &ev);
        Event e;
        e.type = ev.type;
        switch (ev.type) {
            case ButtonPress:
            case ButtonRelease:
                e.detail = ev.xbutton.button;
                e.x_root = ev.xbutton.x_root;
                e.y_root = ev.xbutton.y_root;
                break;
            case KeyPress:
            case KeyRelease:
                e.detail = ev.xkey.keycode;
                e.keysym = first_keysym(ev.xkey.keycode);
                break;
            default:
                continue;
        }
        events_.push_back(e);
    }
}

bool XEventRecorder::wait_for(const std::function<bool(const Event&)>& pred, size_t count,
                              std::chrono::milliseconds timeout) {
    return testsupport::wait_until(
        [&] {
            drain();
            size_t n = 0;
            for (const Event& e : events_) n += pred(e) ? 1 : 0;
            return n >= count;
        },
        timeout);
}

const std::vector<XEventRecorder::Event>& XEventRecorder::events() {
    XSync(display_, False);
    drain();
    return events_;
}

size_t XEventRecorder::count(int type, unsigned detail) {
    size_t n = 0;
    for (const Event& e : events()) n += (e.type == type && e.detail == detail) ? 1 : 0;
    return n;
}

bool XEventRecorder::pointer(int& x, int& y) {
    Window root = 0, child = 0;
    int wx = 0, wy = 0;
    unsigned mask = 0;
    return XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &wx, &wy, &mask) != 0;
}

// Both lookups ask the server each time: Xlib's cached keyboard map does not follow the
// changes the injector makes to it.
unsigned long XEventRecorder::first_keysym(unsigned keycode) {
    int per_keycode = 0;
    KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(keycode), 1, &per_keycode);
    if (!syms) return NoSymbol;
    const KeySym first = per_keycode > 0 ? syms[0] : NoSymbol;
    XFree(syms);
    return first;
}

unsigned XEventRecorder::keycode(unsigned long keysym) {
    int min_keycode = 0, max_keycode = 0;
    XDisplayKeycodes(display_, &min_keycode, &max_keycode);
    for (int k = min_keycode; k <= max_keycode; ++k) {
        if (first_keysym(static_cast<unsigned>(k)) == keysym) return static_cast<unsigned>(k);
    }
    return 0;
}
