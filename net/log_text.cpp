#include "net/log_text.h"

#include <algorithm>
#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at the start of s (no overlongs, surrogates or
// code points past U+10FFFF), or 0 when it is not one.
size_t utf8_sequence(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = byte(0);
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < n || byte(1) < lo || byte(1) > hi) return 0;
    for (size_t i = 2; i < n; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return n;
}

void append_escape(std::string& out, unsigned char c) {
    switch (c) {
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
}

}  // namespace

std::string log_text(std::string_view text, size_t limit) {
    std::string out;
    out.reserve(std::min(text.size(), limit) + 16);
    size_t i = 0;
    while (i < text.size() && i < limit) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
            ++i;
        } else if (size_t n = c >= 0x80 ? utf8_sequence(text.substr(i)) : 0; n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            append_escape(out, c);
            ++i;
        }
    }
    if (i < text.size()) out += "... (" + std::to_string(text.size() - i) + " more bytes)";
    return out;
}

LogRate::LogRate(unsigned burst, std::chrono::steady_clock::duration window) : burst_(burst), window_(window) {}

std::optional<uint64_t> LogRate::admit() {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    if (now - window_start_ >= window_) {
        window_start_ = now;
        in_window_ = 0;
    }
    if (in_window_ >= burst_) {
        ++held_;
        return std::nullopt;
    }
    ++in_window_;
    const uint64_t held = held_;
    held_ = 0;
    return held;
}

std::string held_note(uint64_t held) {
    if (held == 0) return {};
    return " (" + std::to_string(held) + " similar lines not shown)";
}
