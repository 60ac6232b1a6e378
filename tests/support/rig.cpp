#include "tests/support/rig.h"

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace testsupport {

HttpResult http_post(const std::string& url, const std::string& json, const std::string& token) {
    std::vector<std::string> args = {"curl", "-s", "-m", "20", "-o", "-", "-w", "\n%{http_code}", "-X", "POST",
                                     "-H", "Content-Type: application/json", "--data-binary", json};
    if (!token.empty()) {
        args.push_back("-H");
        args.push_back("Authorization: Bearer " + token);
    }
    args.push_back(url);
    Process p;
    HttpResult r;
    if (!p.start(args) || !p.wait(30s)) return r;
    std::string out = p.out();
    size_t nl = out.rfind('\n');
    if (nl == std::string::npos) return r;
    r.body = out.substr(0, nl);
    r.status = std::atoi(out.c_str() + nl + 1);
    return r;
}

std::string json_string_field(const std::string& json, const std::string& key) {
    std::string needle = "\"" + key + "\"";
    size_t k = json.find(needle);
    if (k == std::string::npos) return {};
    size_t q1 = json.find('"', json.find(':', k + needle.size()) + 1);
    size_t q2 = json.find('"', q1 + 1);
    if (q1 == std::string::npos || q2 == std::string::npos) return {};
    return json.substr(q1 + 1, q2 - q1 - 1);
}

Rig::Rig() : dir_("zarvex-rig") { appdata_ = dir_ / "appdata"; }

Rig::~Rig() {
    agent_.stop();
    pattern_.stop();
    relay_.stop();
}

bool Rig::start_relay() {
    if (!relay_.start({bin("zarvex-relay"), "--listen", "127.0.0.1", "--port", std::to_string(port_), "--db",
                       dir_ / "relay.db"})) {
        error_ = "cannot start zarvex-relay";
        return false;
    }
    if (!relay_.wait_for_output("Listening on", 15s)) {
        error_ = "relay did not start: " + relay_.out() + relay_.err();
        return false;
    }
    return true;
}

bool Rig::restart_relay() {
    relay_.stop();
    return start_relay();
}

bool Rig::start_system(int width, int height) {
    display_ = std::make_unique<VirtualDisplay>(width, height);
    if (!display_->ok()) {
        error_ = "Xvfb did not start";
        return false;
    }
    port_ = free_port();
    if (!start_relay()) return false;

    std::string base = server_url();
    auto reg = http_post(base + "/api/auth/register",
                         R"({"email":"t@example.com","password":"password123","username":"tester"})");
    if (reg.status < 200 || reg.status > 299) {
        error_ = "register failed: " + std::to_string(reg.status) + " " + reg.body;
        return false;
    }
    auto login = http_post(base + "/api/auth/login", R"({"password":"password123","username":"tester"})");
    token_ = json_string_field(login.body, "token");
    if (token_.empty()) {
        error_ = "login failed: " + login.body;
        return false;
    }
    auto machine = http_post(base + "/api/machines/register", R"({"name":"rig","os_info":"Linux"})", token_);
    machine_id_ = json_string_field(machine.body, "machine_id");
    if (machine_id_.size() != 36) {
        error_ = "machine registration failed: " + machine.body;
        return false;
    }
    fs::create_directories(appdata_ + "/VantorAgent");
    std::ostringstream cfg;
    cfg << "{\n  \"auth_token\": \"" << token_ << "\",\n  \"bitrate_kbps\": 4000,\n  \"machine_id\": \"" << machine_id_
        << "\",\n  \"machine_name\": \"rig\",\n  \"server_url\": \"" << base << "\",\n  \"target_fps\": 30\n}";
    write_file(appdata_ + "/VantorAgent/config.json", cfg.str());
    return true;
}

bool Rig::start_pattern(const std::string& mode) {
    if (!pattern_.start({bin("zarvex-testpattern"), mode}, {{"DISPLAY", display()}})) return false;
    return pattern_.wait_for_output("ready", 10s);
}

bool Rig::start_agent(const std::map<std::string, std::string>& extra_env) {
    // No sound server and no session bus unless the test brings its own: never the user's.
    std::map<std::string, std::string> env = {{"APPDATA", appdata_},
                                              {"DISPLAY", display()},
                                              {"PULSE_SERVER", "unix:" + (dir_ / "no-sound-server")},
                                              {"PULSE_COOKIE", dir_ / "pulse-cookie"},
                                              {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "no-session-bus")}};
    for (const auto& [k, v] : extra_env) env[k] = v;
    if (!agent_.start({bin("agent")}, env, dir_.path())) {
        error_ = "cannot start agent";
        return false;
    }
    bool ok = wait_until(
        [&] {
            return agent_.out().find("Starting capture loop...") != std::string::npos || !agent_.running();
        },
        20s);
    if (!ok || !agent_.running()) {
        error_ = "agent did not reach the capture loop: " + agent_.out() + agent_.err();
        return false;
    }
    return true;
}

std::vector<std::string> Rig::viewer_args() const {
    return {bin("zarvex-viewer"), "--server", server_url(), "--token", token_, "--machine", machine_id_};
}

}  // namespace testsupport
