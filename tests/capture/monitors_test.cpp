#include "media/monitors.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace {

std::vector<bool> primaries(const std::vector<MonitorInfo>& monitors) {
    std::vector<bool> flags;
    for (const MonitorInfo& monitor : monitors) flags.push_back(monitor.is_primary);
    return flags;
}

}  // namespace

TEST(SettlePrimary, KeepsExactlyOnePrimary) {
    std::vector<MonitorInfo> none(3);
    settle_primary(none);
    EXPECT_EQ(primaries(none), (std::vector<bool>{true, false, false}));

    std::vector<MonitorInfo> second(3);
    second[1].is_primary = true;
    settle_primary(second);
    EXPECT_EQ(primaries(second), (std::vector<bool>{false, true, false}));

    std::vector<MonitorInfo> several(3);
    several[1].is_primary = several[2].is_primary = true;
    settle_primary(several);
    EXPECT_EQ(primaries(several), (std::vector<bool>{false, true, false}));

    std::vector<MonitorInfo> empty;
    settle_primary(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(LogMonitor, NegativePositionsAndThePrimarySuffix) {
    LogCapture logs;
    MonitorInfo left{1, "DP-2", 1920, 1080, -1920, -200, false};
    MonitorInfo main{0, "HDMI-1", 2560, 1440, 0, 0, true};
    log_monitor(left);
    log_monitor(main);
    EXPECT_EQ(logs.text(), "info|Monitor 1: DP-2 (1920x1080 at -1920,-200)\n"
                           "info|Monitor 0: HDMI-1 (2560x1440 at 0,0) [primary]\n");
}
