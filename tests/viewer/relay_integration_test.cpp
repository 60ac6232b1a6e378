// End-to-end through a real relay: agent-side WsClient in this process, viewers through the
// viewer library, the relay as a child process on loopback.

#include <cstdlib>
#include <thread>

#include "tests/viewer/relay_rig.h"
#include "net/protocol.h"

using namespace std::chrono;
using testsupport::wait_until;

namespace {

struct ViewerInbox {
    std::mutex m;
    std::vector<std::string> clipboard;
    std::vector<StatsReportMsg> stats;

    ViewerHandlers handlers() {
        ViewerHandlers h;
        h.on_clipboard = [this](const std::string& t) {
            std::lock_guard<std::mutex> lock(m);
            clipboard.push_back(t);
        };
        h.on_stats = [this](const StatsReportMsg& s) {
            std::lock_guard<std::mutex> lock(m);
            stats.push_back(s);
        };
        return h;
    }
    std::vector<std::string> texts() {
        std::lock_guard<std::mutex> lock(m);
        return clipboard;
    }
};

}  // namespace

class RelayIntegration : public RelayRig {
protected:
    void SetUp() override {
        RelayRig::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        inbox.install(agent);
        ASSERT_TRUE(agent.connect(http_url(), machine, token));
    }

    TimedLog log;
    AgentInbox inbox;  // outlives the client whose handlers write into it
    WsClient agent;
};

TEST_F(RelayIntegration, ViewersCompleteTheExchangeAndTrafficIsRoutedPerSession) {
    ViewerInbox a_in, b_in;
    auto a = ready_viewer(a_in.handlers());
    auto b = ready_viewer(b_in.handlers());
    ASSERT_TRUE(a->is_ready() && b->is_ready());
    EXPECT_NE(a->session_id(), b->session_id());
    EXPECT_EQ(a->session_id().size(), 36u);
    EXPECT_EQ(a->key_exchanges(), 1u);  // the agent's 33-byte answer arrived and derived
    EXPECT_TRUE(agent.has_ready_session());
    EXPECT_EQ(log.sink->count("E2E: Key exchange complete for session "), 2u);

    agent.send_to_all(build_clipboard_text("to everyone"));
    agent.send_to_all(build_stats_report(StatsSample{50.0f, 1, 2, 3}));
    ASSERT_TRUE(wait_until([&] { return a_in.texts().size() == 1 && b_in.texts().size() == 1; }, seconds(10)));
    EXPECT_EQ(a_in.texts()[0], "to everyone");
    EXPECT_EQ(b_in.texts()[0], "to everyone");
    ASSERT_TRUE(wait_until([&] { return a_in.stats.size() == 1 && b_in.stats.size() == 1; }, seconds(10)));
    EXPECT_EQ(a_in.stats[0].cpu_percent_x100, 5000u);
    // Each viewer opened only envelopes made for it.
    EXPECT_EQ(a->dropped_frames(), 0u);
    EXPECT_EQ(b->dropped_frames(), 0u);

    ASSERT_TRUE(a->send_mouse(10, 20, 0, MouseAction::Down));
    ASSERT_TRUE(b->send_set_bitrate(1500));
    ASSERT_TRUE(wait_until([&] { return inbox.size() == 2; }, seconds(10)));
    for (const auto& [sid, data] : inbox.all()) {
        if (sid == a->session_id()) EXPECT_EQ(data, build_mouse_input(10, 20, 0, MouseAction::Down));
        else EXPECT_EQ(sid == b->session_id() ? data : std::vector<uint8_t>{}, build_set_bitrate(1500));
    }
}

