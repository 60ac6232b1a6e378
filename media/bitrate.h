#pragma once

#include <algorithm>
#include <cstdint>

// Bit-rate range the encoders accept (kbit/s). Viewer requests outside it are clamped
// by the agent and refused by the command-line viewer, so the codec never sees 0 or a
// rate its int fields cannot hold.
inline constexpr uint32_t ENCODER_MIN_BITRATE_KBPS = 100;
inline constexpr uint32_t ENCODER_MAX_BITRATE_KBPS = 200000;

// Keeps a requested bit rate within what an encoder can take.
inline uint32_t clamp_bitrate_kbps(uint32_t kbps) {
    return std::clamp(kbps, ENCODER_MIN_BITRATE_KBPS, ENCODER_MAX_BITRATE_KBPS);
}
