// Changed-area arithmetic, the conversion of changed rectangles only, and keyframes on
// request.
#include <gtest/gtest.h>

#include "media/damage.h"
#include "media/encoder.h"
#include "tests/encoder/test_pictures.h"
#include "viewer/video_decoder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace {

TEST(DamageRect, WideningKeepsChromaPairsWholeAndStaysInsideThePicture) {
    // Odd corners grow outwards to even ones.
    EXPECT_EQ(widen_to_even({3, 5, 4, 4}, 100, 100), (DamageRect{2, 4, 6, 6}));
    EXPECT_EQ(widen_to_even({2, 4, 2, 2}, 100, 100), (DamageRect{2, 4, 2, 2}));
    // The far edge of an odd picture stays its last column and row.
    EXPECT_EQ(widen_to_even({96, 96, 10, 10}, 101, 99), (DamageRect{96, 96, 5, 3}));
    EXPECT_EQ(widen_to_even({100, 98, 1, 1}, 101, 99), (DamageRect{100, 98, 1, 1}));
    // Outside or partly outside.
    EXPECT_TRUE(widen_to_even({-20, -20, 10, 10}, 100, 100).empty());
    EXPECT_EQ(widen_to_even({-5, -5, 10, 10}, 100, 100), (DamageRect{0, 0, 6, 6}));
    EXPECT_TRUE(widen_to_even({200, 0, 10, 10}, 100, 100).empty());
    EXPECT_TRUE(widen_to_even({0, 0, 0, 10}, 100, 100).empty());
    EXPECT_TRUE(clip_rect({INT32_MAX - 1, 0, INT32_MAX, 5}, 100, 100).empty());
    // Windows rectangles (exclusive right and bottom edges).
    EXPECT_EQ(rect_from_edges(10, 20, 30, 25), (DamageRect{10, 20, 20, 5}));
    EXPECT_TRUE(rect_from_edges(30, 20, 10, 25).empty());
    EXPECT_TRUE(rect_from_edges(INT32_MIN, 0, INT32_MAX, 1).empty());
}

TEST(DamageRegion, MergesWhatTouchesAndFallsBackToTheWholePicture) {
    DamageRegion region;
    region.set_size(1000, 1000);
    EXPECT_TRUE(region.all()) << "a new size converts everything once";
    region.clear();
    EXPECT_TRUE(region.empty());

    region.add({10, 10, 10, 10});
    region.add({20, 10, 10, 10});   // shares an edge: merged
    region.add({500, 500, 10, 10});  // far away: separate
    std::vector<DamageRect> rects = region.rects();
    ASSERT_EQ(rects.size(), 2u);
    EXPECT_EQ(rects[0], (DamageRect{10, 10, 20, 10}));
    EXPECT_EQ(rects[1], (DamageRect{500, 500, 10, 10}));

    region.add({-100, -100, 50, 50});  // off the picture: nothing
    EXPECT_EQ(region.rects().size(), 2u);

    // Many scattered rectangles are folded into a few that still cover all of them.
    region.clear();
    for (int i = 0; i < 40; ++i) region.add({i * 20, i * 20, 2, 2});
    rects = region.rects();
    EXPECT_LE(rects.size(), DamageRegion::MAX_RECTS);
    for (int i = 0; i < 40; ++i) {
        bool covered = false;
        for (const DamageRect& r : rects)
            covered = covered || (r.x <= i * 20 && r.y <= i * 20 && r.right() >= i * 20 + 2 && r.bottom() >= i * 20 + 2);
        EXPECT_TRUE(covered) << i;
    }

    // Most of the picture: the whole picture.
    region.clear();
    region.add({0, 0, 1000, 700});
    EXPECT_TRUE(region.all());
    ASSERT_EQ(region.rects().size(), 1u);
    EXPECT_EQ(region.rects()[0], (DamageRect{0, 0, 1000, 1000}));
}

// Converting only what changed gives the same planes as converting the whole new
// picture, for changes at odd and even places and against the right and bottom edges of
// even and odd pictures, in both encoder formats.
TEST(FrameConverter, ChangedRectanglesGiveTheSamePlanesAsAWholeConversion) {
    struct Case {
        uint32_t w, h;
    };
    for (int format : {int(AV_PIX_FMT_YUV420P), int(AV_PIX_FMT_NV12)}) {
        for (Case c : {Case{96, 64}, Case{97, 63}, Case{17, 9}}) {
            const uint32_t stride = c.w * 4 + 8;
            std::vector<uint8_t> before = blocks(c.w, c.h, stride);
            std::vector<uint8_t> after = before;
            std::vector<DamageRect> changes = {{3, 5, 7, 3},
                                               {static_cast<int32_t>(c.w) - 5, 2, 5, 4},
                                               {1, static_cast<int32_t>(c.h) - 3, 6, 3},
                                               {static_cast<int32_t>(c.w) - 1, static_cast<int32_t>(c.h) - 1, 1, 1}};
            uint8_t shade = 17;
            for (const DamageRect& r : changes) {
                for (int32_t y = r.y; y < r.bottom(); ++y)
                    for (int32_t x = r.x; x < r.right(); ++x) {
                        uint8_t* px = after.data() + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4;
                        px[0] = static_cast<uint8_t>(shade * 3);
                        px[1] = shade;
                        px[2] = static_cast<uint8_t>(255 - shade);
                    }
                shade = static_cast<uint8_t>(shade + 60);
            }
            auto make_frame = [&] {
                AVFrame* f = av_frame_alloc();
                f->format = format;
                f->width = static_cast<int>(coded_dimension(c.w));
                f->height = static_cast<int>(coded_dimension(c.h));
                EXPECT_GE(av_frame_get_buffer(f, 0), 0);
                return f;
            };
            FrameConverter converter;
            ASSERT_TRUE(converter.init(c.w, c.h, format));
            AVFrame* partial = make_frame();
            AVFrame* whole = make_frame();
            converter.convert(before.data(), stride, partial);
            converter.convert(after.data(), stride, partial, changes);
            converter.convert(after.data(), stride, whole);
            const int planes = format == AV_PIX_FMT_NV12 ? 2 : 3;
            for (int p = 0; p < planes; ++p) {
                const int rows = p == 0 ? whole->height : whole->height / 2;
                const int bytes = p == 0 || planes == 2 ? whole->width : whole->width / 2;
                for (int y = 0; y < rows; ++y)
                    ASSERT_EQ(0, std::memcmp(partial->data[p] + y * partial->linesize[p],
                                             whole->data[p] + y * whole->linesize[p], static_cast<size_t>(bytes)))
                        << "format " << format << " " << c.w << "x" << c.h << " plane " << p << " row " << y;
            }
            av_frame_free(&partial);
            av_frame_free(&whole);
        }
    }
}

