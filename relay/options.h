#pragma once

// Command line of zarvex-relay.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace relay {

struct RelayOptions {
    std::string listen = "127.0.0.1";
    uint16_t port = 8080;  // 0: any free port
    std::string db = "zarvex-relay.db";
    std::string cert;  // TLS certificate chain (PEM); with key, the port serves HTTPS/WSS only
    std::string key;   // TLS private key (PEM)
#ifdef ZARVEX_WEB_ROOT
    std::string web_root = ZARVEX_WEB_ROOT;  // the dashboard's files, served under /app/
#else
    std::string web_root;
#endif
    size_t max_viewers = 16;                   // viewer sessions per machine
    size_t max_message = 16u * 1024 * 1024;    // one WebSocket message
    size_t max_queue = 64u * 1024 * 1024;      // unsent bytes per connection
    size_t max_body = 64u * 1024;              // one HTTP request body
    int threads = 2;                           // network threads
};

enum class ParseOutcome { run, help, error };

// Fills options from the arguments (without the program name). On error, `message` says why.
ParseOutcome parse_options(const std::vector<std::string>& args, RelayOptions& options, std::string& message);

std::string usage_text();

}  // namespace relay
