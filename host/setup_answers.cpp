#include "host/setup_answers.h"

#include <nlohmann/json.hpp>

namespace {

// The exception texts are what the wizard shows after "Login failed: " and the like.
std::string string_field(const std::string& answer, const char* key) {
    nlohmann::json reply = nlohmann::json::parse(answer);
    return reply[key].get<std::string>();
}

}  // namespace

std::string login_token_of(const std::string& answer) { return string_field(answer, "token"); }

std::string machine_id_of(const std::string& answer) { return string_field(answer, "machine_id"); }
