#include "media/screen_capture.h"

#include <cstddef>
#include <utility>

#include "media/cursor_shape.h"

// Pointer bookkeeping shared by the platform backends. The constructor, destructor and the
// capture itself live in screen_capture_win.cpp and screen_capture_x11.cpp.

std::optional<CapturedFrame> ScreenCapture::capture_frame() {
    const CapturedFrame* picture = capture_changes(16);
    if (picture == nullptr) return std::nullopt;
    // A picture of the caller's own, opaque whatever the capture keeps in its fourth bytes.
    CapturedFrame frame;
    frame.width = picture->width;
    frame.height = picture->height;
    frame.stride = picture->stride;
    frame.damage = picture->damage;
    const uint8_t* pixels = picture->pixels();
    frame.data.assign(pixels, pixels + size_t{picture->stride} * picture->height);
    for (uint32_t y = 0; y < frame.height; ++y) {
        uint8_t* row = frame.data.data() + size_t{y} * frame.stride;
        for (uint32_t x = 0; x < frame.width; ++x) row[size_t{x} * 4 + 3] = 255;
    }
    return frame;
}

void ScreenCapture::set_cursor_position(bool visible, int32_t x, int32_t y) {
    cursor_visible = visible;
    cursor_x = x;
    cursor_y = y;
    cursor_dirty = true;
}

void ScreenCapture::set_cursor_shape(CursorImage&& image, int32_t hotspot_x, int32_t hotspot_y) {
    cursor_hotspot_x = hotspot_x;
    cursor_hotspot_y = hotspot_y;
    cursor_shape_width = image.width;
    cursor_shape_height = image.height;
    cursor_rgba = std::move(image.rgba);
    cursor_has_shape = true;
    cursor_dirty = true;
}

void CaptureRecovery::failed(int64_t now_ms, Failure failure) {
    if (!failing_ || failure == Failure::Blocked) failing_since_ms_ = now_ms;
    failing_ = true;
    if (failure == Failure::DeviceRemoved || now_ms - failing_since_ms_ >= GIVE_UP_AFTER_MS) gone_ = true;
}

bool CaptureRecovery::attempt_due(int64_t now_ms) {
    if (gone_) return false;
    if (attempted_ && now_ms - last_attempt_ms_ < RETRY_INTERVAL_MS) return false;
    attempted_ = true;
    last_attempt_ms_ = now_ms;
    return true;
}
