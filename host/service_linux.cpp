// The service on Linux: a systemd user unit, installed for the graphical session and
// run as Type=notify, so the manager learns readiness and shutdown from the agent.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "app/run_flag.h"
#include "host/service.h"
#include "host/service_unit.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct CommandOutcome {
    bool ok = false;
    std::string reason;  // why it failed, one line
};

// Runs "systemctl --user <args...>" as found on PATH and waits for it. Its standard
// output passes through; its error output is kept for the failure reason.
CommandOutcome systemctl_user(std::initializer_list<const char*> args) {
    std::vector<std::string> words = {"systemctl", "--user"};
    words.insert(words.end(), args.begin(), args.end());
    std::string line;
    std::vector<char*> argv;
    for (auto& w : words) {
        if (!line.empty()) line += ' ';
        line += w;
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {false, "cannot run '" + line + "': " + std::strerror(errno)};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        if (spawned == ENOENT) return {false, "'systemctl' was not found on PATH"};
        return {false, std::string("cannot run 'systemctl': ") + std::strerror(spawned)};
    }

    std::string errors;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) {
            if (errors.size() < 16384) errors.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);

    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) return {false, "cannot wait for '" + line + "': " + std::strerror(errno)};
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {true, {}};
    return {false, command_failure_reason(line, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                                          WIFSIGNALED(status) ? WTERMSIG(status) : 0, errors)};
}

std::string home_folder() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir) {
        return found->pw_dir;
    }
    return {};
}

std::optional<UnitPaths> current_unit_paths() {
    return unit_paths(std::getenv("XDG_CONFIG_HOME"), std::getenv("XDG_STATE_HOME"), home_folder());
}

std::optional<std::string> executable_path() {
    std::error_code ec;
    fs::path p = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    return p.string();
}

bool unit_exists(const std::string& file) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(file, ec));
}

// Writes a new file (never replacing one); empty on success, else the reason.
std::string write_new_file(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return std::strerror(errno);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::string reason = std::strerror(errno);
            ::close(fd);
            ::unlink(path.c_str());
            return reason;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        std::string reason = std::strerror(errno);
        ::unlink(path.c_str());
        return reason;
    }
    return {};
}

bool install_failed(const std::string& reason) {
    std::cerr << "Failed to create service: " << reason << std::endl;
    return false;
}

void notify_manager(const char* state) {
    const int r = sd_notify(0, state);
    if (r < 0) spdlog::default_logger_raw()->warn("Service manager notification failed: {}", std::strerror(-r));
}

void on_service_stop_signal(int /*signal_number*/) { request_stop(); }

// SIGTERM is the manager's stop control (SIGINT too, for a service run by hand under a
// notify socket). Unlike the console handlers these stay installed: a repeated stop
// request only clears the flag again instead of killing the process mid-shutdown,
// which the manager would record as a failure. Its own SIGKILL after the stop time-out
// remains the backstop.
void install_service_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_service_stop_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

bool install_service() {
    const std::optional<UnitPaths> paths = current_unit_paths();
    if (!paths) return install_failed("the home folder is not known (HOME is not set)");
    if (unit_exists(paths->unit_file)) {
        std::cout << "Service already installed." << std::endl;
        return false;
    }
    const std::optional<std::string> exe = executable_path();
    if (!exe) return install_failed("cannot read the executable's path from /proc/self/exe");
    if (!unit_executable_usable(*exe)) {
        return install_failed("systemd does not accept the executable's path (" + *exe +
                              "): move the agent to a folder without quotes, backslashes or control characters");
    }
    if (!unit_path_usable(paths->state_dir)) {
        return install_failed("the working folder cannot be written into a unit file (" + paths->state_dir + ")");
    }

    std::error_code ec;
    for (const std::string& dir : {paths->unit_dir, paths->state_dir}) {
        fs::create_directories(dir, ec);
        if (ec) return install_failed("cannot create " + dir + ": " + ec.message());
    }
    const std::string written = write_new_file(paths->unit_file, render_unit_file(*exe, paths->state_dir));
    if (!written.empty()) {
        if (unit_exists(paths->unit_file)) {  // another install got there first
            std::cout << "Service already installed." << std::endl;
            return false;
        }
        return install_failed("cannot write " + paths->unit_file + ": " + written);
    }

    // Either the whole install happens or nothing is left behind, so that "already
    // installed" always means a working unit and a retry after a fix can succeed.
    CommandOutcome reload = systemctl_user({"daemon-reload"});
    if (!reload.ok) {
        ::unlink(paths->unit_file.c_str());
        return install_failed(reload.reason);
    }
    CommandOutcome enable = systemctl_user({"enable", "--now", AGENT_UNIT_NAME});
    if (!enable.ok) {
        systemctl_user({"disable", "--now", AGENT_UNIT_NAME});
        ::unlink(paths->unit_file.c_str());
        systemctl_user({"daemon-reload"});
        return install_failed(enable.reason);
    }
    std::cout << "Service installed and started successfully." << std::endl;
    return true;
}

void uninstall_service() {
    const std::optional<UnitPaths> paths = current_unit_paths();
    if (!paths || !unit_exists(paths->unit_file)) {
        std::cerr << "Service not found." << std::endl;
        return;
    }
    // As with a service that does not stop in time, removing the unit decides the outcome;
    // a failed stop is reported on its own line.
    CommandOutcome stop = systemctl_user({"disable", "--now", AGENT_UNIT_NAME});
    if (!stop.ok) std::cerr << "Failed to stop and disable service: " << stop.reason << std::endl;
    std::error_code ec;
    if (!fs::remove(paths->unit_file, ec) || ec) {
        std::cerr << "Failed to delete service." << std::endl;
        return;
    }
    CommandOutcome reload = systemctl_user({"daemon-reload"});
    if (!reload.ok) std::cerr << "Failed to reload the service manager: " << reload.reason << std::endl;
    std::cout << "Service uninstalled successfully." << std::endl;
}

bool run_service_dispatcher(const ServiceBody& body) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
        std::cerr << "Not started by the service manager (NOTIFY_SOCKET is not set); run 'agent' without "
                     "--service to start the agent in this console."
                  << std::endl;
        return false;
    }
    install_service_stop_handlers();
    RuntimeHooks hooks;
    hooks.connected = [] { notify_manager("READY=1"); };
    hooks.stopping = [] { notify_manager("STOPPING=1"); };
    // A start-up failure ends the process before READY=1, which a Type=notify unit
    // counts as a failed start; a lost display gives the runtime's 1, which the caller
    // passes on as the exit code so that Restart=on-failure starts the agent again.
    body(hooks);
    return true;
}
