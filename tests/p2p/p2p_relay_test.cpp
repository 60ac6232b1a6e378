// Peer-to-peer signalling through the development relay, inside a private network
// namespace (no STUN server can be reached): the agent side is a WsClient with a
// P2PManager wired as the agent runtime wires them; the viewers are the viewer library
// with its offering peer, and headless Chromium on a local page.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <regex>

#include "net/p2p.h"
#include "tests/p2p/private_network.h"
#include "tests/viewer/relay_rig.h"
#include "viewer/viewer_p2p.h"

using namespace std::chrono;
using nlohmann::json;
using testsupport::wait_until;

namespace {

struct SignalLog {
    std::mutex m;
    std::vector<std::string> payloads;
    void add(const std::string& p) {
        std::lock_guard<std::mutex> lock(m);
        payloads.push_back(p);
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> lock(m);
        return payloads;
    }
};

}  // namespace

class P2PRelay : public RelayRig {
protected:
    void SetUp() override {
        if (!testsupport::in_private_network()) GTEST_SKIP() << "no private network namespace";
        RelayRig::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // As the agent runtime wires them.
        p2p.signal_sender = [this](const std::string& sid, const std::string& payload) {
            agent.send_signal(sid, payload);
        };
        agent.set_signal_handler([this](const std::string& sid, const std::string& payload) {
            p2p.handle_signal(sid, payload);
        });
        agent.set_session_end_handler([this](const std::string& sid) { p2p.close_session(sid); });
        ASSERT_TRUE(agent.connect(http_url(), machine, token));
    }
    void TearDown() override {
        agent.disconnect();
        p2p.close_all();
    }

    TimedLog log;
    P2PManager p2p;
    WsClient agent;
};

TEST_F(P2PRelay, ViewerLibraryOpensItsDataChannelToTheAgentThroughTheRelay) {
    SignalLog received;
    std::atomic<ViewerSession*> session{nullptr};
    ViewerP2P peer([&](const std::string& payload) { session.load()->send_signal(payload); });
    ViewerHandlers h;
    h.on_signal = [&](const std::string& payload) {
        received.add(payload);
        peer.handle_signal(payload);
    };
    auto viewer = ready_viewer(h);
    ASSERT_TRUE(viewer->is_ready());
    session = viewer.get();
    const std::string sid = viewer->session_id();

    const auto start = steady_clock::now();
    ASSERT_TRUE(peer.start()) << peer.last_error();
    ASSERT_TRUE(peer.wait_open(seconds(20))) << peer.last_error();
    const auto open_ms = duration_cast<milliseconds>(peer.opened_at() - start).count();
    std::printf("data channel open after %lld ms\n", static_cast<long long>(open_ms));
    ASSERT_TRUE(wait_until([&] { return log.sink->count("P2P data channel OPEN - bypassing relay for video!") == 1; },
                           seconds(5)));
    EXPECT_EQ(log.sink->count("P2P data channel received: zarvex"), 1u);
    EXPECT_TRUE(p2p.has_session(sid));

    // The answer, then candidates, as the relay delivered them to the viewer.
    auto payloads = received.all();
    ASSERT_GE(payloads.size(), 2u);
    EXPECT_EQ(payloads[0].rfind("{\"sdp\":\"v=0", 0), 0u) << payloads[0];
    EXPECT_NE(payloads[0].find("\",\"type\":\"answer\"}"), std::string::npos);
    for (size_t i = 1; i < payloads.size(); ++i)
        EXPECT_TRUE(std::regex_match(payloads[i], std::regex(R"(\{"candidate":"candidate:[^"]+","sdpMid":"[^"]+","type":"candidate"\})")))
            << payloads[i];
    EXPECT_EQ(peer.answers(), 1);
    EXPECT_EQ(log.sink->count("P2P signal handling error"), 0u);

    peer.close_channel();
    ASSERT_TRUE(wait_until([&] { return log.sink->count("P2P data channel closed") == 1; }, seconds(10)));

    // The viewer leaves: the relay says "session_end" and the peer goes with the session.
    viewer->close();
    ASSERT_TRUE(wait_until([&] { return p2p.session_count() == 0; }, seconds(10)));
    peer.close();
}

