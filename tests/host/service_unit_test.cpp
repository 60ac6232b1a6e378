// The service's portable pieces: argument walk, status sequence, quoting, unit file.
#include <vector>

#include <gtest/gtest.h>

#include "host/service_unit.h"

namespace {

ServiceCommand walk(std::vector<const char*> args) {
    args.insert(args.begin(), "agent");
    return service_command_from_args(static_cast<int>(args.size()), args.data());
}

void expect_report(const ServiceStatusReport& r, ServiceState state, uint32_t controls, uint32_t exit_code,
                   uint32_t check_point, uint32_t wait_hint) {
    EXPECT_EQ(r.state, state);
    EXPECT_EQ(r.controls_accepted, controls);
    EXPECT_EQ(r.win32_exit_code, exit_code);
    EXPECT_EQ(r.check_point, check_point);
    EXPECT_EQ(r.wait_hint_ms, wait_hint);
}

}  // namespace

TEST(ServiceCommandWalk, FirstServiceOptionDecidesAndMatchesExactly) {
    EXPECT_EQ(walk({}), ServiceCommand::None);
    EXPECT_EQ(walk({"--install"}), ServiceCommand::Install);
    EXPECT_EQ(walk({"--uninstall"}), ServiceCommand::Uninstall);
    EXPECT_EQ(walk({"--install", "--service"}), ServiceCommand::Install);
    EXPECT_EQ(walk({"--service", "--install"}), ServiceCommand::None);
    EXPECT_EQ(walk({"--service", "--uninstall"}), ServiceCommand::None);
    EXPECT_EQ(walk({"--uninstall", "--install"}), ServiceCommand::Uninstall);
    EXPECT_EQ(walk({"-v", "x", "--install"}), ServiceCommand::Install);
    EXPECT_EQ(walk({"--INSTALL", "--install2", "-install", "install", "--install ", "--Uninstall", "--service="}),
              ServiceCommand::None);
    // The program path is never examined.
    const char* only_program[] = {"--install"};
    EXPECT_EQ(service_command_from_args(1, only_program), ServiceCommand::None);
}

TEST(ServiceStatus, NormalStopSequenceAndCounter) {
    ServiceStatusSequence seq;
    expect_report(seq.report(ServiceEvent::MainStarted), ServiceState::StartPending, 0, 0, 1, 3000);
    expect_report(seq.report(ServiceEvent::RuntimeStarting), ServiceState::Running, 5, 0, 0, 0);
    expect_report(seq.report(ServiceEvent::StopReceived), ServiceState::StopPending, 0, 0, 2, 3000);
    // A repeated stop control takes the next check point.
    expect_report(seq.report(ServiceEvent::StopReceived), ServiceState::StopPending, 0, 0, 3, 3000);
    expect_report(seq.report(ServiceEvent::RuntimeReturned, 0), ServiceState::Stopped, 0, 0, 0, 0);

    // A runtime that failed at start reaches the manager as exit code 1.
    ServiceStatusSequence failed;
    failed.report(ServiceEvent::MainStarted);
    failed.report(ServiceEvent::RuntimeStarting);
    expect_report(failed.report(ServiceEvent::RuntimeReturned, 1), ServiceState::Stopped, 0, 1, 0, 0);

    // The Win32 values the manager expects.
    EXPECT_EQ(static_cast<uint32_t>(ServiceState::Stopped), 1u);
    EXPECT_EQ(static_cast<uint32_t>(ServiceState::StartPending), 2u);
    EXPECT_EQ(static_cast<uint32_t>(ServiceState::StopPending), 3u);
    EXPECT_EQ(static_cast<uint32_t>(ServiceState::Running), 4u);
}

TEST(ServiceQuoting, WindowsBinaryPathQuotesTheExecutable) {
    EXPECT_EQ(windows_binary_path("C:\\Program Files\\Zarvex\\agent.exe"),
              "\"C:\\Program Files\\Zarvex\\agent.exe\" --service");
}

