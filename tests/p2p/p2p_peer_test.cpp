// The agent's answering peers against the viewer library's offering peer, in a private
// network namespace where the STUN servers cannot be reached.

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/p2p/p2p_rig.h"

using namespace std::chrono;
using nlohmann::json;
using testsupport::wait_until;

namespace {

size_t entries(const char* dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

std::string open_files() {
    std::string out;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            char target[256] = {};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0) out += std::string(" ") + target;
        }
        closedir(d);
    }
    return out;
}

std::vector<std::string> keys_of(const std::string& payload) {
    std::vector<std::string> keys;
    const json doc = json::parse(payload);
    for (const auto& item : doc.items()) keys.push_back(item.key());
    return keys;
}

}  // namespace

using P2PPeer = P2PRig;

TEST_F(P2PPeer, OfferIsAnsweredWithCandidatesAndTheViewersChannelOpensAndCloses) {
    const std::string sid = session_id(1);
    ViewerP2P& viewer = add_viewer(sid);
    ASSERT_TRUE(viewer.start()) << viewer.last_error();
    ASSERT_TRUE(viewer.wait_open(seconds(20))) << viewer.last_error() << "\n" << log.text();
    ASSERT_TRUE(wait_until([&] { return manager.channel_open(sid); }, seconds(5)));
    EXPECT_EQ(manager.session_count(), 1u);

    auto sent = outbox.of(sid);
    ASSERT_GE(sent.size(), 2u);
    // The answer comes first, then the candidates, each compact with sorted keys.
    json answer = json::parse(sent[0]);
    EXPECT_EQ(keys_of(sent[0]), (std::vector<std::string>{"sdp", "type"}));
    EXPECT_EQ(answer["type"], "answer");
    EXPECT_EQ(sent[0].rfind("{\"sdp\":\"v=0", 0), 0u);
    EXPECT_NE(answer["sdp"].get<std::string>().find("m=application"), std::string::npos);
    const std::string mid = sdp_media_ids(answer["sdp"].get<std::string>()).at(0);
    size_t host_candidates = 0;
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(keys_of(sent[i]), (std::vector<std::string>{"candidate", "sdpMid", "type"})) << sent[i];
        json c = json::parse(sent[i]);
        EXPECT_EQ(c["type"], "candidate");
        EXPECT_EQ(c["sdpMid"], mid);  // the media id of the viewer's single section
        host_candidates += c["candidate"].get<std::string>().find(testsupport::PRIVATE_HOST_ADDRESS) != std::string::npos;
    }
    EXPECT_GE(host_candidates, 1u);
    EXPECT_GE(viewer.remote_candidates(), 1);
    EXPECT_TRUE(log.contains("info|P2P data channel received: zarvex"));
    EXPECT_EQ(log.count("info|P2P data channel OPEN - bypassing relay for video!"), 1u);
    EXPECT_TRUE(log.contains("info|P2P PC state: 2"));
    EXPECT_TRUE(log.contains("debug|P2P gathering state: 1"));
    EXPECT_FALSE(log.contains("P2P signal handling error"));

    viewer.close_channel();
    ASSERT_TRUE(wait_until([&] { return log.contains("info|P2P data channel closed"); }, seconds(10))) << log.text();
    EXPECT_FALSE(manager.channel_open(sid));
    EXPECT_EQ(manager.session_count(), 1u);  // the peer stays until its session ends
}

TEST_F(P2PPeer, BadSignalsAreLoggedAndLeaveThePeerInPlace) {
    const std::string a = session_id(2), b = session_id(3), c = session_id(4);
    manager.handle_signal(a, "not json");
    manager.handle_signal(a, R"({"type":"offer"})");
    manager.handle_signal(a, R"({"type":"offer","sdp":42})");
    manager.handle_signal(a, R"({"type":"candidate","sdpMid":"0"})");
    EXPECT_EQ(log.count("error|P2P signal handling error: "), 4u) << log.text();
    EXPECT_EQ(manager.session_count(), 1u);
    EXPECT_TRUE(manager.has_session(a));

    // An unknown type still creates the peer, and does nothing else.
    manager.handle_signal(b, R"({"type":"bye"})");
    manager.handle_signal(c, R"({"sdp":"v=0"})");
    EXPECT_EQ(manager.session_count(), 3u);
    EXPECT_EQ(log.count("P2P signal handling error"), 4u);

    // A description that webrtcbin refuses reports through the same line, asynchronously.
    manager.handle_signal(b, R"({"type":"answer","sdp":"v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\na=mid:0\r\n"})");
    EXPECT_TRUE(wait_until([&] { return log.count("P2P signal handling error") == 5; }, seconds(5))) << log.text();
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_TRUE(outbox.of(a).empty() && outbox.of(b).empty() && outbox.of(c).empty());
}

