// Linux capture: one XRandR monitor (or the whole root window) of the X display named by
// $DISPLAY. Pixels come through a shared-memory image (XShm, else XGetImage), changes are
// learnt from XDamage, the pointer from XQueryPointer and XFixes.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <spdlog/spdlog.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "media/cursor_shape.h"
#include "media/monitors_x11.h"
#include "media/screen_capture.h"

namespace {

constexpr int frame_wait_ms = 16;

spdlog::logger* log() { return spdlog::default_logger_raw(); }

// Scales one colour channel selected by `mask` to 8 bits.
uint8_t channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    unsigned shift = static_cast<unsigned>(std::countr_zero(mask));
    unsigned bits = static_cast<unsigned>(std::popcount(mask));
    unsigned long value = (pixel & mask) >> shift;
    unsigned long max = (1ul << bits) - 1;
    return static_cast<uint8_t>((value * 255 + max / 2) / max);
}

// The common layout of 24- and 32-bit visuals: little-endian 0x00RRGGBB words, which are
// already B, G, R, x in memory.
bool is_bgrx(const XImage& image) {
    return image.bits_per_pixel == 32 && image.byte_order == LSBFirst && image.red_mask == 0xFF0000 &&
           image.green_mask == 0xFF00 && image.blue_mask == 0xFF;
}

// Copies an X image into a frame: BGRx images keep their row stride and get opaque
// alpha, any other pixel layout is converted pixel by pixel into packed BGRA.
CapturedFrame to_frame(XImage& image) {
    CapturedFrame frame;
    frame.width = static_cast<uint32_t>(image.width);
    frame.height = static_cast<uint32_t>(image.height);
    if (is_bgrx(image)) {
        frame.stride = static_cast<uint32_t>(image.bytes_per_line);
        frame.data.resize(size_t{frame.stride} * frame.height);
        std::memcpy(frame.data.data(), image.data, frame.data.size());
        for (uint32_t y = 0; y < frame.height; ++y) {
            uint8_t* row = frame.data.data() + size_t{y} * frame.stride;
            for (uint32_t x = 0; x < frame.width; ++x) row[x * 4 + 3] = 255;
        }
        return frame;
    }
    frame.stride = frame.width * 4;
    frame.data.resize(size_t{frame.stride} * frame.height);
    for (uint32_t y = 0; y < frame.height; ++y) {
        uint8_t* out = frame.data.data() + size_t{y} * frame.stride;
        for (uint32_t x = 0; x < frame.width; ++x, out += 4) {
            unsigned long pixel = XGetPixel(&image, static_cast<int>(x), static_cast<int>(y));
            out[0] = channel(pixel, image.blue_mask);
            out[1] = channel(pixel, image.green_mask);
            out[2] = channel(pixel, image.red_mask);
            out[3] = 255;
        }
    }
    return frame;
}

bool rects_overlap(const XRectangle& r, int x, int y, uint32_t width, uint32_t height) {
    return r.x < x + static_cast<int>(width) && x < r.x + r.width && r.y < y + static_cast<int>(height) &&
           y < r.y + r.height;
}

void on_connection_lost(Display*, void* lost_flag) { *static_cast<bool*>(lost_flag) = true; }

}  // namespace

struct ScreenCapture::Backend {
    Display* display = nullptr;
    Window root = 0;
    int output_x = 0;  // top-left corner of the captured output on the root window
    int output_y = 0;
    bool connection_lost = false;

    // Pixels: a shared-memory image when the server offers it, else one XGetImage per frame.
    bool use_shm = false;
    XShmSegmentInfo shm{};
    XImage* shm_image = nullptr;

    // Change tracking. The first capture after initialize always yields a frame.
    int damage_event_base = 0;
    Damage damage = 0;
    XserverRegion damaged = 0;
    bool damage_seen = false;
    bool first_frame = true;

    // Pointer.
    int fixes_event_base = 0;
    bool have_fixes = false;
    bool shape_pending = true;
    bool shape_known = false;
    unsigned long shape_serial = 0;
    bool shape_blank = false;
    bool pointer_known = false;

    int randr_event_base = 0;
    bool have_randr = false;
    bool geometry_changed = false;

    ~Backend() { close(); }

    void destroy_image() {
        if (shm_image == nullptr) return;
        if (!connection_lost) XShmDetach(display, &shm);
        XDestroyImage(shm_image);  // data points into the segment, which shmdt releases
        shm_image = nullptr;
        shmdt(shm.shmaddr);
        shm = {};
    }

