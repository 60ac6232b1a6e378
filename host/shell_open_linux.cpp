// Opens a URL or a file with the desktop's handler: xdg-open, found on PATH, started
// detached. A small thread of its own reaps it, so the caller never waits and no zombie
// is left behind.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <spdlog/spdlog.h>

#include "host/tray_icon.h"

extern char** environ;

void shell_open(const std::string& target) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The handler reads nothing from us and inherits none of our descriptors past stderr
    // (the relay socket, the log file, X connections).
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // Its own session: a Ctrl+C on the agent's terminal does not reach the browser, and
    // it starts with default signal dispositions and nothing blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::string program = "xdg-open";
    std::string arg = target;
    char* argv[] = {program.data(), arg.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        spdlog::warn("Cannot open {}: xdg-open: {}", target, std::strerror(rc));
        return;
    }
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}