TEST_F(P2PPeer, CandidatesWithoutMidGoToTheFirstSectionAndUnknownMidsAreErrors) {
    const std::string sid = session_id(5);
    ViewerP2P& viewer = add_viewer(sid);
    ASSERT_TRUE(viewer.start());
    ASSERT_TRUE(wait_until([&] { return !outbox.of(sid).empty(); }, seconds(10))) << log.text();
    manager.handle_signal(sid, R"({"type":"candidate","candidate":"candidate:1 1 UDP 2122252543 192.0.2.1 40000 typ host"})");
    EXPECT_FALSE(log.contains("P2P signal handling error"));
    manager.handle_signal(sid, R"({"type":"candidate","sdpMid":"video","candidate":"candidate:1 1 UDP 1 192.0.2.1 40001 typ host"})");
    EXPECT_TRUE(log.contains("error|P2P signal handling error: candidate for unknown media id \"video\""));
    EXPECT_TRUE(viewer.wait_open(seconds(20))) << log.text();
}

TEST_F(P2PPeer, EndedSessionsReleaseTheirPeersWithTheirThreadsAndSockets) {
    // One session first, so that what GStreamer keeps for the whole process exists.
    auto one_session = [&](int n, bool open_channel) {
        const std::string sid = session_id(100 + n);
        ViewerP2P& viewer = add_viewer(sid);
        ASSERT_TRUE(viewer.start());
        if (open_channel) ASSERT_TRUE(viewer.wait_open(seconds(20))) << "session " << n << "\n" << log.text();
        else ASSERT_TRUE(wait_until([&] { return !outbox.of(sid).empty(); }, seconds(10)));
        EXPECT_TRUE(manager.has_session(sid));
        drop_viewer(sid);
        manager.close_session(sid);
        EXPECT_FALSE(manager.has_session(sid));
    };
    one_session(0, true);
    std::this_thread::sleep_for(milliseconds(500));
    const size_t threads_before = entries("/proc/self/task");
    const size_t fds_before = entries("/proc/self/fd");
    for (int n = 1; n <= 50 && !HasFatalFailure(); ++n) one_session(n, n % 5 == 0);
    EXPECT_EQ(manager.session_count(), 0u);
    manager.close_session(session_id(999));  // unknown: nothing happens
    // Thread pools may keep an idle thread or two for a while.
    EXPECT_TRUE(wait_until([&] { return entries("/proc/self/task") <= threads_before + 2; }, seconds(20)))
        << entries("/proc/self/task") << " threads, " << threads_before << " before";
    // On a busy machine libnice's sockets of the last peers can take a while to close.
    EXPECT_TRUE(wait_until([&] { return entries("/proc/self/fd") <= fds_before + 2; }, seconds(30)))
        << entries("/proc/self/fd") << " open files, " << fds_before << " before:" << open_files();
}

TEST_F(P2PPeer, ShutdownClosesEveryPeer) {
    for (int n = 0; n < 3; ++n) {
        ViewerP2P& viewer = add_viewer(session_id(200 + n));
        ASSERT_TRUE(viewer.start());
        ASSERT_TRUE(viewer.wait_open(seconds(20)));
        ASSERT_TRUE(wait_until([&] { return manager.channel_open(session_id(200 + n)); }, seconds(5)));
    }
    EXPECT_EQ(manager.session_count(), 3u);
    manager.close_all();
    EXPECT_EQ(manager.session_count(), 0u);
    EXPECT_EQ(log.count("info|P2P data channel closed"), 3u) << log.text();
}

TEST_F(P2PPeer, AStunServerThatGaveNoAddressIsReplacedForLaterPeers) {
    const auto servers = default_stun_servers();
    ASSERT_EQ(manager.stun().current(), servers[0]);
    ViewerP2P& viewer = add_viewer(session_id(300));
    ASSERT_TRUE(viewer.start());
    // Nothing outside the namespace answers: gathering ends with host candidates only.
    ASSERT_TRUE(wait_until([&] { return log.contains("debug|P2P gathering state: 2"); }, seconds(30))) << log.text();
    EXPECT_TRUE(log.contains("warning|P2P STUN server " + servers[0] + " gave no address, using " + servers[1]));
    EXPECT_EQ(manager.stun().current(), servers[1]);
    EXPECT_TRUE(viewer.wait_open(seconds(20)));  // the host candidates were enough
}
