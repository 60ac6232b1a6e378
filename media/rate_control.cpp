#include "media/rate_control.h"

#include <algorithm>
#include <cmath>

namespace {

// Slice headers and skip runs: what even an unchanged picture costs.
constexpr double OVERHEAD_BITS = 2000;
// Below this changed share a picture says little about the content's complexity.
constexpr double MIN_LEARNING_SHARE = 0.02;

double qp_scale(int qp) { return std::exp2(static_cast<double>(qp) / 6.0); }

int qp_for(double complexity, double target_bits) {
    const double bits = std::max(target_bits - OVERHEAD_BITS, OVERHEAD_BITS);
    const double qp = 6.0 * std::log2(std::max(complexity, 1.0) / bits);
    return static_cast<int>(std::lround(std::clamp(qp, double{RateControl::MIN_QP}, double{RateControl::MAX_QP})));
}

}  // namespace

void RateControl::reset(uint32_t fps, int64_t bits_per_second, uint64_t pixels) {
    fps_ = std::max<uint32_t>(fps, 1);
    bit_rate_ = std::max<int64_t>(bits_per_second, 1);
    // Typical desktop content; the first pictures correct it.
    key_complexity_ = 30.0 * static_cast<double>(pixels);
    delta_complexity_ = 10.0 * static_cast<double>(pixels);
    debt_ = 0;
    last_delta_qp_ = MIN_QP;
    pending_key_ = false;
    pending_changed_ = 1;
    pending_qp_ = last_delta_qp_;
}

void RateControl::set_bit_rate(int64_t bits_per_second) { bit_rate_ = std::max<int64_t>(bits_per_second, 1); }

double RateControl::per_frame() const { return static_cast<double>(bit_rate_) / fps_; }

int RateControl::next_qp(bool keyframe, double changed) {
    const double budget = per_frame();
    // Pay back what went over within half a second.
    const double repay = debt_ / std::max(fps_ / 2.0, 1.0);
    int qp;
    if (keyframe) {
        // A keyframe may take half a second's budget, less what is owed; it is never
        // much sharper than the pictures around it.
        const double target = std::max(budget * fps_ / 2.0 - debt_, budget);
        qp = std::max(qp_for(key_complexity_, target), last_delta_qp_ - 3);
        changed = 1;
    } else {
        changed = std::clamp(changed, 0.0, 1.0);
        const double target = std::clamp(budget - repay, budget / 8, budget * 4);
        qp = qp_for(delta_complexity_ * std::max(changed, 1e-4), target);
        qp = std::max(qp, last_delta_qp_ - 2);
        last_delta_qp_ = qp;
    }
    pending_key_ = keyframe;
    pending_changed_ = changed;
    pending_qp_ = qp;
    return qp;
}

void RateControl::update(size_t bytes) {
    const double bits = static_cast<double>(bytes) * 8;
    // The bucket holds one second: what went over beyond that (content the rate cannot
    // carry even at the top QP) is not paid back later. Unspent budget is kept only up
    // to a quarter second's worth.
    const double second = static_cast<double>(bit_rate_);
    debt_ = std::clamp(debt_ + bits - per_frame(), -second / 4, second);
    if (pending_changed_ < MIN_LEARNING_SHARE) return;
    double& complexity = pending_key_ ? key_complexity_ : delta_complexity_;
    const double scale = qp_scale(pending_qp_) / pending_changed_;
    if (bits < 2 * OVERHEAD_BITS) {
        // Hardly more than the overhead: the content is at most this complex.
        complexity = std::min(complexity, 2 * OVERHEAD_BITS * scale);
        return;
    }
    complexity = 0.5 * complexity + 0.5 * (bits - OVERHEAD_BITS) * scale;
}
