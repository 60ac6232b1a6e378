#pragma once

// Helpers for integration tests that run real processes on loopback. Every process is
// bounded in time and stopped by the object that started it.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Folder of the built executables (agent, zarvex-relay, zarvex-viewer).
std::string bin_dir();
std::string bin(const std::string& name);

// A child process with stdout and stderr captured to files.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts argv[0] (a path) with the extra environment entries (NAME -> value; an empty
    // value unsets it) in the working folder cwd (empty: inherit).
    bool start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
               const std::string& cwd = {});
    pid_t pid() const { return pid_; }
    bool running();

    // Sends a signal (SIGTERM by default).
    void signal(int sig);
    // Waits for exit; the exit code, or 128+signal, or no value on time-out. A sanitizer
    // report on the child's stderr fails the running test (tests/support/sanitizer.h).
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL after grace; returns the exit status as wait() does.
    std::optional<int> stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

    std::string out() const;  // everything written to stdout so far
    std::string err() const;  // everything written to stderr so far
    // Waits until stdout+stderr contain text; false on time-out or exit.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);

private:
    void check_sanitizer_report() const;

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string name_, out_path_, err_path_;
};

// Polls pred every 20 ms until true or timeout.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

// A fresh folder under the system temp folder, removed by the destructor.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "zarvex");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A virtual X display (Xvfb) for the life of the object.
class VirtualDisplay {
public:
    VirtualDisplay(int width = 1280, int height = 720, int depth = 24);
    ~VirtualDisplay();
    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }  // ":NN"

private:
    Process xvfb_;
    std::string name_;
    bool ok_ = false;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);

}  // namespace testsupport
