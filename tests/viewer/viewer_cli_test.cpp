#include "viewer/viewer_cli.h"

#include <array>
#include <climits>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/net/fake_transport.h"
#include "tests/support/process.h"
#include "net/protocol.h"
#include "viewer/viewer_session.h"

TEST(ViewerCli, ParsesOptionsFromTheTable) {
    ViewerCliOptions o;
    std::string msg;
    ASSERT_EQ(parse_viewer_cli({"--server", "http://h:1", "--user", "u", "--password=p w", "--machine", "m",
                                "--seconds", "2.5", "--json", "--session", std::string(36, 's')},
                               o, msg),
              CliParse::run)
        << msg;
    EXPECT_EQ(o.server, "http://h:1");
    EXPECT_EQ(o.password, "p w");
    EXPECT_EQ(o.machine, "m");
    EXPECT_DOUBLE_EQ(o.seconds, 2.5);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.session, std::string(36, 's'));

    ViewerCliOptions h;
    EXPECT_EQ(parse_viewer_cli({"--server", "x", "--help"}, h, msg), CliParse::help);
    for (auto bad : std::vector<std::vector<std::string>>{{"--server"},
                                                          {"--server", "x", "--bogus"},
                                                          {"--server", "x", "--token", "t", "--seconds", "-1"},
                                                          {"--server", "x", "--token", "t", "--seconds", "3s"},
                                                          {"--server", "x", "--token", "t", "--json=1"},
                                                          {"--server", "x", "--token", "t", "--session", "short"},
                                                          {"--server", "x", "--user", "u"},
                                                          {"--token", "t"}}) {
        ViewerCliOptions b;
        msg.clear();
        EXPECT_EQ(parse_viewer_cli(bad, b, msg), CliParse::error) << bad.back();
        EXPECT_FALSE(msg.empty());
    }
    for (const char* name : {"--server", "--user", "--password", "--token", "--machine", "--seconds", "--session",
                             "--json", "--help"})
        EXPECT_NE(viewer_usage().find(name), std::string::npos) << name;
}

TEST(ViewerCli, SummaryReportsCountBytesAndRate) {
    ViewerSummary s;
    s.session_id = std::string(36, 'a');
    s.ready = true;
    s.seconds = 2;
    s.messages["video_frame"] = {60, 120000};
    auto j = nlohmann::json::parse(summary_json(s));
    EXPECT_EQ(j["messages"]["video_frame"]["count"], 60);
    EXPECT_EQ(j["messages"]["video_frame"]["bytes"], 120000);
    EXPECT_DOUBLE_EQ(j["messages"]["video_frame"]["rate"].get<double>(), 30.0);
    EXPECT_TRUE(j["ready"].get<bool>());
    std::string text = summary_text(s);
    EXPECT_NE(text.find("video_frame"), std::string::npos);
    EXPECT_NE(text.find("30.0/s"), std::string::npos);
    EXPECT_NE(text.find("480.0 kbit/s"), std::string::npos);
}

