#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// A test client on an X display: one window covering the screen, focused, recording the
// pointer buttons and keys that reach it.
class XEventRecorder {
public:
    struct Event {
        int type = 0;            // ButtonPress, ButtonRelease, KeyPress, KeyRelease
        unsigned detail = 0;     // button number or keycode
        unsigned long keysym = 0;  // first keysym of the keycode (key events)
        int x_root = 0, y_root = 0;
    };

    explicit XEventRecorder(const std::string& display_name);
    ~XEventRecorder();
    XEventRecorder(const XEventRecorder&) = delete;
    XEventRecorder& operator=(const XEventRecorder&) = delete;

    bool ok() const { return window_ != 0; }
    Display* display() const { return display_; }

    // Waits (bounded) until `count` recorded events satisfy pred.
    bool wait_for(const std::function<bool(const Event&)>& pred, size_t count = 1,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Round-trips to the server, then returns everything recorded so far.
    const std::vector<Event>& events();
    size_t count(int type, unsigned detail);

    // Where the server says the pointer is, on the root window.
    bool pointer(int& x, int& y);
    // Keycode whose first keysym is `keysym` in the server's current map; 0 for none.
    unsigned keycode(unsigned long keysym);
    unsigned long first_keysym(unsigned keycode);

private:
    void drain();

    Display* display_ = nullptr;
    Window window_ = 0;
    std::vector<Event> events_;
};
