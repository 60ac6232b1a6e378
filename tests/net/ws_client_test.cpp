#include "net/ws_client.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "net/protocol.h"
#include "tests/net/fake_transport.h"
#include "tests/support/log_capture.h"
#include "viewer/viewer_crypto.h"

namespace {

const std::string SID_A = "aaaaaaaa-0000-4000-8000-000000000001";
const std::string SID_B = "bbbbbbbb-0000-4000-8000-000000000002";

std::vector<uint8_t> frame(const std::string& sid, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f(sid.begin(), sid.end());
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

std::vector<uint8_t> key_exchange(const std::vector<uint8_t>& key) {
    std::vector<uint8_t> p{0x06};
    p.insert(p.end(), key.begin(), key.end());
    return p;
}

std::string session_msg(const std::string& type, const std::string& sid) {
    return R"({"type":")" + type + R"(","session_id":")" + sid + R"("})";
}

struct Received {
    std::string session_id;
    std::vector<uint8_t> data;
};

class WsClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto t = std::make_unique<FakeTransport>();
        fake = t.get();
        client = std::make_unique<WsClient>(std::move(t));
        client->set_message_handler(
            [this](const std::string& sid, const std::vector<uint8_t>& data) { received.push_back({sid, data}); });
        ASSERT_TRUE(client->connect("http://relay.test", "m1", "tok"));
    }

    // Announces the session, runs the viewer's half of the exchange and returns the
    // viewer's keys; the agent's 69-byte reply is consumed.
    std::unique_ptr<ViewerCrypto> ready_session(const std::string& sid, bool announce = true) {
        if (announce) fake->emit_text(session_msg("session_request", sid));
        auto viewer = std::make_unique<ViewerCrypto>();
        EXPECT_TRUE(viewer->generate_keypair());
        fake->emit_binary(frame(sid, key_exchange(viewer->public_key())));
        auto sent = fake->take_sent();
        EXPECT_EQ(sent.size(), 1u);
        if (sent.size() != 1) return viewer;
        EXPECT_TRUE(sent[0].binary);
        EXPECT_EQ(sent[0].data.size(), 69u);
        EXPECT_EQ(std::string(sent[0].data.begin(), sent[0].data.begin() + 36), sid);
        EXPECT_EQ(sent[0].data[36], 0x06);
        EXPECT_TRUE(viewer->derive(std::vector<uint8_t>(sent[0].data.begin() + 37, sent[0].data.end())));
        return viewer;
    }

    // Delivers a frame and waits until the dispatch thread has handled it.
    void send_from_viewer(const std::string& sid, const std::vector<uint8_t>& payload) {
        fake->emit_binary(frame(sid, payload));
        client->wait_dispatched();
    }

    FakeTransport* fake = nullptr;
    std::unique_ptr<WsClient> client;
    std::vector<Received> received;
};

}  // namespace

TEST(RelayUrl, MapsSchemeAndConcatenatesWithoutEscaping) {
    EXPECT_EQ(build_relay_url("https://relay.example.com", "M1", "T1"),
              "wss://relay.example.com/ws/agent?machine_id=M1&token=T1");
    EXPECT_EQ(build_relay_url("http://127.0.0.1:8080", "M", "T"), "ws://127.0.0.1:8080/ws/agent?machine_id=M&token=T");
    EXPECT_EQ(build_relay_url("wss://h", "M", "T"), "wss://h/ws/agent?machine_id=M&token=T");
    EXPECT_EQ(build_relay_url("ws://h/", "M", "T"), "ws://h//ws/agent?machine_id=M&token=T");
    EXPECT_EQ(build_relay_url("https://h", "M", "a&b c=d"), "wss://h/ws/agent?machine_id=M&token=a&b c=d");
    EXPECT_EQ(build_relay_url("ftp://h", "M", "T"), "ftp://h/ws/agent?machine_id=M&token=T");
}

