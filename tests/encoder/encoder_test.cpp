#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "media/encoder.h"
#include "tests/encoder/test_pictures.h"
#include "tests/support/log_capture.h"
#include "viewer/video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr uint32_t W = 160;
constexpr uint32_t H = 120;

TEST(SwEncoder, KeyFramesComeFirstAndEveryTwoSecondsOfFrames) {
    LogCapture logs;
    SwEncoder encoder;
    ASSERT_TRUE(encoder.init(W, H, 30, 1000));
    EXPECT_TRUE(logs.contains("info|Software encoder initialized: 160x120 @ 30 fps, 1000 kbps"));
    EXPECT_EQ(encoder.name(), "x264 (software)");

    std::vector<uint8_t> out;
    for (uint32_t i = 0; i <= 60; ++i) {
        auto picture = blocks(W, H, W * 4, i);  // slow pan: no scene cut
        bool key = !(i == 0 || i == 60);        // must be overwritten either way
        ASSERT_TRUE(encoder.encode(picture.data(), W * 4, out, key)) << "picture " << i;
        EXPECT_FALSE(out.empty());
        EXPECT_EQ(key, i == 0 || i == 60) << "picture " << i;
    }
}

TEST(SwEncoder, PaddedStrideEncodesTheSamePictureAsTightRows) {
    SwEncoder tight, padded;
    ASSERT_TRUE(tight.init(W, H, 30, 1000));
    ASSERT_TRUE(padded.init(W, H, 30, 1000));
    const uint32_t padded_stride = W * 4 + 52;
    for (uint32_t i = 0; i < 3; ++i) {
        // The tight picture ends at an unreadable page: no byte past the last row is read.
        GuardedBuffer exact(static_cast<size_t>(W) * 4 * H);
        fill_blocks(exact.data(), W, H, W * 4, i * 7);
        auto wide = blocks(W, H, padded_stride, i * 7);  // padding bytes are 0xAB garbage
        std::vector<uint8_t> a, b;
        bool ka = false, kb = false;
        ASSERT_TRUE(tight.encode(exact.data(), W * 4, a, ka));
        ASSERT_TRUE(padded.encode(wide.data(), padded_stride, b, kb));
        EXPECT_EQ(a, b) << "picture " << i;
        EXPECT_EQ(ka, kb);
    }
}

TEST(SwEncoder, OddSizesEncodeWithTheEdgeRepeated) {
    constexpr uint32_t w = 161, h = 121;
    SwEncoder encoder;
    ASSERT_TRUE(encoder.init(w, h, 30, 1000));
    GuardedBuffer exact(static_cast<size_t>(w) * 4 * h);
    fill_blocks(exact.data(), w, h, w * 4);
    std::vector<uint8_t> out;
    bool key = false;
    ASSERT_TRUE(encoder.encode(exact.data(), w * 4, out, key));
    ASSERT_TRUE(key);

    // Decoded as coded (one column and row more), then cropped to the header's size.
    VideoDecoder coded(PictureFormat::Rgb24), cropped(PictureFormat::Rgb24);
    ASSERT_TRUE(coded.decode(out));
    ASSERT_TRUE(cropped.decode(out, w, h));
    const DecodedPicture& full = coded.picture();
    const DecodedPicture& exact_pic = cropped.picture();
    ASSERT_EQ(full.width, 162u);
    ASSERT_EQ(full.height, 122u);
    ASSERT_EQ(exact_pic.width, w);
    ASSERT_EQ(exact_pic.height, h);
    ASSERT_EQ(exact_pic.pixels.size(), size_t{w} * 3 * h);

    auto expect_colour = [](const DecodedPicture& pic, uint32_t x, uint32_t y, uint32_t src_x, uint32_t src_y) {
        const auto& bgr = BLOCK_COLOURS[block_at(src_x, src_y, w, h)];
        for (uint32_t c = 0; c < 3; ++c)
            EXPECT_NEAR(pic.pixels[y * pic.stride + x * 3 + c], bgr[2 - c], 12) << x << "," << y << " of " << pic.width;
    };
    for (uint32_t y : {30u, 90u, 120u}) {
        for (uint32_t x : {20u, 100u, 160u}) {
            expect_colour(exact_pic, x, y, x, y);
            expect_colour(full, x, y, x, y);
        }
        expect_colour(full, 161, y, 160, y);  // the extra column repeats the edge
    }
    expect_colour(full, 20, 121, 20, 120);  // and so does the extra row
    expect_colour(full, 161, 121, 160, 120);
}

