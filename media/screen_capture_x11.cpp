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
#include <chrono>
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

// Copies the rows of an X image into the picture at r (the image holds exactly r's
// pixels from its top-left corner): BGRx images row by row with opaque alpha, any other
// pixel layout converted pixel by pixel into packed BGRA.
void copy_into(XImage& image, CapturedFrame& picture, const DamageRect& r) {
    const size_t row_bytes = static_cast<size_t>(r.width) * 4;
    for (int32_t y = 0; y < r.height; ++y) {
        uint8_t* out = picture.data.data() + static_cast<size_t>(r.y + y) * picture.stride + static_cast<size_t>(r.x) * 4;
        if (is_bgrx(image)) {
            // One pass: copy each pixel with its unused byte made opaque alpha.
            const uint8_t* in = reinterpret_cast<const uint8_t*>(image.data) +
                                static_cast<size_t>(y) * static_cast<size_t>(image.bytes_per_line);
            for (size_t x = 0; x < row_bytes; x += 4) {
                uint32_t pixel;
                std::memcpy(&pixel, in + x, 4);
                pixel |= 0xFF000000u;
                std::memcpy(out + x, &pixel, 4);
            }
            continue;
        }
        for (int32_t x = 0; x < r.width; ++x, out += 4) {
            unsigned long pixel = XGetPixel(&image, x, y);
            out[0] = channel(pixel, image.blue_mask);
            out[1] = channel(pixel, image.green_mask);
            out[2] = channel(pixel, image.red_mask);
            out[3] = 255;
        }
    }
}

bool rects_overlap(const XRectangle& r, int x, int y, uint32_t width, uint32_t height) {
    return r.x < x + static_cast<int>(width) && x < r.x + r.width && r.y < y + static_cast<int>(height) &&
           y < r.y + r.height;
}

// Runs on the capture's thread, inside the Xlib call that met the closed connection.
void on_connection_lost(Display*, void* lost_flag) { *static_cast<bool*>(lost_flag) = true; }

}  // namespace

struct ScreenCapture::Backend {
    Display* display = nullptr;
    Window root = 0;
    int output_x = 0;  // top-left corner of the captured output on the root window
    int output_y = 0;
    bool connection_lost = false;
    bool loss_logged = false;

    // Pixels: a shared-memory image when the server offers it, else one XGetImage per frame.
    // With XShm the kept picture is the shared image itself (whole pictures are fetched
    // straight into it); changed rectangles come through a second one and are copied in.
    bool use_shm = false;
    XShmSegmentInfo shm{};
    XImage* shm_image = nullptr;
    XShmSegmentInfo scratch{};
    XImage* scratch_image = nullptr;

    // Change tracking. The first capture after initialize always yields a frame.
    int damage_event_base = 0;
    Damage damage = 0;
    XserverRegion damaged = 0;
    bool damage_seen = false;
    bool damage_reported = false;  // a damage event was taken and its area not yet fetched
    bool first_frame = true;
    DamageRegion pending;  // output coordinates, gathered until the next fetch

    // The picture kept between captures, packed rows; only what changed is fetched into it.
    CapturedFrame picture;

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

    void drop_segment(XShmSegmentInfo& segment, XImage*& image) {
        if (image == nullptr) return;
        if (!connection_lost) XShmDetach(display, &segment);
        XDestroyImage(image);  // data points into the segment, which shmdt releases
        image = nullptr;
        shmdt(segment.shmaddr);
        segment = {};
    }

    void destroy_image() {
        drop_segment(shm, shm_image);
        drop_segment(scratch, scratch_image);
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
        if (!make_segment(shm, shm_image, width, height) || !make_segment(scratch, scratch_image, width, height)) {
            destroy_image();
            log()->warn("XShm unavailable, capturing with XGetImage");
            return;
        }
        use_shm = true;
    }

