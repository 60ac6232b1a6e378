// GDI capture: BitBlt from the screen's device context into a DIB section; the pointer
// from GetCursorInfo and GetIconInfo, converted like a duplicated pointer shape.

#include <windows.h>

#include <spdlog/spdlog.h>

#include <cstring>

#include "media/screen_capture_gdi.h"

namespace {

spdlog::logger* log() { return spdlog::default_logger_raw(); }

// A top-down 32-bit DIB description of width x height.
BITMAPINFO top_down_bgra(int32_t width, int32_t height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// The bits of a monochrome bitmap as stored (rows top-down, bmWidthBytes apart).
bool mask_bits(HBITMAP bitmap, BITMAP& desc, std::vector<uint8_t>& bits) {
    if (GetObjectA(bitmap, sizeof(desc), &desc) == 0 || desc.bmBitsPixel != 1 || desc.bmWidthBytes <= 0) return false;
    bits.resize(size_t(desc.bmWidthBytes) * size_t(desc.bmHeight));
    return GetBitmapBits(bitmap, static_cast<LONG>(bits.size()), bits.data()) == static_cast<LONG>(bits.size());
}

// The pointer's shape in the duplication's layout; empty when it cannot be read.
std::optional<CursorImage> read_cursor_shape(HCURSOR cursor, int32_t& hotspot_x, int32_t& hotspot_y) {
    ICONINFO icon{};
    if (!GetIconInfo(cursor, &icon)) return std::nullopt;
    hotspot_x = static_cast<int32_t>(icon.xHotspot);
    hotspot_y = static_cast<int32_t>(icon.yHotspot);
    std::optional<CursorImage> image;
    BITMAP mask{};
    std::vector<uint8_t> mask_data;
    const bool have_mask = icon.hbmMask != nullptr && mask_bits(icon.hbmMask, mask, mask_data);
    if (icon.hbmColor == nullptr) {
        // Monochrome: the mask bitmap holds the AND rows, then the XOR rows, exactly the
        // duplication's monochrome layout.
        if (have_mask) {
            image = convert_dxgi_cursor(static_cast<uint32_t>(CursorShapeType::monochrome), uint32_t(mask.bmWidth),
                                        uint32_t(mask.bmHeight), uint32_t(mask.bmWidthBytes), mask_data.data(),
                                        mask_data.size());
        }
    } else {
        BITMAP color{};
        if (GetObjectA(icon.hbmColor, sizeof(color), &color) != 0 && color.bmWidth > 0 && color.bmHeight > 0) {
            BITMAPINFO info = top_down_bgra(color.bmWidth, color.bmHeight);
            std::vector<uint8_t> pixels(size_t(color.bmWidth) * size_t(color.bmHeight) * 4);
            HDC dc = GetDC(nullptr);
            const int rows = GetDIBits(dc, icon.hbmColor, 0, UINT(color.bmHeight), pixels.data(), &info, DIB_RGB_COLORS);
            ReleaseDC(nullptr, dc);
            if (rows == color.bmHeight) {
                auto raw = gdi_color_cursor_shape(uint32_t(color.bmWidth), uint32_t(color.bmHeight), pixels.data(),
                                                  pixels.size(), have_mask ? mask_data.data() : nullptr,
                                                  mask_data.size(), have_mask ? uint32_t(mask.bmWidthBytes) : 0);
                if (raw) {
                    image = convert_dxgi_cursor(static_cast<uint32_t>(raw->type), raw->width, raw->height, raw->pitch,
                                                raw->bytes.data(), raw->bytes.size());
                }
            }
        }
    }
    if (icon.hbmMask) DeleteObject(icon.hbmMask);
    if (icon.hbmColor) DeleteObject(icon.hbmColor);
    return image;
}

}  // namespace

struct GdiScreenCapture::Handles {
    HDC screen = nullptr;
    HDC memory = nullptr;
    HBITMAP section = nullptr;
    HGDIOBJ previous_bitmap = nullptr;
    const uint8_t* bits = nullptr;
    int32_t left = 0;
    int32_t top = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    ChangedRows change;
    CapturedFrame picture;  // kept between calls, alpha 255
    HCURSOR cursor = nullptr;  // handle whose shape was last delivered
    bool pointer_known = false;
    bool visible = false;
    POINT position{};
};

GdiScreenCapture::GdiScreenCapture() : handles_(std::make_unique<Handles>()) {}

GdiScreenCapture::~GdiScreenCapture() { close(); }

bool GdiScreenCapture::open(int32_t left, int32_t top, uint32_t width, uint32_t height) {
    close();
    Handles& h = *handles_;
    if (width == 0 || height == 0 || width > 0x7FFF || height > 0x7FFF) {
        log()->error("GDI capture: unusable screen size {}x{}", width, height);
        return false;
    }
    h.screen = GetDC(nullptr);
    h.memory = h.screen ? CreateCompatibleDC(h.screen) : nullptr;
    BITMAPINFO info = top_down_bgra(int32_t(width), int32_t(height));
    void* bits = nullptr;
    h.section = h.memory ? CreateDIBSection(h.memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (h.section == nullptr || bits == nullptr) {
        log()->error("GDI capture: cannot create a {}x{} DIB section", width, height);
        close();
        return false;
    }
    h.previous_bitmap = SelectObject(h.memory, h.section);
    h.bits = static_cast<const uint8_t*>(bits);
    h.left = left;
    h.top = top;
    h.width = width;
    h.height = height;
    return true;
}

const CapturedFrame* GdiScreenCapture::capture_changes(bool full) {
    Handles& h = *handles_;
    if (h.bits == nullptr) return nullptr;
    if (!BitBlt(h.memory, 0, 0, int(h.width), int(h.height), h.screen, h.left, h.top, SRCCOPY | CAPTUREBLT)) {
        return nullptr;
    }
    GdiFlush();  // the DIB's bits are complete only after the batch is flushed
    const size_t stride = size_t{h.width} * 4;
    RowSpan rows = h.change.update(h.bits, h.height, stride);
    CapturedFrame& out = h.picture;
    if (out.width != h.width || out.height != h.height) {
        out.width = h.width;
        out.height = h.height;
        out.stride = h.width * 4;
        out.data.assign(h.height * stride, 0);
        rows = {0, h.height};
    }
    if (full) rows = {0, h.height};
    if (rows.empty()) return nullptr;
    copy_opaque_bgra(h.bits + rows.first * stride, out.data.data() + rows.first * stride,
                     size_t{rows.end - rows.first} * h.width);
    out.damage.assign(1, widen_to_even(DamageRect{0, int32_t(rows.first), int32_t(h.width),
                                                  int32_t(rows.end - rows.first)},
                                       h.width, h.height));
    return &out;
}

GdiPointerUpdate GdiScreenCapture::poll_pointer() {
    Handles& h = *handles_;
    GdiPointerUpdate update;
    CURSORINFO info{};
    info.cbSize = sizeof(info);
    if (!GetCursorInfo(&info)) return update;
    const bool visible = (info.flags & CURSOR_SHOWING) != 0 && info.hCursor != nullptr;
    update.visible = visible;
    update.x = info.ptScreenPos.x - h.left;
    update.y = info.ptScreenPos.y - h.top;
    update.moved = !h.pointer_known || visible != h.visible || info.ptScreenPos.x != h.position.x ||
                   info.ptScreenPos.y != h.position.y;
    h.pointer_known = true;
    h.visible = visible;
    h.position = info.ptScreenPos;
    if (info.hCursor != nullptr && info.hCursor != h.cursor) {
        update.shape = read_cursor_shape(info.hCursor, update.hotspot_x, update.hotspot_y);
        // A shape that cannot be read is tried again when the handle changes next.
        h.cursor = info.hCursor;
    }
    return update;
}

void GdiScreenCapture::close() {
    Handles& h = *handles_;
    if (h.memory && h.previous_bitmap) SelectObject(h.memory, h.previous_bitmap);
    if (h.section) DeleteObject(h.section);
    if (h.memory) DeleteDC(h.memory);
    if (h.screen) ReleaseDC(nullptr, h.screen);
    *handles_ = Handles{};
}