    void close() {
        destroy_image();
        if (display == nullptr) return;
        if (!connection_lost) {
            if (damage != 0) XDamageDestroy(display, damage);
            if (damaged != 0) XFixesDestroyRegion(display, damaged);
        }
        XCloseDisplay(display);
        *this = Backend{};
    }

    // Picks the output and reads its geometry into the owner. False when nothing is capturable.
    bool select_output(ScreenCapture& owner) {
        std::vector<MonitorInfo> outputs = list_x11_monitors(display);
        if (owner.monitor_index_ >= outputs.size()) owner.monitor_index_ = 0;
        const MonitorInfo& output = outputs[owner.monitor_index_];
        // Keep the rectangle on the root window: image requests outside it fail.
        int screen = DefaultScreen(display);
        int root_width = DisplayWidth(display, screen);
        int root_height = DisplayHeight(display, screen);
        output_x = std::clamp(output.x, 0, root_width);
        output_y = std::clamp(output.y, 0, root_height);
        owner.width_ = static_cast<uint32_t>(std::min<int64_t>(output.width, root_width - output_x));
        owner.height_ = static_cast<uint32_t>(std::min<int64_t>(output.height, root_height - output_y));
        return owner.width_ > 0 && owner.height_ > 0;
    }

    // Prepares the shared-memory image for the current size; falls back to XGetImage when
    // the server cannot share memory with us (remote display, separate IPC namespace).
    void create_image(uint32_t width, uint32_t height) {
        destroy_image();
        use_shm = false;
        if (!XShmQueryExtension(display)) {
            log()->warn("XShm unavailable, capturing with XGetImage");
            return;
        }
        int screen = DefaultScreen(display);
        shm_image = XShmCreateImage(display, DefaultVisual(display, screen),
                                    static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, nullptr, &shm,
                                    width, height);
        if (shm_image != nullptr) {
            shm.shmid = shmget(IPC_PRIVATE, size_t(shm_image->bytes_per_line) * shm_image->height, IPC_CREAT | 0600);
        }
        if (shm_image == nullptr || shm.shmid < 0) {
            if (shm_image != nullptr) XDestroyImage(shm_image);
            shm_image = nullptr;
            shm = {};
            log()->warn("XShm unavailable, capturing with XGetImage");
            return;
        }
        shm.shmaddr = shm_image->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
        shm.readOnly = False;
        unsigned long errors = x11_error_count();
        bool attached = shm.shmaddr != reinterpret_cast<char*>(-1) && XShmAttach(display, &shm);
        XSync(display, False);
        attached = attached && x11_error_count() == errors;
        // Marked for removal now: the segment goes away with the last detach, even if we crash.
        shmctl(shm.shmid, IPC_RMID, nullptr);
        if (!attached) {
            if (shm.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shm.shmaddr);
            shm_image->data = nullptr;
            XDestroyImage(shm_image);
            shm_image = nullptr;
            shm = {};
            log()->warn("XShm unavailable, capturing with XGetImage");
            return;
        }
        use_shm = true;
    }

    void watch_changes() {
        int error_base = 0;
        have_fixes = XFixesQueryExtension(display, &fixes_event_base, &error_base);
        if (have_fixes) {
            int major = 0, minor = 0;
            XFixesQueryVersion(display, &major, &minor);
            have_fixes = major >= 2;  // regions and cursor notification
        }
        if (have_fixes) XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
        if (have_fixes && XDamageQueryExtension(display, &damage_event_base, &error_base)) {
            damage = XDamageCreate(display, root, XDamageReportNonEmpty);
            damaged = XFixesCreateRegion(display, nullptr, 0);
        } else {
            log()->warn("XDamage unavailable, capturing every frame");
        }
        have_randr = XRRQueryExtension(display, &randr_event_base, &error_base);
        if (have_randr) XRRSelectInput(display, root, RRScreenChangeNotifyMask);
    }

    // Handles queued events; true when some damage touched the captured output.
    bool drain_events(const ScreenCapture& owner) {
        bool damage_event = false;
        while (!connection_lost && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (damage != 0 && event.type == damage_event_base + XDamageNotify) {
                damage_event = true;
            } else if (have_fixes && event.type == fixes_event_base + XFixesCursorNotify) {
                auto& notify = reinterpret_cast<XFixesCursorNotifyEvent&>(event);
                if (!shape_known || notify.cursor_serial != shape_serial) shape_pending = true;
            } else if (have_randr && event.type == randr_event_base + RRScreenChangeNotify) {
                XRRUpdateConfiguration(&event);
                geometry_changed = true;
            }
        }
        if (!damage_event || connection_lost) return false;
        // Take the accumulated damage (re-arming the notification) and see whether it
        // touches our output rather than another monitor.
        XDamageSubtract(display, damage, None, damaged);
        int count = 0;
        XRectangle* rects = XFixesFetchRegion(display, damaged, &count);
        bool hit = false;
        for (int i = 0; i < count && !hit; ++i) {
            hit = rects_overlap(rects[i], output_x, output_y, owner.width_, owner.height_);
        }
        if (rects != nullptr) XFree(rects);
        return hit;
    }

