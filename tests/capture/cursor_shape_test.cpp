#include "media/cursor_shape.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using Rgba = std::array<uint8_t, 4>;

Rgba pixel(const CursorImage& image, uint32_t x, uint32_t y) {
    size_t at = (size_t{y} * image.width + x) * 4;
    return {image.rgba[at], image.rgba[at + 1], image.rgba[at + 2], image.rgba[at + 3]};
}

constexpr Rgba black{0, 0, 0, 255};
constexpr Rgba white{255, 255, 255, 255};
constexpr Rgba clear{0, 0, 0, 0};

std::optional<CursorImage> convert(CursorShapeType type, uint32_t w, uint32_t h, uint32_t pitch,
                                   const std::vector<uint8_t>& raw) {
    return convert_dxgi_cursor(static_cast<uint32_t>(type), w, h, pitch, raw.data(), raw.size());
}

}  // namespace

TEST(DxgiCursor, ColorSwapsRedAndBlueKeepsAlphaAndHonoursPitch) {
    // 2x2, rows 12 bytes apart (4 bytes of padding that must not leak into the image).
    std::vector<uint8_t> raw = {10, 20, 30, 40,  50, 60, 70, 80,  0xEE, 0xEE, 0xEE, 0xEE,
                                1,  2,  3,  255, 4,  5,  6,  0};
    auto image = convert(CursorShapeType::color, 2, 2, 12, raw);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 2u);
    EXPECT_EQ(image->height, 2u);
    ASSERT_EQ(image->rgba.size(), 16u);
    EXPECT_EQ(pixel(*image, 0, 0), (Rgba{30, 20, 10, 40}));
    EXPECT_EQ(pixel(*image, 1, 0), (Rgba{70, 60, 50, 80}));
    EXPECT_EQ(pixel(*image, 0, 1), (Rgba{3, 2, 1, 255}));
    EXPECT_EQ(pixel(*image, 1, 1), (Rgba{6, 5, 4, 0}));
}

TEST(DxgiCursor, MaskedColorShowsReplacedPixelsAndDropsXorPixels) {
    std::vector<uint8_t> raw = {10, 20, 30, 0, 40, 50, 60, 0xFF, 0, 0, 0, 0xFF};
    auto image = convert(CursorShapeType::masked_color, 3, 1, 12, raw);
    ASSERT_TRUE(image);
    EXPECT_EQ(pixel(*image, 0, 0), (Rgba{30, 20, 10, 255}));
    EXPECT_EQ(pixel(*image, 1, 0), (Rgba{60, 50, 40, 0}));
    EXPECT_EQ(pixel(*image, 2, 0), (Rgba{0, 0, 0, 0}));

    // A type the duplication may add later is read as masked colour.
    auto unknown = convert_dxgi_cursor(7, 3, 1, 12, raw.data(), raw.size());
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->rgba, image->rgba);
}

TEST(DxgiCursor, MonochromeCombinesAndXorMasksRowByRow) {
    // 12 pixels wide, raw height 4 = 2 rows of AND mask then 2 rows of XOR mask, 3 bytes per
    // row (one of them padding). Row 0 covers the four AND/XOR combinations in x0..x3, and
    // x9 tests the second byte of a row.
    std::vector<uint8_t> raw = {
        0x30, 0x00, 0xAA,  // AND row 0: x2, x3
        0xFF, 0xF0, 0xAA,  // AND row 1: all
        0x50, 0x40, 0xAA,  // XOR row 0: x1, x3, x9
        0x80, 0x00, 0xAA,  // XOR row 1: x0
    };
    auto image = convert(CursorShapeType::monochrome, 12, 4, 3, raw);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 12u);
    EXPECT_EQ(image->height, 2u);  // half the raw height
    ASSERT_EQ(image->rgba.size(), 12u * 2 * 4);

    EXPECT_EQ(pixel(*image, 0, 0), black);  // AND 0, XOR 0
    EXPECT_EQ(pixel(*image, 1, 0), white);  // AND 0, XOR 1
    EXPECT_EQ(pixel(*image, 2, 0), clear);  // AND 1, XOR 0: screen shows through
    EXPECT_EQ(pixel(*image, 3, 0), white);  // AND 1, XOR 1: inverted pixel shown white
    EXPECT_EQ(pixel(*image, 8, 0), black);
    EXPECT_EQ(pixel(*image, 9, 0), white);
    EXPECT_EQ(pixel(*image, 0, 1), white);
    for (uint32_t x = 1; x < 12; ++x) EXPECT_EQ(pixel(*image, x, 1), clear) << "x=" << x;
}

