// The tray's portable side: tooltip text, the menu, the command table and the opener,
// plus a TrayIcon that never started or finds no session bus.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>

#include "host/tray_icon.h"
#include "tests/support/scoped_env.h"
#include "host/tray_icon_menu.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {


// A stand-in xdg-open first on PATH that appends its argument to a file, and notes a
// descriptor it should not have inherited. Argument "slow" keeps it running a while.
class RecordingOpener {
public:
    RecordingOpener() : path_("PATH", dir_.path() + ":" + std::getenv("PATH")) {
        write_file(dir_ / "xdg-open",
                   "#!/bin/sh\n"
                   "printf '%s\\n' \"$1\" >> '" + record() + "'\n"
                   "if [ -n \"$TRAY_TEST_FD\" ] && [ -e /proc/$$/fd/$TRAY_TEST_FD ]; then\n"
                   "  echo inherited >> '" + record() + "'\n"
                   "fi\n"
                   "read -r stat < /proc/$$/stat; echo \"$$ $stat\" > '" + dir_ / "self" + "'\n"
                   "if [ \"$1\" = slow ]; then sleep 2; fi\n");
        fs::permissions(dir_ / "xdg-open", fs::perms::owner_all);
    }
    std::string record() const { return dir_ / "opened"; }
    // "<pid> <its /proc stat line>" of the last run.
    std::string self() const { return fs::exists(dir_ / "self") ? read_file(dir_ / "self") : std::string(); }
    std::string opened() const { return fs::exists(record()) ? read_file(record()) : std::string(); }
    bool wait_for(const std::string& text) const {
        return wait_until([&] { return opened() == text; }, 5s);
    }

private:
    TempDir dir_{"zarvex-opener"};
    ScopedEnv path_;
};

// Fields of /proc/<pid>/stat after the command name: state, parent, group, session...
std::vector<std::string> stat_fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t close = line.rfind(')');
    if (close == std::string::npos) return fields;
    std::istringstream rest(line.substr(close + 1));
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;
}

}  // namespace

