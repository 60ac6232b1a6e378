#include "viewer/viewer_cli.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/net/fake_transport.h"
#include "viewer/viewer_messages.h"
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

TEST(ViewerMessages, AgentMessagesRoundTripAndShortOnesAreRejected) {
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

TEST(ViewerMessages, ViewerMessagesMatchTheAgentParsers) {
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