TEST_F(RelayIntegration, UnsealedAndTamperedFramesNeverReachTheDispatcher) {
    // A bare connection that skips the key exchange.
    WsTransport raw;
    std::mutex m;
    std::string raw_session;
    raw.set_handler([&](const WsEvent& ev) {
        if (ev.type != WsEvent::Type::Message || ev.binary) return;
        auto j = nlohmann::json::parse(std::string(ev.data.begin(), ev.data.end()), nullptr, false);
        std::lock_guard<std::mutex> lock(m);
        if (j.is_object() && j.value("type", "") == "session") raw_session = j.value("session_id", "");
    });
    WsTransportOptions opt;
    opt.url = build_viewer_url(http_url(), machine, token);
    ASSERT_TRUE(raw.start(opt));
    ASSERT_TRUE(wait_until([&] { std::lock_guard<std::mutex> l(m); return !raw_session.empty(); }, seconds(10)));
    ASSERT_TRUE(wait_until([&] { return log.sink->count("Session started: " + raw_session) == 1; }, seconds(10)));
    ASSERT_TRUE(raw.send_binary(build_mouse_input(1, 1, 0, MouseAction::Move)));
    ASSERT_TRUE(wait_until([&] { return log.sink->count("Dropped 9-byte message from session " + raw_session) == 1; },
                           seconds(10)));

    auto v = ready_viewer();
    auto key_down = build_key_input(0x41, 0x1E, false, false);
    auto sealed = v->seal(key_down);
    auto tampered = sealed;
    tampered[20] ^= 0x01;
    ASSERT_TRUE(v->send_raw(tampered));
    ASSERT_TRUE(v->send_raw(build_key_input(0x42, 0x30, false, false)));  // plaintext after the exchange
    ASSERT_TRUE(v->send_raw(sealed));
    ASSERT_TRUE(wait_until([&] { return inbox.size() == 1; }, seconds(10)));
    EXPECT_EQ(inbox.all()[0].first, v->session_id());
    EXPECT_EQ(inbox.all()[0].second, key_down);
    EXPECT_EQ(log.sink->count("E2E: Decryption failed - authentication tag mismatch"), 1u);
    EXPECT_TRUE(v->send_clipboard("still ready"));
    ASSERT_TRUE(wait_until([&] { return inbox.size() == 2; }, seconds(10)));
    raw.stop();
}

TEST_F(RelayIntegration, SessionEndStopsTrafficToThatViewer) {
    ViewerInbox a_in, b_in;
    auto a = ready_viewer(a_in.handlers());
    auto b = ready_viewer(b_in.handlers());
    std::string gone = a->session_id();
    a->close();
    ASSERT_TRUE(wait_until([&] { return log.sink->count("Session ended: " + gone) == 1; }, seconds(10)));
    ASSERT_TRUE(wait_until([&] { std::lock_guard<std::mutex> l(inbox.m); return inbox.ended.size() == 1; }, seconds(5)));
    EXPECT_EQ(inbox.ended[0], gone);
    EXPECT_TRUE(agent.has_ready_session());
    agent.send_to_all(build_clipboard_text("only b"));
    ASSERT_TRUE(wait_until([&] { return b_in.texts().size() == 1; }, seconds(10)));
    EXPECT_TRUE(a_in.texts().empty());

    agent.disconnect();
    EXPECT_EQ(log.sink->count("WebSocket disconnected: 1000 Normal closure"), 1u);
    EXPECT_FALSE(agent.has_ready_session());
    // The relay saw the agent leave: the viewer's traffic goes nowhere and nothing crashes.
    EXPECT_TRUE(b->send_clipboard("nobody listens"));
}