    // One shared-memory image of the given size; false when the server cannot attach it.
    bool make_segment(XShmSegmentInfo& segment, XImage*& image, uint32_t width, uint32_t height) {
        int screen = DefaultScreen(display);
        image = XShmCreateImage(display, DefaultVisual(display, screen),
                                static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, nullptr, &segment, width,
                                height);
        if (image != nullptr) {
            segment.shmid = shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * image->height, IPC_CREAT | 0600);
        }
        if (image == nullptr || segment.shmid < 0) {
            if (image != nullptr) XDestroyImage(image);
            image = nullptr;
            segment = {};
            return false;
        }
        segment.shmaddr = image->data = static_cast<char*>(shmat(segment.shmid, nullptr, 0));
        segment.readOnly = False;
        unsigned long errors = x11_error_count();
        bool attached = segment.shmaddr != reinterpret_cast<char*>(-1) && XShmAttach(display, &segment);
        XSync(display, False);
        attached = attached && x11_error_count() == errors;
        // Marked for removal now: the segment goes away with the last detach, even if we crash.
        shmctl(segment.shmid, IPC_RMID, nullptr);
        if (!attached) {
            if (segment.shmaddr != reinterpret_cast<char*>(-1)) shmdt(segment.shmaddr);
            image->data = nullptr;
            XDestroyImage(image);
            image = nullptr;
            segment = {};
            return false;
        }
        return true;
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

    // Takes the events that arrived into the state above (damage only as noted; the area
    // is fetched by drain_events). A closed connection shows here as connection_lost.
    void take_events() {
        while (!connection_lost && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (damage != 0 && event.type == damage_event_base + XDamageNotify) {
                damage_reported = true;
            } else if (have_fixes && event.type == fixes_event_base + XFixesCursorNotify) {
                auto& notify = reinterpret_cast<XFixesCursorNotifyEvent&>(event);
                if (!shape_known || notify.cursor_serial != shape_serial) shape_pending = true;
            } else if (have_randr && event.type == randr_event_base + RRScreenChangeNotify) {
                XRRUpdateConfiguration(&event);
                geometry_changed = true;
            }
        }
    }

    // Handles queued events; true when some damage touched the captured output.
    bool drain_events(const ScreenCapture& owner) {
        take_events();
        if (!damage_reported || connection_lost) return false;
        damage_reported = false;
        // Take the accumulated damage (re-arming the notification) and see whether it
        // touches our output rather than another monitor.
        XDamageSubtract(display, damage, None, damaged);
        int count = 0;
        XRectangle* rects = XFixesFetchRegion(display, damaged, &count);
        bool hit = false;
        for (int i = 0; i < count; ++i) {
            if (!rects_overlap(rects[i], output_x, output_y, owner.width_, owner.height_)) continue;
            hit = true;
            pending.add({rects[i].x - output_x, rects[i].y - output_y, rects[i].width, rects[i].height});
        }
        if (rects != nullptr) XFree(rects);
        return hit;
    }

