#pragma once

// The relay's HTTP account API and the admission check of WebSocket connections, free of
// any network code: the server hands in a parsed request and writes out the answer.

#include <functional>
#include <optional>
#include <string>

#include "relay/account_store.h"
#include "relay/ids.h"

namespace relay {

struct ApiRequest {
    std::string method;         // "GET", "POST", ...
    std::string target;         // path and query as received
    std::string authorization;  // the Authorization header, may be empty
    std::string body;
};

struct ApiResponse {
    int status = 500;
    std::string body;   // JSON text
    std::string allow;  // methods for a 405 answer
};

enum class SocketRole { agent, viewer };

// Outcome of checking a /ws/agent or /ws/viewer request before the upgrade.
struct Admission {
    int status = 500;  // 101 when the upgrade may go ahead
    std::string error;
    SocketRole role = SocketRole::agent;
    std::string machine_id;
    std::string resume_session;  // viewer only: the session to resume, empty for a new one
};

class AccountApi {
public:
    // is_online tells whether an agent is connected for a machine id.
    AccountApi(AccountStore& store, std::function<bool(const std::string&)> is_online);

    ApiResponse handle(const ApiRequest& request);

    // True for the two WebSocket paths.
    static bool is_socket_path(const std::string& path);
    // Checks machine_id and token of a WebSocket request whose path is_socket_path.
    Admission admit(const Target& target);

    static std::string error_body(const std::string& message);

private:
    ApiResponse register_user(const ApiRequest& request);
    ApiResponse login(const ApiRequest& request);
    ApiResponse register_machine(const ApiRequest& request);
    ApiResponse list_machines(const ApiRequest& request);
    std::optional<int64_t> bearer_user(const ApiRequest& request);

    AccountStore& store_;
    std::function<bool(const std::string&)> is_online_;
};

}  // namespace relay
