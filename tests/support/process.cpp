#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "tests/support/sanitizer.h"

namespace fs = std::filesystem;

namespace testsupport {

std::string bin_dir() {
    if (const char* d = std::getenv("ZARVEX_BIN_DIR")) return d;
#ifdef ZARVEX_BIN_DIR
    return ZARVEX_BIN_DIR;
#else
    return "build/bin";
#endif
}

std::string bin(const std::string& name) { return bin_dir() + "/" + name; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

Process::~Process() {
    if (pid_ > 0 && !status_) stop(std::chrono::milliseconds(2000));
    if (!out_path_.empty()) ::unlink(out_path_.c_str());
    if (!err_path_.empty()) ::unlink(err_path_.c_str());
}

bool Process::start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    const std::string& cwd) {
    static int counter = 0;
    std::string base = (fs::temp_directory_path() / ("zarvex-proc-" + std::to_string(::getpid()) + "-" +
                                                     std::to_string(++counter)))
                           .string();
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::setpgid(0, 0);
        int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const auto& [k, v] : env) {
            if (v.empty()) ::unsetenv(k.c_str());
            else ::setenv(k.c_str(), v.c_str(), 1);
        }
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    pid_ = pid;
    name_ = argv.empty() ? std::string() : argv[0];
    status_.reset();
    return true;
}

bool Process::running() {
    if (pid_ <= 0 || status_) return false;
    return !wait(std::chrono::milliseconds(0)).has_value();
}

void Process::signal(int sig) {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    if (status_) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int st = 0;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            // Reap anything it left in its group.
            ::kill(-pid_, SIGKILL);
            check_sanitizer_report();
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<int> Process::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return std::nullopt;
    if (status_) return status_;
    ::kill(pid_, SIGTERM);
    if (auto st = wait(grace)) return st;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    return wait(std::chrono::milliseconds(5000));
}

// Many tests stop the agent or the relay and look no further than that it stopped, so a
// report that a sanitized child printed (and the status it then exits with) would pass
// unnoticed: it fails the test here instead, with the report.
void Process::check_sanitizer_report() const {
    const std::string text = err();
    const size_t at = sanitizer_report_at(text);
    if (at == std::string::npos) return;
    constexpr size_t kShown = 16000;
    ADD_FAILURE() << name_ << " (pid " << pid_ << ") printed a sanitizer report:\n" << text.substr(at, kShown);
}

std::string Process::out() const { return read_file(out_path_); }
std::string Process::err() const { return read_file(err_path_); }

bool Process::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    return wait_until(
        [&] {
            if (out().find(text) != std::string::npos || err().find(text) != std::string::npos) return true;
            return false;
        },
        timeout);
}

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    int port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

TempDir::TempDir(const std::string& prefix) {
    std::random_device rd;
    for (int i = 0; i < 100; ++i) {
        fs::path p = fs::temp_directory_path() / (prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            path_ = p.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
}

VirtualDisplay::VirtualDisplay(int width, int height, int depth) {
    // Pick a display number nobody uses; Xvfb fails at once if the lock is taken.
    std::random_device rd;
    for (int attempt = 0; attempt < 10 && !ok_; ++attempt) {
        int n = 100 + static_cast<int>(rd() % 800);
        if (fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
        std::string display = ":" + std::to_string(n);
        std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
        if (!xvfb_.start({"Xvfb", display, "-screen", "0", screen, "-nolisten", "tcp", "+extension", "RANDR"})) break;
        std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
        if (wait_until([&] { return fs::exists(sock) || !xvfb_.running(); }, std::chrono::milliseconds(10000)) &&
            xvfb_.running()) {
            name_ = display;
            ok_ = true;
        } else {
            xvfb_.stop();
        }
    }
}

VirtualDisplay::~VirtualDisplay() { xvfb_.stop(); }

}  // namespace testsupport
