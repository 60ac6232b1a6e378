// The real agent answers the command-line viewer's offer (--p2p), inside a private
// network namespace where the STUN servers cannot be reached.

#include <chrono>
#include <regex>

#include <gtest/gtest.h>

#include "tests/p2p/private_network.h"
#include "tests/support/process.h"
#include "tests/support/rig.h"

using namespace testsupport;
using namespace std::chrono_literals;

TEST(P2PAgent, CommandLineViewerOpensAChannelAndItsPeerGoesWithTheSession) {
    if (!in_private_network()) GTEST_SKIP() << "no private network namespace";
    Rig rig;
    ASSERT_TRUE(rig.start_system(320, 240)) << rig.error();
    ASSERT_TRUE(rig.start_agent()) << rig.error();

    for (int run = 0; run < 2; ++run) {
        std::vector<std::string> args = rig.viewer_args();
        for (const char* a : {"--seconds", "4", "--p2p"}) args.emplace_back(a);
        Process viewer;
        ASSERT_TRUE(viewer.start(args));
        auto rc = viewer.wait(30s);
        if (!rc) viewer.stop();
        ASSERT_EQ(rc, 0) << viewer.out() << viewer.err();
        std::smatch m;
        const std::string out = viewer.out();
        ASSERT_TRUE(std::regex_search(out, m, std::regex("P2P data channel open after (\\d+) ms"))) << out;
        EXPECT_LT(std::stoi(m[1]), 10000);

        // The viewer left: its channel closed and its peer was released with the session.
        const std::string released = "P2P peer released: ";
        ASSERT_TRUE(wait_until([&] {
            std::string log = rig.agent().out() + rig.agent().err();
            size_t n = 0;
            for (size_t p = log.find(released); p != std::string::npos; p = log.find(released, p + 1)) ++n;
            return n == static_cast<size_t>(run + 1);
        }, 10s)) << rig.agent().out();
    }
    const std::string log = rig.agent().out() + rig.agent().err();
    auto count = [&](const std::string& s) {
        size_t n = 0;
        for (size_t p = log.find(s); p != std::string::npos; p = log.find(s, p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("P2P data channel received: zarvex"), 2u);
    EXPECT_EQ(count("P2P data channel OPEN - bypassing relay for video!"), 2u);
    EXPECT_EQ(count("P2P data channel closed"), 2u);
    EXPECT_EQ(count("P2P signal handling error"), 0u);

    rig.agent().signal(SIGTERM);
    EXPECT_EQ(rig.agent().wait(15s), 0) << rig.agent().err();
}
