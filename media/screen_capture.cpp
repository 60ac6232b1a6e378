#include "media/screen_capture.h"

#include <utility>

#include "media/cursor_shape.h"

// Pointer bookkeeping shared by the platform backends. The constructor, destructor and the
// capture itself live in screen_capture_win.cpp and screen_capture_x11.cpp.

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
