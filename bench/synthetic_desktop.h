#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// Desktop-like BGRA pictures for benchmarks: flat window areas, text-like stripes and a
// region that changes every frame (a video or an animation), so that an encoder sees
// the mix of static and moving content a real screen has.
class SyntheticDesktop {
public:
    SyntheticDesktop(uint32_t width, uint32_t height, uint32_t stride = 0)
        : width_(width), height_(height), stride_(stride ? stride : width * 4),
          pixels_(static_cast<size_t>(stride_) * height) {
        for (uint32_t y = 0; y < height_; ++y) {
            uint8_t* row = row_at(y);
            for (uint32_t x = 0; x < width_; ++x) {
                bool window = x > width_ / 8 && x < width_ * 5 / 8 && y > height_ / 8 && y < height_ * 7 / 8;
                bool text = window && (y / 2) % 9 < 3 && (x * 7 + y) % 11 < 6;
                uint8_t v = text ? 20 : window ? 245 : static_cast<uint8_t>(60 + y * 80 / height_);
                row[x * 4 + 0] = window ? v : static_cast<uint8_t>(v + 60);
                row[x * 4 + 1] = v;
                row[x * 4 + 2] = window ? v : static_cast<uint8_t>(v / 2);
                row[x * 4 + 3] = 255;
            }
        }
    }

    // Redraws the moving region for frame number n.
    void advance(uint32_t n) {
        const uint32_t x0 = width_ * 5 / 8 + 16, y0 = height_ / 4;
        const uint32_t w = width_ / 4, h = height_ / 3;
        uint32_t seed = n * 2654435761u;
        for (uint32_t y = y0; y < y0 + h && y < height_; ++y) {
            uint8_t* row = row_at(y);
            for (uint32_t x = x0; x < x0 + w && x < width_; ++x) {
                seed = seed * 1664525u + 1013904223u;
                uint8_t v = static_cast<uint8_t>(((x + n * 4) ^ y) + (seed >> 29));
                row[x * 4 + 0] = v;
                row[x * 4 + 1] = static_cast<uint8_t>(v * 3);
                row[x * 4 + 2] = static_cast<uint8_t>(255 - v);
            }
        }
    }

    const uint8_t* data() const { return pixels_.data(); }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    uint32_t stride() const { return stride_; }

private:
    uint8_t* row_at(uint32_t y) { return pixels_.data() + static_cast<size_t>(y) * stride_; }

    uint32_t width_;
    uint32_t height_;
    uint32_t stride_;
    std::vector<uint8_t> pixels_;
};