TEST(ServiceQuoting, SystemdWordEscapesQuotesBackslashesAndSpecifiers) {
    EXPECT_EQ(systemd_quote_word("/usr/bin/agent"), "\"/usr/bin/agent\"");
    EXPECT_EQ(systemd_quote_word("/opt/my apps/agent"), "\"/opt/my apps/agent\"");
    EXPECT_EQ(systemd_quote_word("/a\"b\\c%hd$HOME"), "\"/a\\\"b\\\\c%%hd$HOME\"");
    // WorkingDirectory= is not unquoted, only specifier-expanded.
    EXPECT_EQ(systemd_path_setting("/home/u/100% \"x\"\\$y"), "/home/u/100%% \"x\"\\$y");
}

TEST(ServiceQuoting, UnwritablePathsAreRefused) {
    EXPECT_TRUE(unit_path_usable("/home/u/my agent/agent"));
    EXPECT_FALSE(unit_path_usable(""));
    EXPECT_FALSE(unit_path_usable("relative/agent"));
    EXPECT_FALSE(unit_path_usable("/home/u/a\nExecStartPre=/bin/evil"));
    EXPECT_FALSE(unit_path_usable("/home/u/tab\there"));
    EXPECT_FALSE(unit_path_usable("/home/u/folder\\"));
    EXPECT_FALSE(unit_path_usable("/home/u/folder "));
    // The manager refuses quotes and backslashes in an executable's name, quoted or not.
    EXPECT_TRUE(unit_path_usable("/home/u/o'brien \"x\"\\y"));
    EXPECT_FALSE(unit_executable_usable("/home/o'brien/agent"));
    EXPECT_FALSE(unit_executable_usable("/home/u/\"x\"/agent"));
    EXPECT_FALSE(unit_executable_usable("/home/u/back\\slash/agent"));
    EXPECT_FALSE(unit_executable_usable("relative/agent"));
    EXPECT_TRUE(unit_executable_usable("/home/u/Zarvex 100% $x/agent"));
}

TEST(ServiceUnit, RendersTheUserUnit) {
    EXPECT_EQ(render_unit_file("/opt/Zarvex 1/agent", "/home/u/.local/state/VantorAgent"),
              "[Unit]\n"
              "Description=Zarvex remote access agent service\n"
              "After=graphical-session.target\n"
              "PartOf=graphical-session.target\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=\"/opt/Zarvex 1/agent\" --service\n"
              "WorkingDirectory=/home/u/.local/state/VantorAgent\n"
              "Restart=on-failure\n"
              "RestartSec=5\n"
              "\n"
              "[Install]\n"
              "WantedBy=graphical-session.target\n");
}

TEST(ServiceUnit, PathsFollowTheBaseDirectoryVariables) {
    auto p = unit_paths(nullptr, nullptr, "/home/u");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->unit_dir, "/home/u/.config/systemd/user");
    EXPECT_EQ(p->unit_file, "/home/u/.config/systemd/user/zarvex-agent.service");
    EXPECT_EQ(p->state_dir, "/home/u/.local/state/VantorAgent");

    p = unit_paths("/cfg/", "/st", "/home/u");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->unit_file, "/cfg/systemd/user/zarvex-agent.service");
    EXPECT_EQ(p->state_dir, "/st/VantorAgent");

    // Empty or relative values do not count; without a home folder they are all there is.
    p = unit_paths("", "rel/state", "/home/u");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->unit_dir, "/home/u/.config/systemd/user");
    EXPECT_EQ(p->state_dir, "/home/u/.local/state/VantorAgent");
    EXPECT_FALSE(unit_paths(nullptr, nullptr, ""));
    EXPECT_FALSE(unit_paths("/cfg", nullptr, ""));
    EXPECT_TRUE(unit_paths("/cfg", "/st", ""));
}

TEST(ServiceUnit, CommandFailureReasonIsOneLine) {
    EXPECT_EQ(command_failure_reason("systemctl --user enable --now x", 4, 0, "  first  \r\n\n second\n"),
              "'systemctl --user enable --now x' exited with status 4: first; second");
    EXPECT_EQ(command_failure_reason("systemctl --user daemon-reload", 1, 0, ""),
              "'systemctl --user daemon-reload' exited with status 1");
    EXPECT_EQ(command_failure_reason("systemctl --user daemon-reload", -1, 9, ""),
              "'systemctl --user daemon-reload' was ended by signal 9");
}
