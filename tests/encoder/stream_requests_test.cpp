// The stream's requests from other threads and its backlog limit.
#include <gtest/gtest.h>

#include "media/video_stream.h"

namespace {

// However many requests come, a requested keyframe is made at most once per 250 ms, and
// a request inside that time is kept for its end rather than lost.
TEST(StreamRequests, KeyframeRequestsAreCoalescedNotLost) {
    StreamRequests requests;
    constexpr int64_t ms = 1'000'000;
    EXPECT_FALSE(requests.take_keyframe_request(0));
    for (int i = 0; i < 50; ++i) requests.request_keyframe();
    EXPECT_TRUE(requests.take_keyframe_request(1000 * ms));
    EXPECT_FALSE(requests.take_keyframe_request(1001 * ms)) << "one keyframe answers the whole burst";
    requests.request_keyframe();
    EXPECT_FALSE(requests.take_keyframe_request(1100 * ms));
    EXPECT_FALSE(requests.take_keyframe_request(1249 * ms));
    EXPECT_TRUE(requests.take_keyframe_request(1250 * ms)) << "the late request waits, then gets its keyframe";
    EXPECT_FALSE(requests.take_keyframe_request(2000 * ms));

    requests.set_bitrate(2500);
    EXPECT_EQ(requests.take_bitrate(), 2500u);
    EXPECT_EQ(requests.take_bitrate(), 0u);
}

TEST(StreamBacklog, AQuarterSecondAtTheBitRateOrTheLinksPaceAndNeverUnderTwoPictures) {
    EXPECT_EQ(send_backlog_limit(4000, 0), 125000u);
    EXPECT_EQ(send_backlog_limit(4000, 10000), 125000u);
    EXPECT_EQ(send_backlog_limit(4000, 100000), 200000u);
    EXPECT_EQ(send_backlog_limit(100, 20000), 40000u);
    // A link slower than the bit rate: a quarter second at its pace.
    EXPECT_EQ(send_backlog_limit(4000, 5000, 200000.0), 50000u);
    EXPECT_EQ(send_backlog_limit(4000, 5000, 900000.0), 125000u) << "never more than at the bit rate";
    EXPECT_EQ(send_backlog_limit(4000, 5000, 0.0), 10000u) << "a stalled link: two pictures";
}

}  // namespace
