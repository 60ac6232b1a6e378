#pragma once

// Conversions of the pointer shapes the platforms deliver into one straight-alpha RGBA
// image (R, G, B, A per pixel, rows top-down, tightly packed). Pure functions: the
// capture backends fetch the raw shape, these turn it into what viewers draw.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Kinds of shape the desktop duplication reports (values of its shape-type field).
enum class CursorShapeType : uint32_t {
    monochrome = 1,    // AND mask rows followed by XOR mask rows, 1 bit per pixel
    color = 2,         // 32-bit BGRA with alpha
    masked_color = 4,  // 32-bit BGR plus a mask byte: 0 = replace, else XOR with the screen
};

// A converted shape.
struct CursorImage {
    uint32_t width = 0;
    uint32_t height = 0;  // rows of the image (half the raw height for monochrome shapes)
    std::vector<uint8_t> rgba;
};

// Converts a shape delivered by the desktop duplication. `width`, `height` and `pitch` are
// the raw values of the shape information (for monochrome shapes `height` counts both
// masks). Types other than monochrome and colour are read as masked colour. Rows are
// `pitch` bytes apart (a pitch smaller than one packed row counts as packed). Empty when
// the raw buffer is too small for the described shape, so nothing is read past its end.
std::optional<CursorImage> convert_dxgi_cursor(uint32_t type, uint32_t width, uint32_t height, uint32_t pitch,
                                               const uint8_t* raw, size_t raw_size);

// Converts an XFixes cursor image: one 0xAARRGGBB value per pixel with premultiplied
// colour, each held in an unsigned long. Colour is divided back by alpha with rounding;
// fully transparent pixels come out as 0, 0, 0, 0.
CursorImage convert_xfixes_cursor(uint32_t width, uint32_t height, const unsigned long* pixels);

// True when every pixel of the image is fully transparent (an application hid the pointer
// by giving it an empty shape).
bool cursor_is_blank(const CursorImage& image);
