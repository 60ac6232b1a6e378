#include "control/system_stats.h"

#include <charconv>
#include <vector>

SystemStats::SystemStats() {
    if (auto now = read_cpu_times()) prev_ = *now;
}

StatsSample SystemStats::sample() {
    StatsSample s;
    if (auto now = read_cpu_times()) {
        s.cpu_percent = cpu_load_percent(prev_, *now);
        prev_ = *now;
    }
    read_memory(s);
    s.process_count = count_processes();
    return s;
}

float cpu_load_percent(const CpuTimes& prev, const CpuTimes& now) {
    // Counters only run backwards across a wrap or a reset; that interval means nothing.
    if (now.idle < prev.idle || now.kernel < prev.kernel || now.user < prev.user) return 0.0f;
    const uint64_t total = (now.kernel - prev.kernel) + (now.user - prev.user);
    if (total == 0) return 0.0f;
    const float idle = static_cast<float>(now.idle - prev.idle);
    const float percent = (1.0f - idle / static_cast<float>(total)) * 100.0f;
    if (percent < 0.0f) return 0.0f;
    if (percent > 100.0f) return 100.0f;
    return percent;
}

namespace {

// Unsigned decimal numbers of a line, in order; stops at the first token that is not one.
std::vector<uint64_t> numbers(std::string_view line) {
    std::vector<uint64_t> out;
    size_t pos = 0;
    while (true) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string_view::npos) break;
        uint64_t v = 0;
        auto [end, ec] = std::from_chars(line.data() + pos, line.data() + line.size(), v);
        if (ec != std::errc() || (end != line.data() + line.size() && *end != ' ' && *end != '\t')) break;
        out.push_back(v);
        pos = static_cast<size_t>(end - line.data());
    }
    return out;
}

// The line starting with key (followed by a blank), without the key.
std::optional<std::string_view> line_after(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (line.size() > key.size() && line.starts_with(key) && (line[key.size()] == ' ' || line[key.size()] == '\t'))
            return line.substr(key.size());
    }
    return std::nullopt;
}

std::optional<uint64_t> meminfo_kb(std::string_view text, std::string_view key) {
    auto line = line_after(text, key);
    if (!line) return std::nullopt;
    std::vector<uint64_t> v = numbers(line->substr(0, line->find(" kB")));
    if (v.empty()) return std::nullopt;
    return v[0];
}

}  // namespace

std::optional<CpuTimes> parse_proc_stat(std::string_view text) {
    auto line = line_after(text, "cpu");
    if (!line) return std::nullopt;
    // user nice system idle iowait irq softirq steal (guest times are already in user).
    std::vector<uint64_t> v = numbers(*line);
    if (v.size() < 4) return std::nullopt;
    v.resize(8, 0);
    CpuTimes t;
    t.user = v[0] + v[1];
    t.idle = v[3] + v[4];
    t.kernel = v[2] + v[5] + v[6] + v[7] + t.idle;
    return t;
}

bool parse_proc_meminfo(std::string_view text, StatsSample& out) {
    auto total = meminfo_kb(text, "MemTotal:");
    if (!total) return false;
    auto available = meminfo_kb(text, "MemAvailable:");
    if (!available) available = meminfo_kb(text, "MemFree:");
    const uint64_t avail = available.value_or(0);
    out.mem_total_mb = *total >> 10;
    out.mem_used_mb = avail < *total ? (*total - avail) >> 10 : 0;
    return true;
}