TEST_F(WsClientTest, ConnectConfiguresTransportAndConnectionEventsAreLogged) {
    EXPECT_EQ(fake->url, "ws://relay.test/ws/agent?machine_id=m1&token=tok");
    EXPECT_EQ(fake->options().ping_interval, std::chrono::seconds(15));
    EXPECT_TRUE(fake->options().auto_reconnect);
    EXPECT_EQ(fake->options().min_reconnect_wait_ms, 1000u);
    EXPECT_EQ(fake->options().max_reconnect_wait_ms, 30000u);
    EXPECT_TRUE(client->is_connected());

    LogCapture logs;
    fake->emit_close(1006, "End of file");
    EXPECT_FALSE(client->is_connected());
    fake->emit_error("Connection refused");
    fake->emit_open();
    EXPECT_TRUE(client->is_connected());
    EXPECT_EQ(logs.text(),
              "info|WebSocket disconnected: 1006 End of file\n"
              "error|WebSocket error: Connection refused\n"
              "info|WebSocket connected\n");
}

TEST(WsClientConnect, ReturnsFalseWhenTheConnectionDoesNotOpen) {
    auto t = std::make_unique<FakeTransport>();
    t->open_on_start = false;
    FakeTransport* fake = t.get();
    WsClient client(std::move(t));
    EXPECT_FALSE(client.connect("https://relay.test", "m", "t"));
    EXPECT_EQ(fake->url, "wss://relay.test/ws/agent?machine_id=m&token=t");
    EXPECT_EQ(fake->stops, 0);  // left retrying in the background
}

TEST_F(WsClientTest, ShortFramesAndKeylessFramesAreSplitAtByte36) {
    LogCapture logs;
    send_from_viewer(SID_A.substr(0, 35) + "x", {});  // exactly 36 bytes: ignored
    EXPECT_EQ(logs.text(), "");
    send_from_viewer(SID_A, {0x06});  // 37 bytes: a key exchange with no key
    EXPECT_TRUE(logs.contains("error|E2E: Invalid peer public key size: 0"));
    EXPECT_TRUE(logs.contains("error|E2E: Key exchange failed for session " + SID_A));
    EXPECT_TRUE(fake->take_sent().empty());
    EXPECT_TRUE(received.empty());
}

TEST_F(WsClientTest, SessionLifecycleMessagesAndTheirLogLines) {
    LogCapture logs;
    std::vector<std::string> ended;
    client->set_session_end_handler([&](const std::string& sid) {
        // Runs without the session lock: taking it here must not deadlock.
        EXPECT_FALSE(client->has_ready_session());
        ended.push_back(sid);
    });
    std::vector<std::pair<std::string, std::string>> signals;
    client->set_signal_handler([&](const std::string& sid, const std::string& p) { signals.emplace_back(sid, p); });

    fake->emit_text(session_msg("session_request", SID_A));
    EXPECT_TRUE(logs.contains("info|E2E: Generated X25519 keypair"));
    EXPECT_TRUE(logs.contains("info|Session started: " + SID_A + " (awaiting key exchange)"));
    EXPECT_FALSE(client->has_ready_session());
    EXPECT_TRUE(fake->take_sent().empty());

    fake->emit_text(R"({"payload":"{\"sdp\":\"v=0\"}","extra":1,"session_id":")" + SID_A + R"(","type":"p2p_signal"})");
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(signals[0].first, SID_A);
    EXPECT_EQ(signals[0].second, R"({"sdp":"v=0"})");

    fake->emit_text(session_msg("session_end", SID_A));
    client->wait_dispatched();
    EXPECT_TRUE(logs.contains("info|Session ended: " + SID_A));
    EXPECT_EQ(ended, std::vector<std::string>{SID_A});
    // Ending an unknown session logs but does not call the handler again.
    fake->emit_text(session_msg("session_end", SID_B));
    client->wait_dispatched();
    EXPECT_TRUE(logs.contains("info|Session ended: " + SID_B));
    EXPECT_EQ(ended.size(), 1u);

    logs.clear();
    fake->emit_text(R"({"type":"something_else","session_id":"x"})");
    EXPECT_EQ(logs.text(), "");
}

