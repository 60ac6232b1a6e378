// The agent binary on an empty application-data folder: first-run configuration,
// console and file logging, and the failure paths of start-up.
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "tests/support/process.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct AgentRun {
    int code = -1;
    std::string out;
};

// Runs the agent in dir with APPDATA=dir/appdata and no display, so that it stops at
// the first component it cannot start.
AgentRun run_agent_in(const TempDir& dir) {
    Process p;
    EXPECT_TRUE(p.start({bin("agent")}, {{"APPDATA", dir / "appdata"}, {"DISPLAY", ""}}, dir.path()));
    auto code = p.wait(20s);
    EXPECT_TRUE(code.has_value()) << "agent did not exit";
    return {code.value_or(-1), p.out()};
}

}  // namespace

TEST(AgentStartup, FirstRunCreatesConfigAndLogsToConsoleAndFile) {
    TempDir dir;
    AgentRun first = run_agent_in(dir);
    EXPECT_EQ(first.code, 1);

    std::string config = read_file(dir / "appdata/VantorAgent/config.json");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(config, m, std::regex("\"machine_id\": \"([0-9a-f-]{36})\""))) << config;
    std::string id = m[1];

    EXPECT_NE(first.out.find("] [info] Vantor Agent starting..."), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("] [info] Machine ID: " + id), std::string::npos) << first.out;
    std::string log = read_file(dir / "agent.log");
    EXPECT_NE(log.find("Vantor Agent starting..."), std::string::npos);
    EXPECT_NE(log.find("Machine ID: " + id), std::string::npos);
    // Standard output is a file here: no colour codes.
    EXPECT_EQ(first.out.find('\x1b'), std::string::npos);
    // The log line shape: [date time.ms] [level] text
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[info\] Vantor Agent starting\.\.\.)")))
        << log;

    // A second run keeps the identifier and leaves only its own log.
    AgentRun second = run_agent_in(dir);
    EXPECT_EQ(second.code, 1);
    log = read_file(dir / "agent.log");
    EXPECT_EQ(log.find("No config file found"), std::string::npos) << log;
    EXPECT_NE(log.find("Config loaded from"), std::string::npos) << log;
    size_t starts = 0;
    for (size_t pos = log.find("Vantor Agent starting"); pos != std::string::npos; pos = log.find("Vantor Agent starting", pos + 1)) ++starts;
    EXPECT_EQ(starts, 1u);
    EXPECT_NE(log.find("Machine ID: " + id), std::string::npos);
}

TEST(AgentStartup, MalformedConfigStopsAndIsLeftUntouched) {
    TempDir dir;
    fs::create_directories(dir / "appdata/VantorAgent");
    const std::string bad = "{\"server_url\": \"http://x\", \"target_fps\": \"30\"}";
    write_file(dir / "appdata/VantorAgent/config.json", bad);
    AgentRun r = run_agent_in(dir);
    EXPECT_EQ(r.code, 1);
    size_t parse = r.out.find("] [error] Failed to parse config: ");
    size_t load = r.out.find("] [error] Failed to load configuration");
    EXPECT_NE(parse, std::string::npos) << r.out;
    EXPECT_NE(load, std::string::npos) << r.out;
    EXPECT_LT(parse, load);
    EXPECT_EQ(read_file(dir / "appdata/VantorAgent/config.json"), bad);
}

TEST(AgentStartup, HostModesExitWithTheirCodesAndNeverStartTheAgent) {
    // Setup with no answers cancels (1); the service commands exit 0 whatever happened,
    // here with no systemctl and no service manager around.
    const std::pair<const char*, int> modes[] = {{"--setup", 1}, {"--install", 0}, {"--uninstall", 0}, {"--service", 0}};
    for (const auto& [mode, expected] : modes) {
        TempDir dir;
        Process p;
        // A private home and no systemctl on PATH: the service commands must never reach
        // the user's own service manager.
        ASSERT_TRUE(p.start({bin("agent"), mode},
                            {{"APPDATA", dir / "appdata"}, {"HOME", dir / "home"}, {"XDG_CONFIG_HOME", ""},
                             {"XDG_STATE_HOME", ""}, {"PATH", dir / "no-bin"}, {"NOTIFY_SOCKET", ""}},
                            dir.path()));
        auto code = p.wait(10s);
        ASSERT_TRUE(code.has_value()) << mode;
        EXPECT_EQ(*code, expected) << mode << "\n" << p.out() << p.err();
        EXPECT_EQ(p.out().find("Vantor Agent starting..."), std::string::npos) << mode;
        EXPECT_FALSE(fs::exists(dir / "agent.log")) << mode;  // only the agent itself logs to the file
    }
}
