#include <gtest/gtest.h>

#include <set>
#include <string>

#include "net/protocol.h"
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

TEST(RoundTrip, AgentMessagesAndShortOnesAreRejected) {
    auto v = parse_video_frame(build_video_frame(std::vector<uint8_t>{0, 0, 0, 1, 0x65}, 1920, 1080, true));
    ASSERT_TRUE(v);
    EXPECT_TRUE(v->keyframe);
    EXPECT_EQ(v->width, 1920);
    EXPECT_EQ(v->height, 1080);
    EXPECT_EQ(v->data.size(), 5u);
    EXPECT_FALSE(parse_video_frame(std::vector<uint8_t>(13, 0x01)));

    auto a = parse_audio_chunk(build_audio_chunk({1, 2, 3, 4}, 48000, 2));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->sample_rate, 48000u);
    EXPECT_EQ(a->channels, 2);
    EXPECT_EQ(a->samples.size(), 4u);

    auto c = parse_cursor_update(build_cursor_update(true, -5, 7, true, 1, 1, 0, 0, {9, 8, 7, 6}));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->x, -5);
    EXPECT_EQ(c->rgba, (std::vector<uint8_t>{9, 8, 7, 6}));
    auto truncated = build_cursor_update(true, 0, 0, true, 1, 1, 0, 0, {9, 8, 7, 6});
    truncated.pop_back();
    EXPECT_FALSE(parse_cursor_update(truncated));
    EXPECT_TRUE(parse_cursor_update(build_cursor_update(false, 1, 2, false, 0, 0, 0, 0, {})));

    auto s = parse_stats_report(build_stats_report(StatsSample{99.999f, 10, 20, 30}));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->cpu_percent_x100, 9999u);
    EXPECT_EQ(s->process_count, 30u);
}

TEST(RoundTrip, ViewerMessagesMatchTheAgentParsers) {
    auto wheel = parse_input_event(build_mouse_input(300, 400, 0, MouseAction::Wheel, -120));
    ASSERT_TRUE(wheel);
    EXPECT_EQ(wheel->kind, InputKind::MouseWheel);
    EXPECT_EQ(wheel->wheel_delta, -120);
    auto key = parse_input_event(build_key_input(0x41, 0x1E, true, true));
    ASSERT_TRUE(key);
    EXPECT_EQ(key->kind, InputKind::KeyUp);
    EXPECT_TRUE(key->extended);
    EXPECT_EQ(parse_set_bitrate(build_set_bitrate(2500)), 2500u);
    const uint8_t data[] = {'x', 'y'};
    auto chunk = build_file_chunk("a.txt", 7, 9, data, 2);
    ASSERT_EQ(chunk.size(), 23u + 5u + 2u);
    EXPECT_EQ(read_u16le(&chunk[1]), 5);
    EXPECT_EQ(read_u64le(&chunk[8]), 7u);
    EXPECT_EQ(read_u64le(&chunk[16]), 9u);
    EXPECT_EQ(read_u32le(&chunk[24]), 2u);
    EXPECT_EQ(chunk.back(), 'y');
}

TEST(RoundTrip, FileChunkKeyExchangeAndKeyframeRequest) {
    const uint8_t data[] = {1, 2, 3};
    const Bytes chunk = build_file_chunk("r\xC3\xA9sum\xC3\xA9.pdf", 1u << 20, 5u << 20, data, 3);
    auto c = parse_file_chunk(chunk);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->name, "r\xC3\xA9sum\xC3\xA9.pdf");
    EXPECT_EQ(c->offset, 1u << 20);
    EXPECT_EQ(c->total_size, 5u << 20);
    ASSERT_EQ(c->size, 3u);
    EXPECT_EQ(Bytes(c->data, c->data + c->size), Bytes(data, data + 3));
    // Every cut short of the whole message is refused, and so is a name longer than the message.
    for (size_t n = 0; n < chunk.size(); ++n) EXPECT_FALSE(parse_file_chunk(Bytes(chunk.begin(), chunk.begin() + n))) << n;
    Bytes long_name = chunk;
    long_name[1] = 0xFF;
    EXPECT_FALSE(parse_file_chunk(long_name));

    const Bytes key(KEY_EXCHANGE_KEY_SIZE, 0x5A);
    const Bytes exchange = build_key_exchange(key);
    ASSERT_EQ(exchange.size(), 33u);
    EXPECT_EQ(exchange[0], 0x06);
    EXPECT_EQ(parse_key_exchange(exchange.data(), exchange.size()), key);
    EXPECT_FALSE(parse_key_exchange(exchange.data(), exchange.size() - 1));
    Bytes wrong_type = exchange;
    wrong_type[0] = 0x07;
    EXPECT_FALSE(parse_key_exchange(wrong_type.data(), wrong_type.size()));

    EXPECT_EQ(build_keyframe_request(), Bytes{0x10});
    EXPECT_TRUE(is_keyframe_request(build_keyframe_request()));
    EXPECT_FALSE(is_keyframe_request(Bytes{}));
    EXPECT_FALSE(is_keyframe_request(build_set_bitrate(1)));
}

