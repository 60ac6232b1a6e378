#include <vector>

#include <gtest/gtest.h>

#include "app/agent_runtime.h"
#include "app/entry.h"
#include "app/run_flag.h"

namespace {
RunMode mode(std::vector<const char*> args) {
    args.insert(args.begin(), "agent");
    return choose_run_mode(static_cast<int>(args.size()), args.data());
}
}  // namespace

TEST(RunMode, PassesOverTheArguments) {
    EXPECT_EQ(mode({}), RunMode::Interactive);
    EXPECT_EQ(mode({"--verbose", "-setup", "--SETUP", "--setup="}), RunMode::Interactive);
    EXPECT_EQ(mode({"--install", "--setup"}), RunMode::Setup);
    EXPECT_EQ(mode({"--service", "--uninstall"}), RunMode::Service);
    EXPECT_EQ(mode({"--install", "--service"}), RunMode::Install);
    EXPECT_EQ(mode({"x", "--uninstall", "--install"}), RunMode::Uninstall);
    // argv[0] is never examined.
    const char* argv[] = {"--setup"};
    EXPECT_EQ(choose_run_mode(1, argv), RunMode::Interactive);
}

TEST(RunFlag, StopSignalOnlyClears) {
    ASSERT_TRUE(g_running.load());
    on_stop_signal(2);
    EXPECT_FALSE(g_running.load());
    on_stop_signal(15);
    EXPECT_FALSE(g_running.load());
    g_running = true;  // restore for other tests in this process
}

TEST(FrameInterval, ZeroFpsNeverDivides) {
    EXPECT_EQ(frame_interval_us_for(30), 33333u);
    EXPECT_EQ(frame_interval_us_for(60), 16666u);
    EXPECT_EQ(frame_interval_us_for(7), 142857u);
    EXPECT_EQ(frame_interval_us_for(0), 33333u);
}