TEST(ViewerSession, KeyExchangeAndResumeOverAFakeConnection) {
    auto t = std::make_unique<FakeTransport>();
    FakeTransport* fake = t.get();
    ViewerSession v(std::move(t));
    std::vector<std::string> clips;
    ViewerHandlers h;
    h.on_clipboard = [&](const std::string& s) { clips.push_back(s); };
    v.set_handlers(h);
    ASSERT_TRUE(v.connect(ViewerOptions{"https://relay", "M", "T", {}, true}));
    EXPECT_EQ(fake->url, "wss://relay/ws/viewer?machine_id=M&token=T");
    EXPECT_FALSE(v.send_clipboard("too early"));

    const std::string sid(36, 'q');
    fake->emit_text(R"({"type":"session","session_id":")" + sid + R"("})");
    auto sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].data.size(), 33u);
    EXPECT_EQ(sent[0].data[0], 0x06);
    EXPECT_EQ(fake->url, "wss://relay/ws/viewer?machine_id=M&token=T&session_id=" + sid);

    // Answer as the agent would.
    E2ECrypto agent;
    ASSERT_TRUE(agent.generate_keypair());
    ASSERT_TRUE(agent.derive_shared_key(std::vector<uint8_t>(sent[0].data.begin() + 1, sent[0].data.end())));
    auto bad_reply = agent.get_public_key();
    bad_reply.insert(bad_reply.begin(), 0x06);
    bad_reply.pop_back();
    fake->emit_binary(bad_reply);  // 32 bytes: not a key answer
    EXPECT_FALSE(v.is_ready());
    auto reply = agent.get_public_key();
    reply.insert(reply.begin(), 0x06);
    fake->emit_binary(reply);
    ASSERT_TRUE(v.wait_ready(std::chrono::milliseconds(100)));
    fake->emit_binary(reply);  // a late duplicate is ignored
    EXPECT_EQ(v.key_exchanges(), 1u);

    fake->emit_binary(agent.encrypt(build_clipboard_text("hi")));
    EXPECT_EQ(clips, std::vector<std::string>{"hi"});
    ASSERT_TRUE(v.send_clipboard("back"));
    sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(agent.decrypt(sent[0].data), build_clipboard_text("back"));

    // A resumed session keeps its keys; a different id starts over.
    fake->emit_text(R"({"type":"session","session_id":")" + sid + R"("})");
    EXPECT_TRUE(fake->take_sent().empty());
    EXPECT_TRUE(v.is_ready());
    fake->emit_text(R"({"type":"session","session_id":")" + std::string(36, 'r') + R"("})");
    EXPECT_FALSE(v.is_ready());
    EXPECT_EQ(fake->take_sent().size(), 1u);
    EXPECT_EQ(v.dropped_frames(), 1u);
}

// A gap in the agent's envelope counter means messages were lost: the viewer asks for a
// keyframe, at most once per 250 ms.
TEST(ViewerSession, LostMessagesAskForAKeyframe) {
    auto t = std::make_unique<FakeTransport>();
    FakeTransport* fake = t.get();
    ViewerSession v(std::move(t));
    ASSERT_TRUE(v.connect(ViewerOptions{"http://relay", "M", "T", {}, false}));
    fake->emit_text(R"({"type":"session","session_id":")" + std::string(36, 'k') + R"("})");
    auto sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);
    E2ECrypto agent;
    ASSERT_TRUE(agent.generate_keypair());
    ASSERT_TRUE(agent.derive_shared_key(std::vector<uint8_t>(sent[0].data.begin() + 1, sent[0].data.end())));
    auto reply = agent.get_public_key();
    reply.insert(reply.begin(), 0x06);
    fake->emit_binary(reply);
    ASSERT_TRUE(v.is_ready());

    std::vector<std::vector<uint8_t>> envelopes;
    for (int i = 0; i < 6; ++i) envelopes.push_back(agent.encrypt(build_clipboard_text("m")));
    fake->emit_binary(envelopes[0]);
    fake->emit_binary(envelopes[1]);
    EXPECT_TRUE(fake->take_sent().empty()) << "nothing lost, nothing asked";
    fake->emit_binary(envelopes[3]);  // 2 never came
    sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(agent.decrypt(sent[0].data), build_keyframe_request());
    EXPECT_EQ(v.lost_messages(), 1u);
    fake->emit_binary(envelopes[5]);  // 4 lost too, but a request has just gone
    EXPECT_TRUE(fake->take_sent().empty());
    EXPECT_EQ(v.lost_messages(), 2u);
    EXPECT_FALSE(v.request_keyframe());
    EXPECT_EQ(v.keyframe_requests(), 1u);
    fake->emit_binary(envelopes[2]);  // a late one is no loss
    EXPECT_EQ(v.lost_messages(), 2u);
}

namespace {

// Parses the arguments after the common sign-in ones.
CliParse parse_with(std::vector<std::string> extra, ViewerCliOptions& o, std::string& msg) {
    std::vector<std::string> args = {"--server", "http://h:1", "--token", "t"};
    args.insert(args.end(), extra.begin(), extra.end());
    return parse_viewer_cli(args, o, msg);
}

}  // namespace