TEST_F(P2PRelay, PeersOfEndedSessionsAreReleasedAndLaterOnesStillConnect) {
    for (int round = 0; round < 3; ++round) {
        std::atomic<ViewerSession*> session{nullptr};
        ViewerP2P peer([&](const std::string& payload) { session.load()->send_signal(payload); });
        ViewerHandlers h;
        h.on_signal = [&](const std::string& payload) { peer.handle_signal(payload); };
        auto viewer = ready_viewer(h);
        session = viewer.get();
        ASSERT_TRUE(peer.start());
        ASSERT_TRUE(peer.wait_open(seconds(20))) << "round " << round;
        EXPECT_EQ(p2p.session_count(), 1u);
        viewer->close();
        ASSERT_TRUE(wait_until([&] { return p2p.session_count() == 0; }, seconds(10))) << "round " << round;
        peer.close();
    }
}

// A real browser makes the offer. The page speaks the relay's viewer protocol only as far
// as signalling goes (no key exchange is needed for it).
TEST_F(P2PRelay, ChromiumOpensADataChannelToTheAgent) {
    const std::string chromium = "/usr/bin/chromium";
    if (access(chromium.c_str(), X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
    const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/ws/viewer?machine_id=" + machine +
                            "&token=" + token;
    const std::string page = R"(<!doctype html><meta charset="utf-8"><title>p2p</title><script>
const t0 = performance.now();
const ws = new WebSocket()" + json(url).dump() + R"();
const pc = new RTCPeerConnection({iceServers: []});
const dc = pc.createDataChannel("browser");
const say = (s) => console.log("P2P-TEST " + s);
const send = (o) => ws.send(JSON.stringify({type: "p2p_signal", payload: JSON.stringify(o)}));
dc.onopen = () => { say("open " + Math.round(performance.now() - t0)); setTimeout(() => dc.close(), 300); };
dc.onclose = () => say("closed");
pc.onicecandidate = (e) => { if (e.candidate && e.candidate.candidate)
  send({type: "candidate", candidate: e.candidate.candidate, sdpMid: e.candidate.sdpMid}); };
ws.onopen = async () => {
  const offer = await pc.createOffer();
  await pc.setLocalDescription(offer);
  send({type: "offer", sdp: offer.sdp});
};
ws.onmessage = async (ev) => {
  if (typeof ev.data !== "string") return;
  const m = JSON.parse(ev.data);
  if (m.type !== "p2p_signal") return;
  const p = JSON.parse(m.payload);
  try {
    if (p.type === "answer") { await pc.setRemoteDescription({type: "answer", sdp: p.sdp}); say("answer"); }
    else if (p.type === "candidate") await pc.addIceCandidate({candidate: p.candidate, sdpMid: p.sdpMid});
  } catch (err) { say("error " + err); }
};
ws.onerror = () => say("error websocket");
</script>)";
    testsupport::write_file(dir / "p2p.html", page);
    testsupport::Process browser;
    ASSERT_TRUE(browser.start({chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                               "--user-data-dir=" + (dir / "chromium-profile"), "--enable-logging=stderr", "--v=0",
                               "--disable-features=WebRtcHideLocalIpsWithMdns",
                               "file://" + (dir / "p2p.html")},
                              {{"HOME", dir.path()}}));
    const bool opened = browser.wait_for_output("P2P-TEST open ", seconds(40));
    std::smatch m;
    const std::string out = browser.err() + browser.out();
    ASSERT_TRUE(opened) << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
    if (std::regex_search(out, m, std::regex("P2P-TEST open (\\d+)")))
        std::printf("Chromium: data channel open %s ms after the page started\n", m[1].str().c_str());
    EXPECT_TRUE(wait_until([&] { return log.sink->count("P2P data channel OPEN - bypassing relay for video!") == 1; },
                           seconds(5)));
    EXPECT_EQ(log.sink->count("P2P data channel received: browser"), 1u);
    EXPECT_TRUE(wait_until([&] { return log.sink->count("P2P data channel closed") == 1; }, seconds(10)));
    EXPECT_EQ(log.sink->count("P2P signal handling error"), 0u);
    browser.stop();
    ASSERT_TRUE(wait_until([&] { return p2p.session_count() == 0; }, seconds(10)));
}
