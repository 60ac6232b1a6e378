#include "host/setup_wizard.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/config.h"
#include "host/console.h"
#include "host/http_client.h"
#include "host/setup_answers.h"

using json = nlohmann::json;

namespace {

const std::string RULE(44, '=');

void out(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void fail(const char* what, const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s%s\n", what, why.c_str());
    std::fflush(stderr);
}

// Input ended (Ctrl+D, a closed pipe) or was cancelled: nothing is changed.
int cancelled() {
    out("\nSetup cancelled.\n");
    return 1;
}

// Request bodies: compact, keys in ascending order (json objects are ordered maps), UTF-8
// as is. Text that is not UTF-8 throws, inside the step that sends it.
std::string body_of(const json& object) { return object.dump(); }

}  // namespace

int run_setup_wizard() {
    out("\n" + RULE + "\n  Zarvex Agent Setup\n" + RULE + "\n\n");

    // Keeps the frame rate and bit rate of an existing configuration; a first run creates
    // the file with a fresh identifier.
    AgentConfig config;
    load_config(config);

    out("Enter the relay server URL\n(e.g. https://relay.example.com:8080 or http://localhost:8080)\n");
    std::optional<std::string> url = prompt_input("Server URL: ", false);
    if (!url) return cancelled();
    if (url->empty()) {
        out("Setup cancelled.\n");
        return 1;
    }
    if (url->back() == '/') url->pop_back();

    std::optional<std::string> answer = prompt_input("\nDo you have an account? (y/n): ", false);
    if (!answer) return cancelled();
    const bool sign_in = *answer == "y" || *answer == "Y";

    std::string username, password;
    if (!sign_in) {
        out("\n--- Create new account ---\n");
        auto name = prompt_input("Username (min 3 chars): ", false);
        if (!name) return cancelled();
        auto email = prompt_input("Email: ", false);
        if (!email) return cancelled();
        auto secret = prompt_input("Password (min 8 chars): ", true);
        if (!secret) return cancelled();
        username = *name;
        password = *secret;
        out("\nRegistering account...\n");
        try {
            http_post_json(*url + "/api/auth/register",
                           body_of({{"username", username}, {"email", *email}, {"password", password}}), "");
        } catch (const std::exception& e) {
            fail("Registration failed: ", e.what());
            return 1;
        }
        out("Account created!\n");
    } else {
        out("\n--- Sign in ---\n");
        auto name = prompt_input("Username: ", false);
        if (!name) return cancelled();
        auto secret = prompt_input("Password: ", true);
        if (!secret) return cancelled();
        username = *name;
        password = *secret;
    }

    std::string token;
    out("\nSigning in...\n");
    try {
        token = login_token_of(
            http_post_json(*url + "/api/auth/login", body_of({{"username", username}, {"password", password}}), ""));
    } catch (const std::exception& e) {
        fail("Login failed: ", e.what());
        return 1;
    }
    out("Logged in!\n");

    std::string machine_name = default_machine_name();
    auto typed = prompt_input("\nMachine name [" + machine_name + "]: ", false);
    if (!typed) return cancelled();
    if (!typed->empty()) machine_name = *typed;

    std::string machine_id;
    out("\nRegistering this machine...\n");
    try {
        machine_id = machine_id_of(http_post_json(*url + "/api/machines/register",
                                                  body_of({{"name", machine_name}, {"os_info", os_info_name()}}), token));
    } catch (const std::exception& e) {
        fail("Machine registration failed: ", e.what());
        return 1;
    }
    out("Machine registered!\n");

    config.server_url = *url;
    config.auth_token = token;
    config.machine_id = machine_id;
    config.machine_name = machine_name;
    if (!save_config(config)) {
        fail("Failed to save config", "");
        return 1;
    }

    out("\n" + RULE + "\n  Setup complete!\n" + RULE + "\n\nMachine ID: " + machine_id + "\nServer: " + *url +
        "\n\nNext steps:\n" + next_steps_text() + "\n");
    return 0;
}
