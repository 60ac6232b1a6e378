#pragma once

// A whole Zarvex system on loopback for end-to-end tests: a virtual display, the
// development relay (temporary database, free port), an account and a machine
// registered through the relay's HTTP API, and the agent configured for them.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/process.h"

namespace testsupport {

// POSTs JSON with curl; the HTTP status and body.
struct HttpResult {
    int status = 0;
    std::string body;
};
HttpResult http_post(const std::string& url, const std::string& json, const std::string& token = {});

// Value of a string field in a flat JSON object (enough for tokens and ids).
std::string json_string_field(const std::string& json, const std::string& key);

class Rig {
public:
    Rig();
    ~Rig();

    // Starts Xvfb (width x height), the relay, registers "tester"/"password123" and one
    // machine, and writes the agent's config.json. False (with a reason) on failure.
    bool start_system(int width = 1280, int height = 720);
    // Starts the agent with the rig's display and configuration; waits for
    // "Starting capture loop..." (or its exit).
    bool start_agent(const std::map<std::string, std::string>& extra_env = {});
    // Starts the test pattern ("--static" or "--moving") on the display.
    bool start_pattern(const std::string& mode);

    const std::string& error() const { return error_; }
    const std::string& display() const { return display_->name(); }
    std::string server_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    const std::string& token() const { return token_; }
    const std::string& machine_id() const { return machine_id_; }
    const std::string& appdata() const { return appdata_; }
    const TempDir& dir() const { return dir_; }
    int port() const { return port_; }

    Process& relay() { return relay_; }
    Process& agent() { return agent_; }
    bool restart_relay();
    // Stops Xvfb: the display goes away under whatever uses it.
    void stop_display() { display_.reset(); }

    // Common viewer arguments: server, token and machine.
    std::vector<std::string> viewer_args() const;

private:
    bool start_relay();

    TempDir dir_;
    std::unique_ptr<VirtualDisplay> display_;
    Process relay_, agent_, pattern_;
    int port_ = 0;
    std::string token_, machine_id_, appdata_, error_;
};

}  // namespace testsupport
