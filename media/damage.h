#pragma once

// Changed areas of a desktop picture, as the capture reports them and the colour
// conversion consumes them. Pure arithmetic, shared by every platform.

#include <cstddef>
#include <cstdint>
#include <vector>

// A rectangle of pixels: columns [x, x + width), rows [y, y + height).
struct DamageRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    int64_t area() const { return empty() ? 0 : int64_t{width} * height; }
    int32_t right() const { return x + width; }
    int32_t bottom() const { return y + height; }
    bool operator==(const DamageRect&) const = default;
};

// From left, top, right and bottom edges (right and bottom exclusive, as in Windows
// RECTs); empty when they are reversed.
DamageRect rect_from_edges(int32_t left, int32_t top, int32_t right, int32_t bottom);

// The part of r inside a width x height picture (empty when they do not meet).
DamageRect clip_rect(const DamageRect& r, uint32_t width, uint32_t height);

// r clipped to the picture, then grown to even corners (4:2:0 chroma covers pixel pairs),
// the far edges kept inside the picture: an odd picture's last column or row stays the
// last one converted.
DamageRect widen_to_even(const DamageRect& r, uint32_t width, uint32_t height);

// Smallest rectangle holding both (an empty one holds nothing).
DamageRect bounding_rect(const DamageRect& a, const DamageRect& b);

// Changed areas gathered between two conversions: rectangles as they come, clipped to
// the picture, touching or overlapping ones merged, and too many of them (or too much
// of the picture) turned into the whole picture. Not thread-safe.
class DamageRegion {
public:
    // More separate rectangles than this are converted as their bounding box.
    static constexpr size_t MAX_RECTS = 16;

    void set_size(uint32_t width, uint32_t height);
    void add(const DamageRect& r);
    void add_all();  // the whole picture changed (first frame, resize, keyframe)
    void clear();

    bool empty() const { return !all_ && rects_.empty(); }
    bool all() const { return all_; }
    // The rectangles to convert, widened to even corners; the whole picture once all().
    // Empty for a zero-sized picture.
    std::vector<DamageRect> rects() const;
    // Same, into a caller's vector (cleared first) so that it can be reused.
    void rects_into(std::vector<DamageRect>& out) const;

private:
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    bool all_ = false;
    std::vector<DamageRect> rects_;  // clipped, not yet widened
};
