#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include <spdlog/spdlog.h>

#include "control/system_stats.h"

namespace {

std::optional<std::string> read_text(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        spdlog::default_logger_raw()->debug("Cannot read {}", path);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<CpuTimes> SystemStats::read_cpu_times() {
    auto text = read_text("/proc/stat");
    return text ? parse_proc_stat(*text) : std::nullopt;
}

bool SystemStats::read_memory(StatsSample& out) {
    auto text = read_text("/proc/meminfo");
    return text && parse_proc_meminfo(*text, out);
}

// Every process has a numeric folder in /proc.
uint32_t SystemStats::count_processes() {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc", ec), end;
    uint32_t count = 0;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); }))
            ++count;
    }
    return count;
}
