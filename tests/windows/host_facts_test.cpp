// What the agent reads from the system: the application-data folder, the Downloads
// folder, the computer name, the executable's path and the statistics.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "app/config.h"
#include "control/file_receiver.h"
#include "control/system_stats.h"
#include "host/console.h"
#include "host/service_unit.h"
#include "win_test_support.h"

namespace {

// Sets (or with nullopt removes) a variable in the C runtime's copy of the environment,
// which is what the agent reads, and puts the old value back at the end.
class ScopedCrtVariable {
public:
    ScopedCrtVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        _putenv_s(name, value ? value->c_str() : "");
    }
    ~ScopedCrtVariable() { _putenv_s(name_.c_str(), old_ ? old_->c_str() : ""); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

TEST(WindowsFolders, AppDataComesFromTheEnvironment) {
    WinTempDir dir("zarvex-appdata");
    {
        ScopedCrtVariable appdata("APPDATA", dir.path());
        EXPECT_EQ(app_data_folder(), dir.path());
    }
    {
        ScopedCrtVariable appdata("APPDATA", std::string("C:\\Users\\Some One\\AppData\\Roaming\\\xC3\xA9"));
        EXPECT_EQ(app_data_folder(), "C:\\Users\\Some One\\AppData\\Roaming\\\xC3\xA9");  // passed through as bytes
    }
    {
        ScopedCrtVariable appdata("APPDATA", std::nullopt);
        EXPECT_EQ(app_data_folder(), ".");
    }
}

TEST(WindowsFolders, DownloadsFolderIsTheKnownFolderPlusVantor) {
    PWSTR wide = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &wide)));
    char known[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, known, sizeof(known), nullptr, nullptr);
    CoTaskMemFree(wide);

    const std::string folder = download_folder();
    EXPECT_EQ(folder, std::string(known) + "\\Vantor");
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << "the folder is created";
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(download_folder(), folder) << "a second look finds the same, existing folder";
}

TEST(WindowsIdentity, ComputerNameAndModulePath) {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof(name);
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_EQ(default_machine_name(), std::string(name, size));
    EXPECT_NE(default_machine_name(), "Unknown");
    EXPECT_STREQ(os_info_name(), "Windows");

    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    ASSERT_GT(n, 0u);
    const std::string exe(path, n);
    EXPECT_NE(exe.find(":\\"), std::string::npos) << exe;
    EXPECT_EQ(exe.substr(exe.find_last_of('\\') + 1), "zarvex_windows_tests.exe");
    EXPECT_EQ(windows_binary_path(exe), "\"" + exe + "\" --service");
}

TEST(WindowsStats, SamplesArePlausible) {
    SystemStats stats;
    // Some work, so that the interval is not empty.
    volatile uint64_t sink = 0;
    const ULONGLONG until = GetTickCount64() + 300;
    while (GetTickCount64() < until) sink = sink + 1;
    const StatsSample sample = stats.sample();
    EXPECT_GE(sample.cpu_percent, 0.0f);
    EXPECT_LE(sample.cpu_percent, 100.0f);

    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof(memory);
    ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
    EXPECT_EQ(sample.mem_total_mb, memory.ullTotalPhys >> 20);
    EXPECT_GT(sample.mem_total_mb, 0u);
    EXPECT_LE(sample.mem_used_mb, sample.mem_total_mb);
    EXPECT_GT(sample.mem_used_mb, 0u);

    // This process and at least the service manager.
    EXPECT_GE(sample.process_count, 2u);
    EXPECT_LT(sample.process_count, 100000u);

    // Raw processor times move forward, kernel time including idle time.
    FILETIME idle{}, kernel{}, user{};
    ASSERT_TRUE(GetSystemTimes(&idle, &kernel, &user));
    auto to_u64 = [](const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
    EXPECT_GE(to_u64(kernel), to_u64(idle));
    EXPECT_GT(to_u64(kernel) + to_u64(user), 0u);
    const StatsSample second = stats.sample();
    EXPECT_GE(second.cpu_percent, 0.0f);
    EXPECT_LE(second.cpu_percent, 100.0f);
}

}  // namespace
