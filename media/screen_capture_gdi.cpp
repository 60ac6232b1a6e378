#include "media/screen_capture_gdi.h"

#include <cstring>

bool duplication_unavailable(uint32_t hresult) {
    return hresult == CAPTURE_E_NOTIMPL || hresult == CAPTURE_DXGI_ERROR_UNSUPPORTED ||
           hresult == CAPTURE_E_ACCESSDENIED;
}

RowSpan ChangedRows::update(const uint8_t* pixels, uint32_t height, size_t stride) {
    const size_t size = size_t{height} * stride;
    if (previous_.size() != size) {
        previous_.assign(pixels, pixels + size);
        return {0, height};
    }
    auto same = [&](uint32_t row) { return std::memcmp(previous_.data() + row * stride, pixels + row * stride, stride) == 0; };
    RowSpan span{0, height};
    while (span.first < height && same(span.first)) ++span.first;
    if (span.first == height) return {};
    while (span.end > span.first + 1 && same(span.end - 1)) --span.end;
    std::memcpy(previous_.data() + span.first * stride, pixels + span.first * stride, (span.end - span.first) * stride);
    return span;
}

void copy_opaque_bgra(const uint8_t* src, uint8_t* dst, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, src += 4, dst += 4) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
        dst[3] = 255;
    }
}

std::optional<RawCursorShape> gdi_color_cursor_shape(uint32_t width, uint32_t height, const uint8_t* bgra,
                                                     size_t bgra_size, const uint8_t* and_mask, size_t mask_size,
                                                     uint32_t mask_pitch) {
    const uint64_t pixels = uint64_t{width} * height;
    if (bgra == nullptr || pixels * 4 > bgra_size) return std::nullopt;
    RawCursorShape shape;
    shape.width = width;
    shape.height = height;
    shape.pitch = width * 4;
    shape.bytes.assign(bgra, bgra + pixels * 4);
    bool has_alpha = false;
    for (uint64_t i = 0; i < pixels && !has_alpha; ++i) has_alpha = shape.bytes[i * 4 + 3] != 0;
    if (has_alpha) {
        shape.type = CursorShapeType::color;
        return shape;
    }
    shape.type = CursorShapeType::masked_color;
    const uint64_t row_bytes = (uint64_t{width} + 7) / 8;
    const bool mask_usable = and_mask != nullptr && mask_pitch >= row_bytes &&
                             (height == 0 || uint64_t{height - 1} * mask_pitch + row_bytes <= mask_size);
    if (and_mask != nullptr && !mask_usable) return std::nullopt;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            // Without a mask every pixel replaces the screen.
            const bool and_bit =
                mask_usable && (and_mask[size_t{y} * mask_pitch + x / 8] & (0x80 >> (x % 8))) != 0;
            shape.bytes[(size_t{y} * width + x) * 4 + 3] = and_bit ? 0xFF : 0x00;
        }
    }
    return shape;
}
