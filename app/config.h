#pragma once

#include <cstdint>
#include <string>

// The vendor's default relay. The setup wizard replaces it with the relay the user signs in to.
inline constexpr const char* DEFAULT_SERVER_URL = "https://relay.zarvex.net";

// Settings of one machine, kept in config.json.
struct AgentConfig {
    std::string server_url = DEFAULT_SERVER_URL;
    std::string machine_id;
    std::string auth_token;
    std::string machine_name;
    // Loaded as stored, 0 included. Whoever divides by it (the streaming loop) must
    // replace 0 with 30 first.
    uint32_t target_fps = 30;
    uint32_t bitrate_kbps = 4000;
};

// Folder holding the per-user application data: APPDATA where set (on every platform,
// so that tests and Wine behave alike), else the platform's own configuration folder.
std::string app_data_folder();

// Path of config.json inside <app data>/VantorAgent. Creates the folder (and parents);
// throws std::filesystem::filesystem_error when that fails.
std::string config_file_path();

// Loads config.json over the record. A missing file is a first run: the defaults stay,
// a machine identifier is generated and the file is written. False when the file exists
// but is not usable configuration ("Failed to parse config: ...").
bool load_config(AgentConfig& config);

// Applies the text of a config.json over the record: the known keys of a JSON object
// replace their fields, anything else is ignored. Throws (nlohmann::json exceptions,
// std::out_of_range) when the text is not usable configuration; the record may then be
// partly updated.
void apply_config_text(const std::string& text, AgentConfig& config);

// Writes the record as config.json (2-space indent, sorted keys, raw UTF-8).
bool save_config(const AgentConfig& config);

// A fresh random machine identifier: 36 lower-case hexadecimal characters in
// 8-4-4-4-12 groups, drawn from a cryptographic source. Empty if none is available.
std::string generate_machine_id();

// The exact text save_config writes for a record.
std::string serialize_config(const AgentConfig& config);