// An encoder of the small test size with one picture of coloured blocks at hand.
class OpenSwEncoder : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(encoder.init(W, H, 30, 4000)); }
    bool encode(const std::vector<uint8_t>& pixels) { return encoder.encode(pixels.data(), W * 4, out, key); }
    bool encode() { return encode(picture); }

    SwEncoder encoder;
    std::vector<uint8_t> picture = blocks(W, H, W * 4);
    std::vector<uint8_t> out;
    bool key = false;
};

TEST(SwEncoder, RejectsParametersItCannotOpen) {
    LogCapture logs;
    SwEncoder encoder;
    EXPECT_FALSE(encoder.init(0, H, 30, 1000));
    EXPECT_FALSE(encoder.init(W, H, 0, 1000));
    EXPECT_FALSE(encoder.init(W, MAX_ENCODER_DIMENSION + 1, 30, 1000));
    EXPECT_EQ(logs.count("error|Invalid encoder parameters: "), 3u);
}

TEST_F(OpenSwEncoder, RejectsPicturesItCannotRead) {
    LogCapture logs;
    out = {1, 2, 3};
    key = true;
    // Rows shorter than the width would make the converter read past the buffer.
    EXPECT_FALSE(encoder.encode(picture.data(), W * 4 - 4, out, key));
    EXPECT_FALSE(encoder.encode(nullptr, W * 4, out, key));
    EXPECT_EQ(logs.count("error|Invalid picture for encoder"), 1u);  // once, not per frame
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(encode());
    EXPECT_TRUE(key);
}

TEST_F(OpenSwEncoder, CloseLeavesAnEncoderThatRefusesWork) {
    ASSERT_TRUE(encode());
    encoder.close();
    encoder.set_bitrate(3000);
    EXPECT_FALSE(encode());
    EXPECT_EQ(encoder.codec_bit_rate(), 0);
    encoder.close();  // twice is harmless

    // A fresh init starts a new stream with a key frame and no stale bit-rate request.
    ASSERT_TRUE(encoder.init(W, H, 30, 1000));
    ASSERT_TRUE(encode());
    EXPECT_TRUE(key);
    EXPECT_EQ(encoder.codec_bit_rate(), 1000000);
}

TEST_F(OpenSwEncoder, BitRateChangesReachTheCodecOnTheEncodingThread) {
    encoder.set_bitrate(2500);
    EXPECT_EQ(encoder.codec_bit_rate(), 4000000);  // not yet: applied by the next encode
    ASSERT_TRUE(encode());
    EXPECT_EQ(encoder.codec_bit_rate(), 2500000);

    encoder.set_bitrate(0);  // never reaches the codec as 0
    ASSERT_TRUE(encode());
    EXPECT_EQ(encoder.codec_bit_rate(), int64_t{ENCODER_MIN_BITRATE_KBPS} * 1000);
    encoder.set_bitrate(4000000000u);
    ASSERT_TRUE(encode());
    EXPECT_EQ(encoder.codec_bit_rate(), int64_t{ENCODER_MAX_BITRATE_KBPS} * 1000);

    // Another thread changes the rate while pictures are being encoded.
    encoder.set_bitrate(1000);
    ASSERT_TRUE(encode());
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (uint32_t k = 0; !done.load(); k = (k + 1) % 50) encoder.set_bitrate(1000 + k * 100);
        encoder.set_bitrate(1234);
    });
    for (uint32_t i = 0; i < 40; ++i) {
        EXPECT_TRUE(encode(blocks(W, H, W * 4, i)));
        int64_t rate = encoder.codec_bit_rate();
        EXPECT_TRUE(rate >= 1000000 && rate <= 5900000) << rate;
    }
    done = true;
    changer.join();
    ASSERT_TRUE(encode());
    EXPECT_EQ(encoder.codec_bit_rate(), 1234000);
}

