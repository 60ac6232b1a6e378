#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "media/encoder.h"
#include "tests/encoder/test_pictures.h"
#include "tests/support/log_capture.h"
#include "viewer/video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr uint32_t W = 326;  // not a multiple of 8: converters have fast paths for those
constexpr uint32_t H = 240;

std::vector<uint8_t> encode_blocks(SwEncoder& encoder, uint32_t shift = 0, bool* key_out = nullptr) {
    auto picture = blocks(W, H, W * 4, shift);
    std::vector<uint8_t> out;
    bool key = false;
    EXPECT_TRUE(encoder.encode(picture.data(), W * 4, out, key));
    if (key_out) *key_out = key;
    return out;
}

// Pixel (x, y) of a packed picture against the block colour there, channel by channel.
void expect_block_colour(const DecodedPicture& pic, uint32_t x, uint32_t y, int tolerance) {
    const auto& bgr = BLOCK_COLOURS[block_at(x, y, W, H)];
    const uint8_t* p = pic.pixels.data() + static_cast<size_t>(y) * pic.stride + x * pic.bytes_per_pixel();
    const bool rgb = pic.format == PictureFormat::Rgb24;
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(int(p[c]), int(bgr[rgb ? 2 - c : c]), tolerance) << "at " << x << "," << y << " channel " << c;
}

// Block centres, and the last column, which a converter's tail handling can miss.
void expect_blocks(const DecodedPicture& pic, int tolerance) {
    for (uint32_t by = 0; by < 2; ++by) {
        for (uint32_t bx = 0; bx < 4; ++bx) expect_block_colour(pic, bx * W / 4 + W / 8, by * H / 2 + H / 4, tolerance);
        expect_block_colour(pic, W - 1, by * H / 2 + H / 4, tolerance);
    }
}

TEST(VideoDecoder, RoundTripKeepsBlockColoursInBothLayouts) {
    SwEncoder encoder;
    ASSERT_TRUE(encoder.init(W, H, 30, 4000));
    auto bytes = encode_blocks(encoder);
    for (PictureFormat format : {PictureFormat::Bgra, PictureFormat::Rgb24}) {
        VideoDecoder decoder(format);
        ASSERT_TRUE(decoder.decode(bytes));
        ASSERT_EQ(decoder.picture_count(), 1u);
        const DecodedPicture& pic = decoder.picture();
        ASSERT_EQ(pic.width, W);
        ASSERT_EQ(pic.height, H);
        ASSERT_EQ(pic.stride, W * pic.bytes_per_pixel());
        ASSERT_EQ(pic.pixels.size(), size_t{pic.stride} * H);
        expect_blocks(pic, 10);
    }
}

TEST(VideoDecoder, JoiningMidStreamWaitsQuietlyForTheKeyFrame) {
    SwEncoder encoder;
    ASSERT_TRUE(encoder.init(W, H, 10, 2000));  // key frames at pictures 0 and 20
    LogCapture logs;
    VideoDecoder decoder;
    EXPECT_TRUE(decoder.decode(nullptr, 0));
    for (uint32_t i = 0; i < 20; ++i) {
        bool key = false;
        auto bytes = encode_blocks(encoder, 0, &key);
        if (i == 0) continue;  // the viewer missed the start
        ASSERT_FALSE(key);
        EXPECT_TRUE(decoder.decode(bytes));
    }
    EXPECT_FALSE(decoder.has_picture());
    bool key = false;
    auto bytes = encode_blocks(encoder, 0, &key);
    ASSERT_TRUE(key);
    ASSERT_TRUE(decoder.decode(bytes));
    EXPECT_EQ(decoder.picture_count(), 1u);
    ASSERT_TRUE(decoder.decode(encode_blocks(encoder)));
    EXPECT_EQ(decoder.picture_count(), 2u);
    expect_blocks(decoder.picture(), 10);
    EXPECT_EQ(logs.text(), "");
}

// Decodes a PNG file with FFmpeg's PNG decoder into packed RGB24.
DecodedPicture read_png(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DecodedPicture pic;
    pic.format = PictureFormat::Rgb24;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avcodec_open2(ctx, codec, nullptr) >= 0 && av_new_packet(pkt, static_cast<int>(bytes.size())) >= 0) {
        std::copy(bytes.begin(), bytes.end(), pkt->data);
        if (avcodec_send_packet(ctx, pkt) >= 0 && avcodec_receive_frame(ctx, frame) >= 0 &&
            frame->format == AV_PIX_FMT_RGB24) {
            pic.width = static_cast<uint32_t>(frame->width);
            pic.height = static_cast<uint32_t>(frame->height);
            pic.stride = pic.width * 3;
            for (int y = 0; y < frame->height; ++y)
                pic.pixels.insert(pic.pixels.end(), frame->data[0] + y * frame->linesize[0],
                                  frame->data[0] + y * frame->linesize[0] + pic.stride);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return pic;
}

TEST(WritePng, SnapshotHoldsTheDecodedPixels) {
    SwEncoder encoder;
    ASSERT_TRUE(encoder.init(W, H, 30, 4000));
    VideoDecoder decoder(PictureFormat::Bgra);
    ASSERT_TRUE(decoder.decode(encode_blocks(encoder)));

    const std::string path = (std::filesystem::temp_directory_path() / "zarvex_snapshot_test.png").string();
    ASSERT_TRUE(decoder.write_png(path));
    DecodedPicture png = read_png(path);
    std::remove(path.c_str());
    ASSERT_EQ(png.width, W);
    ASSERT_EQ(png.height, H);
    // Exactly the decoder's pixels, channels swapped from BGRA to RGB.
    const DecodedPicture& src = decoder.picture();
    size_t mismatches = 0;
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c)
                mismatches += png.pixels[y * png.stride + x * 3 + c] != src.pixels[y * src.stride + x * 4 + 2 - c];
    EXPECT_EQ(mismatches, 0u);
}

TEST(WritePng, FailuresAreReportedNotHidden) {
    LogCapture logs;
    VideoDecoder decoder;
    EXPECT_FALSE(decoder.write_png("/tmp/zarvex_never_written.png"));  // nothing decoded yet
    EXPECT_TRUE(logs.contains("error|Failed to write snapshot /tmp/zarvex_never_written.png: no picture"));

    DecodedPicture short_buffer;
    short_buffer.width = 4;
    short_buffer.height = 4;
    short_buffer.stride = 16;
    short_buffer.pixels.resize(16 * 3);
    EXPECT_FALSE(write_png(short_buffer, "/tmp/zarvex_never_written.png"));

    DecodedPicture tiny;
    tiny.width = tiny.height = 2;
    tiny.stride = 8;
    tiny.pixels.assign(16, 200);
    logs.clear();
    EXPECT_FALSE(write_png(tiny, "/nonexistent-dir/snap.png"));
    EXPECT_TRUE(logs.contains("error|Failed to write snapshot /nonexistent-dir/snap.png: cannot write the file"));
}

}  // namespace