TEST(DxgiCursor, ShapeLargerThanItsBufferIsRejected) {
    std::vector<uint8_t> raw(4 * 4 * 4 - 1, 0);  // one byte short of a 4x4 colour shape
    EXPECT_FALSE(convert(CursorShapeType::color, 4, 4, 16, raw));
    EXPECT_FALSE(convert(CursorShapeType::masked_color, 4, 4, 16, raw));
    EXPECT_FALSE(convert(CursorShapeType::color, 2, 2, 64, raw));  // pitch pushes row 1 past the end
    // 32x64 monochrome needs 2 * 32 rows of 4 bytes.
    std::vector<uint8_t> mono(2 * 32 * 4 - 1, 0);
    EXPECT_FALSE(convert(CursorShapeType::monochrome, 32, 64, 4, mono));
    mono.push_back(0);
    auto image = convert(CursorShapeType::monochrome, 32, 64, 4, mono);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->height, 32u);
    // The last row needs no trailing padding.
    std::vector<uint8_t> tight(16 + 8, 0);
    EXPECT_TRUE(convert(CursorShapeType::color, 2, 2, 16, tight));
}

TEST(XfixesCursor, UnpremultipliesWithRounding) {
    std::vector<unsigned long> argb = {
        0xFF102030,  // opaque: unchanged
        0x80404040,  // alpha 128, 64 premultiplied -> 127.5 -> 128
        0xC8650000,  // alpha 200, red 101 -> 128.78 -> 129 (not truncated to 128)
        0x03010200,  // alpha 3: 1 -> 85, 2 -> 170
        0x00FFFFFF,  // alpha 0: nothing to show, colour dropped
        0x64C80000,  // colour above alpha (not valid premultiplied data): clamped
    };
    CursorImage image = convert_xfixes_cursor(3, 2, argb.data());
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.height, 2u);
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{0x10, 0x20, 0x30, 255}));
    EXPECT_EQ(pixel(image, 1, 0), (Rgba{128, 128, 128, 128}));
    EXPECT_EQ(pixel(image, 2, 0), (Rgba{129, 0, 0, 200}));
    EXPECT_EQ(pixel(image, 0, 1), (Rgba{85, 170, 0, 3}));
    EXPECT_EQ(pixel(image, 1, 1), clear);
    EXPECT_EQ(pixel(image, 2, 1), (Rgba{255, 0, 0, 100}));
}

TEST(XfixesCursor, IgnoresBitsAboveTheLow32) {
    if (sizeof(unsigned long) < 8) GTEST_SKIP() << "unsigned long has no upper half here";
    unsigned long value = (0xDEADBEEFul << 16 << 16) | 0xFF102030ul;
    CursorImage image = convert_xfixes_cursor(1, 1, &value);
    EXPECT_EQ(pixel(image, 0, 0), (Rgba{0x10, 0x20, 0x30, 255}));
}

TEST(CursorBlank, OnlyFullyTransparentImagesAreBlank) {
    std::vector<unsigned long> hidden(4, 0);
    EXPECT_TRUE(cursor_is_blank(convert_xfixes_cursor(2, 2, hidden.data())));
    hidden[3] = 0x01000000;
    EXPECT_FALSE(cursor_is_blank(convert_xfixes_cursor(2, 2, hidden.data())));
}
