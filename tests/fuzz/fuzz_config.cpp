// config.json text as the agent loads it: apply_config_text throws or fills the record,
// a number it takes is the number the file holds (truncated toward zero, never wrapped),
// and a record it filled is written and read back unchanged.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "app/config.h"

namespace {
bool same(const AgentConfig& a, const AgentConfig& b) {
    return a.server_url == b.server_url && a.machine_id == b.machine_id && a.auth_token == b.auth_token &&
           a.machine_name == b.machine_name && a.target_fps == b.target_fps && a.bitrate_kbps == b.bitrate_kbps;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    AgentConfig config;
    try {
        apply_config_text(std::string(reinterpret_cast<const char*>(data), size), config);
    } catch (const std::exception&) {
        return 0;
    }
    // The numbers as the file holds them.
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    nlohmann::json doc;
    in >> doc;
    auto check_number = [&doc](const char* key, uint32_t field) {
        auto it = doc.find(key);
        if (it == doc.end()) return;
        const double stored = it->is_boolean() ? (it->get<bool>() ? 1.0 : 0.0) : it->get<double>();
        if (!(stored > -1.0 && stored < 4294967296.0) || static_cast<double>(field) != std::trunc(stored < 0 ? 0 : stored))
            std::abort();
    };
    if (doc.is_object()) {
        check_number("target_fps", config.target_fps);
        check_number("bitrate_kbps", config.bitrate_kbps);
    }
    // Strings that came through the JSON parser are UTF-8: writing them cannot fail.
    const std::string text = serialize_config(config);
    AgentConfig back;
    back.machine_id = "not read";
    apply_config_text(text, back);
    if (!same(config, back)) std::abort();
    return 0;
}