TEST(MessageTable, EveryTypeHasItsOwnName) {
    std::set<std::string> names;
    for (uint8_t t : {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0A, 0x0B, 0x0E, 0x0F, 0x10}) {
        const std::string name = message_type_name(t);
        EXPECT_EQ(name.rfind("type_0x", 0), std::string::npos) << int(t);
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 11u);
    EXPECT_EQ(message_type_name(0x11), "type_0x11");
}

TEST(RelayFraming, FramesSplitBackIntoSessionAndPayload) {
    const std::string sid = "aaaaaaaa-0000-4000-8000-000000000001";
    const uint8_t payload[] = {0x06, 0xFF};
    const Bytes frame = build_relay_frame(sid, payload, 2);
    ASSERT_EQ(frame.size(), 38u);
    auto split = split_relay_frame(frame);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->session_id, sid);
    EXPECT_EQ(Bytes(split->payload, split->payload + split->size), Bytes(payload, payload + 2));
    EXPECT_FALSE(split_relay_frame(Bytes(frame.begin(), frame.begin() + 36)));  // an id alone
}

TEST(RelayText, KnownMessagesAreCheckedAndUnknownOnesKept) {
    const std::string sid = "bbbbbbbb-0000-4000-8000-000000000002";
    auto req = parse_relay_text(build_session_text(relay_text::SessionRequest, sid));
    ASSERT_TRUE(req);
    EXPECT_EQ(req->type, "session_request");
    EXPECT_EQ(req->session_id, sid);
    EXPECT_EQ(build_session_text(relay_text::SessionEnd, sid), R"({"session_id":")" + sid + R"(","type":"session_end"})");

    auto signal = parse_relay_text(build_relay_signal(sid, "{\"sdp\":\"v=0\"}"));
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->type, "p2p_signal");
    EXPECT_EQ(signal->session_id, sid);
    EXPECT_EQ(signal->payload, "{\"sdp\":\"v=0\"}");
    EXPECT_EQ(build_relay_signal(sid, "x"), R"({"payload":"x","session_id":")" + sid + R"(","type":"p2p_signal"})");
    EXPECT_EQ(build_relay_signal(sid, "\xFF"), "");  // not UTF-8: nothing to send
    EXPECT_EQ(build_viewer_signal("x"), R"({"payload":"x","type":"p2p_signal"})");
    auto viewer_side = parse_relay_text(build_viewer_signal("p"), false);
    ASSERT_TRUE(viewer_side);
    EXPECT_EQ(viewer_side->payload, "p");
    EXPECT_FALSE(parse_relay_text(build_viewer_signal("p")));  // the agent's side needs the session

    auto unknown = parse_relay_text(R"({"type":"something_else","session_id":7})");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->type, "something_else");
    for (const char* bad : {R"({"type":"session_request"})", R"({"type":"session_end","session_id":"short"})",
                            R"({"type":"session","session_id":5})", R"({"type":"p2p_signal","session_id":")"
                            "bbbbbbbb-0000-4000-8000-000000000002" R"(","payload":{}})",
                            R"({"type":1})", R"(["type"])", "", "{", "null"})
        EXPECT_FALSE(parse_relay_text(bad)) << bad;
}