// A keyframe asked for mid-stream is one a decoder that saw nothing before can start
// from; the pictures after it are deltas again.
TEST(SwEncoder, RequestedKeyframeIsAnIdrAFreshDecoderStartsFrom) {
    constexpr uint32_t w = 160, h = 120;
    SwEncoder encoder;
    ASSERT_TRUE(encoder.init(w, h, 30, 2000));
    std::vector<uint8_t> out;
    bool key = false;
    for (uint32_t i = 0; i < 5; ++i) {
        std::vector<uint8_t> picture = blocks(w, h, w * 4, i * 3);
        ASSERT_TRUE(encoder.encode(picture.data(), w * 4, out, key));
        EXPECT_EQ(key, i == 0);
    }
    encoder.request_keyframe();
    std::vector<uint8_t> picture = blocks(w, h, w * 4, 40);
    ASSERT_TRUE(encoder.encode(picture.data(), w * 4, out, key));
    EXPECT_TRUE(key);
    VideoDecoder late;
    ASSERT_TRUE(late.decode(out, w, h));
    EXPECT_TRUE(late.has_picture());

    // Only the changed rectangle is converted; the picture the decoder shows is the new one.
    picture[(60 * w + 80) * 4 + 1] = 255;
    ASSERT_TRUE(encoder.encode_changed(picture.data(), w * 4, {{80, 60, 1, 1}}, out, key));
    EXPECT_FALSE(key);
    EXPECT_TRUE(late.decode(out, w, h));
    EXPECT_EQ(late.picture_count(), 2u);
}

// Macroblocks outside the changed rectangles are passed to the encoder as unchanged.
// Inside moving content (where the encoder's predicted motion is not zero) they must
// still show their own pixels, not a displaced copy.
TEST(SwEncoder, UnchangedBlocksAmidMovingContentKeepTheirPixels) {
    constexpr int32_t w = 320, h = 192;
    // The moving area: everything but a still 32x32 island at (224, 64).
    const DamageRect island{224, 64, 32, 32};
    const std::vector<DamageRect> moving = {
        {0, 0, w, island.y}, {0, island.bottom(), w, h - island.bottom()},
        {0, island.y, island.x, island.height}, {island.right(), island.y, w - island.right(), island.height}};
    auto texture = [](uint32_t x, uint32_t y) {
        uint32_t v = x * 73856093u ^ y * 19349663u;
        v ^= v >> 13;
        return static_cast<uint8_t>(((x / 4 + y / 4) % 2 ? 160 : 60) + (v & 31));
    };
    auto in_island = [&](int32_t x, int32_t y) {
        return x >= island.x && x < island.right() && y >= island.y && y < island.bottom();
    };
    std::vector<uint8_t> picture(size_t{w} * h * 4, 255);
    auto paint = [&](uint32_t frame) {
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                // The island stays; the rest scrolls up 3 rows a picture.
                const uint32_t shift = in_island(x, y) ? 0 : frame * 3;
                const uint8_t v = texture(static_cast<uint32_t>(x), static_cast<uint32_t>(y) + shift);
                uint8_t* px = picture.data() + (static_cast<size_t>(y) * w + static_cast<size_t>(x)) * 4;
                px[0] = px[1] = px[2] = v;
            }
    };
    SwEncoder encoder;
    ASSERT_TRUE(encoder.init(w, h, 30, 4000));
    VideoDecoder decoder;
    std::vector<uint8_t> out;
    bool key = false;
    paint(0);
    ASSERT_TRUE(encoder.encode(picture.data(), w * 4, out, key));
    ASSERT_TRUE(decoder.decode(out, w, h));
    for (uint32_t frame = 1; frame <= 20; ++frame) {
        paint(frame);
        ASSERT_TRUE(encoder.encode_changed(picture.data(), w * 4, moving, out, key));
        ASSERT_TRUE(decoder.decode(out, w, h));
    }
    ASSERT_EQ(decoder.picture_count(), 21u);
    const DecodedPicture& shown = decoder.picture();
    int worst = 0;
    for (int32_t y = island.y; y < island.bottom(); ++y)
        for (int32_t x = island.x; x < island.right(); ++x) {
            const size_t row = static_cast<size_t>(y), col = static_cast<size_t>(x);
            const int decoded = shown.pixels[row * shown.stride + col * 4];
            worst = std::max(worst, std::abs(decoded - int{picture[(row * w + col) * 4]}));
        }
    EXPECT_LT(worst, 24);
}

}  // namespace

