// The portable logic of the GDI capture fall-back: when it applies, which rows changed,
// and how a GDI pointer becomes a duplication-style shape.
#include <gtest/gtest.h>

#include <vector>

#include "media/cursor_shape.h"
#include "media/screen_capture_gdi.h"

namespace {

TEST(GdiFallback, OnlyMachinesThatCannotDuplicateFallBack) {
    EXPECT_TRUE(duplication_unavailable(0x80004001u));  // E_NOTIMPL
    EXPECT_TRUE(duplication_unavailable(0x887A0004u));  // DXGI_ERROR_UNSUPPORTED
    EXPECT_TRUE(duplication_unavailable(0x80070005u));  // E_ACCESSDENIED
    EXPECT_FALSE(duplication_unavailable(0x887A0022u));  // DXGI_ERROR_NOT_CURRENTLY_AVAILABLE: too many duplications
    EXPECT_FALSE(duplication_unavailable(0x887A0026u));  // DXGI_ERROR_ACCESS_LOST
    EXPECT_FALSE(duplication_unavailable(0x80004005u));  // E_FAIL
    EXPECT_FALSE(duplication_unavailable(0));
}

TEST(GdiChangedRows, ReportsTheBandBetweenTheFirstAndLastChangedRow) {
    constexpr uint32_t height = 10;
    constexpr size_t stride = 12;
    std::vector<uint8_t> picture(height * stride, 7);
    ChangedRows rows;
    RowSpan span = rows.update(picture.data(), height, stride);
    EXPECT_EQ(span.first, 0u);
    EXPECT_EQ(span.end, height) << "the first picture changed everywhere";
    EXPECT_TRUE(rows.update(picture.data(), height, stride).empty());

    picture[5 * stride + 11] = 8;  // last byte of row 5
    span = rows.update(picture.data(), height, stride);
    EXPECT_EQ(span.first, 5u);
    EXPECT_EQ(span.end, 6u);
    EXPECT_TRUE(rows.update(picture.data(), height, stride).empty()) << "the change was remembered";

    picture[2 * stride] = 1;
    picture[7 * stride + 3] = 1;
    span = rows.update(picture.data(), height, stride);
    EXPECT_EQ(span.first, 2u);
    EXPECT_EQ(span.end, 8u);

    picture[0] = 2;
    picture[9 * stride + 11] = 2;
    span = rows.update(picture.data(), height, stride);
    EXPECT_EQ(span.first, 0u);
    EXPECT_EQ(span.end, 10u);

    // Rows between the changed ones are remembered too: after reverting only row 0 the
    // band is row 0 alone.
    picture[0] = 7;
    span = rows.update(picture.data(), height, stride);
    EXPECT_EQ(span.first, 0u);
    EXPECT_EQ(span.end, 1u);

    std::vector<uint8_t> smaller(5 * stride, 7);
    span = rows.update(smaller.data(), 5, stride);
    EXPECT_EQ(span.first, 0u);
    EXPECT_EQ(span.end, 5u) << "another size counts as changed everywhere";
    rows.reset();
    EXPECT_EQ(rows.update(smaller.data(), 5, stride).end, 5u);
}

TEST(GdiPixels, AlphaIsSetOpaqueAndColoursKept) {
    const std::vector<uint8_t> src = {1, 2, 3, 0, 4, 5, 6, 9};
    std::vector<uint8_t> dst(8, 0xEE);
    copy_opaque_bgra(src.data(), dst.data(), 2);
    EXPECT_EQ(dst, (std::vector<uint8_t>{1, 2, 3, 255, 4, 5, 6, 255}));
}

// A 2x2 BGRA pointer and a mask whose rows are 2 bytes apart (as GetBitmapBits pads them).
struct TwoByTwo {
    std::vector<uint8_t> bgra = {10, 20, 30, 0, 40, 50, 60, 0,  //
                                 70, 80, 90, 0, 1, 2, 3, 0};
    std::vector<uint8_t> mask = {0x40, 0x00, 0x80, 0x00};  // row 0: pixel 1 masked; row 1: pixel 0
};

TEST(GdiCursorShape, ColourWithoutAlphaTakesItsTransparencyFromTheMask) {
    TwoByTwo p;
    auto raw = gdi_color_cursor_shape(2, 2, p.bgra.data(), p.bgra.size(), p.mask.data(), p.mask.size(), 2);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, CursorShapeType::masked_color);
    auto image = convert_dxgi_cursor(uint32_t(raw->type), raw->width, raw->height, raw->pitch, raw->bytes.data(),
                                     raw->bytes.size());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->rgba, (std::vector<uint8_t>{30, 20, 10, 255, 60, 50, 40, 0,  //
                                                 90, 80, 70, 0, 3, 2, 1, 255}));
}

