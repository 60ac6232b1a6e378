#include "viewer/viewer_cli.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "viewer/account_client.h"
#include "viewer/viewer_session.h"

namespace {

struct OptionRow {
    const char* name;
    const char* value;  // nullptr: a flag without a value
    const char* help;
    std::function<bool(ViewerCliOptions&, const std::string&)> apply;
};

bool set_seconds(ViewerCliOptions& o, const std::string& v) {
    try {
        size_t used = 0;
        double s = std::stod(v, &used);
        if (used != v.size() || !(s > 0) || s > 86400 * 365) return false;
        o.seconds = s;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// New options go here: one row each.
const std::vector<OptionRow>& option_table() {
    static const std::vector<OptionRow> table = {
        {"--server", "URL", "relay base URL, e.g. http://127.0.0.1:8080",
         [](ViewerCliOptions& o, const std::string& v) { o.server = v; return !v.empty(); }},
        {"--user", "NAME", "sign in with this user name (with --password)",
         [](ViewerCliOptions& o, const std::string& v) { o.user = v; return true; }},
        {"--password", "PASS", "password for --user",
         [](ViewerCliOptions& o, const std::string& v) { o.password = v; return true; }},
        {"--token", "TOKEN", "use this sign-in token instead of --user/--password",
         [](ViewerCliOptions& o, const std::string& v) { o.token = v; return !v.empty(); }},
        {"--machine", "ID", "machine to view (default: the account's only machine)",
         [](ViewerCliOptions& o, const std::string& v) { o.machine = v; return !v.empty(); }},
        {"--seconds", "N", "how long to stay connected (default 10)", set_seconds},
        {"--session", "ID", "resume this session id",
         [](ViewerCliOptions& o, const std::string& v) { o.session = v; return v.size() == 36; }},
        {"--ca-file", "PEM", "also trust the certificates in this file (PEM)",
         [](ViewerCliOptions& o, const std::string& v) { o.ca_file = v; return !v.empty(); }},
        {"--json", nullptr, "print the summary as JSON",
         [](ViewerCliOptions& o, const std::string&) { o.json = true; return true; }},
    };
    return table;
}

std::atomic<bool> g_interrupted{false};

void on_signal(int) { g_interrupted = true; }

}  // namespace

std::string viewer_usage() {
    std::string out = "Usage: zarvex-viewer --server URL (--user NAME --password PASS | --token TOKEN) [options]\n\n"
                      "Joins a machine's session through the relay, completes the key exchange and\n"
                      "reports what arrives per message type.\n\nOptions:\n";
    for (const auto& o : option_table())
        out += fmt::format("  {:<20} {}\n", std::string(o.name) + (o.value ? std::string(" ") + o.value : ""), o.help);
    out += fmt::format("  {:<20} {}\n", "--help", "show this text");
    return out;
}

CliParse parse_viewer_cli(const std::vector<std::string>& args, ViewerCliOptions& options, std::string& message) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--help" || arg == "-h") return CliParse::help;
        std::string value;
        bool inline_value = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inline_value = true;
        }
        const OptionRow* row = nullptr;
        for (const auto& o : option_table())
            if (arg == o.name) row = &o;
        if (!row) {
            message = "unknown option: " + args[i];
            return CliParse::error;
        }
        if (row->value && !inline_value) {
            if (i + 1 >= args.size()) {
                message = arg + " needs a value (" + row->value + ")";
                return CliParse::error;
            }
            value = args[++i];
        } else if (!row->value && inline_value) {
            message = arg + " takes no value";
            return CliParse::error;
        }
        if (!row->apply(options, value)) {
            message = "invalid value for " + arg + ": " + value;
            return CliParse::error;
        }
    }
    if (options.server.empty()) {
        message = "--server is required";
        return CliParse::error;
    }
    if (options.token.empty() && (options.user.empty() || options.password.empty())) {
        message = "give --token, or --user and --password";
        return CliParse::error;
    }
    return CliParse::run;
}

