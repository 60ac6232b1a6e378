#include <windows.h>

#include <tlhelp32.h>

#include "control/system_stats.h"

namespace {

uint64_t to_u64(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

std::optional<CpuTimes> SystemStats::read_cpu_times() {
    FILETIME idle{}, kernel{}, user{};
    if (!GetSystemTimes(&idle, &kernel, &user)) return std::nullopt;
    return CpuTimes{to_u64(idle), to_u64(kernel), to_u64(user)};
}

bool SystemStats::read_memory(StatsSample& out) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) return false;
    out.mem_used_mb = (status.ullTotalPhys - status.ullAvailPhys) >> 20;
    out.mem_total_mb = status.ullTotalPhys >> 20;
    return true;
}

uint32_t SystemStats::count_processes() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    uint32_t count = 0;
    if (Process32First(snapshot, &entry)) {
        do {
            ++count;
        } while (Process32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}
