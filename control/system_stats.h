#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "net/protocol.h"

// Cumulative processor times of the whole system. Windows reports 100-ns units, Linux
// clock ticks; only ratios of differences are used. Kernel time includes idle time.
struct CpuTimes {
    uint64_t idle = 0;
    uint64_t kernel = 0;
    uint64_t user = 0;
};

// Samples processor load, physical memory and the number of processes for the viewers'
// SystemStatsReport. Used by the streaming loop only (no locking). A figure that cannot be
// measured is reported as 0.
class SystemStats {
public:
    // Takes the first reading of the processor times; the first sample covers the time
    // since construction.
    SystemStats();

    // Load over the interval since the previous sample (or construction), memory in whole
    // MiB and the process count.
    StatsSample sample();

private:
    // Platform backends.
    static std::optional<CpuTimes> read_cpu_times();
    static bool read_memory(StatsSample& out);  // fills mem_used_mb and mem_total_mb
    static uint32_t count_processes();

    CpuTimes prev_;
};

// Load in percent between two readings: (1 - idle / (kernel + user)) x 100 over the
// differences. 0 when no time passed or a counter went backwards; kept within 0..100.
float cpu_load_percent(const CpuTimes& prev, const CpuTimes& now);

// The aggregate "cpu" line of /proc/stat as CpuTimes: user+nice as user, idle+iowait as
// idle, system+irq+softirq+steal plus idle as kernel (the Windows convention). No value
// when the line is missing or malformed.
std::optional<CpuTimes> parse_proc_stat(std::string_view text);

// MemTotal and MemAvailable (MemFree on kernels without it) of /proc/meminfo: total and
// total - available, in whole MiB. False when MemTotal is missing.
bool parse_proc_meminfo(std::string_view text, StatsSample& out);
