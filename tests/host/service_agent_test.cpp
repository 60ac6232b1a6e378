// The agent binary's service modes on Linux: the user unit written and registered through
// a recording stand-in for systemctl, and "--service" under a notify socket the test owns.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/rig.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A private home: base folders, a stand-in systemctl first on PATH that appends its
// arguments to a log and fails when they contain $SYSTEMCTL_FAIL.
class ServiceHome {
public:
    ServiceHome() {
        fs::create_directories(dir_ / "bin");
        fs::create_directories(dir_ / "home");
        fs::create_directories(dir_ / "empty");
        write_file(dir_ / "bin/systemctl",
                   "#!/bin/sh\n"
                   "printf '%s\\n' \"$*\" >> \"$SYSTEMCTL_LOG\"\n"
                   "if [ -n \"$SYSTEMCTL_FAIL\" ]; then\n"
                   "  case \"$*\" in *\"$SYSTEMCTL_FAIL\"*)\n"
                   "    echo 'Failed to connect to bus: No medium found' >&2\n"
                   "    echo 'second line' >&2\n"
                   "    exit 1;;\n"
                   "  esac\n"
                   "fi\n"
                   "exit 0\n");
        fs::permissions(dir_ / "bin/systemctl", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    }

    const TempDir& dir() const { return dir_; }
    std::string config() const { return dir_ / "config"; }
    std::string state() const { return dir_ / "state"; }
    std::string unit_file() const { return config() + "/systemd/user/zarvex-agent.service"; }

    std::map<std::string, std::string> env(const std::string& fail = {}) const {
        return {{"HOME", dir_ / "home"},
                {"XDG_CONFIG_HOME", config()},
                {"XDG_STATE_HOME", state()},
                {"PATH", dir_ / "bin" + ":/usr/bin:/bin"},
                {"SYSTEMCTL_LOG", dir_ / "systemctl.log"},
                {"SYSTEMCTL_FAIL", fail},
                {"APPDATA", dir_ / "appdata"},
                {"DISPLAY", ""},
                {"NOTIFY_SOCKET", ""}};
    }

    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::istringstream in(read_file(dir_ / "systemctl.log"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    TempDir dir_{"zarvex-svc"};
};

struct AgentRun {
    int code = -1;
    std::string out, err;
};

AgentRun run_agent_with(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                   const std::string& cwd, const std::string& program = bin("agent")) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p;
    EXPECT_TRUE(p.start(argv, env, cwd));
    auto code = p.wait(30s);
    EXPECT_TRUE(code.has_value()) << "agent did not exit: " << p.out() << p.err();
    return {code.value_or(-1), p.out(), p.err()};
}

std::string expected_unit(const std::string& exec_word, const std::string& working_dir) {
    return "[Unit]\n"
           "Description=Zarvex remote access agent service\n"
           "After=graphical-session.target\n"
           "PartOf=graphical-session.target\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" + exec_word + " --service\n"
           "WorkingDirectory=" + working_dir + "\n"
           "Restart=on-failure\n"
           "RestartSec=5\n"
           "\n"
           "[Install]\n"
           "WantedBy=graphical-session.target\n";
}

using Calls = std::vector<std::string>;
const std::string RELOAD = "--user daemon-reload";
const std::string ENABLE = "--user enable --now zarvex-agent.service";
const std::string DISABLE = "--user disable --now zarvex-agent.service";
const std::string NOTE = "Not started by the service manager (NOTIFY_SOCKET is not set)";

// A datagram socket standing in for the service manager's notification socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ok_ = fd_ >= 0 && path.size() < sizeof addr.sun_path &&
              ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    bool ok() const { return ok_; }
    std::optional<std::string> receive(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0) return std::nullopt;
        return std::string(buf, static_cast<size_t>(n));
    }

private:
    std::string path_;
    int fd_ = -1;
    bool ok_ = false;
};

}  // namespace

TEST(ServiceInstall, InstallsOnceThenUninstalls) {
    ServiceHome h;
    const std::string exe = fs::canonical(bin("agent")).string();

    AgentRun first = run_agent_with({"--install"}, h.env(), h.dir().path());
    EXPECT_EQ(first.code, 0);
    EXPECT_EQ(first.out, "Service installed and started successfully.\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(read_file(h.unit_file()), expected_unit("\"" + exe + "\"", h.state() + "/VantorAgent"));
    EXPECT_TRUE(fs::is_directory(h.state() + "/VantorAgent"));
    EXPECT_EQ(h.calls(), (Calls{RELOAD, ENABLE}));

    // A second install touches neither the unit nor the manager.
    write_file(h.unit_file(), "kept\n");
    AgentRun second = run_agent_with({"--install"}, h.env(), h.dir().path());
    EXPECT_EQ(second.code, 0);
    EXPECT_EQ(second.out, "Service already installed.\n");
    EXPECT_EQ(read_file(h.unit_file()), "kept\n");
    EXPECT_EQ(h.calls(), (Calls{RELOAD, ENABLE}));

    AgentRun removed = run_agent_with({"--uninstall"}, h.env(), h.dir().path());
    EXPECT_EQ(removed.code, 0);
    EXPECT_EQ(removed.out, "Service uninstalled successfully.\n");
    EXPECT_EQ(removed.err, "");
    EXPECT_FALSE(fs::exists(h.unit_file()));
    EXPECT_EQ(h.calls(), (Calls{RELOAD, ENABLE, DISABLE, RELOAD}));

    AgentRun again = run_agent_with({"--uninstall"}, h.env(), h.dir().path());
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err, "Service not found.\n");
    EXPECT_EQ(h.calls().size(), 4u);
}

