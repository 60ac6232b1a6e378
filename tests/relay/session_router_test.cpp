#include "relay/session_router.h"

#include <gtest/gtest.h>

#include <vector>

#include "relay/ids.h"

namespace {

using namespace relay;

// Records what the router asks a connection to do.
struct FakePeer : RelayPeer {
    std::vector<std::string> texts;
    std::vector<std::string> binaries;
    std::vector<Delivery> deliveries;  // of every message, in order
    std::vector<uint16_t> closes;
    size_t queued = 0;  // what queued_bytes() reports; the test plays the socket
    int resumes = 0;
    void send_text(std::string text, Delivery d) override {
        texts.push_back(std::move(text));
        deliveries.push_back(d);
    }
    void send_binary(std::string data, Delivery d) override {
        binaries.push_back(std::move(data));
        deliveries.push_back(d);
    }
    size_t queued_bytes() const override { return queued; }
    void resume_reading() override { ++resumes; }
    void close(uint16_t code, std::string) override { closes.push_back(code); }
};

std::string session_msg(const std::string& type, const std::string& id) {
    return R"({"session_id":")" + id + R"(","type":")" + type + "\"}";
}

class RouterTest : public ::testing::Test {
protected:
    std::shared_ptr<FakePeer> peer() { return std::make_shared<FakePeer>(); }
    std::string id_from(const FakePeer& viewer) {
        // {"session_id":"<36>","type":"session"}
        return viewer.texts.at(0).substr(15, 36);
    }

    SessionRouter router_{RouterLimits{3, 2}};
    const std::string m_ = "machine-1";
};

TEST_F(RouterTest, ViewerSessionIsAnnouncedOnceAcrossAgentReconnects) {
    auto viewer = peer();
    std::string id = router_.attach_viewer(m_, "", viewer);
    ASSERT_TRUE(is_uuid_shaped(id));
    EXPECT_EQ(id.find_first_of("ABCDEF"), std::string::npos);
    ASSERT_EQ(viewer->texts, std::vector<std::string>{session_msg("session", id)});

    auto agent = peer();
    router_.attach_agent(m_, agent);
    EXPECT_EQ(agent->texts, std::vector<std::string>{session_msg("session_request", id)});
    EXPECT_TRUE(router_.agent_online(m_));

    // The agent reconnects with its session table intact: no second announcement; the
    // older connection is closed and its late departure does not take the new one offline.
    auto agent2 = peer();
    router_.attach_agent(m_, agent2);
    EXPECT_EQ(agent->closes, std::vector<uint16_t>{SessionRouter::kCloseReplaced});
    EXPECT_TRUE(agent2->texts.empty());
    router_.detach_agent(m_, agent.get());
    EXPECT_TRUE(router_.agent_online(m_));
    router_.agent_binary(m_, agent.get(), id + "stale");
    EXPECT_TRUE(viewer->binaries.empty());

    EXPECT_TRUE(router_.viewer_binary(m_, id, viewer.get(), "\x06key"));
    EXPECT_EQ(agent2->binaries, std::vector<std::string>{id + "\x06key"});
    router_.detach_agent(m_, agent2.get());
    EXPECT_FALSE(router_.agent_online(m_));
    EXPECT_TRUE(router_.viewer_binary(m_, id, viewer.get(), "dropped while offline"));
    EXPECT_EQ(agent2->binaries.size(), 1u);
}

TEST_F(RouterTest, AgentFramesAreSplitAtTheSessionId) {
    auto agent = peer(), v1 = peer(), v2 = peer(), other_machine_viewer = peer();
    router_.attach_agent(m_, agent);
    std::string id1 = router_.attach_viewer(m_, "", v1);
    std::string id2 = router_.attach_viewer(m_, "", v2);
    std::string foreign = router_.attach_viewer("machine-2", "", other_machine_viewer);
    EXPECT_EQ(agent->texts,
              (std::vector<std::string>{session_msg("session_request", id1), session_msg("session_request", id2)}));

    router_.agent_binary(m_, agent.get(), id1);                     // 36 bytes: nothing to carry
    router_.agent_binary(m_, agent.get(), id1 + "x");               // 37 bytes: one-byte payload
    router_.agent_binary(m_, agent.get(), id2 + std::string("\0\1", 2));
    router_.agent_binary(m_, agent.get(), random_uuid() + "lost");  // unknown session
    router_.agent_binary(m_, agent.get(), foreign + "lost");        // another machine's session
    EXPECT_EQ(v1->binaries, std::vector<std::string>{"x"});
    EXPECT_EQ(v2->binaries, std::vector<std::string>{std::string("\0\1", 2)});
    EXPECT_TRUE(other_machine_viewer->binaries.empty());
}