TEST(ViewerCliActions, KeepCommandLineOrderAndValues) {
    testsupport::TempDir dir;
    const std::string file = dir / "payload.bin";
    testsupport::write_file(file, "data");
    ViewerCliOptions o;
    std::string msg;
    ASSERT_EQ(parse_with({"--move", "100,65535", "--click", "right", "--wheel", "-120", "--key", "0x2e", "--key-down",
                          "16", "--key-up", "0X10", "--type", "Hi 2", "--clipboard", "", "--upload", file,
                          "--upload-name", "renamed.bin", "--upload=" + file, "--bitrate", "2500", "--wait", "0",
                          "--chunk-size", "1000", "--snapshot", "s.png"},
                         o, msg),
              CliParse::run)
        << msg;
    using K = ViewerAction::Kind;
    std::vector<K> kinds;
    for (const auto& a : o.actions) kinds.push_back(a.kind);
    EXPECT_EQ(kinds, (std::vector<K>{K::Move, K::Click, K::Wheel, K::KeyPress, K::KeyDown, K::KeyUp, K::Type,
                                     K::Clipboard, K::Upload, K::Upload, K::Bitrate, K::Wait}));
    EXPECT_EQ(o.actions[0].x, 100);
    EXPECT_EQ(o.actions[0].y, 65535);
    EXPECT_EQ(o.actions[1].button, 1);
    EXPECT_EQ(o.actions[2].wheel, -120);
    EXPECT_EQ(o.actions[3].key, 0x2E);
    EXPECT_EQ(o.actions[4].key, 16);
    EXPECT_EQ(o.actions[5].key, 0x10);
    EXPECT_EQ(o.actions[6].text, "Hi 2");
    EXPECT_EQ(o.actions[7].text, "");
    EXPECT_EQ(o.actions[8].upload_name, "renamed.bin");
    EXPECT_EQ(o.actions[9].text, file);
    EXPECT_EQ(o.actions[9].upload_name, "") << "the second upload keeps its own name";
    EXPECT_EQ(o.actions[10].number, 2500u);
    EXPECT_EQ(o.chunk_size, 1000u);
    EXPECT_EQ(o.snapshot, "s.png");

    for (const char* name : {"--snapshot", "--move", "--click", "--wheel", "--key", "--key-down", "--key-up", "--type",
                             "--clipboard", "--upload", "--upload-name", "--chunk-size", "--bitrate", "--wait"})
        EXPECT_NE(viewer_usage().find(std::string("  ") + name + " "), std::string::npos) << name;
}

TEST(ViewerCliActions, BadValuesAreRefusedWithTheReason) {
    testsupport::TempDir dir;
    const std::string file = dir / "f";
    testsupport::write_file(file, "x");
    struct Case {
        std::vector<std::string> args;
        std::string in_message;
    };
    const std::vector<Case> cases = {
        {{"--move", "65536,0"}, "0..65535"},
        {{"--move", "-1,5"}, "0..65535"},
        {{"--move", "5"}, "X,Y"},
        {{"--move", "1,2,3"}, "X,Y"},
        {{"--move", " 1,2"}, "X,Y"},
        {{"--click", "double"}, "left, right or middle"},
        {{"--wheel", "0"}, "non-zero"},
        {{"--wheel", "40000"}, "-32768..32767"},
        {{"--key", "0"}, "1..254"},
        {{"--key", "0x100"}, "1..254"},
        {{"--key", "0x"}, "1..254"},
        {{"--key-down", "+65"}, "1..254"},
        {{"--key-up", "1.5"}, "1..254"},
        {{"--type", "hello!"}, "letters"},
        {{"--type", ""}, "letters"},
        {{"--bitrate", "99"}, "100..200000"},
        {{"--bitrate", "200001"}, "100..200000"},
        {{"--wait", "-1"}, "0..86400000"},
        {{"--chunk-size", "0"}, "1..4194304"},
        {{"--chunk-size", "4194305"}, "1..4194304"},
        {{"--upload-name", "x"}, "after an --upload"},
        {{"--upload", file, "--upload-name", "a", "--upload-name", "b"}, "once"},
        {{"--upload", dir / "missing"}, "No such file"},
        {{"--upload", dir.path()}, "not a regular file"},
        {{"--move"}, "needs a value"},
        {{"--snapshot", dir / "missing/out.png"}, "folder for --snapshot does not exist"},
    };
    for (const auto& c : cases) {
        ViewerCliOptions o;
        std::string msg;
        EXPECT_EQ(parse_with(c.args, o, msg), CliParse::error) << c.args[0] << " " << c.args.back();
        EXPECT_NE(msg.find(c.in_message), std::string::npos) << msg;
    }
}

