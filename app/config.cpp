#include "app/config.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <openssl/rand.h>
#include <spdlog/spdlog.h>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// JSON number or boolean to the unsigned 32-bit field: floats truncate toward zero, and
// numbers outside 0..2^32-1 are refused.
uint32_t to_u32(const json& value, const char* key) {
    if (value.is_number_float()) {
        double d = value.get<double>();
        if (!std::isfinite(d) || d <= -1.0 || d >= 4294967296.0) {
            throw std::out_of_range(std::string("value of ") + key + " is out of range");
        }
        return d < 0 ? 0u : static_cast<uint32_t>(d);
    }
    // Integers are taken only when they fit: -1 or 2^32 must not wrap round to another value.
    if ((value.is_number_integer() && !value.is_number_unsigned() && value.get<int64_t>() < 0) ||
        (value.is_number_unsigned() && value.get<uint64_t>() > UINT32_MAX)) {
        throw std::out_of_range(std::string("value of ") + key + " is out of range");
    }
    return value.get<uint32_t>();
}

}  // namespace

std::string config_file_path() {
    fs::path folder = fs::path(app_data_folder()) / "VantorAgent";
    fs::create_directories(folder);
    return (folder / "config.json").string();
}

std::string generate_machine_id() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) return {};
    static const char hex[] = "0123456789abcdef";
    std::string id;
    id.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) id.push_back('-');
        id.push_back(hex[b[i] >> 4]);
        id.push_back(hex[b[i] & 0x0F]);
    }
    return id;
}

namespace {

// config_file_path for load and save: a folder that cannot be created is reported like
// an unusable file instead of escaping as an exception.
bool config_path_or_log(std::string& path) {
    try {
        path = config_file_path();
        return true;
    } catch (const fs::filesystem_error& e) {
        spdlog::error("Failed to create config folder: {}", e.what());
        return false;
    }
}

// Reads one JSON value from the stream; whatever follows it is not looked at.
void apply_config(std::istream& in, AgentConfig& config) {
    json j;
    in >> j;
    if (!j.is_object()) return;
    if (j.contains("server_url")) config.server_url = j.at("server_url").get<std::string>();
    if (j.contains("machine_id")) config.machine_id = j.at("machine_id").get<std::string>();
    if (j.contains("auth_token")) config.auth_token = j.at("auth_token").get<std::string>();
    if (j.contains("machine_name")) config.machine_name = j.at("machine_name").get<std::string>();
    if (j.contains("target_fps")) config.target_fps = to_u32(j.at("target_fps"), "target_fps");
    if (j.contains("bitrate_kbps")) config.bitrate_kbps = to_u32(j.at("bitrate_kbps"), "bitrate_kbps");
}

}  // namespace

void apply_config_text(const std::string& text, AgentConfig& config) {
    std::istringstream in(text);
    apply_config(in, config);
}

bool load_config(AgentConfig& config) {
    std::string path;
    if (!config_path_or_log(path)) return false;

    std::ifstream in(path);
    if (!in.is_open()) {
        spdlog::info("No config file found at {}, using defaults", path);
        if (config.machine_id.empty()) {
            config.machine_id = generate_machine_id();
            save_config(config);
        }
        return true;
    }

    try {
        apply_config(in, config);
    } catch (const std::exception& e) {
        spdlog::error("Failed to parse config: {}", e.what());
        return false;
    }
    spdlog::info("Config loaded from {}", path);
    return true;
}

std::string serialize_config(const AgentConfig& config) {
    json j;
    j["server_url"] = config.server_url;
    j["machine_id"] = config.machine_id;
    j["auth_token"] = config.auth_token;
    j["machine_name"] = config.machine_name;
    j["target_fps"] = config.target_fps;
    j["bitrate_kbps"] = config.bitrate_kbps;
    return j.dump(2, ' ', false, json::error_handler_t::strict);
}

bool save_config(const AgentConfig& config) {
    std::string path;
    if (!config_path_or_log(path)) return false;
    std::string text;
    try {
        text = serialize_config(config);
    } catch (const json::exception& e) {
        // Invalid UTF-8 in a field: refuse to write a file we could not read back.
        spdlog::error("Failed to write config to {}", path);
        spdlog::error("{}", e.what());
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        spdlog::error("Failed to write config to {}", path);
        return false;
    }
    out << text;
    spdlog::info("Config saved to {}", path);
    return true;
}