    // Logs the loss once; true when the connection is gone.
    bool lost() {
        if (connection_lost && !loss_logged) {
            loss_logged = true;
            log()->error("Lost the connection to the X server");
        }
        return connection_lost;
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

    // Fetches the pending rectangles (all of the output when pending.all()) into the
    // picture. False when the server refused an image.
    bool fetch(const ScreenCapture& owner) {
        const uint32_t w = owner.width_, h = owner.height_;
        // BGRx servers (the usual case) share the picture itself; any other pixel layout is
        // converted into a picture of our own.
        const bool direct = use_shm && is_bgrx(*shm_image);
        const uint8_t* view = direct ? reinterpret_cast<const uint8_t*>(shm_image->data) : nullptr;
        if (picture.width != w || picture.height != h || picture.view != view) {
            picture.width = w;
            picture.height = h;
            if (direct) {
                picture.view = reinterpret_cast<const uint8_t*>(shm_image->data);
                picture.stride = static_cast<uint32_t>(shm_image->bytes_per_line);
                picture.data = {};
            } else {
                picture.view = nullptr;
                picture.stride = w * 4;
                picture.data.assign(size_t{picture.stride} * h, 0);
            }
            pending.set_size(w, h);
            pending.add_all();  // a new picture is filled whole
        }
        pending.rects_into(picture.damage);
        const bool all = pending.all();
        pending.clear();
        if (direct && all) {
            // The whole output, straight into the kept picture.
            if (XShmGetImage(display, root, shm_image, output_x, output_y, AllPlanes)) return true;
            pending.add_all();
            return false;
        }
        for (const DamageRect& r : picture.damage) {
            if (!fetch_rect(r, direct)) {
                pending.add_all();  // try again in full next time
                return false;
            }
        }
        return true;
    }

    bool fetch_rect(const DamageRect& r, bool direct) {
        if (use_shm) {
            // The server writes a sub-image packed at the start of the scratch segment,
            // from where its rows go into the picture.
            XImage sub = *scratch_image;
            sub.width = r.width;
            sub.height = r.height;
            const int pad = sub.bitmap_pad > 0 ? sub.bitmap_pad : 32;
            sub.bytes_per_line = (r.width * sub.bits_per_pixel + pad - 1) / pad * (pad / 8);
            if (!XShmGetImage(display, root, &sub, output_x + r.x, output_y + r.y, AllPlanes)) return false;
            if (!direct) {
                copy_into(sub, picture, r);
                return true;
            }
            const size_t bytes_per_pixel = static_cast<size_t>(shm_image->bits_per_pixel / 8);
            const size_t row_bytes = static_cast<size_t>(r.width) * bytes_per_pixel;
            const size_t stride = static_cast<size_t>(shm_image->bytes_per_line);
            for (int32_t y = 0; y < r.height; ++y) {
                std::memcpy(shm_image->data + static_cast<size_t>(r.y + y) * stride + static_cast<size_t>(r.x) * bytes_per_pixel,
                            sub.data + static_cast<size_t>(y) * static_cast<size_t>(sub.bytes_per_line), row_bytes);
            }
            return true;
        }
        XImage* image = XGetImage(display, root, output_x + r.x, output_y + r.y, static_cast<unsigned>(r.width),
                                  static_cast<unsigned>(r.height), AllPlanes, ZPixmap);
        if (image == nullptr) return false;
        copy_into(*image, picture, r);
        XDestroyImage(image);
        return true;
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

const CapturedFrame* ScreenCapture::capture_changes(int wait_ms) {
    Backend& b = *backend_;
    if (!initialized_ || b.connection_lost) return nullptr;

    bool changed = b.first_frame || b.damage == 0 || full_frame_requested_;
    if (changed) b.pending.add_all();
    b.first_frame = false;
    full_frame_requested_ = false;
    changed = b.drain_events(*this) || changed;
    // Events other than damage to this output (the pointer, other monitors) do not end
    // the wait; the time limit does.
    const auto wait_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min(wait_ms, frame_wait_ms));
    while (!changed && !b.connection_lost) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wait_end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !b.wait_for_events(static_cast<int>(left.count()))) break;
        changed = b.drain_events(*this);
    }
    if (b.geometry_changed && !b.connection_lost) {
        // Mode change or monitor rearrangement: follow the output's new rectangle.
        b.geometry_changed = false;
        if (!b.select_output(*this)) return nullptr;
        if (b.use_shm || b.shm_image != nullptr) b.create_image(width_, height_);
        b.pending.add_all();
        changed = true;
    }
    b.update_pointer(*this);
    if (b.lost() || !changed) return nullptr;
    if (!b.fetch(*this)) return nullptr;
    return &b.picture;
}

bool ScreenCapture::display_lost() {
    Backend& b = *backend_;
    if (!initialized_) return false;
    if (!b.connection_lost) {
        // Whatever the server sent since (events, or the end of the stream) is read now.
        pollfd fd{ConnectionNumber(b.display), POLLIN, 0};
        if (poll(&fd, 1, 0) > 0) b.take_events();
    }
    return b.lost();
}

void ScreenCapture::shutdown() {
    backend_->close();
    initialized_ = false;
}