TEST_F(WsClientTest, MalformedTextMessagesOnlyLogTheRawText) {
    LogCapture logs;
    const std::string no_id = R"({"type":"session_request"})";
    fake->emit_text(no_id);
    EXPECT_EQ(logs.text(), "debug|Text message: " + no_id + "\n");
    for (std::string bad : {std::string("not json"), std::string("[1,2]"), std::string(R"({"type":5})"),
                            R"({"type":"p2p_signal","session_id":")" + SID_A + R"(","payload":{"a":1}})"}) {
        logs.clear();
        fake->emit_text(bad);
        EXPECT_EQ(logs.text(), "debug|Text message: " + bad + "\n");
    }
    client->set_signal_handler([](const std::string&, const std::string&) { throw std::runtime_error("boom"); });
    logs.clear();
    std::string sig = R"({"type":"p2p_signal","session_id":")" + SID_A + R"(","payload":"p"})";
    fake->emit_text(sig);
    EXPECT_EQ(logs.text(), "debug|Text message: " + sig + "\n");
    EXPECT_FALSE(client->has_ready_session());
}

TEST_F(WsClientTest, OutsideTextNeverFillsTheLog) {
    LogCapture logs;
    const std::string mib(1u << 20, 'q');
    fake->emit_text(session_msg("session_request", mib));
    fake->emit_text(session_msg(mib, SID_A));
    fake->emit_text(R"({"type":"p2p_signal","session_id":")" + SID_A + R"(","payload":7,"x":")" + mib + R"("})");
    const std::string text = logs.text();
    EXPECT_LT(text.size(), 3u * 1024) << text.substr(0, 300);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LT(end - start, 1024u);
    EXPECT_FALSE(client->has_ready_session());

    // A flood of malformed text and of frames before any key exchange: a few lines.
    logs.clear();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; ++i) {
        fake->emit_text("{\"type\":" + std::to_string(i) + "}");
        fake->emit_binary(frame(SID_B, {0x01, static_cast<uint8_t>(i)}));
    }
    // The limiter's one-second windows do not start with the flood: T seconds touch at most
    // ceil(T) + 1 of them.
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const size_t lines = logs.count("\n");
    EXPECT_LE(lines, 8u * (static_cast<size_t>(std::ceil(elapsed.count())) + 1)) << logs.text();
    EXPECT_GE(lines, 2u);
}

TEST_F(WsClientTest, KeyExchangeRepliesWithAgentKeyAndEnvelopesOpenOnBothSides) {
    LogCapture logs;
    auto viewer = ready_session(SID_A);
    EXPECT_TRUE(logs.contains("info|E2E: Key exchange complete for session " + SID_A));
    EXPECT_TRUE(client->has_ready_session());

    // Agent to viewer: counter IVs from zero.
    client->send_to_all(build_clipboard_text("abc"));
    client->send_to_all(build_clipboard_text("def"));
    auto sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const auto& f = sent[i].data;
        ASSERT_EQ(f.size(), 36u + 8u + 28u);
        std::vector<uint8_t> iv(f.begin() + 36, f.begin() + 48);
        std::vector<uint8_t> expected_iv(12, 0);
        expected_iv[4] = static_cast<uint8_t>(i);
        EXPECT_EQ(iv, expected_iv);
        auto plain = viewer->open(f.data() + 36, f.size() - 36);
        ASSERT_TRUE(plain);
        EXPECT_EQ(parse_clipboard_text(*plain), i == 0 ? "abc" : "def");
    }

    // Viewer to agent: random IVs.
    auto mouse = build_mouse_input(100, 200, 0, MouseAction::Down);
    send_from_viewer(SID_A, viewer->seal(mouse));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].session_id, SID_A);
    EXPECT_EQ(received[0].data, mouse);
}