TEST_F(RouterTest, SignalsAreRewrittenBetweenViewerAndAgent) {
    auto agent = peer(), viewer = peer();
    router_.attach_agent(m_, agent);
    std::string id = router_.attach_viewer(m_, "", viewer);

    EXPECT_TRUE(router_.viewer_text(m_, id, viewer.get(), R"({"payload":"{\"sdp\":\"v=0\"}","type":"p2p_signal","extra":1})"));
    ASSERT_EQ(agent->texts.size(), 2u);
    EXPECT_EQ(agent->texts[1], R"({"payload":"{\"sdp\":\"v=0\"}","session_id":")" + id + R"(","type":"p2p_signal"})");

    router_.agent_text(m_, agent.get(), R"({"type":"p2p_signal","session_id":")" + id + R"(","payload":"ü"})");
    ASSERT_EQ(viewer->texts.size(), 2u);
    EXPECT_EQ(viewer->texts[1], R"({"payload":"ü","type":"p2p_signal"})");

    // Anything malformed, of another type, or for an unknown session goes nowhere.
    EXPECT_TRUE(router_.viewer_text(m_, id, viewer.get(), R"({"type":"p2p_signal","payload":{"sdp":1}})"));
    EXPECT_TRUE(router_.viewer_text(m_, id, viewer.get(), R"({"type":"hello"})"));
    EXPECT_TRUE(router_.viewer_text(m_, id, viewer.get(), "not json"));
    router_.agent_text(m_, agent.get(), R"({"type":"p2p_signal","payload":"x"})");
    router_.agent_text(m_, agent.get(), R"({"type":"p2p_signal","session_id":"nope","payload":"x"})");
    EXPECT_EQ(agent->texts.size(), 2u);
    EXPECT_EQ(viewer->texts.size(), 2u);
}

TEST_F(RouterTest, SessionEndsReachTheAgentEvenAfterAnOutage) {
    auto agent = peer(), v1 = peer(), v2 = peer(), v3 = peer();
    router_.attach_agent(m_, agent);
    std::string id1 = router_.attach_viewer(m_, "", v1);
    router_.detach_viewer(m_, id1, v1.get());
    EXPECT_EQ(agent->texts.back(), session_msg("session_end", id1));

    std::string id2 = router_.attach_viewer(m_, "", v2);
    std::string id3 = router_.attach_viewer(m_, "", v3);
    router_.detach_agent(m_, agent.get());
    router_.detach_viewer(m_, id2, v2.get());
    router_.detach_viewer(m_, id3, v3.get());

    auto back = peer();
    router_.attach_agent(m_, back);
    EXPECT_EQ(back->texts, (std::vector<std::string>{session_msg("session_end", id2), session_msg("session_end", id3)}));

    // A session that never reached an agent ends without a notice.
    auto v4 = peer();
    router_.detach_agent(m_, back.get());
    std::string id4 = router_.attach_viewer(m_, "", v4);
    router_.detach_viewer(m_, id4, v4.get());
    auto again = peer();
    router_.attach_agent(m_, again);
    EXPECT_TRUE(again->texts.empty());
}

TEST_F(RouterTest, ResumeKeepsTheSessionWithoutANewRequest) {
    auto agent = peer(), viewer = peer();
    router_.attach_agent(m_, agent);
    std::string resumed = random_uuid();
    EXPECT_EQ(router_.attach_viewer(m_, resumed, viewer), resumed);
    EXPECT_EQ(viewer->texts, std::vector<std::string>{session_msg("session", resumed)});
    EXPECT_TRUE(agent->texts.empty());
    router_.agent_binary(m_, agent.get(), resumed + "frame");
    EXPECT_EQ(viewer->binaries, std::vector<std::string>{"frame"});

    // The same viewer reconnects before its old connection is noticed as gone: the new
    // connection takes over, and the old one's departure does not end the session.
    auto viewer2 = peer();
    EXPECT_EQ(router_.attach_viewer(m_, resumed, viewer2), resumed);
    EXPECT_EQ(viewer->closes, std::vector<uint16_t>{SessionRouter::kCloseReplaced});
    router_.detach_viewer(m_, resumed, viewer.get());
    EXPECT_TRUE(agent->texts.empty());
    EXPECT_TRUE(router_.viewer_binary(m_, resumed, viewer.get(), "old"));
    EXPECT_TRUE(router_.viewer_binary(m_, resumed, viewer2.get(), "new"));
    EXPECT_EQ(agent->binaries, std::vector<std::string>{resumed + "new"});
    EXPECT_EQ(router_.viewer_count(m_), 1u);

    // A viewer that resumes while its end notice still waits for the agent cancels it.
    router_.detach_agent(m_, agent.get());
    router_.detach_viewer(m_, resumed, viewer2.get());
    auto viewer3 = peer();
    router_.attach_viewer(m_, resumed, viewer3);
    auto back = peer();
    router_.attach_agent(m_, back);
    EXPECT_TRUE(back->texts.empty());
}

// Viewer -> agent traffic is never dropped for a busy agent: its viewers wait instead.
TEST_F(RouterTest, BusyAgentHoldsBackItsViewersUntilHalfDrained) {
    SessionRouter router(RouterLimits{3, 2, 1000});
    auto agent = peer(), v1 = peer(), v2 = peer(), v3 = peer(), other_agent = peer(), other_viewer = peer();
    router.attach_agent(m_, agent);
    std::string id1 = router.attach_viewer(m_, "", v1);
    std::string id2 = router.attach_viewer(m_, "", v2);
    std::string id3 = router.attach_viewer(m_, "", v3);
    router.attach_agent("machine-2", other_agent);
    std::string other = router.attach_viewer("machine-2", "", other_viewer);

    agent->queued = 1000;  // at the limit: still reading
    EXPECT_TRUE(router.viewer_binary(m_, id1, v1.get(), "a"));
    agent->queued = 1001;  // the message that finds the agent over the limit still goes; its sender waits
    EXPECT_FALSE(router.viewer_binary(m_, id1, v1.get(), "b"));

    // Above half the limit the agent is still behind: another viewer gets one message in, then waits.
    agent->queued = 501;
    router.agent_sent(m_, agent.get());
    EXPECT_FALSE(router.viewer_text(m_, id2, v2.get(), R"({"type":"p2p_signal","payload":"x"})"));
    EXPECT_EQ(v1->resumes + v2->resumes, 0);
    EXPECT_TRUE(router.viewer_binary("machine-2", other, other_viewer.get(), "elsewhere"));

    // Everything arrived, as traffic that must not be dropped; agent -> viewer stays droppable.
    EXPECT_EQ(agent->binaries, (std::vector<std::string>{id1 + "a", id1 + "b"}));
    EXPECT_EQ(agent->texts.back(), R"({"payload":"x","session_id":")" + id2 + R"(","type":"p2p_signal"})");
    ASSERT_EQ(agent->deliveries.size(), 6u);  // three session requests, then the forwarded messages
    EXPECT_EQ(agent->deliveries[0], Delivery::control);
    for (size_t i = 3; i < 6; ++i) EXPECT_EQ(agent->deliveries[i], Delivery::reliable) << i;
    router.agent_binary(m_, agent.get(), id3 + "picture");
    EXPECT_EQ(v3->deliveries, (std::vector<Delivery>{Delivery::control, Delivery::data}));

    // Down to half: each held viewer is resumed once; the one never held is left alone.
    agent->queued = 500;
    router.agent_sent(m_, agent.get());
    router.agent_sent(m_, agent.get());
    EXPECT_EQ(v1->resumes, 1);
    EXPECT_EQ(v2->resumes, 1);
    EXPECT_EQ(v3->resumes, 0);
    EXPECT_TRUE(router.viewer_binary(m_, id3, v3.get(), "c"));
    EXPECT_TRUE(router.viewer_binary(m_, id1, v1.get(), "d"));
}

TEST_F(RouterTest, HeldViewersAreReleasedWhenEitherSideGoes) {
    SessionRouter router(RouterLimits{3, 2, 1000});
    auto agent = peer(), v1 = peer(), v2 = peer();
    router.attach_agent(m_, agent);
    std::string id1 = router.attach_viewer(m_, "", v1);
    std::string id2 = router.attach_viewer(m_, "", v2);
    agent->queued = 5000;
    EXPECT_FALSE(router.viewer_binary(m_, id1, v1.get(), "a"));
    EXPECT_FALSE(router.viewer_binary(m_, id2, v2.get(), "b"));

    // A viewer leaving while held is forgotten (never resumed); the agent hears of it.
    router.detach_viewer(m_, id2, v2.get());
    EXPECT_EQ(agent->texts.back(), session_msg("session_end", id2));

    // The agent leaving releases the rest; their messages are then dropped as for any absent agent.
    router.detach_agent(m_, agent.get());
    EXPECT_EQ(v1->resumes, 1);
    EXPECT_EQ(v2->resumes, 0);
    EXPECT_TRUE(router.viewer_binary(m_, id1, v1.get(), "lost"));
    EXPECT_EQ(agent->binaries, (std::vector<std::string>{id1 + "a", id2 + "b"}));

    // A busy agent replaced by a new connection releases them too; the old one's progress is ignored.
    auto agent2 = peer(), agent3 = peer();
    router.attach_agent(m_, agent2);
    agent2->queued = 5000;
    EXPECT_FALSE(router.viewer_binary(m_, id1, v1.get(), "c"));
    agent->queued = 0;
    router.agent_sent(m_, agent.get());
    EXPECT_EQ(v1->resumes, 1);
    router.attach_agent(m_, agent3);
    EXPECT_EQ(agent2->closes, std::vector<uint16_t>{SessionRouter::kCloseReplaced});
    EXPECT_EQ(v1->resumes, 2);
    EXPECT_TRUE(router.viewer_binary(m_, id1, v1.get(), "d"));
    EXPECT_EQ(agent3->binaries, std::vector<std::string>{id1 + "d"});

    // A held viewer taken over by a resumed connection: the new one reads, the closed one is not woken.
    agent3->queued = 5000;
    EXPECT_FALSE(router.viewer_binary(m_, id1, v1.get(), "e"));
    auto v1b = peer();
    EXPECT_EQ(router.attach_viewer(m_, id1, v1b), id1);
    agent3->queued = 0;
    router.agent_sent(m_, agent3.get());
    EXPECT_EQ(v1->resumes, 2);
    EXPECT_EQ(v1b->resumes, 0);
    EXPECT_TRUE(router.viewer_binary(m_, id1, v1b.get(), "f"));

    // No limit to speak of: every message waits for the agent to write it out.
    SessionRouter strict(RouterLimits{3, 2, 0});
    auto a = peer(), v = peer();
    strict.attach_agent(m_, a);
    std::string id = strict.attach_viewer(m_, "", v);
    a->queued = 1;
    EXPECT_FALSE(strict.viewer_binary(m_, id, v.get(), "x"));
    strict.agent_sent(m_, a.get());
    EXPECT_EQ(v->resumes, 0);
    a->queued = 0;
    strict.agent_sent(m_, a.get());
    EXPECT_EQ(v->resumes, 1);
}

TEST_F(RouterTest, ViewerLimitAndShutdown) {
    auto agent = peer();
    router_.attach_agent(m_, agent);
    std::vector<std::shared_ptr<FakePeer>> viewers;
    for (int i = 0; i < 3; ++i) {
        viewers.push_back(peer());
        EXPECT_FALSE(router_.attach_viewer(m_, "", viewers.back()).empty());
    }
    EXPECT_FALSE(router_.viewer_room(m_));
    EXPECT_FALSE(router_.viewer_room(m_, random_uuid()));
    std::string open_session = id_from(*viewers[0]);
    EXPECT_TRUE(router_.viewer_room(m_, open_session));
    auto extra = peer();
    EXPECT_TRUE(router_.attach_viewer(m_, "", extra).empty());
    EXPECT_TRUE(router_.attach_viewer(m_, random_uuid(), extra).empty());
    EXPECT_TRUE(extra->texts.empty());
    EXPECT_TRUE(router_.viewer_room("machine-2"));

    router_.close_all(1001, "bye");
    EXPECT_EQ(agent->closes, std::vector<uint16_t>{1001});
    for (auto& v : viewers) EXPECT_EQ(v->closes, std::vector<uint16_t>{1001});

    router_.clear();
    EXPECT_EQ(agent.use_count(), 1);
    EXPECT_FALSE(router_.agent_online(m_));
}

}  // namespace
