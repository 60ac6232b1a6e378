#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// Text that comes from outside (the relay, a viewer, a file name, the clipboard, an HTTP
// answer) never reaches a log line whole: it could be megabytes long or forge lines.
inline constexpr size_t LOG_TEXT_LIMIT = 200;

// The text made safe for one log line: control characters and bytes that are not UTF-8
// become escapes (\n, \r, \t, \xNN), and after `limit` bytes of the original it is cut,
// with the number of bytes left out: "abc... (1048376 more bytes)".
std::string log_text(std::string_view text, size_t limit = LOG_TEXT_LIMIT);

// Keeps a line that outside input can repeat at will (a flood of malformed messages)
// to a few per window. The first line let through after others were held back says how
// many: append held_note(*admit()) to it.
class LogRate {
public:
    explicit LogRate(unsigned burst = 5, std::chrono::steady_clock::duration window = std::chrono::seconds(1));

    // No value: leave this line out. Otherwise the number of lines left out before it.
    std::optional<uint64_t> admit();

private:
    std::mutex mutex_;
    const unsigned burst_;
    const std::chrono::steady_clock::duration window_;
    std::chrono::steady_clock::time_point window_start_{};
    unsigned in_window_ = 0;
    uint64_t held_ = 0;
};

// "" for none, else " (N similar lines not shown)".
std::string held_note(uint64_t held);
