// When a lost capture source is tried again and when it counts as gone for good.
#include <gtest/gtest.h>

#include "media/screen_capture.h"

namespace {

constexpr int64_t INTERVAL = CaptureRecovery::RETRY_INTERVAL_MS;
constexpr int64_t GIVE_UP = CaptureRecovery::GIVE_UP_AFTER_MS;

// Fails at `start`, then tries at every due attempt until `until`, each attempt failing
// with `failure`; the number of attempts made.
int fail_until(CaptureRecovery& r, int64_t start, int64_t until, CaptureRecovery::Failure failure) {
    r.failed(start);
    int attempts = 0;
    for (int64_t t = start; t <= until && !r.gone(); t += 10) {
        if (!r.attempt_due(t)) continue;
        ++attempts;
        r.failed(t, failure);
    }
    return attempts;
}

}  // namespace

TEST(CaptureRecovery, RetriesAtOnceThenAtABoundedRateUntilItHasFailedForTheWholeWindow) {
    CaptureRecovery r;
    EXPECT_FALSE(r.failing());
    r.failed(1000);
    EXPECT_TRUE(r.attempt_due(1000)) << "the first attempt comes at once";
    r.failed(1000);
    EXPECT_FALSE(r.attempt_due(1000 + INTERVAL - 1));
    EXPECT_TRUE(r.attempt_due(1000 + INTERVAL));
    EXPECT_FALSE(r.attempt_due(1000 + INTERVAL)) << "one attempt per interval";

    // One failed re-creation is not the end: it keeps trying for the whole window.
    CaptureRecovery lasting;
    const int attempts = fail_until(lasting, 0, 3 * GIVE_UP, CaptureRecovery::Failure::Lasting);
    EXPECT_TRUE(lasting.gone());
    EXPECT_EQ(attempts, GIVE_UP / INTERVAL + 1);
    EXPECT_FALSE(lasting.attempt_due(3 * GIVE_UP)) << "nothing is tried once gone";

    // A source that comes back starts afresh: a later loss gets the whole window again.
    CaptureRecovery back;
    fail_until(back, 0, GIVE_UP - INTERVAL, CaptureRecovery::Failure::Lasting);
    ASSERT_FALSE(back.gone());
    back.delivered();
    EXPECT_FALSE(back.failing());
    back.failed(GIVE_UP + 1);
    EXPECT_TRUE(back.attempt_due(GIVE_UP + 1));
    back.failed(2 * GIVE_UP);
    EXPECT_FALSE(back.gone());
}

TEST(CaptureRecovery, DeviceRemovedIsLostAtOnceASecureDesktopNever) {
    CaptureRecovery removed;
    removed.failed(0);
    ASSERT_TRUE(removed.attempt_due(0));
    removed.failed(0, CaptureRecovery::Failure::DeviceRemoved);
    EXPECT_TRUE(removed.gone());

    // Another desktop shown for minutes (a sign-in prompt): retried all the while.
    CaptureRecovery blocked;
    const int attempts = fail_until(blocked, 0, 20 * GIVE_UP, CaptureRecovery::Failure::Blocked);
    EXPECT_FALSE(blocked.gone());
    EXPECT_EQ(attempts, 20 * GIVE_UP / INTERVAL + 1);
    // Once the prompt is gone and re-creation fails otherwise, the window starts then.
    const int64_t after = 20 * GIVE_UP;
    blocked.failed(after + GIVE_UP - 1);
    EXPECT_FALSE(blocked.gone());
    blocked.failed(after + GIVE_UP);
    EXPECT_TRUE(blocked.gone());
}
