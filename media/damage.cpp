#include "media/damage.h"

#include <algorithm>
#include <climits>

DamageRect rect_from_edges(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    if (right <= left || bottom <= top) return {};
    const int64_t w = int64_t{right} - left, h = int64_t{bottom} - top;
    if (w > INT32_MAX || h > INT32_MAX) return {};
    return {left, top, static_cast<int32_t>(w), static_cast<int32_t>(h)};
}

DamageRect clip_rect(const DamageRect& r, uint32_t width, uint32_t height) {
    if (r.empty()) return {};
    const int64_t x0 = std::max<int64_t>(r.x, 0);
    const int64_t y0 = std::max<int64_t>(r.y, 0);
    const int64_t x1 = std::min<int64_t>(int64_t{r.x} + r.width, width);
    const int64_t y1 = std::min<int64_t>(int64_t{r.y} + r.height, height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {static_cast<int32_t>(x0), static_cast<int32_t>(y0), static_cast<int32_t>(x1 - x0),
            static_cast<int32_t>(y1 - y0)};
}

DamageRect widen_to_even(const DamageRect& r, uint32_t width, uint32_t height) {
    DamageRect c = clip_rect(r, width, height);
    if (c.empty()) return {};
    const int32_t x0 = c.x & ~1;
    const int32_t y0 = c.y & ~1;
    const int32_t x1 = static_cast<int32_t>(std::min<int64_t>((int64_t{c.right()} + 1) & ~int64_t{1}, width));
    const int32_t y1 = static_cast<int32_t>(std::min<int64_t>((int64_t{c.bottom()} + 1) & ~int64_t{1}, height));
    return {x0, y0, x1 - x0, y1 - y0};
}

DamageRect bounding_rect(const DamageRect& a, const DamageRect& b) {
    if (a.empty()) return b.empty() ? DamageRect{} : b;
    if (b.empty()) return a;
    const int32_t x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    const int32_t x1 = std::max(a.right(), b.right()), y1 = std::max(a.bottom(), b.bottom());
    return {x0, y0, x1 - x0, y1 - y0};
}

namespace {

// Overlapping or sharing an edge: one rectangle converts both at no extra cost.
bool touches(const DamageRect& a, const DamageRect& b) {
    return a.x <= b.right() && b.x <= a.right() && a.y <= b.bottom() && b.y <= a.bottom();
}

}  // namespace

void DamageRegion::set_size(uint32_t width, uint32_t height) {
    if (width == width_ && height == height_) return;
    width_ = width;
    height_ = height;
    add_all();
}

void DamageRegion::add_all() {
    all_ = true;
    rects_.clear();
}

void DamageRegion::clear() {
    all_ = false;
    rects_.clear();
}

void DamageRegion::add(const DamageRect& r) {
    if (all_) return;
    DamageRect c = clip_rect(r, width_, height_);
    if (c.empty()) return;
    // Fold in every rectangle the new one touches, repeatedly, since the grown one may
    // now touch others.
    for (bool merged = true; merged;) {
        merged = false;
        for (size_t i = 0; i < rects_.size(); ++i) {
            if (!touches(rects_[i], c)) continue;
            c = bounding_rect(rects_[i], c);
            rects_.erase(rects_.begin() + static_cast<std::ptrdiff_t>(i));
            merged = true;
            break;
        }
    }
    rects_.push_back(c);
    int64_t total = 0;
    for (const DamageRect& d : rects_) total += d.area();
    // Most of the picture: one whole conversion (and one fetch) is cheaper than many.
    if (total * 10 >= int64_t{width_} * height_ * 6) {
        add_all();
        return;
    }
    if (rects_.size() > MAX_RECTS) {
        DamageRect box;
        for (const DamageRect& d : rects_) box = bounding_rect(box, d);
        rects_.assign(1, box);
    }
}

std::vector<DamageRect> DamageRegion::rects() const {
    std::vector<DamageRect> out;
    rects_into(out);
    return out;
}

void DamageRegion::rects_into(std::vector<DamageRect>& out) const {
    out.clear();
    if (width_ == 0 || height_ == 0) return;
    if (all_) {
        out.push_back({0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)});
        return;
    }
    for (const DamageRect& d : rects_) {
        DamageRect w = widen_to_even(d, width_, height_);
        if (!w.empty()) out.push_back(w);
    }
}
