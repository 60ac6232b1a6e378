#include "relay/account_api.h"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <cctype>

#include "net/log_text.h"
#include "net/protocol.h"

namespace relay {

namespace {

using json = nlohmann::json;

constexpr size_t kMinUsername = 3, kMaxUsername = 64;
constexpr size_t kMinPassword = 8, kMaxPassword = 1024;
constexpr size_t kMaxEmail = 254, kMaxMachineField = 255;

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

ApiResponse error(int status, const std::string& message) { return {status, AccountApi::error_body(message), {}}; }

bool has_control_chars(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// A parsed JSON object body, or the 400 answer that explains why there is none.
struct Body {
    json value;
    std::optional<ApiResponse> failure;
};

Body parse_body(const std::string& text) {
    Body b;
    b.value = json::parse(text, nullptr, false);
    if (b.value.is_discarded()) b.failure = error(400, "invalid JSON body");
    else if (!b.value.is_object()) b.failure = error(400, "request body must be a JSON object");
    return b;
}

// Reads a string field; a missing optional field yields "". On a wrong type or a missing
// required field, `failure` receives the 400 answer.
std::string field(const json& body, const char* key, bool required, std::optional<ApiResponse>& failure) {
    auto it = body.find(key);
    if (it == body.end() || it->is_null()) {
        if (required && !failure) failure = error(400, std::string(key) + " is required");
        return {};
    }
    if (!it->is_string()) {
        if (!failure) failure = error(400, std::string(key) + " must be a string");
        return {};
    }
    return it->get<std::string>();
}

}  // namespace

AccountApi::AccountApi(AccountStore& store, std::function<bool(const std::string&)> is_online)
    : store_(store), is_online_(std::move(is_online)) {}

std::string AccountApi::error_body(const std::string& message) { return dump(json{{"error", message}}); }

bool AccountApi::is_socket_path(const std::string& path) { return path == "/ws/agent" || path == "/ws/viewer"; }

ApiResponse AccountApi::handle(const ApiRequest& request) {
    auto target = parse_target(request.target);
    if (!target) return error(400, "malformed request target");
    struct Route {
        const char* path;
        const char* method;
        ApiResponse (AccountApi::*handler)(const ApiRequest&);
    };
    static const Route routes[] = {
        {"/api/auth/register", "POST", &AccountApi::register_user},
        {"/api/auth/login", "POST", &AccountApi::login},
        {"/api/machines/register", "POST", &AccountApi::register_machine},
        {"/api/machines", "GET", &AccountApi::list_machines},
    };
    for (const auto& r : routes) {
        if (target->path != r.path) continue;
        if (request.method != r.method) {
            ApiResponse res = error(405, "method not allowed");
            res.allow = r.method;
            return res;
        }
        return (this->*r.handler)(request);
    }
    return error(404, "not found");
}

ApiResponse AccountApi::register_user(const ApiRequest& request) {
    Body body = parse_body(request.body);
    if (body.failure) return *body.failure;
    std::optional<ApiResponse> failure;
    std::string username = field(body.value, "username", true, failure);
    std::string email = field(body.value, "email", false, failure);
    std::string password = field(body.value, "password", true, failure);
    if (failure) return *failure;
    if (username.size() < kMinUsername) return error(400, "username must be at least 3 characters");
    if (username.size() > kMaxUsername) return error(400, "username must be at most 64 characters");
    if (has_control_chars(username)) return error(400, "username contains control characters");
    if (password.size() < kMinPassword) return error(400, "password must be at least 8 characters");
    if (password.size() > kMaxPassword) return error(400, "password must be at most 1024 characters");
    if (email.size() > kMaxEmail || has_control_chars(email) ||
        (!email.empty() && email.find('@') == std::string::npos))
        return error(400, "invalid email address");

    switch (store_.register_user(username, email, password)) {
        case RegisterStatus::created:
            spdlog::info("Account registered: {}", log_text(username));
            return {201, dump(json{{"ok", true}}), {}};
        case RegisterStatus::duplicate:
            return error(409, "username already exists");
        case RegisterStatus::failed:
            break;
    }
    return error(500, "internal error");
}

ApiResponse AccountApi::login(const ApiRequest& request) {
    Body body = parse_body(request.body);
    if (body.failure) return *body.failure;
    std::optional<ApiResponse> failure;
    std::string username = field(body.value, "username", true, failure);
    std::string password = field(body.value, "password", true, failure);
    if (failure) return *failure;
    if (password.size() > kMaxPassword) return error(401, "invalid credentials");

    LoginResult result = store_.login(username, password);
    switch (result.status) {
        case LoginStatus::ok:
            spdlog::info("Signed in: {}", log_text(username));
            return {200, dump(json{{"token", result.token}}), {}};
        case LoginStatus::bad_credentials:
            spdlog::info("Sign-in refused: {}", log_text(username));
            return error(401, "invalid credentials");
        case LoginStatus::failed:
            break;
    }
    return error(500, "internal error");
}

std::optional<int64_t> AccountApi::bearer_user(const ApiRequest& request) {
    static constexpr std::string_view kScheme = "Bearer ";
    const std::string& auth = request.authorization;
    if (auth.size() <= kScheme.size()) return std::nullopt;
    for (size_t i = 0; i < kScheme.size(); ++i)  // the scheme name is case-insensitive
        if (std::tolower(static_cast<unsigned char>(auth[i])) != std::tolower(static_cast<unsigned char>(kScheme[i])))
            return std::nullopt;
    return store_.user_for_token(auth.substr(kScheme.size()));
}

ApiResponse AccountApi::register_machine(const ApiRequest& request) {
    auto user = bearer_user(request);
    if (!user) return error(401, "invalid or missing token");
    Body body = parse_body(request.body);
    if (body.failure) return *body.failure;
    std::optional<ApiResponse> failure;
    std::string name = field(body.value, "name", true, failure);
    std::string os_info = field(body.value, "os_info", false, failure);
    if (failure) return *failure;
    if (name.empty()) return error(400, "name must not be empty");
    if (name.size() > kMaxMachineField || os_info.size() > kMaxMachineField)
        return error(400, "name and os_info must be at most 255 characters");

    auto id = store_.register_machine(*user, name, os_info);
    if (!id) return error(500, "internal error");
    spdlog::info("Machine registered: {} ({})", *id, log_text(name));
    return {200, dump(json{{"machine_id", *id}}), {}};
}

ApiResponse AccountApi::list_machines(const ApiRequest& request) {
    auto user = bearer_user(request);
    if (!user) return error(401, "invalid or missing token");
    auto machines = store_.machines_of(*user);
    if (!machines) return error(500, "internal error");
    json list = json::array();
    for (const auto& m : *machines)
        list.push_back(
            {{"machine_id", m.machine_id}, {"name", m.name}, {"os_info", m.os_info}, {"online", is_online_(m.machine_id)}});
    return {200, dump(list), {}};
}

Admission AccountApi::admit(const Target& target) {
    Admission a;
    a.role = target.path == "/ws/viewer" ? SocketRole::viewer : SocketRole::agent;
    auto param = [&](const char* name) {
        auto it = target.query.find(name);
        return it == target.query.end() ? std::string() : it->second;
    };
    a.machine_id = param("machine_id");
    std::string token = param("token");
    auto refuse = [&](int status, const char* message) {
        a.status = status;
        a.error = message;
        return a;
    };
    if (a.machine_id.empty()) return refuse(400, "machine_id is required");
    if (a.role == SocketRole::viewer) {
        a.resume_session = param("session_id");
        bool printable = true;
        for (unsigned char c : a.resume_session) printable = printable && c > 0x20 && c < 0x7f;
        if (!a.resume_session.empty() && (a.resume_session.size() != SESSION_ID_LENGTH || !printable))
            return refuse(400, "session_id must be 36 printable ASCII characters");
    }
    if (token.empty()) return refuse(401, "token is required");
    auto user = store_.user_for_token(token);
    if (!user) return refuse(401, "invalid token");
    switch (store_.machine_access(*user, a.machine_id)) {
        case MachineAccess::owner:
            a.status = 101;
            return a;
        case MachineAccess::other_owner:
            return refuse(403, "machine belongs to another account");
        case MachineAccess::unknown:
            return refuse(404, "unknown machine");
        case MachineAccess::failed:
            break;
    }
    return refuse(500, "internal error");
}

}  // namespace relay
