#pragma once

// Screen capture without desktop duplication, for machines that cannot duplicate their
// output (remote sessions, servers without a display driver, compatibility layers): the
// output's area is copied from the screen's device context with BitBlt into a top-down
// BGRA DIB section, and the pointer is read with GetCursorInfo and GetIconInfo. Slower
// than duplication, so a frame is delivered only when the picture changed.
//
// The portable pieces below are shared with the tests; GdiScreenCapture is built on
// Windows only (screen_capture_gdi_win.cpp).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "media/cursor_shape.h"
#include "media/screen_capture.h"

// ---- Portable pieces ----

// DuplicateOutput results after which duplication cannot be had on this machine at all,
// so the capture falls back to GDI: E_NOTIMPL, DXGI_ERROR_UNSUPPORTED, E_ACCESSDENIED.
inline constexpr uint32_t CAPTURE_E_NOTIMPL = 0x80004001u;
inline constexpr uint32_t CAPTURE_DXGI_ERROR_UNSUPPORTED = 0x887A0004u;
inline constexpr uint32_t CAPTURE_E_ACCESSDENIED = 0x80070005u;
bool duplication_unavailable(uint32_t hresult);

// Rows [first, end) of a picture; empty when first >= end.
struct RowSpan {
    uint32_t first = 0;
    uint32_t end = 0;
    bool empty() const { return first >= end; }
};

// Remembers the previous picture (height rows of stride bytes) and tells which band of
// rows differs in the next one: from the first differing row to the last, found with one
// memcmp per row from each end, so a still picture costs one compare and a small change
// little more. The differing rows are then remembered. The first picture, and one of
// another size, differ everywhere.
class ChangedRows {
public:
    RowSpan update(const uint8_t* pixels, uint32_t height, size_t stride);
    void reset() { previous_.clear(); }

private:
    std::vector<uint8_t> previous_;
};

// BitBlt leaves the fourth byte of each pixel at 0: copies `pixels` BGRx pixels and sets
// each alpha to 255, as duplicated frames have it.
void copy_opaque_bgra(const uint8_t* src, uint8_t* dst, size_t pixels);

// A pointer shape laid out as the desktop duplication delivers it, for
// convert_dxgi_cursor.
struct RawCursorShape {
    CursorShapeType type = CursorShapeType::color;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pitch = 0;
    std::vector<uint8_t> bytes;
};

// A colour pointer from GetIconInfo: `bgra` its colour bitmap (top-down, 4 bytes a pixel,
// tightly packed), `and_mask` its mask bitmap (1 bit a pixel, rows mask_pitch bytes
// apart; may be null). With any non-zero alpha the colour bitmap carries its own
// transparency and is a colour shape as it is; without, the mask decides (masked colour:
// mask bit 1 becomes a non-zero mask byte, the pixel is left out). Empty when a buffer
// is too small for the size.
std::optional<RawCursorShape> gdi_color_cursor_shape(uint32_t width, uint32_t height, const uint8_t* bgra,
                                                     size_t bgra_size, const uint8_t* and_mask, size_t mask_size,
                                                     uint32_t mask_pitch);

// ---- Windows backend ----

// What one look at the pointer found.
struct GdiPointerUpdate {
    bool moved = false;  // position or visibility differ from the previous look
    bool visible = false;
    int32_t x = 0;  // relative to the captured area's top-left corner
    int32_t y = 0;
    std::optional<CursorImage> shape;  // a new shape (the pointer's handle changed)
    int32_t hotspot_x = 0;
    int32_t hotspot_y = 0;
};

class GdiScreenCapture {
public:
    GdiScreenCapture();
    ~GdiScreenCapture();
    GdiScreenCapture(const GdiScreenCapture&) = delete;
    GdiScreenCapture& operator=(const GdiScreenCapture&) = delete;

    // Prepares the copy of the area at (left, top), width x height pixels of the virtual
    // screen. False, with one error line, when the device contexts or the DIB section
    // cannot be made.
    bool open(int32_t left, int32_t top, uint32_t width, uint32_t height);

    // Copies the area into the kept picture (stride width * 4, alpha 255). Null when it
    // did not change since the previous call, unless `full`; else the picture, valid until
    // the next call, its damage the changed band of rows (everything when `full`, the
    // first time and after open).
    const CapturedFrame* capture_changes(bool full);

    // Reads the pointer's position, visibility and, when its handle changed, its shape.
    GdiPointerUpdate poll_pointer();

    void close();

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
};
