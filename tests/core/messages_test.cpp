#include <gtest/gtest.h>

#include "net/messages.h"
#include "tests/support/test_util.h"

using Bytes = std::vector<uint8_t>;

TEST(MessageWriter, WritesLittleEndianFieldsInOrder) {
    MessageWriter w;
    w.write_u8(0xAB);
    w.write_u16(0x1234);
    w.write_u32(0xDEADBEEF);
    w.write_u64(0x0102030405060708ull);
    EXPECT_EQ(to_hex(w.data()), "ab3412efbeadde0807060504030201");
}

TEST(Builders, VideoFrameHeaderAndPayload) {
    uint64_t before = monotonic_us();
    Bytes m = build_video_frame(Bytes{0, 0, 0, 1, 0x65}, 1920, 1080, true);
    uint64_t after = monotonic_us();
    ASSERT_EQ(m.size(), 14u + 5u);
    EXPECT_EQ(m[0], 0x01);
    uint64_t ts = read_u64le(&m[1]);
    EXPECT_GE(ts, before);
    EXPECT_LE(ts, after);
    EXPECT_EQ(m[9], 1);
    EXPECT_EQ(m[10], 0x80);
    EXPECT_EQ(m[11], 0x07);
    EXPECT_EQ(m[12], 0x38);
    EXPECT_EQ(m[13], 0x04);
    EXPECT_EQ(Bytes(m.begin() + 14, m.end()), (Bytes{0, 0, 0, 1, 0x65}));
    EXPECT_EQ(build_video_frame(Bytes{}, 8, 8, false)[9], 0);
}

TEST(Builders, AudioChunk) {
    Bytes m = build_audio_chunk(Bytes{1, 2, 3, 4}, 48000, 2);
    EXPECT_EQ(to_hex(m), "0280bb0000020001020304");
}

TEST(Builders, CursorUpdateWithAndWithoutShape) {
    Bytes plain = build_cursor_update(true, -5, 300, false, 9, 9, 1, 1, Bytes(16, 0xFF));
    EXPECT_EQ(to_hex(plain), "030100fbffffff2c010000");

    Bytes rgba = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes shaped = build_cursor_update(false, 10, 20, true, 2, 1, 1, 0, rgba);
    ASSERT_EQ(shaped.size(), 31u + 8u);
    EXPECT_EQ(to_hex(Bytes(shaped.begin(), shaped.begin() + 31)),
              "030001" "0a000000" "14000000" "02000000" "01000000" "01000000" "00000000" "08000000");
    EXPECT_EQ(Bytes(shaped.begin() + 31, shaped.end()), rgba);
}

TEST(Builders, ClipboardTextAndStats) {
    EXPECT_EQ(to_hex(build_clipboard_text("abc")), "0a03000000616263");
    EXPECT_EQ(to_hex(build_clipboard_text("")), "0a00000000");

    StatsSample s;
    s.cpu_percent = 99.999f;
    s.mem_used_mb = 0x0102;
    s.mem_total_mb = 16384;
    s.process_count = 312;
    Bytes m = build_stats_report(s);
    ASSERT_EQ(m.size(), 25u);
    EXPECT_EQ(m[0], 0x0F);
    EXPECT_EQ(read_u32le(&m[1]), 9999u);
    EXPECT_EQ(read_u64le(&m[5]), 0x0102u);
    EXPECT_EQ(read_u64le(&m[13]), 16384u);
    EXPECT_EQ(read_u32le(&m[21]), 312u);

    s.cpu_percent = 12.345f;
    EXPECT_EQ(read_u32le(&build_stats_report(s)[1]), 1234u);
    s.cpu_percent = -3.0f;  // a broken sample never wraps to a huge load
    EXPECT_EQ(read_u32le(&build_stats_report(s)[1]), 0u);
}

