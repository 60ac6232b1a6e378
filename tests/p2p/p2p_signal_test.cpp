#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "net/p2p.h"
#include "net/p2p_signal.h"

TEST(P2PSignal, ParsesWhatViewersSendAndRejectsMalformedPayloads) {
    P2PSignal o = parse_p2p_signal(R"({"sdp":"v=0\r\n","type":"offer","extra":1})");
    EXPECT_EQ(o.type, "offer");
    EXPECT_EQ(o.sdp, "v=0\r\n");
    P2PSignal c = parse_p2p_signal(R"({"type":"candidate","candidate":"candidate:1 1 UDP 1 192.0.2.1 9 typ host"})");
    EXPECT_EQ(c.mid, "0");  // absent media id
    EXPECT_EQ(c.candidate, "candidate:1 1 UDP 1 192.0.2.1 9 typ host");
    EXPECT_EQ(parse_p2p_signal(R"({"type":"candidate","candidate":"x","sdpMid":"data"})").mid, "data");
    EXPECT_EQ(parse_p2p_signal(R"({"other":true})").type, "");
    EXPECT_EQ(parse_p2p_signal(R"({"type":"bye"})").type, "bye");  // no fields needed

    for (const char* bad : {"", "not json", "[1,2]", R"({"type":"offer"})", R"({"type":"answer","sdp":null})",
                            R"({"type":"candidate"})", R"({"type":"candidate","candidate":"x","sdpMid":0})",
                            R"({"type":5})", R"({"type":"offer","sdp":"x"} trailing)"})
        EXPECT_ANY_THROW(parse_p2p_signal(bad)) << bad;
}

TEST(P2PSignal, AgentPayloadsAreCompactWithSortedKeys) {
    EXPECT_EQ(build_description_payload("answer", "v=0\r\na=x\r\n"), R"({"sdp":"v=0\r\na=x\r\n","type":"answer"})");
    EXPECT_EQ(build_candidate_payload("candidate:1 1 UDP 5 192.0.2.1 4000 typ host", "0"),
              R"({"candidate":"candidate:1 1 UDP 5 192.0.2.1 4000 typ host","sdpMid":"0","type":"candidate"})");
    // UTF-8 stays as it is; a broken sequence cannot make the sender throw.
    EXPECT_EQ(build_candidate_payload("caf\xc3\xa9", "m"), "{\"candidate\":\"caf\xc3\xa9\",\"sdpMid\":\"m\",\"type\":\"candidate\"}");
    EXPECT_NO_THROW(build_description_payload("answer", "bad \xff byte"));
    // What the agent writes, it reads back.
    P2PSignal back = parse_p2p_signal(build_candidate_payload("c", "audio"));
    EXPECT_EQ(back.mid, "audio");
}

TEST(P2PSignal, MediaIdsMapToMlineIndexesBothWays) {
    const std::string sdp =
        "v=0\r\ns=-\r\nt=0 0\r\na=group:BUNDLE a1 data\r\nm=audio 9 UDP/TLS/RTP/SAVPF 111\r\na=mid:a1\r\n"
        "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:data\r\nm=video 0 RTP/AVP 96\r\n";
    auto mids = sdp_media_ids(sdp);
    ASSERT_EQ(mids, (std::vector<std::string>{"a1", "data", ""}));
    EXPECT_EQ(sdp_media_ids("v=0\nm=application 9 x\na=mid:0\n"), std::vector<std::string>{"0"});  // bare LF
    EXPECT_EQ(mline_for_mid(mids, "data"), 1u);
    EXPECT_EQ(mline_for_mid(mids, "zz"), std::nullopt);
    EXPECT_EQ(mline_for_mid(mids, "0"), 0u);  // numbered by the peer, named by us
    EXPECT_EQ(mline_for_mid(mids, "2"), 2u);
    EXPECT_EQ(mline_for_mid(mids, "3"), std::nullopt);  // no such section
    EXPECT_EQ(mline_for_mid({}, "0"), 0u);               // no description yet: the id is the index
    EXPECT_EQ(mline_for_mid({}, "2"), 2u);
    EXPECT_EQ(mline_for_mid({}, "x"), std::nullopt);
    EXPECT_EQ(mline_for_mid({}, ""), std::nullopt);
    EXPECT_EQ(mline_for_mid({}, "-1"), std::nullopt);
    EXPECT_EQ(mid_for_mline(mids, 1), "data");
    EXPECT_EQ(mid_for_mline(mids, 2), "2");  // a section without an id
    EXPECT_EQ(mid_for_mline({}, 0), "0");
}