TEST(ServiceInstall, FailuresSayWhyAndLeaveNothingBehind) {
    ServiceHome h;
    const std::string reason = "exited with status 1: Failed to connect to bus: No medium found; second line\n";

    AgentRun reload = run_agent_with({"--install"}, h.env("daemon-reload"), h.dir().path());
    EXPECT_EQ(reload.code, 0);
    EXPECT_EQ(reload.out, "");
    EXPECT_EQ(reload.err, "Failed to create service: 'systemctl --user daemon-reload' " + reason);
    EXPECT_FALSE(fs::exists(h.unit_file()));
    EXPECT_EQ(h.calls(), (Calls{RELOAD}));

    // enable --now failing (the start job, typically) undoes the registration too.
    AgentRun enable = run_agent_with({"--install"}, h.env("enable"), h.dir().path());
    EXPECT_EQ(enable.code, 0);
    EXPECT_EQ(enable.err, "Failed to create service: 'systemctl --user enable --now zarvex-agent.service' " + reason);
    EXPECT_FALSE(fs::exists(h.unit_file()));
    EXPECT_EQ(h.calls(), (Calls{RELOAD, RELOAD, ENABLE, DISABLE, RELOAD}));

    auto missing = h.env();
    missing["PATH"] = h.dir() / "empty";
    AgentRun none = run_agent_with({"--install"}, missing, h.dir().path());
    EXPECT_EQ(none.code, 0);
    EXPECT_EQ(none.err, "Failed to create service: 'systemctl' was not found on PATH\n");
    EXPECT_FALSE(fs::exists(h.unit_file()));

    // Nothing was left to make a retry say "already installed".
    AgentRun retry = run_agent_with({"--install"}, h.env(), h.dir().path());
    EXPECT_EQ(retry.out, "Service installed and started successfully.\n");
    EXPECT_TRUE(fs::exists(h.unit_file()));

    // A failed stop is reported; removing the unit still decides the outcome.
    AgentRun removed = run_agent_with({"--uninstall"}, h.env("disable"), h.dir().path());
    EXPECT_EQ(removed.code, 0);
    EXPECT_EQ(removed.err, "Failed to stop and disable service: 'systemctl --user disable --now zarvex-agent.service' " +
                               reason);
    EXPECT_EQ(removed.out, "Service uninstalled successfully.\n");
    EXPECT_FALSE(fs::exists(h.unit_file()));
}

TEST(ServiceInstall, ExecutablePathIsQuotedForTheManager) {
    ServiceHome h;
    // A copy of the agent under a folder with a blank, a specifier and a dollar sign, so
    // that /proc/self/exe names that folder.
    const std::string folder = h.dir() / "Zarvex 100% $HOME";
    fs::create_directories(folder);
    const std::string exe = folder + "/agent";
    std::error_code ec;
    fs::create_hard_link(bin("agent"), exe, ec);
    if (ec) fs::copy_file(bin("agent"), exe);
    auto env = h.env();
    env["XDG_STATE_HOME"] = h.dir() / "state 50%";

    AgentRun r = run_agent_with({"--install"}, env, h.dir().path(), exe);
    EXPECT_EQ(r.out, "Service installed and started successfully.\n") << r.err;
    const std::string unit = read_file(h.unit_file());
    EXPECT_EQ(unit, expected_unit("\"" + h.dir().path() + "/Zarvex 100%% $HOME/agent\"",
                                  h.dir().path() + "/state 50%%/VantorAgent"));

    // The manager's own parser reads it back as that executable (it checks that the
    // command exists), when its analyser is installed.
    if (fs::exists("/usr/bin/systemd-analyze")) {
        Process verify;
        ASSERT_TRUE(verify.start({"/usr/bin/systemd-analyze", "verify", "--man=no", h.unit_file()}));
        auto code = verify.wait(30s);
        EXPECT_EQ(code, 0) << verify.out() << verify.err();
    }

    // Names the manager refuses in an executable are refused before anything is written.
    ServiceHome h2;
    const std::string quoted = h2.dir() / "o'brien";
    fs::create_directories(quoted);
    fs::create_hard_link(bin("agent"), quoted + "/agent", ec);
    if (ec) fs::copy_file(bin("agent"), quoted + "/agent");
    AgentRun refused = run_agent_with({"--install"}, h2.env(), h2.dir().path(), quoted + "/agent");
    EXPECT_EQ(refused.code, 0);
    EXPECT_EQ(refused.err.rfind("Failed to create service: systemd does not accept the executable's path", 0), 0u)
        << refused.err;
    EXPECT_FALSE(fs::exists(h2.unit_file()));
    EXPECT_TRUE(h2.calls().empty());
}