TEST(ViewerCliActions, TypingMapsToUsLayoutKeysWithShiftForCapitals) {
    auto strokes = keystrokes_for_text("aZ 09");
    ASSERT_TRUE(strokes);
    std::vector<std::tuple<uint16_t, uint16_t, bool>> got;
    for (const auto& k : *strokes) got.emplace_back(k.virtual_key, k.scan_code, k.released);
    EXPECT_EQ(got, (std::vector<std::tuple<uint16_t, uint16_t, bool>>{
                       {0x41, 0x1E, false}, {0x41, 0x1E, true},                        // a
                       {0x10, 0x2A, false}, {0x5A, 0x2C, false}, {0x5A, 0x2C, true},   // Shift, Z
                       {0x10, 0x2A, true},                                             // Shift up
                       {0x20, 0x39, false}, {0x20, 0x39, true},                        // space
                       {0x30, 0x0B, false}, {0x30, 0x0B, true},                        // 0
                       {0x39, 0x0A, false}, {0x39, 0x0A, true}}));                     // 9
    char bad = 0;
    EXPECT_FALSE(keystrokes_for_text("ab-c", &bad));
    EXPECT_EQ(bad, '-');
    EXPECT_FALSE(keystrokes_for_text("\xC3\xA9"));  // é: not on the plain layout
}

namespace {

// A width x height BGRA picture filled with one colour; stride padded by 4 bytes.
DecodedPicture solid_picture(uint32_t width, uint32_t height, std::array<uint8_t, 4> bgra) {
    DecodedPicture p;
    p.width = width;
    p.height = height;
    p.stride = width * 4 + 4;
    p.format = PictureFormat::Bgra;
    p.pixels.resize(p.stride * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) std::copy(bgra.begin(), bgra.end(), &p.pixels[y * p.stride + x * 4]);
    return p;
}

std::array<uint8_t, 3> bgr_at(const DecodedPicture& p, uint32_t x, uint32_t y) {
    const uint8_t* d = &p.pixels[y * p.stride + x * p.bytes_per_pixel()];
    return {d[0], d[1], d[2]};
}

// A shape of width x height opaque white pixels with the hotspot given.
CursorUpdateMsg white_pointer(int32_t x, int32_t y, uint32_t w, uint32_t h, uint32_t hx, uint32_t hy) {
    CursorUpdateMsg c;
    c.visible = c.has_shape = true;
    c.x = x;
    c.y = y;
    c.shape_width = w;
    c.shape_height = h;
    c.hotspot_x = hx;
    c.hotspot_y = hy;
    c.rgba.assign(static_cast<size_t>(w) * h * 4, 255);
    return c;
}

size_t white_pixels(const DecodedPicture& p) {
    size_t n = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) n += bgr_at(p, x, y) == std::array<uint8_t, 3>{255, 255, 255};
    return n;
}

}  // namespace

TEST(PointerOverlay, ClipsAtEveryEdgeAndHonoursTheHotspot) {
    // 3x3 shape, hotspot in its middle, at the top-left corner: its lower-right 2x2 lands.
    auto p = solid_picture(8, 6, {0, 0, 0, 255});
    EXPECT_TRUE(draw_pointer(p, white_pointer(0, 0, 3, 3, 1, 1)));
    EXPECT_EQ(white_pixels(p), 4u);
    EXPECT_EQ(bgr_at(p, 1, 1), (std::array<uint8_t, 3>{255, 255, 255}));
    EXPECT_EQ(bgr_at(p, 2, 2), (std::array<uint8_t, 3>{0, 0, 0}));

    // At the bottom-right corner only the top-left 2x2 of the shape lands.
    p = solid_picture(8, 6, {0, 0, 0, 255});
    EXPECT_TRUE(draw_pointer(p, white_pointer(7, 5, 3, 3, 1, 1)));
    EXPECT_EQ(white_pixels(p), 4u);
    EXPECT_EQ(bgr_at(p, 6, 4), (std::array<uint8_t, 3>{255, 255, 255}));
    // The row padding past the picture's width is never written.
    EXPECT_EQ(p.pixels[4 * p.stride + 8 * 4], 0);

    // Wholly outside, huge offsets and a hotspot beyond the position: nothing drawn.
    p = solid_picture(8, 6, {0, 0, 0, 255});
    EXPECT_FALSE(draw_pointer(p, white_pointer(-10, 2, 3, 3, 0, 0)));
    EXPECT_FALSE(draw_pointer(p, white_pointer(INT32_MAX, INT32_MIN, 3, 3, 0, 0)));
    EXPECT_FALSE(draw_pointer(p, white_pointer(0, 0, 3, 3, UINT32_MAX, 0)));
    EXPECT_EQ(white_pixels(p), 0u);
}

