#include "host/service_unit.h"

#include <cstring>

ServiceCommand service_command_from_args(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--install") == 0) return ServiceCommand::Install;
        if (std::strcmp(argv[i], "--uninstall") == 0) return ServiceCommand::Uninstall;
        if (std::strcmp(argv[i], "--service") == 0) return ServiceCommand::None;
    }
    return ServiceCommand::None;
}

ServiceStatusReport ServiceStatusSequence::report(ServiceEvent event, uint32_t exit_code) {
    ServiceStatusReport r;
    switch (event) {
        case ServiceEvent::MainStarted:
            r.state = ServiceState::StartPending;
            r.check_point = next_check_point_.fetch_add(1);
            r.wait_hint_ms = AGENT_SERVICE_WAIT_HINT_MS;
            break;
        case ServiceEvent::RuntimeStarting:
            r.state = ServiceState::Running;
            r.controls_accepted = AGENT_SERVICE_ACCEPTS;
            break;
        case ServiceEvent::StopReceived:
            r.state = ServiceState::StopPending;
            r.check_point = next_check_point_.fetch_add(1);
            r.wait_hint_ms = AGENT_SERVICE_WAIT_HINT_MS;
            break;
        case ServiceEvent::RuntimeReturned:
            r.state = ServiceState::Stopped;
            r.win32_exit_code = exit_code;
            break;
    }
    return r;
}

std::string windows_binary_path(const std::string& executable) { return "\"" + executable + "\" --service"; }

std::string systemd_quote_word(const std::string& word) {
    std::string out = "\"";
    for (char c : word) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '%': out += "%%"; break;
            default: out += c;
        }
    }
    out += '"';
    return out;
}

std::string systemd_path_setting(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '%') out += '%';
        out += c;
    }
    return out;
}

bool unit_path_usable(const std::string& path) {
    if (path.empty() || path.front() != '/') return false;
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    const char last = path.back();
    return last != '\\' && last != ' ';
}

bool unit_executable_usable(const std::string& path) {
    return unit_path_usable(path) && path.find_first_of("\"'\\") == std::string::npos;
}

std::string render_unit_file(const std::string& executable, const std::string& working_dir) {
    std::string unit;
    unit += "[Unit]\n";
    unit += std::string("Description=") + AGENT_SERVICE_DESCRIPTION + "\n";
    // The agent serves the user's desktop: it starts with the graphical session, once
    // the session's environment (DISPLAY) is in the user manager, and ends with it.
    unit += "After=graphical-session.target\n";
    unit += "PartOf=graphical-session.target\n";
    unit += "\n";
    unit += "[Service]\n";
    unit += "Type=notify\n";
    unit += "ExecStart=" + systemd_quote_word(executable) + " --service\n";
    unit += "WorkingDirectory=" + systemd_path_setting(working_dir) + "\n";
    unit += "Restart=on-failure\n";
    // Spaced restarts keep a start-up failure (relay not reachable yet) retrying instead
    // of hitting the manager's start limit within seconds.
    unit += "RestartSec=5\n";
    unit += "\n";
    unit += "[Install]\n";
    unit += "WantedBy=graphical-session.target\n";
    return unit;
}

namespace {
bool absolute(const char* v) { return v != nullptr && v[0] == '/'; }
}  // namespace

std::optional<UnitPaths> unit_paths(const char* xdg_config_home, const char* xdg_state_home, const std::string& home) {
    const bool home_ok = !home.empty() && home.front() == '/';
    if ((!absolute(xdg_config_home) || !absolute(xdg_state_home)) && !home_ok) return std::nullopt;
    std::string config = absolute(xdg_config_home) ? std::string(xdg_config_home) : home + "/.config";
    std::string state = absolute(xdg_state_home) ? std::string(xdg_state_home) : home + "/.local/state";
    while (config.size() > 1 && config.back() == '/') config.pop_back();
    while (state.size() > 1 && state.back() == '/') state.pop_back();
    UnitPaths p;
    p.unit_dir = config + "/systemd/user";
    p.unit_file = p.unit_dir + "/" + AGENT_UNIT_NAME;
    p.state_dir = state + "/VantorAgent";
    return p;
}

std::string command_failure_reason(const std::string& command_line, int exit_status, int term_signal,
                                   const std::string& error_output) {
    std::string reason = "'" + command_line + "'";
    if (term_signal > 0) {
        reason += " was ended by signal " + std::to_string(term_signal);
    } else {
        reason += " exited with status " + std::to_string(exit_status);
    }
    // Error output on one line: each non-blank line trimmed, joined by "; ".
    std::string folded;
    size_t pos = 0;
    while (pos <= error_output.size()) {
        size_t end = error_output.find('\n', pos);
        if (end == std::string::npos) end = error_output.size();
        std::string line = error_output.substr(pos, end - pos);
        const size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos) {
            line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
            if (!folded.empty()) folded += "; ";
            folded += line;
        }
        pos = end + 1;
    }
    if (!folded.empty()) reason += ": " + folded;
    return reason;
}