    bool wait_for_events(int timeout_ms) {
        XFlush(display);
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        return poll(&fd, 1, timeout_ms) > 0;
    }

    void update_pointer(ScreenCapture& owner) {
        if (shape_pending && have_fixes) {
            shape_pending = false;
            if (XFixesCursorImage* image = XFixesGetCursorImage(display)) {
                if (!shape_known || image->cursor_serial != shape_serial) {
                    CursorImage converted = convert_xfixes_cursor(image->width, image->height, image->pixels);
                    shape_blank = cursor_is_blank(converted);
                    shape_known = true;
                    shape_serial = image->cursor_serial;
                    owner.set_cursor_shape(std::move(converted), image->xhot, image->yhot);
                }
                XFree(image);
            }
        }
        Window root_return = 0, child = 0;
        int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
        unsigned int buttons = 0;
        bool on_screen = XQueryPointer(display, root, &root_return, &child, &root_x, &root_y, &win_x, &win_y, &buttons);
        if (connection_lost) return;
        int x = root_x - output_x;
        int y = root_y - output_y;
        bool on_output = on_screen && x >= 0 && y >= 0 && x < static_cast<int>(owner.width_) &&
                         y < static_cast<int>(owner.height_);
        // An application that hides the pointer gives it an empty shape.
        bool visible = on_output && !shape_blank;
        if (!pointer_known || visible != owner.cursor_visible || x != owner.cursor_x || y != owner.cursor_y) {
            owner.set_cursor_position(visible, x, y);
            pointer_known = true;
        }
    }

    std::optional<CapturedFrame> grab(const ScreenCapture& owner) {
        if (use_shm) {
            if (!XShmGetImage(display, root, shm_image, output_x, output_y, AllPlanes)) return std::nullopt;
            return to_frame(*shm_image);
        }
        XImage* image = XGetImage(display, root, output_x, output_y, owner.width_, owner.height_, AllPlanes, ZPixmap);
        if (image == nullptr) return std::nullopt;
        CapturedFrame frame = to_frame(*image);
        XDestroyImage(image);
        return frame;
    }
};

ScreenCapture::ScreenCapture() : backend_(std::make_unique<Backend>()) {}

ScreenCapture::~ScreenCapture() = default;

bool ScreenCapture::initialize(uint32_t monitor_index) {
    shutdown();
    Backend& b = *backend_;
    monitor_index_ = monitor_index;
    install_x11_error_handler();
    b.display = XOpenDisplay(nullptr);
    if (b.display == nullptr) {
        log()->error("No display outputs found");
        return false;
    }
    // A server that goes away marks the connection dead instead of ending the process.
    XSetIOErrorExitHandler(b.display, on_connection_lost, &b.connection_lost);
    b.root = DefaultRootWindow(b.display);
    if (!b.select_output(*this)) {
        log()->error("No display outputs found");
        b.close();
        return false;
    }
    b.create_image(width_, height_);
    b.watch_changes();
    XSync(b.display, False);
    initialized_ = true;
    return true;
}

std::optional<CapturedFrame> ScreenCapture::capture_frame() {
    Backend& b = *backend_;
    if (!initialized_ || b.connection_lost) return std::nullopt;

    bool changed = b.first_frame || b.damage == 0;
    b.first_frame = false;
    changed = b.drain_events(*this) || changed;
    if (!changed && b.wait_for_events(frame_wait_ms)) changed = b.drain_events(*this);
    if (b.geometry_changed && !b.connection_lost) {
        // Mode change or monitor rearrangement: follow the output's new rectangle.
        b.geometry_changed = false;
        if (!b.select_output(*this)) return std::nullopt;
        if (b.use_shm || b.shm_image != nullptr) b.create_image(width_, height_);
        changed = true;
    }
    b.update_pointer(*this);
    if (!changed || b.connection_lost) {
        if (b.connection_lost) log()->error("Lost the connection to the X server");
        return std::nullopt;
    }
    return b.grab(*this);
}

void ScreenCapture::shutdown() {
    backend_->close();
    initialized_ = false;
}