TEST(P2PSignal, StunSelectorMovesOnWhenTheServerGaveNoAddress) {
    EXPECT_TRUE(is_reflexive_candidate("candidate:2 1 UDP 1 203.0.113.7 5000 typ srflx raddr 192.0.2.1 rport 5000"));
    EXPECT_FALSE(is_reflexive_candidate("candidate:1 1 UDP 1 192.0.2.1 5000 typ host"));

    auto servers = default_stun_servers();
    ASSERT_EQ(servers.size(), 2u);
    for (const auto& s : servers) {
        EXPECT_EQ(s.rfind("stun:", 0), 0u) << s;
        EXPECT_EQ(s.substr(s.size() - 6), ":19302") << s;
    }
    StunSelector sel(servers);
    EXPECT_EQ(sel.current(), servers[0]);
    sel.report_working(servers[0]);
    EXPECT_EQ(sel.current(), servers[0]);
    sel.report_failed(servers[0]);
    EXPECT_EQ(sel.current(), servers[1]);
    sel.report_failed(servers[0]);  // a late report from an older peer: already moved on
    EXPECT_EQ(sel.current(), servers[1]);
    sel.report_failed(servers[1]);  // round the list: the first may be back
    EXPECT_EQ(sel.current(), servers[0]);
    EXPECT_EQ(StunSelector({}).current(), "");
    StunSelector single({"stun:one:19302"});
    single.report_failed("stun:one:19302");
    EXPECT_EQ(single.current(), "stun:one:19302");

    EXPECT_EQ(stun_url_for_webrtcbin("stun:stun.example.net:19302"), "stun://stun.example.net:19302");
    EXPECT_EQ(stun_url_for_webrtcbin("stun://h:1"), "stun://h:1");
    EXPECT_EQ(stun_url_for_webrtcbin(""), "");
}

TEST(P2PSignal, StunUrlsSplitIntoHostAndPort) {
    std::string host, port;
    ASSERT_TRUE(split_stun_url("stun:stun.example.net:19302", host, port));
    EXPECT_EQ(host + "|" + port, "stun.example.net|19302");
    ASSERT_TRUE(split_stun_url("stun://192.0.2.7", host, port));
    EXPECT_EQ(host + "|" + port, "192.0.2.7|3478");
    ASSERT_TRUE(split_stun_url("stun:[2001:db8::1]:5349", host, port));
    EXPECT_EQ(host + "|" + port, "2001:db8::1|5349");
    for (const char* bad : {"", "stun:", "turn:h:1", "stun::1", "stun:h:", "stun:h:0", "stun:h:65536", "stun:h:1x",
                            "stun:h:99999999999999999999", "stun:2001:db8::1", "stun:[::1", "stun:[::1]x"}) {
        EXPECT_FALSE(split_stun_url(bad, host, port)) << bad;
    }
}

TEST(P2PSignal, TheResolverHandsOutAddressesOnly) {
    StunResolver resolver({"stun:localhost:3478", "stun://[::1]:9", "stun:name.invalid:3478", "turn:x:1"});
    EXPECT_EQ(resolver.address_for("stun:localhost:3478", std::chrono::seconds(10)), "stun://127.0.0.1:3478");
    EXPECT_EQ(resolver.address_for("stun://[::1]:9", std::chrono::seconds(10)), "stun://[::1]:9");
    // Whether the name server answers at once or not at all, a name that cannot resolve
    // never reaches webrtcbin.
    EXPECT_EQ(resolver.address_for("stun:name.invalid:3478", std::chrono::milliseconds(200)), "");
    EXPECT_EQ(resolver.address_for("turn:x:1", std::chrono::seconds(10)), "");
    EXPECT_EQ(resolver.address_for("stun:unknown:1", std::chrono::seconds(10)), "");
}