TEST(GdiCursorShape, ColourWithAlphaIsUsedAsItIs) {
    TwoByTwo p;
    p.bgra[3] = 255;
    p.bgra[7] = 128;
    auto raw = gdi_color_cursor_shape(2, 2, p.bgra.data(), p.bgra.size(), p.mask.data(), p.mask.size(), 2);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, CursorShapeType::color);
    auto image = convert_dxgi_cursor(uint32_t(raw->type), raw->width, raw->height, raw->pitch, raw->bytes.data(),
                                     raw->bytes.size());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->rgba[3], 255);
    EXPECT_EQ(image->rgba[7], 128);
    EXPECT_EQ(image->rgba[11], 0);
}

TEST(GdiCursorShape, ShortBuffersAreRefusedAndAMissingMaskMeansOpaque) {
    TwoByTwo p;
    EXPECT_FALSE(gdi_color_cursor_shape(2, 2, p.bgra.data(), p.bgra.size() - 1, p.mask.data(), p.mask.size(), 2));
    EXPECT_FALSE(gdi_color_cursor_shape(2, 2, p.bgra.data(), p.bgra.size(), p.mask.data(), 2, 2));
    EXPECT_FALSE(gdi_color_cursor_shape(2, 2, p.bgra.data(), p.bgra.size(), p.mask.data(), p.mask.size(), 0));
    EXPECT_FALSE(gdi_color_cursor_shape(2, 2, nullptr, 0, nullptr, 0, 0));
    EXPECT_FALSE(gdi_color_cursor_shape(0x10000, 0x10000, p.bgra.data(), p.bgra.size(), nullptr, 0, 0));
    auto raw = gdi_color_cursor_shape(2, 2, p.bgra.data(), p.bgra.size(), nullptr, 0, 0);
    ASSERT_TRUE(raw);
    auto image = convert_dxgi_cursor(uint32_t(raw->type), raw->width, raw->height, raw->pitch, raw->bytes.data(),
                                     raw->bytes.size());
    ASSERT_TRUE(image);
    for (size_t i = 3; i < image->rgba.size(); i += 4) EXPECT_EQ(image->rgba[i], 255);
}

TEST(GdiCursorShape, MonochromeMaskBitmapIsTheDuplicationLayout) {
    // A 16x2 monochrome pointer as GetBitmapBits returns it: 2 bytes a row, the AND rows
    // then the XOR rows (4 rows of the double-height bitmap).
    const std::vector<uint8_t> bits = {0x00, 0xFF, 0xFF, 0xFF,   // AND: row 0 opaque on its left half
                                       0xF0, 0x00, 0x00, 0x00};  // XOR: row 0 white on the first 4 pixels
    auto image = convert_dxgi_cursor(uint32_t(CursorShapeType::monochrome), 16, 4, 2, bits.data(), bits.size());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 16u);
    EXPECT_EQ(image->height, 2u);
    EXPECT_EQ(image->rgba[0], 255);      // white
    EXPECT_EQ(image->rgba[3], 255);
    EXPECT_EQ(image->rgba[4 * 4], 0);    // black, opaque
    EXPECT_EQ(image->rgba[4 * 4 + 3], 255);
    EXPECT_EQ(image->rgba[8 * 4 + 3], 0);  // transparent
}

}  // namespace
