#include "media/cursor_shape.h"

#include <algorithm>

namespace {

// Bytes needed for `rows` rows of `row_bytes` each, `pitch` apart (the last row need not
// be followed by padding). 64-bit so that hostile sizes cannot wrap.
uint64_t bytes_needed(uint64_t rows, uint64_t pitch, uint64_t row_bytes) {
    return rows == 0 ? 0 : (rows - 1) * pitch + row_bytes;
}

void put(std::vector<uint8_t>& rgba, size_t pixel, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    uint8_t* p = rgba.data() + pixel * 4;
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = a;
}

std::optional<CursorImage> convert_monochrome(uint32_t width, uint32_t raw_height, uint32_t pitch,
                                              const uint8_t* raw, size_t raw_size) {
    CursorImage image;
    image.width = width;
    image.height = raw_height / 2;
    uint64_t row_bytes = (uint64_t{width} + 7) / 8;
    uint64_t stride = std::max<uint64_t>(pitch, row_bytes);
    // The XOR mask starts right after the AND mask's rows.
    if (bytes_needed(uint64_t{image.height} * 2, stride, row_bytes) > raw_size) return std::nullopt;
    image.rgba.assign(size_t{image.width} * image.height * 4, 0);
    size_t xor_offset = static_cast<size_t>(stride * image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            size_t at = static_cast<size_t>(y * stride + x / 8);
            uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
            bool and_bit = (raw[at] & bit) != 0;
            bool xor_bit = (raw[at + xor_offset] & bit) != 0;
            size_t pixel = size_t{y} * width + x;
            if (!and_bit) {
                uint8_t v = xor_bit ? 255 : 0;
                put(image.rgba, pixel, v, v, v, 255);
            } else if (xor_bit) {
                // Inverts the screen beneath: shown white, the closest a viewer can draw.
                put(image.rgba, pixel, 255, 255, 255, 255);
            }
            // AND 1, XOR 0 leaves the screen alone: stays fully transparent.
        }
    }
    return image;
}

// Colour and masked colour: BGRx pixels; `masked` turns the fourth byte into a mask.
std::optional<CursorImage> convert_32bit(uint32_t width, uint32_t height, uint32_t pitch, const uint8_t* raw,
                                         size_t raw_size, bool masked) {
    CursorImage image;
    image.width = width;
    image.height = height;
    uint64_t row_bytes = uint64_t{width} * 4;
    uint64_t stride = std::max<uint64_t>(pitch, row_bytes);
    if (bytes_needed(height, stride, row_bytes) > raw_size) return std::nullopt;
    image.rgba.resize(size_t{width} * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* src = raw + static_cast<size_t>(y * stride);
        for (uint32_t x = 0; x < width; ++x, src += 4) {
            // Mask byte 0 replaces the screen; anything else would XOR with it, which a
            // viewer cannot reproduce, so those pixels are left out.
            uint8_t alpha = masked ? (src[3] == 0 ? 255 : 0) : src[3];
            put(image.rgba, size_t{y} * width + x, src[2], src[1], src[0], alpha);
        }
    }
    return image;
}

}  // namespace

std::optional<CursorImage> convert_dxgi_cursor(uint32_t type, uint32_t width, uint32_t height, uint32_t pitch,
                                               const uint8_t* raw, size_t raw_size) {
    if (raw == nullptr && raw_size != 0) return std::nullopt;
    switch (static_cast<CursorShapeType>(type)) {
        case CursorShapeType::monochrome:
            return convert_monochrome(width, height, pitch, raw, raw_size);
        case CursorShapeType::color:
            return convert_32bit(width, height, pitch, raw, raw_size, false);
        default:
            return convert_32bit(width, height, pitch, raw, raw_size, true);
    }
}

CursorImage convert_xfixes_cursor(uint32_t width, uint32_t height, const unsigned long* pixels) {
    CursorImage image;
    image.width = width;
    image.height = height;
    size_t count = size_t{width} * height;
    image.rgba.assign(count * 4, 0);
    for (size_t i = 0; i < count; ++i) {
        // Only the low 32 bits carry the pixel, whatever the width of unsigned long.
        uint32_t argb = static_cast<uint32_t>(pixels[i] & 0xFFFFFFFFu);
        uint32_t a = argb >> 24;
        if (a == 0) continue;
        auto straight = [a](uint32_t c) { return static_cast<uint8_t>(std::min<uint32_t>(255, (c * 255 + a / 2) / a)); };
        put(image.rgba, i, straight((argb >> 16) & 0xFF), straight((argb >> 8) & 0xFF), straight(argb & 0xFF),
            static_cast<uint8_t>(a));
    }
    return image;
}

bool cursor_is_blank(const CursorImage& image) {
    for (size_t i = 3; i < image.rgba.size(); i += 4) {
        if (image.rgba[i] != 0) return false;
    }
    return true;
}
