#pragma once

// Helpers of the Windows test executable: child processes with captured output, Wine
// detection and, under Wine, commands of the host system (X tools) run through /bin/sh.

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// Folder of this executable, without a trailing backslash.
std::string module_dir();

// True when the process runs under Wine (ntdll exports wine_get_version).
bool under_wine();

struct ChildResult {
    bool finished = false;  // ended within the time limit (else it was terminated)
    DWORD exit_code = 0;
    std::string out;
    std::string err;
};

// Runs a command line with standard output and error captured; terminated after
// timeout_ms.
ChildResult run_child(const std::string& command_line, DWORD timeout_ms);

// Under Wine: the Unix path of a Windows path; empty elsewhere or on failure.
std::string unix_path(const std::string& windows_path);

// Under Wine: runs `script` with the host's /bin/sh and returns what it printed on
// standard output and error, or nothing when it did not finish within timeout_ms.
// The script must not contain double quotes.
std::optional<std::string> host_shell(const std::string& script, DWORD timeout_ms = 10000);

// Whether an executable exists on the host (under Wine).
bool host_has(const std::string& unix_program);

// A fresh folder under the temporary folder, removed with its contents at the end.
class WinTempDir {
public:
    explicit WinTempDir(const std::string& name_part = "zarvex");
    ~WinTempDir();
    WinTempDir(const WinTempDir&) = delete;
    WinTempDir& operator=(const WinTempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

std::string read_file_bytes(const std::string& path);
bool write_file_bytes(const std::string& path, const std::string& bytes);

// Polls `condition` every 20 ms until it holds or the time is up; its last answer.
bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// Pumps this thread's window messages for about `ms` milliseconds.
void pump_messages(DWORD ms);