TEST_F(WsClientTest, KeyExchangeForUnannouncedSessionCreatesIt) {
    LogCapture logs;
    auto viewer = ready_session(SID_B, false);
    EXPECT_TRUE(logs.contains("info|E2E: Generated X25519 keypair"));
    EXPECT_TRUE(logs.contains("info|E2E: Key exchange complete for session " + SID_B));
    EXPECT_TRUE(client->has_ready_session());
}

TEST_F(WsClientTest, TwoReadySessionsGetSeparateEnvelopesInIdOrder) {
    auto vb = ready_session(SID_B);
    auto va = ready_session(SID_A);
    auto stats = build_stats_report(StatsSample{12.5f, 1000, 8000, 42});
    client->send_to_all(stats);
    auto sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(std::string(sent[0].data.begin(), sent[0].data.begin() + 36), SID_A);
    EXPECT_EQ(std::string(sent[1].data.begin(), sent[1].data.begin() + 36), SID_B);
    EXPECT_NE(std::vector<uint8_t>(sent[0].data.begin() + 36, sent[0].data.end()),
              std::vector<uint8_t>(sent[1].data.begin() + 36, sent[1].data.end()));
    EXPECT_EQ(va->open(sent[0].data.data() + 36, sent[0].data.size() - 36), stats);
    EXPECT_EQ(vb->open(sent[1].data.data() + 36, sent[1].data.size() - 36), stats);
    // Each key opens only its own envelope.
    EXPECT_FALSE(va->open(sent[1].data.data() + 36, sent[1].data.size() - 36));
}

// A viewer that becomes ready while a delta picture is on its way gets its first picture
// as a keyframe; the viewers already watching get every picture.
TEST_F(WsClientTest, NewlyReadySessionGetsNoVideoBeforeAKeyframe) {
    auto va = ready_session(SID_A);
    const std::vector<uint8_t> key_picture = {0x02, 1}, delta = {0x02, 0};
    ASSERT_TRUE(client->send_video_to_all(key_picture, true));
    EXPECT_EQ(fake->take_sent().size(), 1u);
    auto vb = ready_session(SID_B);
    ASSERT_TRUE(client->send_video_to_all(delta, false));
    auto sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);  // the delta only to A
    EXPECT_EQ(std::string(sent[0].data.begin(), sent[0].data.begin() + 36), SID_A);
    EXPECT_EQ(va->open(sent[0].data.data() + 36, sent[0].data.size() - 36), delta);

    ASSERT_TRUE(client->send_video_to_all(key_picture, true));
    ASSERT_TRUE(client->send_video_to_all(delta, false));
    sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(vb->open(sent[1].data.data() + 36, sent[1].data.size() - 36), key_picture);
    EXPECT_EQ(vb->open(sent[3].data.data() + 36, sent[3].data.size() - 36), delta);
    // Other messages are not held back from a session still waiting for its keyframe.
    auto vc = ready_session("cccccccc-0000-4000-8000-000000000003");
    const auto stats = build_stats_report(StatsSample{});
    ASSERT_TRUE(client->send_to_all(stats));
    sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(vc->open(sent[2].data.data() + 36, sent[2].data.size() - 36), stats);
}

