#pragma once

#include <cstddef>
#include <cstdint>

// Quantiser choice for the software encoder, which runs libx264 at a constant QP per
// picture (its own bit-rate control costs a quarter of the encoder's time on a desktop
// picture). Each picture's QP comes from a model of the content: the bits a picture
// takes are its changed share times a complexity, halved for every 6 QP steps. The
// complexities (one for keyframes, one for the others) are learned from what came
// out, and a one-second bucket pays back what went over the bit rate within half a
// second. QP falls at most 2 per picture and rises as far as needed at once, so a
// still screen sharpens gradually and a sudden full-screen change does not burst.
class RateControl {
public:
    // Below 10 the picture looks no better and costs far more. The top is libx264's:
    // past 51 (H.264's highest QP) it codes at 51 with ever wider dead zones, which is
    // what reaches very low rates.
    static constexpr int MIN_QP = 10;
    static constexpr int MAX_QP = 69;

    // Forgets what was learned; pixels is the coded picture's size.
    void reset(uint32_t fps, int64_t bits_per_second, uint64_t pixels);
    void set_bit_rate(int64_t bits_per_second);
    int64_t bit_rate() const { return bit_rate_; }

    // QP for the next picture; changed is the share of its macroblocks that changed
    // (1 for a whole picture and for keyframes).
    int next_qp(bool keyframe, double changed);
    // What the picture next_qp was asked for came to.
    void update(size_t bytes);

    // Bits over the budget so far (negative: a little saved up). For tests.
    double debt_bits() const { return debt_; }

private:
    double per_frame() const;

    uint32_t fps_ = 30;
    int64_t bit_rate_ = 0;
    double key_complexity_ = 0;    // bits of a keyframe at QP 0
    double delta_complexity_ = 0;  // bits of a wholly changed delta picture at QP 0
    double debt_ = 0;
    int last_delta_qp_ = MIN_QP;
    // The picture being encoded.
    bool pending_key_ = false;
    double pending_changed_ = 1;
    int pending_qp_ = 30;
};