TEST(PointerOverlay, BlendsByAlphaInEitherPixelOrder) {
    auto c = white_pointer(0, 0, 3, 1, 0, 0);
    // Opaque red, half-transparent red, fully transparent.
    c.rgba = {255, 0, 0, 255, 255, 0, 0, 128, 255, 0, 0, 0};
    auto p = solid_picture(3, 1, {200, 0, 0, 255});  // blue in BGRA
    ASSERT_TRUE(draw_pointer(p, c));
    EXPECT_EQ(bgr_at(p, 0, 0), (std::array<uint8_t, 3>{0, 0, 255}));
    EXPECT_EQ(bgr_at(p, 1, 0), (std::array<uint8_t, 3>{100, 0, 128}));  // (200*127+127)/255, (255*128+127)/255
    EXPECT_EQ(bgr_at(p, 2, 0), (std::array<uint8_t, 3>{200, 0, 0}));

    DecodedPicture rgb;
    rgb.width = 1;
    rgb.height = 1;
    rgb.stride = 3;
    rgb.format = PictureFormat::Rgb24;
    rgb.pixels = {0, 0, 0};
    c.rgba = {10, 20, 30, 255, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(draw_pointer(rgb, c));
    EXPECT_EQ(rgb.pixels, (std::vector<uint8_t>{10, 20, 30}));
}

TEST(PointerOverlay, InvisibleShapelessOrShortPointersLeaveThePicture) {
    const auto original = solid_picture(4, 4, {1, 2, 3, 255});
    auto p = original;
    auto c = white_pointer(1, 1, 2, 2, 0, 0);
    c.visible = false;
    EXPECT_FALSE(draw_pointer(p, c));
    c = white_pointer(1, 1, 2, 2, 0, 0);
    c.has_shape = false;
    EXPECT_FALSE(draw_pointer(p, c));
    c = white_pointer(1, 1, 2, 2, 0, 0);
    c.rgba.pop_back();  // one byte short of 2x2 pixels
    EXPECT_FALSE(draw_pointer(p, c));
    c = white_pointer(1, 1, 2, 2, 0, 0);
    c.shape_width = c.shape_height = 65536;  // 2^32 pixels claimed, four sent
    EXPECT_FALSE(draw_pointer(p, c));
    EXPECT_EQ(p.pixels, original.pixels);
    DecodedPicture empty;
    EXPECT_FALSE(draw_pointer(empty, white_pointer(0, 0, 1, 1, 0, 0)));
}

TEST(ViewerCliOutput, ClipboardLinesAreEscapedAndShortened) {
    EXPECT_EQ(clipboard_line("a\tb\nc\x1b[2J\\"), "Clipboard: a\\tb\\nc\\x1B[2J\\\\");
    std::string long_text = std::string(199, 'x') + "\xC3\xA9" + std::string(100, 'y');  // é straddles byte 200
    EXPECT_EQ(clipboard_line(long_text), "Clipboard: " + std::string(199, 'x') + "... (301 bytes in all)");
    EXPECT_EQ(clipboard_line(std::string(200, 'z')), "Clipboard: " + std::string(200, 'z'));
}

TEST(ViewerCliOutput, VideoLineAndJsonFields) {
    ViewerSummary s;
    s.seconds = 5;
    EXPECT_NE(summary_text(s).find("Video: none received"), std::string::npos);
    s.video = VideoSummary{1280, 720, 61, 60, 2, 500000, 1, 2.0};
    std::string text = summary_text(s);
    EXPECT_NE(text.find("Video: 1280x720, 60 frames decoded, 30.0 fps, 2000.0 kbit/s, 2 keyframes, 1 frames failed"),
              std::string::npos)
        << text;
    auto j = nlohmann::json::parse(summary_json(s));
    EXPECT_EQ(j["video"]["width"], 1280);
    EXPECT_EQ(j["video"]["frames_decoded"], 60);
    EXPECT_EQ(j["video"]["keyframes"], 2);
    EXPECT_DOUBLE_EQ(j["video"]["fps"].get<double>(), 30.0);
    EXPECT_DOUBLE_EQ(j["video"]["kbps"].get<double>(), 2000.0);
}
