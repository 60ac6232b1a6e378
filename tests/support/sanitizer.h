#pragma once

// What tests need to know about sanitizer builds (cmake/Sanitizers.cmake,
// scripts/test-sanitizers): whether one is on, how much more memory our processes take
// under it, and where a sanitizer report starts in a process's output.

#include <cstddef>
#include <cstdlib>
#include <string>

namespace testsupport {

#if defined(ZARVEX_SANITIZER_ADDRESS)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#if defined(ZARVEX_SANITIZER_THREAD)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

// How many times slower our code runs under the sanitizer, for bounds on latency: checked
// memory accesses (AddressSanitizer) and every access and lock recorded (ThreadSanitizer).
inline constexpr int kSanitizerSlowdown = kAddressSanitizer ? 2 : kThreadSanitizer ? 5 : 1;

// AddressSanitizer's quarantine of freed blocks in MiB: quarantine_size_mb in
// ASAN_OPTIONS, else the runtime's default of 256.
inline size_t asan_quarantine_mib() {
    const char* options = std::getenv("ASAN_OPTIONS");
    const std::string text = options ? options : "";
    const std::string key = "quarantine_size_mb=";
    const size_t at = text.find(key);
    return at == std::string::npos ? 256 : std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

// A bound on one of our processes' memory (resident size, or its growth) in KiB, given the
// bound for a plain build. AddressSanitizer: shadow memory and redzones about double what a
// process touches, and freed blocks wait in the quarantine before they are used again, so
// memory the process gives back still counts up to the quarantine's size. ThreadSanitizer:
// shadow and metadata take several times what the process touches.
inline size_t memory_limit_kib(size_t plain_kib) {
    if constexpr (kAddressSanitizer) return 2 * plain_kib + asan_quarantine_mib() * 1024;
    if constexpr (kThreadSanitizer) return 6 * plain_kib + 64 * 1024;
    return plain_kib;
}

// Offset of the first sanitizer report in a process's output (AddressSanitizer, leaks,
// undefined behaviour, ThreadSanitizer), or npos.
inline size_t sanitizer_report_at(const std::string& text) {
    size_t first = std::string::npos;
    for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                               "ThreadSanitizer: ", "runtime error: ", "SUMMARY: UndefinedBehaviorSanitizer"}) {
        const size_t at = text.find(marker);
        if (at < first) first = at;
    }
    if (first == std::string::npos) return first;
    const size_t line = text.rfind('\n', first);
    return line == std::string::npos ? 0 : line + 1;
}

}  // namespace testsupport
