#include "media/monitors.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

TEST(PrimaryRule, OnlyTheOutputAtTheOriginIsPrimary) {
    EXPECT_TRUE(is_primary_position(0, 0));
    EXPECT_FALSE(is_primary_position(-1920, 0));  // left of the primary
    EXPECT_FALSE(is_primary_position(0, 1080));
    EXPECT_FALSE(is_primary_position(1920, -200));
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