TEST_F(WsClientTest, RekeyRestartsCounterAndSessionRequestResetsReadiness) {
    EXPECT_EQ(client->ready_generation(), 0u);
    auto v1 = ready_session(SID_A);
    EXPECT_EQ(client->ready_generation(), 1u) << "a ready session asks the stream for a keyframe";
    client->send_to_all(build_set_bitrate(1));
    client->send_to_all(build_set_bitrate(2));
    fake->take_sent();

    // The viewer re-keys: same agent key, counter back at zero.
    auto v2 = std::make_unique<ViewerCrypto>();
    ASSERT_TRUE(v2->generate_keypair());
    send_from_viewer(SID_A, key_exchange(v2->public_key()));
    auto sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].data.size(), 69u);
    ASSERT_TRUE(v2->derive(std::vector<uint8_t>(sent[0].data.begin() + 37, sent[0].data.end())));
    EXPECT_EQ(client->ready_generation(), 2u) << "a re-key asks for one too";
    client->send_to_all(build_set_bitrate(3));
    sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(sent[0].data.begin() + 36, sent[0].data.begin() + 48), std::vector<uint8_t>(12, 0));
    EXPECT_TRUE(v2->open(sent[0].data.data() + 36, sent[0].data.size() - 36));

    // A second announcement replaces the keys: nothing is sent until a new exchange.
    fake->emit_text(session_msg("session_request", SID_A));
    EXPECT_FALSE(client->has_ready_session());
    client->send_to_all(build_set_bitrate(4));
    EXPECT_TRUE(fake->take_sent().empty());
    auto v3 = ready_session(SID_A, false);
    client->send_to_all(build_set_bitrate(5));
    sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(v3->open(sent[0].data.data() + 36, sent[0].data.size() - 36));
    EXPECT_FALSE(v2->open(sent[0].data.data() + 36, sent[0].data.size() - 36));
}

TEST_F(WsClientTest, ReplayedKeyExchangeDoesNotRestartTheNonceCounter) {
    auto viewer = ready_session(SID_A);
    client->send_to_all(build_set_bitrate(1));
    auto first = fake->take_sent();
    ASSERT_EQ(first.size(), 1u);

    LogCapture logs;
    send_from_viewer(SID_A, key_exchange(viewer->public_key()));  // same key again
    auto reply = fake->take_sent();
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].data.size(), 69u);
    EXPECT_FALSE(logs.contains("Key exchange complete"));
    EXPECT_EQ(client->ready_generation(), 1u) << "a repeated key is no new viewer";

    client->send_to_all(build_set_bitrate(1));
    auto second = fake->take_sent();
    ASSERT_EQ(second.size(), 1u);
    // Same plaintext, same key: the IVs must differ or GCM is broken.
    EXPECT_NE(std::vector<uint8_t>(first[0].data.begin() + 36, first[0].data.begin() + 48),
              std::vector<uint8_t>(second[0].data.begin() + 36, second[0].data.begin() + 48));
    EXPECT_EQ(viewer->open(second[0].data.data() + 36, second[0].data.size() - 36), build_set_bitrate(1));
}

TEST_F(WsClientTest, PlaintextIsNeverDispatched) {
    LogCapture logs;
    auto mouse = build_mouse_input(1, 2, 0, MouseAction::Move);
    send_from_viewer(SID_B, mouse);  // unknown session
    fake->emit_text(session_msg("session_request", SID_A));
    send_from_viewer(SID_A, mouse);  // exchange still pending
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(logs.count("debug|Dropped 9-byte message from session "), 2u);

    auto viewer = ready_session(SID_A, false);
    logs.clear();
    send_from_viewer(SID_A, mouse);  // too short to be an envelope
    auto file = build_file_chunk("a.txt", 0, 40, reinterpret_cast<const uint8_t*>("0123456789"), 10);
    send_from_viewer(SID_A, file);  // long enough, but not authentic
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(logs.count("error|E2E: Decryption failed - authentication tag mismatch"), 1u);
}

TEST_F(WsClientTest, TamperedEnvelopeIsDroppedAndSessionStaysReady) {
    auto viewer = ready_session(SID_A);
    auto key = build_key_input(0x41, 0x1E, false, false);
    auto env = viewer->seal(key);
    // A first byte flipped to 0x06 would make the frame a (failing) key exchange instead.
    const size_t in_iv = (env[0] ^ 0x08) == 0x06 ? 4 : 3;
    for (size_t bit : {in_iv, size_t(12 * 8 + 1), (env.size() - 1) * 8}) {
        LogCapture logs;
        auto bad = env;
        bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        send_from_viewer(SID_A, bad);
        EXPECT_TRUE(logs.contains("error|E2E: Decryption failed - authentication tag mismatch"));
    }
    // A flood of forged frames does not flood the log.
    {
        LogCapture logs;
        auto bad = env;
        bad.back() ^= 1;
        for (int i = 0; i < 200; ++i) send_from_viewer(SID_A, bad);
        const size_t lines = logs.count("error|E2E: Decryption failed - authentication tag mismatch");
        EXPECT_GE(lines, 1u);
        EXPECT_LE(lines, 16u);
    }
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(client->has_ready_session());
    send_from_viewer(SID_A, env);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].data, key);
}