TEST_F(RelayIntegration, RelayRestartReconnectsWithBackOffAndResumesTheSession) {
    ViewerInbox in;
    auto v = ready_viewer(in.handlers());
    std::string sid = v->session_id();

    relay->signal(SIGKILL);
    relay->wait(seconds(5));
    ASSERT_TRUE(wait_until([&] { return !agent.is_connected(); }, seconds(10)));
    EXPECT_TRUE(agent.has_ready_session());  // keys survive the outage
    // Let three attempts fail (about 2 s), then bring the relay back.
    ASSERT_TRUE(wait_until([&] { return log.sink->count("WebSocket error: ") >= 3; }, seconds(10)));
    EXPECT_GE(log.sink->count("WebSocket disconnected: ") + log.sink->count("WebSocket error: "), 3u);
    ASSERT_TRUE(start_relay());
    ASSERT_TRUE(wait_until([&] { return agent.is_connected(); }, seconds(15)));
    EXPECT_EQ(log.sink->count("WebSocket connected"), 2u);

    // After the drop the first attempt is at once; the k-th consecutive failure waits
    // reconnect_delay_ms(k). Bounds are loose: only the schedule's shape is checked.
    auto errors = log.sink->times("WebSocket error: ");
    ASSERT_GE(errors.size(), 3u);
    for (size_t k = 1; k < errors.size(); ++k) {
        auto gap = duration_cast<milliseconds>(errors[k] - errors[k - 1]).count();
        EXPECT_GE(gap, reconnect_delay_ms(static_cast<uint32_t>(k)) - 50) << k;
        EXPECT_LE(gap, reconnect_delay_ms(static_cast<uint32_t>(k)) + 1500) << k;
    }

    // The viewer came back on its own with &session_id= and kept its keys.
    ASSERT_TRUE(v->wait_connected(true, seconds(15)));
    ASSERT_TRUE(wait_until([&] {
        agent.send_to_all(build_clipboard_text("after restart"));
        return !in.texts().empty();
    }, seconds(15)));
    EXPECT_EQ(in.texts().back(), "after restart");
    EXPECT_EQ(v->session_id(), sid);
    EXPECT_EQ(v->key_exchanges(), 1u);
    ASSERT_TRUE(v->send_clipboard("viewer again"));
    ASSERT_TRUE(wait_until([&] { return inbox.size() == 1; }, seconds(10)));
    EXPECT_EQ(inbox.all()[0].first, sid);
}

TEST_F(RelayIntegration, UnansweredPingsEndTheConnection) {
    WsTransport raw;
    std::mutex m;
    std::vector<WsEvent> events;
    raw.set_handler([&](const WsEvent& ev) {
        std::lock_guard<std::mutex> lock(m);
        if (ev.type != WsEvent::Type::Message) events.push_back(ev);
    });
    WsTransportOptions opt;
    opt.url = build_viewer_url(http_url(), machine, token);
    opt.ping_interval = milliseconds(300);
    opt.auto_reconnect = false;
    ASSERT_TRUE(raw.start(opt));
    ASSERT_TRUE(wait_until([&] { return raw.is_open(); }, seconds(10)));
    relay->signal(SIGSTOP);
    bool closed = wait_until([&] { std::lock_guard<std::mutex> l(m); return events.size() >= 2; }, seconds(10));
    relay->signal(SIGCONT);
    ASSERT_TRUE(closed);
    raw.stop();
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(events[0].type, WsEvent::Type::Open);
    EXPECT_EQ(events[1].type, WsEvent::Type::Close);
    EXPECT_EQ(events[1].close_code, 1011);
    EXPECT_EQ(events[1].reason, "Ping timeout");
    EXPECT_FALSE(raw.is_open());
}

class TlsRelay : public RelayRig {
protected:
    void SetUp() override {
        testsupport::Process mk;
        ASSERT_TRUE(mk.start({std::string(ZARVEX_SOURCE_DIR) + "/scripts/make-test-cert", dir.path()}));
        ASSERT_EQ(mk.wait(seconds(30)), 0) << mk.err();
        cert = dir / "cert.pem";
        cert_key = dir / "key.pem";
        ca_file = cert;
        RelayRig::SetUp();
    }
    void TearDown() override {
        if (had_env) setenv("SSL_CERT_FILE", saved_env.c_str(), 1);
        else unsetenv("SSL_CERT_FILE");
    }
    void trust_test_cert() {
        const char* old = std::getenv("SSL_CERT_FILE");
        had_env = old != nullptr;
        if (old) saved_env = old;
        setenv("SSL_CERT_FILE", cert.c_str(), 1);
    }
    bool had_env = false;
    std::string saved_env;
};