TEST(ServiceArguments, FirstOptionDecidesThroughTheBinary) {
    ServiceHome h;
    // "--service" first: the service mode runs (here: not under a manager), nothing installed.
    AgentRun service_first = run_agent_with({"--service", "--install"}, h.env(), h.dir().path());
    EXPECT_EQ(service_first.code, 0);
    EXPECT_NE(service_first.err.find(NOTE), std::string::npos) << service_first.err;
    EXPECT_FALSE(fs::exists(h.unit_file()));

    // "--setup" anywhere wins over the service commands.
    AgentRun setup = run_agent_with({"--install", "--setup"}, h.env(), h.dir().path());
    EXPECT_FALSE(fs::exists(h.unit_file()));
    EXPECT_EQ(setup.out.find("Service installed"), std::string::npos) << setup.out;

    // Near misses are ignored: the interactive agent runs and fails on the missing display.
    for (const char* arg : {"--INSTALL", "--install2", "-install"}) {
        AgentRun r = run_agent_with({arg}, h.env(), h.dir().path());
        EXPECT_EQ(r.code, 1) << arg;
        EXPECT_NE(r.out.find("Failed to initialize screen capture"), std::string::npos) << arg << r.out;
        EXPECT_FALSE(fs::exists(h.unit_file())) << arg;
    }
    EXPECT_TRUE(h.calls().empty());

    // "--install" first installs, whatever follows.
    AgentRun install_first = run_agent_with({"--install", "--service"}, h.env(), h.dir().path());
    EXPECT_EQ(install_first.out, "Service installed and started successfully.\n");
    EXPECT_TRUE(fs::exists(h.unit_file()));
}

TEST(ServiceRun, WithoutNotifySocketComesBackAtOnce) {
    TempDir dir;
    Process p;
    ASSERT_TRUE(p.start({bin("agent"), "--service"}, {{"APPDATA", dir / "appdata"}, {"NOTIFY_SOCKET", ""}},
                        dir.path()));
    auto code = p.wait(5s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_EQ(p.err().find(NOTE), 0u) << p.err();
    EXPECT_EQ(p.err().find('\n'), p.err().size() - 1) << "one line";
    EXPECT_EQ(p.out().find("Vantor Agent starting"), std::string::npos) << p.out();
    EXPECT_FALSE(fs::exists(dir / "agent.log"));
    EXPECT_FALSE(fs::exists(dir / "appdata/VantorAgent/config.json"));
}

TEST(ServiceRun, ReportsReadinessAndStoppingToTheManager) {
    Rig rig;
    ASSERT_TRUE(rig.start_system()) << rig.error();
    NotifySocket manager(rig.dir() / "notify.sock");
    ASSERT_TRUE(manager.ok());

    Process agent;
    ASSERT_TRUE(agent.start({bin("agent"), "--service"},
                            {{"APPDATA", rig.appdata()}, {"DISPLAY", rig.display()},
                             {"NOTIFY_SOCKET", rig.dir() / "notify.sock"}},
                            rig.dir().path()));
    auto ready = manager.receive(30s);
    ASSERT_EQ(ready, std::optional<std::string>("READY=1")) << agent.out() << agent.err();
    EXPECT_NE(agent.out().find("Connected to relay server"), std::string::npos) << agent.out();
    EXPECT_TRUE(agent.wait_for_output("Starting capture loop...", 10s)) << agent.out();

    agent.signal(SIGTERM);
    auto stopping = manager.receive(15s);
    EXPECT_EQ(stopping, std::optional<std::string>("STOPPING=1")) << agent.out() << agent.err();
    // A repeated stop request during shutdown must not turn into a kill by signal.
    agent.signal(SIGTERM);
    auto code = agent.wait(20s);
    ASSERT_TRUE(code.has_value()) << agent.out();
    EXPECT_EQ(*code, 0) << agent.out() << agent.err();
    EXPECT_NE(agent.out().find("Agent shutting down..."), std::string::npos) << agent.out();
    EXPECT_FALSE(manager.receive(200ms).has_value());
}