TEST(ParseInput, MouseActions) {
    auto wheel = parse_input_event(Bytes{0x04, 0x34, 0x12, 0xFF, 0x7F, 0x00, 0x03, 0x88, 0xFF});
    ASSERT_TRUE(wheel);
    EXPECT_EQ(wheel->kind, InputKind::MouseWheel);
    EXPECT_EQ(wheel->wheel_delta, -120);
    EXPECT_EQ(wheel->x, 0x1234);
    EXPECT_EQ(wheel->y, 0x7FFF);

    auto down = parse_input_event(Bytes{0x04, 0xFF, 0xFF, 0, 0, 0x02, 0x01, 0, 0, 0xEE});
    ASSERT_TRUE(down);
    EXPECT_EQ(down->kind, InputKind::MouseDown);
    EXPECT_EQ(down->x, 65535);
    EXPECT_EQ(down->button, 2);

    EXPECT_FALSE(parse_input_event(Bytes{0x04, 0, 0, 0, 0, 0, 0x04, 0, 0}));  // action 4
    EXPECT_FALSE(parse_input_event(Bytes{0x04, 0, 0, 0, 0, 0, 0x00, 0}));     // 8 bytes
    EXPECT_FALSE(parse_input_event(Bytes{0x04}));
    EXPECT_FALSE(parse_input_event(Bytes{}));
}

TEST(ParseInput, KeyFlags) {
    auto up_ext = parse_input_event(Bytes{0x05, 0x25, 0x00, 0x4B, 0xE0, 0x03});
    ASSERT_TRUE(up_ext);
    EXPECT_EQ(up_ext->kind, InputKind::KeyUp);
    EXPECT_TRUE(up_ext->extended);
    EXPECT_EQ(up_ext->virtual_key, 0x25);
    EXPECT_EQ(up_ext->scan_code, 0xE04B);

    auto down = parse_input_event(Bytes{0x05, 0x41, 0x00, 0x1E, 0x00, 0xFC});  // only bits 0 and 1 count
    ASSERT_TRUE(down);
    EXPECT_EQ(down->kind, InputKind::KeyDown);
    EXPECT_FALSE(down->extended);

    EXPECT_FALSE(parse_input_event(Bytes{0x05, 0x41, 0x00, 0x1E, 0x00}));
    EXPECT_FALSE(parse_input_event(Bytes{0x0A, 0, 0, 0, 0, 0, 0, 0, 0}));  // wrong type
}

TEST(ParseClipboard, LengthsAndTypes) {
    EXPECT_EQ(parse_clipboard_text(Bytes{0x0A, 3, 0, 0, 0, 'a', 'b', 'c', 'x'}).value(), "abc");
    EXPECT_EQ(parse_clipboard_text(Bytes{0x0A, 0, 0, 0, 0}).value(), "");
    EXPECT_FALSE(parse_clipboard_text(Bytes{0x0A, 4, 0, 0, 0, 'a', 'b', 'c'}));
    EXPECT_FALSE(parse_clipboard_text(Bytes{0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}));  // no size overflow
    EXPECT_FALSE(parse_clipboard_text(Bytes{0x0A, 0, 0, 0}));
    EXPECT_FALSE(parse_clipboard_text(Bytes{0x0B, 0, 0, 0, 0}));
    // Non-BMP text is carried as bytes, untouched.
    std::string emoji = "\xF0\x9F\x98\x80";
    EXPECT_EQ(parse_clipboard_text(build_clipboard_text(emoji)).value(), emoji);
}

TEST(ParseBitrate, ValuesPassUnchecked) {
    EXPECT_EQ(parse_set_bitrate(Bytes{0x0E, 0xA0, 0x0F, 0, 0}).value(), 4000u);
    EXPECT_EQ(parse_set_bitrate(Bytes{0x0E, 0, 0, 0, 0, 9}).value(), 0u);
    EXPECT_FALSE(parse_set_bitrate(Bytes{0x0E, 0xA0, 0x0F, 0}));
    EXPECT_FALSE(parse_set_bitrate(Bytes{0x0F, 0xA0, 0x0F, 0, 0}));
}
