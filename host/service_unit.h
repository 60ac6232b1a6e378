#pragma once

// The service's portable pieces: the command-line walk, the status sequence reported to
// the Windows service manager, the Windows binary path and the systemd user unit.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

// Identity.
inline constexpr const char* AGENT_SERVICE_NAME = "ZarvexAgent";
inline constexpr const char* AGENT_SERVICE_DISPLAY_NAME = "Zarvex Agent";
inline constexpr const char* AGENT_SERVICE_DESCRIPTION = "Zarvex remote access agent service";
inline constexpr const char* AGENT_UNIT_NAME = "zarvex-agent.service";

// What the service-command walk found.
enum class ServiceCommand { None, Install, Uninstall };

// Walks argv[1..] in order, comparing whole arguments byte for byte: the first
// "--install" or "--uninstall" decides; "--service" ends the walk with None.
ServiceCommand service_command_from_args(int argc, const char* const* argv);

// --- Status sequence (Windows service manager) ---

// The values are the Win32 ones (SERVICE_STOPPED ... SERVICE_RUNNING).
enum class ServiceState : uint32_t { Stopped = 1, StartPending = 2, StopPending = 3, Running = 4 };

// SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN.
inline constexpr uint32_t AGENT_SERVICE_ACCEPTS = 0x1 | 0x4;
inline constexpr uint32_t AGENT_SERVICE_WAIT_HINT_MS = 3000;

enum class ServiceEvent {
    MainStarted,     // the service's main function begins
    RuntimeStarting, // just before the agent runtime runs
    StopReceived,    // a stop or shutdown control arrived
    RuntimeReturned, // the agent runtime came back with its exit code
};

struct ServiceStatusReport {
    ServiceState state = ServiceState::Stopped;
    uint32_t controls_accepted = 0;
    uint32_t win32_exit_code = 0;
    uint32_t check_point = 0;
    uint32_t wait_hint_ms = 0;
};

// The process's status reports: the pending states take the next value of a check-point
// counter that starts at 1; settled states report check point 0 and no wait hint.
class ServiceStatusSequence {
public:
    ServiceStatusReport report(ServiceEvent event, uint32_t exit_code = 0);

private:
    std::atomic<uint32_t> next_check_point_{1};
};

// Recovery: after a failure (a crash, or the agent stopping with a non-zero exit code, as it
// does when the display is lost) the service manager starts the service again, 5 s after
// each of the first failures and every 30 s after that; the count starts over after a day
// without a failure. The Windows side of the unit's Restart=on-failure / RestartSec=5.
inline constexpr uint32_t AGENT_SERVICE_RESTART_DELAYS_MS[] = {5000, 5000, 30000};
inline constexpr uint32_t AGENT_SERVICE_FAILURE_RESET_S = 24 * 60 * 60;

// The registered command line: the executable's path in double quotes, then " --service".
std::string windows_binary_path(const std::string& executable);

// --- systemd user unit ---

// The executable word of an ExecStart= line: in double quotes, backslash and double
// quote escaped, "%" (specifiers) doubled. ("$" stays: the manager substitutes variables
// in the arguments, never in the executable's path.)
std::string systemd_quote_word(const std::string& word);

// A path setting such as WorkingDirectory= (no quoting there): "%" doubled.
std::string systemd_path_setting(const std::string& path);

// Whether a path can be written into a unit file at all: absolute, no control
// characters (a line break would end the setting), no trailing backslash or blank.
bool unit_path_usable(const std::string& path);

// Whether the manager accepts the path as an executable: a usable path without quotes
// or backslashes, which it refuses in executable names however they are quoted.
bool unit_executable_usable(const std::string& path);

// The unit file for the agent at executable, run in working_dir.
std::string render_unit_file(const std::string& executable, const std::string& working_dir);

struct UnitPaths {
    std::string unit_dir;   // <config>/systemd/user
    std::string unit_file;  // <unit_dir>/zarvex-agent.service
    std::string state_dir;  // <state>/VantorAgent, the service's working folder
};

// Where the unit and the working folder go, from $XDG_CONFIG_HOME, $XDG_STATE_HOME and
// the home folder (either variable may be null; relative values are ignored, as the
// base-directory rules say). No value when no base folder is known.
std::optional<UnitPaths> unit_paths(const char* xdg_config_home, const char* xdg_state_home, const std::string& home);

// One line saying why a command failed: what ran, how it ended, and its error output
// (trimmed, line breaks folded). exit_status >= 0: it exited; term_signal > 0: killed.
std::string command_failure_reason(const std::string& command_line, int exit_status, int term_signal,
                                   const std::string& error_output);
