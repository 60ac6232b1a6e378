#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// The relay's account API over HTTP(S), for sign-in from the viewer and from tests.
// Every call is synchronous and bounded by a time-out; failures return no value (or
// false) and leave the reason in last_error().
class AccountClient {
public:
    // server_url: "http://host:port" or "https://..."; ca_file: extra trusted PEM bundle
    // (empty: the system store only).
    explicit AccountClient(std::string server_url, std::string ca_file = {});

    struct Response {
        long status = 0;  // 0 when no HTTP answer came
        std::string body;
    };
    // One request; the body is sent as JSON when not empty, token as a Bearer header.
    Response request(const std::string& method, const std::string& path, const std::string& body = {},
                     const std::string& token = {});

    // True when the account was created or already exists (409).
    bool register_user(const std::string& username, const std::string& email, const std::string& password);
    std::optional<std::string> login(const std::string& username, const std::string& password);
    std::optional<std::string> register_machine(const std::string& token, const std::string& name,
                                                const std::string& os_info);
    std::optional<nlohmann::json> list_machines(const std::string& token);

    const std::string& last_error() const { return last_error_; }
    long last_status() const { return last_status_; }

private:
    std::optional<nlohmann::json> json_call(const std::string& method, const std::string& path,
                                            const nlohmann::json& body, const std::string& token);

    std::string server_url_;
    std::string ca_file_;
    std::string last_error_;
    long last_status_ = 0;
};
