// X11 backend: XTest on the injector's own display connection.
#include "control/input_injector.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "control/keymap.h"

namespace {

// Set on the thread that met the closed connection, inside its Xlib call, with the
// injector's mutex held. Xlib's own exit handler would end the process from there.
void on_connection_lost(Display*, void* lost_flag) { *static_cast<bool*>(lost_flag) = true; }

}  // namespace

struct InputInjector::Impl {
    std::mutex mutex;
    Display* display = nullptr;
    bool connection_lost = false;  // the server went away: nothing is sent any more
    PressedInputs pressed;
    WheelAccumulator wheel;
    std::set<uint16_t> reported_keys;  // virtual keys already logged as unmappable

    // Keycodes the keyboard map leaves empty, lent to keysyms that have no key of their
    // own (F13-F24 on most layouts). Least recently lent first; keysym 0 when not lent.
    struct Spare {
        KeyCode keycode;
        KeySym keysym;
    };
    std::vector<Spare> spares;
    bool spares_scanned = false;

    bool inject(const InputEvent& event);
    bool move_pointer(const InputEvent& event);
    bool button(const InputEvent& event, bool down);
    bool wheel_turn(const InputEvent& event);
    bool key(const InputEvent& event, bool down);
    bool report_unmappable(uint16_t virtual_key, const char* why);
    KeyCode keycode_for(KeySym keysym, bool may_lend);
    KeyCode lend_spare(KeySym keysym);
    void return_spares();
    void release_all();
};

InputInjector::InputInjector() : impl_(std::make_unique<Impl>()) {
    const char* name = std::getenv("DISPLAY");
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        spdlog::warn("Input injection unavailable: cannot open X display \"{}\"", name ? name : "");
        return;
    }
    XSetIOErrorExitHandler(display, on_connection_lost, &impl_->connection_lost);
    int event_base = 0, error_base = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
        spdlog::warn("Input injection unavailable: X display \"{}\" lacks the XTEST extension", DisplayString(display));
        XCloseDisplay(display);
        return;
    }
    impl_->display = display;
}

InputInjector::~InputInjector() {
    release_all();
    if (!impl_->display) return;
    // A connection lost on another thread is left as it is: XCloseDisplay could wait for
    // that thread for ever.
    if (impl_->connection_lost) return;
    impl_->return_spares();
    XCloseDisplay(impl_->display);
}

bool InputInjector::inject(const InputEvent& event) {
    std::lock_guard lock(impl_->mutex);
    // No connection: logged once when it failed, or when it was lost.
    if (!impl_->display || impl_->connection_lost) return false;
    const bool ok = impl_->inject(event);
    XFlush(impl_->display);
    if (impl_->connection_lost) spdlog::warn("Input injection stopped: lost the connection to the X server");
    return ok && !impl_->connection_lost;
}

void InputInjector::release_all() {
    std::lock_guard lock(impl_->mutex);
    impl_->release_all();
}

bool InputInjector::Impl::inject(const InputEvent& event) {
    switch (event.kind) {
        case InputKind::MouseMove: return move_pointer(event);
        case InputKind::MouseDown: return button(event, true);
        case InputKind::MouseUp: return button(event, false);
        case InputKind::MouseWheel: return wheel_turn(event);
        case InputKind::KeyDown: return key(event, true);
        case InputKind::KeyUp: return key(event, false);
        default: return false;
    }
}

bool InputInjector::Impl::move_pointer(const InputEvent& event) {
    // The root window is the whole virtual desktop; read its size each time, since
    // outputs can be added or resized while the agent runs.
    Window root = DefaultRootWindow(display);
    Window unused_root = 0;
    int rx = 0, ry = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(display, root, &unused_root, &rx, &ry, &width, &height, &border, &depth)) return false;
    const int x = normalized_to_pixel(event.x, static_cast<int32_t>(width));
    const int y = normalized_to_pixel(event.y, static_cast<int32_t>(height));
    return XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime) != 0;
}

bool InputInjector::Impl::button(const InputEvent& event, bool down) {
    const unsigned x_button = x_button_for(event.button);
    if (x_button == 0) return true;  // no such button: nothing to do
    if (down) {
        pressed.button_down(event.button);
    } else {
        pressed.button_up(event.button);
    }
    return XTestFakeButtonEvent(display, x_button, down ? True : False, CurrentTime) != 0;
}

