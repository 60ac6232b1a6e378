#include "relay/options.h"

#include <charconv>

namespace relay {

namespace {

bool parse_number(const std::string& text, size_t min, size_t max, size_t& out) {
    size_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) return false;
    out = value;
    return true;
}

}  // namespace

std::string usage_text() {
    return "Usage: zarvex-relay [options]\n"
           "\n"
           "Options:\n"
           "  --listen ADDR        address to listen on (default 127.0.0.1)\n"
           "  --port N             port to listen on (default 8080; 0 picks a free port)\n"
           "  --db PATH            SQLite account database (default zarvex-relay.db)\n"
           "  --cert FILE          TLS certificate chain (PEM); needs --key\n"
           "  --key FILE           TLS private key (PEM); with --cert the port serves HTTPS/WSS only\n"
           "  --web-root DIR       folder of the web dashboard served under /app/ (empty: none)\n"
           "  --max-viewers N      viewer sessions per machine (default 16)\n"
           "  --max-message BYTES  largest WebSocket message accepted (default 16777216)\n"
           "  --max-queue BYTES    unsent bytes kept per connection: beyond it frames to a viewer are dropped,\n"
           "                       and an agent's viewers are not read until it is down to half (default 67108864)\n"
           "  --threads N          network threads, 1 or 2 (default 2)\n"
           "  --help               show this text\n";
}

ParseOutcome parse_options(const std::vector<std::string>& args, RelayOptions& options, std::string& message) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") return ParseOutcome::help;
        if (i + 1 >= args.size()) {
            message = arg.rfind("--", 0) == 0 ? "missing value for " + arg : "unknown argument: " + arg;
            return ParseOutcome::error;
        }
        const std::string& value = args[++i];
        size_t n = 0;
        auto number = [&](size_t min, size_t max) {
            if (parse_number(value, min, max, n)) return true;
            message = "invalid value for " + arg + ": " + value;
            return false;
        };
        if (arg == "--listen") {
            options.listen = value;
        } else if (arg == "--port") {
            if (!number(0, 65535)) return ParseOutcome::error;
            options.port = static_cast<uint16_t>(n);
        } else if (arg == "--db") {
            options.db = value;
        } else if (arg == "--cert") {
            options.cert = value;
        } else if (arg == "--key") {
            options.key = value;
        } else if (arg == "--web-root") {
            options.web_root = value;
        } else if (arg == "--max-viewers") {
            if (!number(1, 1024)) return ParseOutcome::error;
            options.max_viewers = n;
        } else if (arg == "--max-message") {
            if (!number(1024, size_t{1} << 30)) return ParseOutcome::error;
            options.max_message = n;
        } else if (arg == "--max-queue") {
            if (!number(1024, size_t{1} << 34)) return ParseOutcome::error;
            options.max_queue = n;
        } else if (arg == "--threads") {
            if (!number(1, 2)) return ParseOutcome::error;
            options.threads = static_cast<int>(n);
        } else {
            message = "unknown argument: " + arg;
            return ParseOutcome::error;
        }
    }
    if (options.cert.empty() != options.key.empty()) {
        message = "--cert and --key must be given together";
        return ParseOutcome::error;
    }
    if (options.db.empty()) {
        message = "--db must not be empty";
        return ParseOutcome::error;
    }
    return ParseOutcome::run;
}

}  // namespace relay
