#include <cctype>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "control/system_stats.h"
#include "net/protocol.h"
#include "tests/support/process.h"

namespace {

TEST(CpuLoad, FromTwoReadings) {
    const CpuTimes prev{1000, 5000, 2000};
    // 200 units passed, 50 of them idle: 75 % load.
    EXPECT_FLOAT_EQ(cpu_load_percent(prev, {1050, 5150, 2050}), 75.0f);
    // Fully idle (all kernel time was idle) and fully busy.
    EXPECT_FLOAT_EQ(cpu_load_percent(prev, {1400, 5400, 2000}), 0.0f);
    EXPECT_FLOAT_EQ(cpu_load_percent(prev, {1000, 5100, 2300}), 100.0f);
    // No time passed.
    EXPECT_FLOAT_EQ(cpu_load_percent(prev, prev), 0.0f);
    EXPECT_FLOAT_EQ(cpu_load_percent({}, {}), 0.0f);
}

TEST(CpuLoad, InconsistentReadingsGiveNoGarbage) {
    const CpuTimes prev{1000, 5000, 2000};
    // Any counter running backwards (reset, wrap) makes the interval meaningless.
    EXPECT_FLOAT_EQ(cpu_load_percent(prev, {900, 5100, 2100}), 0.0f);
    EXPECT_FLOAT_EQ(cpu_load_percent(prev, {1100, 4000, 2100}), 0.0f);
    EXPECT_FLOAT_EQ(cpu_load_percent(prev, {1100, 5100, 1000}), 0.0f);
    // More idle than elapsed time is clamped rather than reported as negative load.
    EXPECT_FLOAT_EQ(cpu_load_percent(prev, {1500, 5100, 2000}), 0.0f);
}

TEST(ProcParsing, StatFirstLineMapsToWindowsConvention) {
    auto t = parse_proc_stat("cpu  10 2 3 100 4 5 6 7 8 9\ncpu0 1 1 1 1 1 1 1 1 1 1\nintr 5\n");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->user, 12u);                              // user + nice
    EXPECT_EQ(t->idle, 104u);                             // idle + iowait
    EXPECT_EQ(t->kernel, 3u + 5u + 6u + 7u + 104u);       // system + irq + softirq + steal + idle
    auto old_kernel = parse_proc_stat("cpu 1 2 3 4\n");  // oldest format: four fields
    ASSERT_TRUE(old_kernel);
    EXPECT_EQ(old_kernel->kernel, 7u);

    EXPECT_FALSE(parse_proc_stat(""));
    EXPECT_FALSE(parse_proc_stat("cpu0 1 2 3 4 5\n"));
    EXPECT_FALSE(parse_proc_stat("cpu  1 2 x 4\n"));
    EXPECT_FALSE(parse_proc_stat("cpu  99999999999999999999999 2 3 4\n"));
}

TEST(ProcParsing, MeminfoInWholeMiB) {
    StatsSample s;
    ASSERT_TRUE(parse_proc_meminfo("MemTotal:       16384000 kB\nMemFree:  100 kB\nMemAvailable:    8192000 kB\n", s));
    EXPECT_EQ(s.mem_total_mb, 16000u);
    EXPECT_EQ(s.mem_used_mb, 8000u);

    // 1.5 MiB in use is reported as 1; without MemAvailable, MemFree stands in.
    StatsSample t;
    ASSERT_TRUE(parse_proc_meminfo("MemTotal: 4096 kB\nMemFree: 2560 kB\n", t));
    EXPECT_EQ(t.mem_total_mb, 4u);
    EXPECT_EQ(t.mem_used_mb, 1u);

    StatsSample u;
    EXPECT_FALSE(parse_proc_meminfo("MemFree: 2560 kB\n", u));
    EXPECT_EQ(u.mem_total_mb, 0u);
    EXPECT_EQ(u.mem_used_mb, 0u);
}

uint32_t numeric_proc_entries() {
    uint32_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::string name = e.path().filename().string();
        if (std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); })) ++n;
    }
    return n;
}

TEST(SystemStatsLive, SampleMatchesThisMachine) {
    SystemStats stats;
    StatsSample s = stats.sample();

    StatsSample expected;
    ASSERT_TRUE(parse_proc_meminfo(testsupport::read_file("/proc/meminfo"), expected));
    EXPECT_EQ(s.mem_total_mb, expected.mem_total_mb);
    EXPECT_GT(s.mem_used_mb, 0u);
    EXPECT_LE(s.mem_used_mb, s.mem_total_mb);
    EXPECT_GE(s.cpu_percent, 0.0f);
    EXPECT_LE(s.cpu_percent, 100.0f);
    const uint32_t procs = numeric_proc_entries();
    EXPECT_GT(s.process_count, 0u);
    EXPECT_NEAR(static_cast<double>(s.process_count), static_cast<double>(procs), 20.0 + procs / 10.0);

    std::vector<uint8_t> report = build_stats_report(s);
    ASSERT_EQ(report.size(), STATS_REPORT_SIZE);
    EXPECT_EQ(report[0], static_cast<uint8_t>(MessageType::SystemStatsReport));
    EXPECT_EQ(read_u32le(&report[1]), static_cast<uint32_t>(s.cpu_percent * 100.0f));
    EXPECT_EQ(read_u64le(&report[5]), s.mem_used_mb);
    EXPECT_EQ(read_u64le(&report[13]), s.mem_total_mb);
    EXPECT_EQ(read_u32le(&report[21]), s.process_count);
}

}  // namespace