TEST_F(WsClientTest, EnvelopeWhoseIvBeginsWith06IsOpenedNotTakenAsKeyExchange) {
    auto viewer = ready_session(SID_A);
    LogCapture logs;
    std::array<uint8_t, E2E_IV_LEN> iv{};
    iv.fill(0x5A);
    iv[0] = 0x06;
    auto bitrate = build_set_bitrate(2500);
    auto small = viewer->seal_with_iv(iv, bitrate);
    ASSERT_EQ(small.size(), 33u);  // same size as a key exchange
    send_from_viewer(SID_A, small);
    auto mouse = build_mouse_input(5, 6, 1, MouseAction::Up);
    send_from_viewer(SID_A, viewer->seal_with_iv(iv, mouse));
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].data, bitrate);
    EXPECT_EQ(received[1].data, mouse);
    EXPECT_TRUE(fake->take_sent().empty());
    EXPECT_EQ(logs.text(), "");

    // A malformed key exchange on a ready session: the usual errors, no tag-mismatch
    // line, and the old key keeps working.
    send_from_viewer(SID_A, key_exchange(std::vector<uint8_t>(31, 0x11)));
    EXPECT_TRUE(logs.contains("error|E2E: Invalid peer public key size: 31"));
    EXPECT_TRUE(logs.contains("error|E2E: Key exchange failed for session " + SID_A));
    EXPECT_FALSE(logs.contains("tag mismatch"));
    EXPECT_TRUE(fake->take_sent().empty());
    send_from_viewer(SID_A, viewer->seal(bitrate));
    EXPECT_EQ(received.size(), 3u);
    // A flood of them: a bounded number of lines.
    for (int i = 0; i < 200; ++i) send_from_viewer(SID_A, key_exchange(std::vector<uint8_t>(31, 0x11)));
    EXPECT_LE(logs.count("error|E2E: Invalid peer public key size: 31"), 16u);

    // A genuine re-key on a ready session still goes through, quietly.
    logs.clear();
    auto v2 = std::make_unique<ViewerCrypto>();
    ASSERT_TRUE(v2->generate_keypair());
    send_from_viewer(SID_A, key_exchange(v2->public_key()));
    EXPECT_EQ(fake->take_sent().size(), 1u);
    EXPECT_FALSE(logs.contains("tag mismatch"));
    EXPECT_TRUE(logs.contains("info|E2E: Key exchange complete for session " + SID_A));
}

TEST_F(WsClientTest, OutageKeepsSessionsButSendsNothing) {
    auto viewer = ready_session(SID_A);
    fake->emit_error("Connection reset by peer");
    EXPECT_FALSE(client->is_connected());
    EXPECT_TRUE(client->has_ready_session());
    client->send_to_all(build_set_bitrate(7));
    client->send_signal(SID_A, "{}");
    EXPECT_TRUE(fake->take_sent().empty());

    fake->emit_open();
    client->send_to_all(build_set_bitrate(8));
    auto sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(viewer->open(sent[0].data.data() + 36, sent[0].data.size() - 36), build_set_bitrate(8));
}

TEST_F(WsClientTest, SignalIsCompactJsonWithSortedKeysAndUnescapedUtf8) {
    client->send_signal(SID_A, "{\"candidate\":\"é 1\"}");
    auto sent = fake->take_sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent[0].binary);
    EXPECT_EQ(std::string(sent[0].data.begin(), sent[0].data.end()),
              R"({"payload":"{\"candidate\":\"é 1\"}","session_id":")" + SID_A + R"(","type":"p2p_signal"})");

    LogCapture logs;
    client->send_signal(SID_A, std::string("\xff\xfe"));  // not UTF-8: refused, not sent garbled
    EXPECT_TRUE(fake->take_sent().empty());
    EXPECT_TRUE(logs.contains("error|Signal for session " + SID_A + " not sent"));
}