bool InputInjector::Impl::wheel_turn(const InputEvent& event) {
    const int notches = wheel.add(event.wheel_delta);
    const unsigned x_button = notches > 0 ? X_BUTTON_WHEEL_UP : X_BUTTON_WHEEL_DOWN;
    bool ok = true;
    for (int i = 0; i < std::abs(notches); ++i) {
        ok = XTestFakeButtonEvent(display, x_button, True, CurrentTime) != 0 && ok;
        ok = XTestFakeButtonEvent(display, x_button, False, CurrentTime) != 0 && ok;
    }
    return ok;
}

bool InputInjector::Impl::key(const InputEvent& event, bool down) {
    const uint32_t keysym = keysym_for_virtual_key(event.virtual_key, event.scan_code, event.extended);
    if (keysym == 0) return report_unmappable(event.virtual_key, "has no X keysym");
    // A release never borrows a keycode: a key that has none was not pressed by us.
    const KeyCode keycode = keycode_for(keysym, down);
    if (keycode == 0 && !down) return true;
    if (keycode == 0) return report_unmappable(event.virtual_key, "has no key in this X keyboard map");
    if (down) {
        pressed.key_down(keycode);
    } else {
        pressed.key_up(keycode);
    }
    return XTestFakeKeyEvent(display, keycode, down ? True : False, CurrentTime) != 0;
}

bool InputInjector::Impl::report_unmappable(uint16_t virtual_key, const char* why) {
    if (reported_keys.insert(virtual_key).second) {
        spdlog::warn("Ignoring virtual key 0x{:02X}: it {}", virtual_key, why);
    }
    return false;
}

KeyCode InputInjector::Impl::keycode_for(KeySym keysym, bool may_lend) {
    for (const Spare& s : spares) {
        if (s.keysym == keysym) return s.keycode;
    }
    const KeyCode keycode = XKeysymToKeycode(display, keysym);
    // Xlib's copy of the map may still show a spare's earlier loan: not a real key.
    const bool stale = std::any_of(spares.begin(), spares.end(), [&](const Spare& s) { return s.keycode == keycode; });
    if (keycode != 0 && !stale) return keycode;
    return may_lend ? lend_spare(keysym) : 0;
}

KeyCode InputInjector::Impl::lend_spare(KeySym keysym) {
    if (!spares_scanned) {
        spares_scanned = true;
        int min_keycode = 0, max_keycode = 0, per_keycode = 0;
        XDisplayKeycodes(display, &min_keycode, &max_keycode);
        KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(min_keycode), max_keycode - min_keycode + 1,
                                          &per_keycode);
        if (!map) return 0;
        for (int k = min_keycode; k <= max_keycode; ++k) {
            const KeySym* syms = map + static_cast<size_t>(k - min_keycode) * static_cast<size_t>(per_keycode);
            if (std::all_of(syms, syms + per_keycode, [](KeySym sym) { return sym == NoSymbol; })) {
                spares.push_back({static_cast<KeyCode>(k), 0});
            }
        }
        XFree(map);
    }
    // The least recently lent spare that is not held down right now.
    auto it = std::find_if(spares.begin(), spares.end(), [&](const Spare& s) { return !pressed.held(s.keycode); });
    if (it == spares.end()) return 0;
    Spare spare{it->keycode, keysym};
    spares.erase(it);
    spares.push_back(spare);
    KeySym sym = keysym;
    XChangeKeyboardMapping(display, spare.keycode, 1, &sym, 1);
    spdlog::debug("Lent spare keycode {} to keysym 0x{:X}", spare.keycode, keysym);
    return spare.keycode;
}

void InputInjector::Impl::return_spares() {
    // Leave the keyboard map as it was found.
    for (Spare& s : spares) {
        if (s.keysym == 0) continue;
        KeySym none = NoSymbol;
        XChangeKeyboardMapping(display, s.keycode, 1, &none, 1);
        s.keysym = 0;
    }
}

void InputInjector::Impl::release_all() {
    const auto buttons = pressed.take_buttons();
    const auto keys = pressed.take_keys();
    wheel = WheelAccumulator{};
    if (!display || connection_lost || (buttons.empty() && keys.empty())) return;
    for (uint8_t b : buttons) XTestFakeButtonEvent(display, x_button_for(b), False, CurrentTime);
    for (uint64_t k : keys) XTestFakeKeyEvent(display, static_cast<unsigned>(k), False, CurrentTime);
    XFlush(display);
    spdlog::info("Released {} held keys and {} held mouse buttons", keys.size(), buttons.size());
}
