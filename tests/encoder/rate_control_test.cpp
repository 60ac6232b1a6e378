#include "media/rate_control.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t FPS = 30;
constexpr uint64_t PIXELS = 1920 * 1080;

// A coder whose pictures take complexity x changed share bits at QP 0, halved every 6
// QP steps, plus a fixed overhead: what the rate control assumes, with the content's
// complexity unknown to it.
struct Coder {
    RateControl rc;
    double complexity;  // bits of a wholly changed delta picture at QP 0
    double key_factor = 3;
    int qp = 0;  // of the last picture

    size_t code(bool key, double changed) {
        qp = rc.next_qp(key, changed);
        const double share = key ? 1.0 : changed;
        const double bits = 1500 + complexity * (key ? key_factor : 1.0) * share * std::exp2(-qp / 6.0);
        const size_t bytes = static_cast<size_t>(bits / 8);
        rc.update(bytes);
        return bytes;
    }
    // Mean bits per picture over n delta pictures.
    double mean_bits(int n, double changed) {
        double total = 0;
        for (int i = 0; i < n; ++i) total += static_cast<double>(code(false, changed)) * 8;
        return total / n;
    }
};

Coder open(int64_t bit_rate, double complexity) {
    Coder c{{}, complexity};
    c.rc.reset(FPS, bit_rate, PIXELS);
    c.code(true, 1);
    return c;
}

}  // namespace

TEST(RateControl, KeepsToTheBitRateWhateverTheContent) {
    // From flat desktop content to noisy video (QP about 15 to 40 at this rate).
    for (double complexity : {1e6, 5e6, 2e7}) {
        Coder c = open(4'000'000, complexity);
        c.mean_bits(60, 1);  // settling
        const double budget = 4e6 / FPS;
        EXPECT_NEAR(c.mean_bits(60, 1), budget, budget * 0.15) << complexity;
        // Half the rate, half the bits.
        c.rc.set_bit_rate(2'000'000);
        c.mean_bits(60, 1);
        EXPECT_NEAR(c.mean_bits(60, 1), budget / 2, budget * 0.1) << complexity;
    }
}

TEST(RateControl, AFullChangeAfterAStillSpellDoesNotBurst) {
    Coder c = open(4'000'000, 1e7);
    c.mean_bits(60, 1);  // moving content: the complexity is learned
    c.mean_bits(90, 0.001);  // a cursor blinking: QP sinks
    const double budget = 4e6 / FPS;
    const double first = static_cast<double>(c.code(false, 1)) * 8;
    EXPECT_LT(first, 2 * budget);
    EXPECT_GT(first, budget / 4);
}

TEST(RateControl, AKeyframeTakesAtMostHalfASecondAndIsPaidBackSoon) {
    Coder c = open(4'000'000, 1e7);
    c.mean_bits(60, 1);
    const double budget = 4e6 / FPS;
    const double key = static_cast<double>(c.code(true, 1)) * 8;
    EXPECT_LT(key, budget * FPS / 2 * 1.2);
    EXPECT_GT(key, budget);
    c.mean_bits(FPS, 1);  // half a second to pay back, a little more to settle
    EXPECT_LT(c.rc.debt_bits(), budget * 2);
    EXPECT_NEAR(c.mean_bits(30, 1), budget, budget * 0.15);
}

TEST(RateControl, QpStaysOnTheScaleAndFallsGradually) {
    Coder hard = open(100'000, 1e10);  // far more content than the rate can carry
    for (int i = 0; i < 30; ++i) hard.code(false, 1);
    EXPECT_EQ(hard.qp, RateControl::MAX_QP);
    // Then the screen turns easy: QP comes down two steps a picture, to the bottom.
    hard.complexity = 1e4;
    std::vector<int> qps;
    for (int i = 0; i < 40; ++i) {
        hard.rc.set_bit_rate(200'000'000);
        hard.code(false, 1);
        qps.push_back(hard.qp);
    }
    for (size_t i = 1; i < qps.size(); ++i) EXPECT_GE(qps[i], qps[i - 1] - 2);
    EXPECT_EQ(qps.back(), RateControl::MIN_QP);
}