TEST_F(WsClientTest, DisconnectClosesNormallyAndForgetsSessions) {
    auto viewer = ready_session(SID_A);
    LogCapture logs;
    client->disconnect();
    EXPECT_EQ(fake->stops, 1);
    EXPECT_EQ(fake->stop_code, 1000);
    EXPECT_EQ(fake->stop_reason, "Normal closure");
    EXPECT_TRUE(logs.contains("info|WebSocket disconnected: 1000 Normal closure"));
    EXPECT_FALSE(client->is_connected());
    EXPECT_FALSE(client->has_ready_session());
    // A stopped client can be connected again.
    EXPECT_TRUE(client->connect("http://relay.test", "m1", "tok"));
    EXPECT_TRUE(client->is_connected());
}

TEST_F(WsClientTest, SlowHandlerHoldsUpNeitherSendsNorOrder) {
    auto viewer = ready_session(SID_A);
    std::mutex gate;
    std::unique_lock<std::mutex> held(gate);
    std::vector<std::vector<uint8_t>> handled;
    std::mutex handled_mutex;
    client->set_message_handler([&](const std::string&, const std::vector<uint8_t>& data) {
        std::lock_guard<std::mutex> wait_for_gate(gate);  // a clipboard owner that does not answer
        std::lock_guard<std::mutex> lock(handled_mutex);
        handled.push_back(data);
    });
    std::vector<std::string> ended;
    client->set_session_end_handler([&](const std::string& sid) {
        std::lock_guard<std::mutex> lock(handled_mutex);
        ended.push_back(sid + " after " + std::to_string(handled.size()));
    });

    std::vector<std::vector<uint8_t>> sent_messages;
    for (int i = 0; i < 20; ++i) {
        sent_messages.push_back(build_mouse_input(i, i, 0, MouseAction::Move));
        fake->emit_binary(frame(SID_A, viewer->seal(sent_messages.back())));
    }
    fake->emit_text(session_msg("session_end", SID_A));
    // The relay thread came back at once, and sending is not blocked by the handler.
    fake->emit_text(session_msg("session_request", SID_B));
    ready_session(SID_B, false);
    client->send_to_all(build_clipboard_text("x"));
    EXPECT_EQ(fake->take_sent().size(), 1u);

    held.unlock();
    client->wait_dispatched();
    EXPECT_EQ(handled, sent_messages);
    EXPECT_EQ(ended, std::vector<std::string>{SID_A + " after 20"});
}

TEST(SerialQueue, RunsInOrderAndHandsBackPressureToThePoster) {
    SerialQueue queue(100);
    std::atomic<bool> release{false};
    std::vector<int> order;
    queue.post(60, [&] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        order.push_back(0);
    });
    queue.post(40, [&] { order.push_back(1); });  // 100 queued: at the limit, still taken
    std::atomic<bool> third_posted{false};
    std::thread poster([&] {
        queue.post(1, [&] { order.push_back(2); });
        third_posted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(third_posted);  // over the limit: the poster waits, nothing is dropped
    EXPECT_EQ(queue.queued_bytes(), 100u);
    release = true;
    poster.join();
    queue.wait_idle();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(queue.queued_bytes(), 0u);

    // One task larger than the whole limit passes when the queue is empty; stop runs
    // what is queued before it ends, and a later post starts the thread again.
    queue.post(1000, [&] { order.push_back(3); });
    queue.stop();
    EXPECT_EQ(order.back(), 3);
    queue.post(1, [&] { order.push_back(4); });
    queue.wait_idle();
    EXPECT_EQ(order.back(), 4);
}
