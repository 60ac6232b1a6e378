// The relay's account API answers as the setup wizard reads them: a token or a machine
// identifier, or an exception whose text the wizard prints.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "host/http_client.h"
#include "host/setup_answers.h"

namespace {
// The field the answer holds, as the relay would have written it.
void check(const std::string& answer, const char* key, std::string (*read)(const std::string&)) {
    std::string value;
    try {
        value = read(answer);
    } catch (const nlohmann::json::exception& e) {
        if (std::string(e.what()).empty()) std::abort();
        return;
    }
    const auto doc = nlohmann::json::parse(answer);
    if (!doc.is_object() || !doc.at(key).is_string() || doc.at(key).get<std::string>() != value) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);
    check(answer, "token", &login_token_of);
    check(answer, "machine_id", &machine_id_of);
    // A refused request: the wizard shows the status, then a line of the body.
    const std::string message = http_error_message(401, answer, "");
    if (message.compare(0, 8, "HTTP 401") != 0 || (size > 0 && message.compare(8, 2, ": ") != 0)) std::abort();
    return 0;
}