// A viewer lowering the rate must get a smaller stream from the running encoder.
TEST(SwEncoder, BitRateChangeTakesEffectInTheRunningEncoder) {
    constexpr uint32_t w = 320, h = 240;
    SwEncoder encoder;
    ASSERT_TRUE(encoder.init(w, h, 30, 20000));
    std::vector<uint8_t> picture(size_t{w} * 4 * h), out;
    uint32_t seed = 1, frame = 0;
    // Mean output size of the last 10 of 30 pictures (a pan with grain: hard to compress).
    auto mean_size = [&] {
        size_t total = 0;
        for (int i = 0; i < 30; ++i, ++frame) {
            for (size_t j = 0; j < picture.size(); ++j) {
                seed = seed * 1664525u + 1013904223u;
                picture[j] = static_cast<uint8_t>(j / 4 % w + frame * 3 + (seed >> 28));
            }
            bool key = false;
            EXPECT_TRUE(encoder.encode(picture.data(), w * 4, out, key));
            if (i >= 20) total += out.size();
        }
        return total / 10;
    };
    size_t high = mean_size();
    encoder.set_bitrate(200);
    size_t low = mean_size();
    encoder.set_bitrate(20000);
    size_t restored = mean_size();
    EXPECT_LT(low * 10, high) << high << " -> " << low;
    EXPECT_GT(restored, low * 10) << low << " -> " << restored;
}

TEST(HwEncoder, DisplayNamesAndMissingCodec) {
    EXPECT_EQ(HwEncoder("h264_nvenc").name(), "NVENC (NVIDIA hardware)");
    EXPECT_EQ(HwEncoder("h264_amf").name(), "AMF (AMD hardware)");
    EXPECT_EQ(HwEncoder("h264_qsv").name(), "QuickSync (Intel hardware)");

    LogCapture logs;
    HwEncoder missing("h264_nosuch");
    EXPECT_EQ(missing.name(), "h264_nosuch");
    EXPECT_FALSE(missing.init(W, H, 30, 1000));
    EXPECT_TRUE(logs.contains("error|Hardware codec h264_nosuch not found"));
}

TEST(HwEncoder, OpenFailureIsLoggedWithFfmpegsText) {
    if (!avcodec_find_encoder_by_name("h264_nvenc") || probe_hardware_codec("h264_nvenc"))
        GTEST_SKIP() << "needs an FFmpeg with NVENC support and no NVIDIA device";
    LogCapture logs;
    HwEncoder encoder("h264_nvenc");
    EXPECT_FALSE(encoder.init(W, H, 30, 1000));
    EXPECT_TRUE(logs.contains("error|Failed to open hardware codec h264_nvenc: "));
    std::vector<uint8_t> out;
    bool key = false;
    auto picture = blocks(W, H, W * 4);
    EXPECT_FALSE(encoder.encode(picture.data(), W * 4, out, key));
}

// Any other codec name is opened without the hardware options; libx264 at its default
// settings holds pictures back for look-ahead, which shows the "nothing yet" path.
TEST(HwEncoder, PictureWithoutPacketYetReturnsFalseAndEmptyOutput) {
    LogCapture logs;
    HwEncoder encoder("libx264");
    ASSERT_TRUE(encoder.init(W, H, 30, 1000));
    EXPECT_TRUE(logs.contains("info|Hardware encoder initialized: libx264 160x120 @ 30 fps, 1000 kbps"));
    auto picture = blocks(W, H, W * 4);
    std::vector<uint8_t> out{9};
    bool key = true;
    EXPECT_FALSE(encoder.encode(picture.data(), W * 4, out, key));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(key);
    EXPECT_FALSE(logs.contains("error|"));
}

}  // namespace

namespace {

// Every small size, both encoder formats, tight rows ending at an unreadable page: the
// converter must stay inside the caller's picture whatever the SIMD paths do.
TEST(FrameConverter, ReadsOnlyThePixelsItIsGiven) {
    for (int format : {int(AV_PIX_FMT_YUV420P), int(AV_PIX_FMT_NV12)}) {
        for (uint32_t w = 1; w <= 70; w += 3) {
            for (uint32_t h : {1u, 2u, 7u, 16u}) {
                FrameConverter converter;
                ASSERT_TRUE(converter.init(w, h, format));
                AVFrame* frame = av_frame_alloc();
                frame->format = format;
                frame->width = static_cast<int>(coded_dimension(w));
                frame->height = static_cast<int>(coded_dimension(h));
                ASSERT_GE(av_frame_get_buffer(frame, 0), 0);
                GuardedBuffer exact(static_cast<size_t>(w) * 4 * h);
                fill_blocks(exact.data(), w, h, w * 4);
                converter.convert(exact.data(), w * 4, frame);
                // Bottom-right luma sample (padding included) is the last pixel's colour.
                const uint8_t* luma = frame->data[0];
                int last = luma[(h - 1) * frame->linesize[0] + (w - 1)];
                EXPECT_EQ(luma[(frame->height - 1) * frame->linesize[0] + frame->width - 1], last) << w << "x" << h;
                av_frame_free(&frame);
            }
        }
    }
}

}  // namespace