std::string summary_text(const ViewerSummary& s) {
    std::string out = fmt::format("Summary: session {} {} after {:.1f} s; {} key exchange(s), {} dropped frame(s)\n",
                                  s.session_id.empty() ? "-" : s.session_id, s.ready ? "ready" : "NOT ready",
                                  s.seconds, s.key_exchanges, s.dropped);
    if (s.messages.empty()) out += "  no messages received\n";
    for (const auto& [name, c] : s.messages) {
        double rate = s.seconds > 0 ? c.count / s.seconds : 0;
        double kbps = s.seconds > 0 ? c.bytes * 8 / 1000.0 / s.seconds : 0;
        out += fmt::format("  {:<15} count {:>8}  bytes {:>12}  rate {:>8.1f}/s  {:>10.1f} kbit/s\n", name, c.count,
                           c.bytes, rate, kbps);
    }
    return out;
}

std::string summary_json(const ViewerSummary& s) {
    nlohmann::json messages = nlohmann::json::object();
    for (const auto& [name, c] : s.messages)
        messages[name] = {{"count", c.count}, {"bytes", c.bytes}, {"rate", s.seconds > 0 ? c.count / s.seconds : 0.0}};
    nlohmann::json out{{"session_id", s.session_id}, {"ready", s.ready},     {"seconds", s.seconds},
                       {"key_exchanges", s.key_exchanges}, {"dropped", s.dropped}, {"messages", messages}};
    return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int run_viewer_cli(const ViewerCliOptions& opt) {
    std::string token = opt.token;
    std::string machine = opt.machine;
    AccountClient account(opt.server, opt.ca_file);
    if (token.empty()) {
        auto t = account.login(opt.user, opt.password);
        if (!t) {
            std::fprintf(stderr, "Sign-in failed: %s\n", account.last_error().c_str());
            return 1;
        }
        token = *t;
    }
    if (machine.empty()) {
        auto list = account.list_machines(token);
        if (!list) {
            std::fprintf(stderr, "Cannot list machines: %s\n", account.last_error().c_str());
            return 1;
        }
        if (list->size() != 1) {
            std::fprintf(stderr, "The account has %zu machines: choose one with --machine\n", list->size());
            return 1;
        }
        machine = (*list)[0].value("machine_id", "");
    }

    std::mutex m;
    ViewerSummary summary;
    ViewerHandlers handlers;
    handlers.on_message = [&](const std::vector<uint8_t>& msg) {
        std::lock_guard<std::mutex> lock(m);
        auto& c = summary.messages[message_type_name(msg[0])];
        ++c.count;
        c.bytes += msg.size();
    };
    handlers.on_ready = [&](const std::string& sid) {
        if (!opt.json) std::printf("Session %s ready (key exchange complete)\n", sid.c_str());
        std::fflush(stdout);
    };
    ViewerSession session;
    session.set_handlers(handlers);
    if (!session.connect(ViewerOptions{opt.server, machine, token, opt.session, true, opt.ca_file})) {
        std::fprintf(stderr, "Invalid relay URL: %s\n", opt.server.c_str());
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    auto start = std::chrono::steady_clock::now();
    auto run_for = std::chrono::duration<double>(opt.seconds);
    bool ready = session.wait_ready(std::chrono::duration_cast<std::chrono::milliseconds>(run_for));
    if (!ready) std::fprintf(stderr, "Key exchange did not complete: %s\n", session.last_error().c_str());
    auto next_report = start + std::chrono::seconds(1);
    while (ready && !g_interrupted && std::chrono::steady_clock::now() - start < run_for) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!opt.json && std::chrono::steady_clock::now() >= next_report) {
            next_report += std::chrono::seconds(1);
            std::lock_guard<std::mutex> lock(m);
            double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::string line = fmt::format("[{:.0f}s]", elapsed);
            for (const auto& [name, c] : summary.messages) line += fmt::format(" {}={}", name, c.count);
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
    }
    session.close();
    {
        std::lock_guard<std::mutex> lock(m);
        summary.session_id = session.session_id();
        summary.ready = ready;
        summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        summary.key_exchanges = session.key_exchanges();
        summary.dropped = session.dropped_frames();
        std::string text = opt.json ? summary_json(summary) + "\n" : summary_text(summary);
        std::fputs(text.c_str(), stdout);
    }
    return ready ? 0 : 1;
}
