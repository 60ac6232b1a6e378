#pragma once

// Checks on received sound: 16-bit interleaved samples split by channel, and the
// frequency that carries the most energy.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace audiotest {

// Channel `c` of interleaved 16-bit little-endian samples.
inline std::vector<double> channel_of(const std::vector<uint8_t>& s16, uint16_t channels, uint16_t c) {
    std::vector<double> out;
    const size_t frame = 2u * channels;
    out.reserve(s16.size() / frame);
    for (size_t at = 2u * c; at + 1 < s16.size(); at += frame)
        out.push_back(static_cast<int16_t>(s16[at] | (s16[at + 1] << 8)));
    return out;
}

// Energy of x at frequency f (Goertzel).
inline double power_at(const std::vector<double>& x, size_t n, double f, uint32_t rate) {
    const double w = 2.0 * M_PI * f / rate, k = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        const double s0 = x[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - k * s1 * s2;
}

// The dominant frequency between 20 Hz and the lower of 20 kHz and half the rate: a
// coarse scan over a 0.1 s stretch, refined to 0.1 Hz over up to 2 s of the signal.
inline double dominant_frequency(const std::vector<double>& x, uint32_t rate) {
    if (x.empty() || rate == 0) return 0;
    const double top = std::min(20000.0, rate / 2.0);
    const size_t coarse_n = std::min<size_t>(x.size(), rate / 10);
    double best_f = 0, best_p = -1;
    for (double f = 20; f <= top; f += 10) {
        const double p = power_at(x, coarse_n, f, rate);
        if (p > best_p) best_p = p, best_f = f;
    }
    const size_t fine_n = std::min<size_t>(x.size(), 2 * rate);
    const double centre = best_f;
    best_p = -1;
    for (double f = std::max(20.0, centre - 15); f <= centre + 15; f += 0.1) {
        const double p = power_at(x, fine_n, f, rate);
        if (p > best_p) best_p = p, best_f = f;
    }
    return best_f;
}

}  // namespace audiotest
