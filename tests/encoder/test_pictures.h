#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

// Eight flat colours (B, G, R) in a 4 x 2 grid: distinct enough to survive H.264.
inline constexpr std::array<std::array<uint8_t, 3>, 8> BLOCK_COLOURS = {{
    {0, 0, 220}, {0, 200, 0}, {210, 0, 0}, {0, 220, 220},
    {220, 0, 220}, {220, 220, 0}, {30, 30, 30}, {235, 235, 235},
}};

// Block colour index at (x, y) of a width x height picture, grid shifted right by shift pixels.
inline size_t block_at(uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint32_t shift = 0) {
    return static_cast<size_t>(((x + shift) % width) * 4 / width + (y * 2 / height) * 4);
}

// BGRA picture of coloured blocks; bytes between width * 4 and stride are filled with 0xAB.
inline void fill_blocks(uint8_t* pixels, uint32_t width, uint32_t height, uint32_t stride, uint32_t shift = 0) {
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = pixels + static_cast<size_t>(y) * stride;
        std::memset(row, 0xAB, stride);
        for (uint32_t x = 0; x < width; ++x) {
            const auto& c = BLOCK_COLOURS[block_at(x, y, width, height, shift)];
            row[x * 4 + 0] = c[0];
            row[x * 4 + 1] = c[1];
            row[x * 4 + 2] = c[2];
            row[x * 4 + 3] = 255;
        }
    }
}

inline std::vector<uint8_t> blocks(uint32_t width, uint32_t height, uint32_t stride, uint32_t shift = 0) {
    std::vector<uint8_t> pixels(static_cast<size_t>(stride) * height);
    fill_blocks(pixels.data(), width, height, stride, shift);
    return pixels;
}

// A buffer whose last byte sits right before an inaccessible page: reading past the
// end crashes instead of passing unnoticed.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size) : size_(size) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        data_pages_ = (size + page - 1) / page;
        mapped_ = (data_pages_ + 1) * page;
        void* m = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = m == MAP_FAILED ? nullptr : static_cast<uint8_t*>(m);
        if (base_) mprotect(base_ + data_pages_ * page, page, PROT_NONE);
        data_ = base_ ? base_ + data_pages_ * page - size : nullptr;
    }
    ~GuardedBuffer() {
        if (base_) munmap(base_, mapped_);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return data_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    size_t data_pages_ = 0;
    size_t mapped_ = 0;
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
};
