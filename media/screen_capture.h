#pragma once

// Desktop capture of one display output, with the mouse pointer's state on the side.
// Windows duplicates the output through DXGI on a Direct3D 11 device; Linux reads the
// X server's root window (XShm, XDamage, XFixes, XRandR). Both deliver the same BGRA
// frames and the same pointer fields.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "media/damage.h"

struct CursorImage;

// One desktop image: `height` rows of `stride` bytes, B, G, R, A per pixel, rows
// top-down. `stride` is at least width * 4 and may be larger; the bytes past each
// row's pixels are padding.
struct CapturedFrame {
    std::vector<uint8_t> data;  // height * stride bytes
    // Set instead of data when the capture lends its own memory (the kept picture of
    // capture_changes on X11, whose fourth bytes are not made opaque). Read through pixels().
    const uint8_t* view = nullptr;
    const uint8_t* pixels() const { return view != nullptr ? view : data.data(); }
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t stride = 0;
    // What changed since the capture's previous picture, widened to even corners: the
    // whole picture after initialize, a size change or request_full_frame. Empty when
    // only the pointer moved.
    std::vector<DamageRect> damage;
};

// Captures one display output. Used from one thread only (the streaming loop's).
//
//   ScreenCapture capture;
//   if (!capture.initialize(0)) ...;          // logs why
//   if (auto frame = capture.capture_frame()) encode(*frame);
//   if (capture.cursor_dirty) { send the cursor fields; capture.clear_cursor_dirty(); }
//   capture.shutdown();
class ScreenCapture {
public:
    ScreenCapture();
    ~ScreenCapture();
    ScreenCapture(const ScreenCapture&) = delete;
    ScreenCapture& operator=(const ScreenCapture&) = delete;

    // Opens output `monitor_index` (an index that does not exist falls back to output 0).
    // False, with one error line in the log, when no output can be captured.
    bool initialize(uint32_t monitor_index);

    // Waits up to 16 ms for a new desktop image. Empty when the screen did not change (the
    // ordinary case on a still desktop), when not initialized, or after an error that was
    // logged. Updates the pointer fields below in every case. The frame's width and height
    // are those of the output now; after the output was resized they differ from the ones
    // seen at start.
    std::optional<CapturedFrame> capture_frame();

    // The streaming path: the capture keeps one picture and updates only what changed
    // (on X11 only that is fetched from the server). Waits up to wait_ms for a change;
    // null when nothing changed, else the picture, valid until the next call, with its
    // damage list. The pointer fields are updated as with capture_frame.
    const CapturedFrame* capture_changes(int wait_ms);
    // The next capture_changes fetches and reports the whole picture (a keyframe).
    void request_full_frame() { full_frame_requested_ = true; }

    // True once the display is gone for good: the X server closed the connection, or on
    // Windows the desktop duplication could not be re-created (see CaptureRecovery). The
    // error was logged once. On X11 this also looks at the connection without waiting,
    // so that a capture nobody asks for pictures (no viewer) notices a server gone.
    bool display_lost();

    // Releases the platform resources; initialize may be called again afterwards.
    void shutdown();

    // Size of the captured output in pixels (0 before initialize).
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    // The output actually captured (0 when the requested one did not exist).
    uint32_t monitor_index() const { return monitor_index_; }
    bool initialized() const { return initialized_; }

    // Pointer state, written only by capture_frame and read by the streaming loop after
    // each call. Positions are relative to the output's top-left corner.
    bool cursor_visible = false;
    int32_t cursor_x = 0;
    int32_t cursor_y = 0;
    uint32_t cursor_shape_width = 0;
    uint32_t cursor_shape_height = 0;
    int32_t cursor_hotspot_x = 0;  // in shape pixels
    int32_t cursor_hotspot_y = 0;
    bool cursor_has_shape = false;     // a shape was fetched once; stays true
    std::vector<uint8_t> cursor_rgba;  // shape: height rows of width R, G, B, A pixels
    bool cursor_dirty = false;         // position, visibility or shape changed since cleared

    // Called by the streaming loop once it has sent the pointer state.
    void clear_cursor_dirty() { cursor_dirty = false; }

private:
    struct Backend;  // platform handles, defined by each backend

    // Shared by the backends so that both follow the same pointer rules.
    void set_cursor_position(bool visible, int32_t x, int32_t y);
    void set_cursor_shape(CursorImage&& image, int32_t hotspot_x, int32_t hotspot_y);

    std::unique_ptr<Backend> backend_;
    uint32_t monitor_index_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    bool initialized_ = false;
    bool full_frame_requested_ = false;
};

// When a capture source that stopped working (the desktop duplication after an access
// loss) is tried again, and when it counts as gone for good. Attempts are at most one per
// RETRY_INTERVAL_MS, the first at once. The source is gone when its device was removed,
// or when it has kept failing for GIVE_UP_AFTER_MS; a failure that only says another
// desktop is shown for now (blocked: the secure desktop of a sign-in or elevation
// prompt) restarts that count, so such a source is retried for as long as it takes.
// Times are monotonic milliseconds.
class CaptureRecovery {
public:
    static constexpr int64_t RETRY_INTERVAL_MS = 250;
    static constexpr int64_t GIVE_UP_AFTER_MS = 10000;
    enum class Failure { Lasting, Blocked, DeviceRemoved };

    // The source failed (it was lost, or an attempt to re-create it failed).
    void failed(int64_t now_ms, Failure failure = Failure::Lasting);
    // The source delivered again: any failure is over.
    void delivered() { *this = CaptureRecovery{}; }
    // True when a re-creation may be tried now; the attempt counts from now.
    bool attempt_due(int64_t now_ms);

    bool failing() const { return failing_; }
    bool gone() const { return gone_; }

private:
    bool failing_ = false;
    bool gone_ = false;
    bool attempted_ = false;
    int64_t failing_since_ms_ = 0;
    int64_t last_attempt_ms_ = 0;
};