TEST_F(TlsRelay, SelfSignedCertificateFailsVerificationUntilTrusted) {
    {
        TimedLog log;
        WsClient agent;
        EXPECT_FALSE(agent.connect(http_url(), machine, token));
        auto lines = log.sink->lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_GE(log.sink->count("WebSocket error: TLS handshake failed"), 1u);
        EXPECT_GE(log.sink->count("certificate verify failed"), 1u);
        EXPECT_EQ(log.sink->count("WebSocket connected"), 0u);
    }
    {
        // Trusting the certificate for one connection only.
        ViewerSession pinned;
        ASSERT_TRUE(pinned.connect(ViewerOptions{http_url(), machine, token, {}, false, cert}));
        EXPECT_TRUE(pinned.wait_connected(true, seconds(10))) << pinned.last_error();
        ViewerSession missing;
        ASSERT_TRUE(missing.connect(ViewerOptions{http_url(), machine, token, {}, false, dir / "absent.pem"}));
        ASSERT_TRUE(wait_until([&] { return !missing.last_error().empty(); }, seconds(10)));
        EXPECT_NE(missing.last_error().find("Cannot load certificates from"), std::string::npos)
            << missing.last_error();
    }
    trust_test_cert();
    TimedLog log;
    AgentInbox inbox;  // outlives the client whose handlers write into it
    WsClient agent;
    inbox.install(agent);
    ASSERT_TRUE(agent.connect(http_url(), machine, token));
    auto v = ready_viewer();
    ASSERT_TRUE(v->send_set_bitrate(800));
    ASSERT_TRUE(wait_until([&] { return inbox.size() == 1; }, seconds(10)));
    EXPECT_EQ(inbox.all()[0].second, build_set_bitrate(800));
}

TEST_F(RelayIntegration, CommandLineViewerReportsWhatArrives) {
    testsupport::Process cli;
    ASSERT_TRUE(cli.start({testsupport::bin("zarvex-viewer"), "--server", http_url(), "--user", "alice", "--password",
                           "correct horse", "--seconds", "3", "--json"}));
    ASSERT_TRUE(wait_until([&] { return agent.has_ready_session(); }, seconds(10))) << cli.err();
    for (int i = 0; i < 5; ++i) agent.send_to_all(build_clipboard_text("tick"));
    ASSERT_EQ(cli.wait(seconds(15)), 0) << cli.err();
    auto summary = nlohmann::json::parse(cli.out(), nullptr, false);
    ASSERT_TRUE(summary.is_object()) << cli.out();
    EXPECT_TRUE(summary["ready"].get<bool>());
    EXPECT_EQ(summary["session_id"].get<std::string>().size(), 36u);
    EXPECT_EQ(summary["messages"]["clipboard_text"]["count"], 5);
    EXPECT_EQ(summary["messages"]["clipboard_text"]["bytes"], 5 * 9);

    testsupport::Process bad;
    ASSERT_TRUE(bad.start({testsupport::bin("zarvex-viewer"), "--server", http_url(), "--token", "nope"}));
    EXPECT_EQ(bad.wait(seconds(15)), 1);
    EXPECT_NE(bad.err().find("401"), std::string::npos) << bad.err();
}

TEST_F(RelayIntegration, ClosingAViewerSendsWhatItQueuedFirst) {
    auto v = ready_viewer();
    // A burst that is still in the viewer's send queue when it closes, like the last
    // chunks of an upload.
    const size_t count = 160, size = 64 * 1024;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> data(size, static_cast<uint8_t>(i));
        ASSERT_TRUE(v->send_file_chunk("burst.bin", i * size, count * size, data));
    }
    v->close();
    ASSERT_TRUE(wait_until([&] { return inbox.size() >= count; }, seconds(20))) << inbox.size();
    auto all = inbox.all();
    ASSERT_EQ(all.size(), count);
    // Last chunk intact and last in order.
    EXPECT_EQ(all.back().second.back(), static_cast<uint8_t>(count - 1));
}