TEST(TrayText, TooltipIsCutAtNulAndTo127BytesWithoutSplittingACharacter) {
    EXPECT_EQ(tray_tooltip_text("Zarvex \xE2\x80\x94 Connected"), "Zarvex \xE2\x80\x94 Connected");
    EXPECT_EQ(tray_tooltip_text(std::string(200, 'a')), std::string(127, 'a'));
    EXPECT_EQ(tray_tooltip_text(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(tray_tooltip_text(std::string("ab\0", 3) + std::string(300, 'x')), "ab");

    const std::string dash = "\xE2\x80\x94";
    // The dash fits exactly at the end.
    EXPECT_EQ(tray_tooltip_text(std::string(124, 'a') + dash + "zz"), std::string(124, 'a') + dash);
    // The cut would fall inside the dash (one or two of its bytes kept): it goes whole.
    EXPECT_EQ(tray_tooltip_text(std::string(126, 'a') + dash), std::string(126, 'a'));
    EXPECT_EQ(tray_tooltip_text(std::string(125, 'a') + dash), std::string(125, 'a'));
    // Not UTF-8 at the cut: the plain byte limit.
    EXPECT_EQ(tray_tooltip_text(std::string(200, '\x80')), std::string(127, '\x80'));

    // The balloon fields use the same cut with their own limits.
    EXPECT_EQ(tray_cut_text(std::string(70, 't'), TRAY_BALLOON_TITLE_MAX), std::string(63, 't'));
    EXPECT_EQ(tray_cut_text(std::string(300, 'm'), TRAY_BALLOON_TEXT_MAX), std::string(255, 'm'));
}

TEST(TrayMenu, StatusLineSeparatorsAndTheThreeCommands) {
    const std::string status = "Zarvex \xE2\x80\x94 Connected to " + std::string(150, 'h');
    std::vector<TrayMenuItem> items = tray_menu_items(status);
    ASSERT_EQ(items.size(), 6u);
    EXPECT_FALSE(items[0].separator);
    EXPECT_EQ(items[0].id, TRAY_CMD_STATUS);
    EXPECT_EQ(items[0].label, status);  // the menu shows the whole status
    EXPECT_FALSE(items[0].enabled);
    EXPECT_TRUE(items[1].separator);
    EXPECT_TRUE(items[4].separator);
    const std::pair<size_t, std::pair<int, const char*>> commands[] = {
        {2, {101, "Open Dashboard"}}, {3, {102, "Show Log File"}}, {5, {103, "Quit Zarvex"}}};
    for (const auto& [i, command] : commands) {
        EXPECT_FALSE(items[i].separator) << i;
        EXPECT_EQ(items[i].id, command.first);
        EXPECT_EQ(items[i].label, command.second);
        EXPECT_TRUE(items[i].enabled) << i;
    }
}

TEST(TrayCommands, QuitStopsTheAgentAndTheOthersOpenDashboardAndLog) {
    RecordingOpener opener;
    LogCapture log;
    int stops = 0;
    auto request_stop = [&stops] { ++stops; };

    for (int other : {0, -1, TRAY_CMD_STATUS, 104, 1000}) run_tray_command(other, "http://relay", request_stop);
    run_tray_command(TRAY_CMD_QUIT, "http://relay", request_stop);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(log.text(), "info|Quit requested from tray\n");

    run_tray_command(TRAY_CMD_OPEN_DASHBOARD, "http://127.0.0.1:8080", request_stop);
    ASSERT_TRUE(opener.wait_for("http://127.0.0.1:8080/app/\n")) << opener.opened();
    run_tray_command(TRAY_CMD_SHOW_LOG, "http://127.0.0.1:8080", request_stop);
    ASSERT_TRUE(opener.wait_for("http://127.0.0.1:8080/app/\nagent.log\n")) << opener.opened();
    EXPECT_EQ(stops, 1);
    // An empty stop handler is no crash.
    run_tray_command(TRAY_CMD_QUIT, "http://relay", {});
}

TEST(ShellOpen, StartsTheOpenerDetachedReapedAndWithoutOurDescriptors) {
    RecordingOpener opener;
    int fd = ::open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(fd, 3);
    ScopedEnv leak("TRAY_TEST_FD", std::to_string(fd));

    auto before = std::chrono::steady_clock::now();
    shell_open("slow");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);  // never waits for the opener
    ASSERT_TRUE(opener.wait_for("slow\n")) << opener.opened();
    ASSERT_TRUE(wait_until([&] { return opener.self().find('\n') != std::string::npos; }, 5s));
    const std::string self = opener.self();
    const std::string pid = self.substr(0, self.find(' '));
    std::vector<std::string> fields = stat_fields(self);
    ASSERT_GE(fields.size(), 4u) << self;
    EXPECT_EQ(fields[1], std::to_string(getpid()));  // our child...
    EXPECT_EQ(fields[3], pid);                       // ...in a session of its own
    // Once it has ended it is reaped: no zombie stays behind.
    EXPECT_TRUE(wait_until([&] { return !fs::exists("/proc/" + pid); }, 10s)) << read_file("/proc/" + pid + "/stat");
    EXPECT_EQ(opener.opened(), "slow\n");  // the descriptor did not reach it
    ::close(fd);
}

TEST(ShellOpen, NoOpenerOnPathIsOneWarning) {
    TempDir empty;
    ScopedEnv path("PATH", empty.path());
    LogCapture log;
    shell_open("http://x/app/");
    EXPECT_EQ(log.text(), "warning|Cannot open http://x/app/: xdg-open: No such file or directory\n");
}

TEST(TrayIconLifecycle, NeverStartedDoesNothing) {
    LogCapture log;
    {
        TrayIcon tray;
        tray.set_status("Zarvex");
        tray.show_balloon("Zarvex", "text");
        auto before = std::chrono::steady_clock::now();
        tray.stop();
        tray.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms);
    }
    EXPECT_EQ(log.text(), "");
}

TEST(TrayIconLifecycle, NoSessionBusIsOneWarningAndStopReturnsPromptly) {
    TempDir dir;
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir / "no-bus");
    LogCapture log;
    for (int run = 1; run <= 2; ++run) {
        TrayIcon tray;
        int commands = 0;
        EXPECT_TRUE(tray.start([&commands](int) { ++commands; }));
        EXPECT_TRUE(tray.start([&commands](int) { commands += 100; }));  // already running
        tray.set_status("Zarvex \xE2\x80\x94 Connected to http://relay");
        tray.show_balloon("Zarvex", "Agent is running.");
        ASSERT_TRUE(wait_until([&] { return log.count("Tray not available") == static_cast<size_t>(run); }, 5s))
            << log.text();
        auto before = std::chrono::steady_clock::now();
        tray.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
        EXPECT_EQ(commands, 0);
    }
    EXPECT_EQ(log.count("warning|Tray not available: no session bus: "), 2u) << log.text();
    EXPECT_EQ(log.count("\n"), 2u) << log.text();
}
