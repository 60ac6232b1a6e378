#include "control/file_receiver.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <system_error>

#include <spdlog/spdlog.h>

#include "net/log_text.h"
#include "net/protocol.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t TEMP_PREFIX_MAX = 40;    // bytes of the name kept in the temporary name

spdlog::logger& log() { return *spdlog::default_logger_raw(); }

// Whether anything (file, folder, dangling link) is at p; an unreadable entry counts as taken.
bool taken(const fs::path& p) {
    std::error_code ec;
    fs::file_status st = fs::symlink_status(p, ec);
    if (ec) return ec != std::errc::no_such_file_or_directory;
    return st.type() != fs::file_type::not_found;
}

// The first max bytes of s, not cutting a UTF-8 sequence in two.
std::string utf8_prefix(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return s.substr(0, cut);
}

// "$HOME/rest", "${HOME}/rest" or "$HOME" with home put in; absolute paths as they are.
std::optional<std::string> expand_home(const std::string& value, const std::string& home) {
    for (std::string_view var : {std::string_view("$HOME"), std::string_view("${HOME}")}) {
        if (value.compare(0, var.size(), var) == 0 && (value.size() == var.size() || value[var.size()] == '/'))
            return home + value.substr(var.size());
    }
    if (!value.empty() && value[0] == '/') return value;
    return std::nullopt;
}

}  // namespace

namespace upload_names {

fs::path to_path(const std::string& utf8) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string from_path(const fs::path& path) {
    std::u8string s = path.u8string();
    return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

std::optional<std::string> sanitize(std::string_view raw) {
    size_t cut = raw.find_last_of("/\\");
    std::string_view last = cut == std::string_view::npos ? raw : raw.substr(cut + 1);
    // Empty, ".", "..", and names Windows would trim to nothing.
    if (last.find_first_not_of(". ") == std::string_view::npos) return std::nullopt;
    for (unsigned char c : last) {
        if (c < 0x20 || c == 0x7F || c == ':') return std::nullopt;
    }
    // Device names stay devices with any extension and with trailing spaces.
    std::string base(last.substr(0, last.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    std::transform(base.begin(), base.end(), base.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return std::nullopt;
    if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' && base[3] <= '9')
        return std::nullopt;
    return std::string(last);
}

std::optional<std::string> unique(const std::string& name, const std::function<bool(const std::string&)>& exists) {
    if (!exists(name)) return name;
    size_t dot = name.rfind('.');
    bool has_ext = dot != std::string::npos && dot != 0;
    std::string stem = has_ext ? name.substr(0, dot) : name;
    std::string ext = has_ext ? name.substr(dot) : std::string();
    for (int i = 1; i <= 9999; ++i) {
        std::string candidate = stem + " (" + std::to_string(i) + ")" + ext;
        if (!exists(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> xdg_download_dir(std::string_view text, const std::string& home) {
    constexpr std::string_view key = "XDG_DOWNLOAD_DIR";
    std::optional<std::string> found;  // a later assignment wins, as in the shell
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);

        size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos || line[start] == '#') continue;
        line = line.substr(start);
        if (!line.starts_with(key)) continue;
        line = line.substr(key.size());
        size_t eq = line.find_first_not_of(" \t");
        if (eq == std::string_view::npos || line[eq] != '=') continue;
        line = line.substr(eq + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);

        std::string value;
        if (line.starts_with('"')) {
            bool closed = false;
            for (size_t i = 1; i < line.size() && !closed; ++i) {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    value.push_back(line[++i]);
                } else if (line[i] == '"') {
                    closed = true;
                } else {
                    value.push_back(line[i]);
                }
            }
            if (!closed) continue;
        } else {
            value = std::string(line);
        }
        if (auto dir = expand_home(value, home)) found = std::move(dir);
    }
    return found;
}

}  // namespace upload_names

using namespace upload_names;

FileReceiver::FileReceiver(std::string target_folder)
    : target_folder_(std::move(target_folder)), rng_(std::random_device{}()) {}

FileReceiver::~FileReceiver() {
    std::lock_guard lock(mutex_);
    for (auto& [name, t] : transfers_) {
        t.file.close();
        std::error_code ec;
        fs::remove(t.temp_path, ec);
    }
    transfers_.clear();
}

size_t FileReceiver::open_transfers() const {
    std::lock_guard lock(mutex_);
    return transfers_.size();
}

bool FileReceiver::handle_chunk(const std::vector<uint8_t>& message) {
    const auto chunk = parse_file_chunk(message);
    if (!chunk) return false;
    const std::string name(chunk->name);
    const uint64_t offset = chunk->offset;
    const uint64_t total_size = chunk->total_size;
    const uint32_t length = chunk->size;
    const char* data = reinterpret_cast<const char*>(chunk->data);

    std::lock_guard lock(mutex_);
    try {
        if (offset == 0 && !start_transfer(name, total_size)) return false;
        auto it = transfers_.find(name);
        if (it == transfers_.end()) {
            log().debug("File chunk for {} dropped: no transfer open", log_text(name));
            return true;
        }
        Transfer& t = it->second;
        const uint64_t wanted = std::min<uint64_t>(length, t.total_size - t.received);
        if (wanted < length) {
            log().warn("File transfer {}: {} bytes beyond the announced size dropped", from_path(t.path),
                       length - wanted);
        }
        if (wanted > 0) {
            t.file.write(data, static_cast<std::streamsize>(wanted));
            if (!t.file) {
                log().error("File transfer failed: cannot write {}", from_path(t.path));
                discard(name);
                return false;
            }
            t.received += wanted;
        }
        if (t.received < t.total_size) {
            log().debug("File chunk: {} ({} of {} bytes)", from_path(t.path), t.received, t.total_size);
            return true;
        }
        bool ok = finish_transfer(t);
        transfers_.erase(it);
        return ok;
    } catch (const std::exception& e) {
        log().error("File transfer of {} failed: {}", log_text(name), e.what());
        discard(name);
        return false;
    }
}

bool FileReceiver::start_transfer(const std::string& name, uint64_t total_size) {
    std::optional<std::string> safe = sanitize(name);
    if (!safe) {
        log().error("Refusing file name {}", log_text(name));
        return false;
    }
    if (transfers_.count(name)) {
        log().info("File transfer restarted: {}", log_text(name));
        discard(name);
    }
    if (transfers_.size() >= MAX_OPEN_TRANSFERS) {
        log().error("Too many open file transfers ({}), refusing {}", transfers_.size(), log_text(name));
        return false;
    }

    fs::path folder;
    try {
        folder = resolve_folder();
    } catch (const fs::filesystem_error& e) {
        // A folder that cannot be created is one more file that cannot be opened.
        log().error("Cannot open {} for writing", from_path(e.path1() / to_path(*safe)));
        return false;
    }

    Transfer t;
    t.path = folder / to_path(*safe);
    t.temp_path = temp_path_for(folder, *safe);
    t.total_size = total_size;
    t.file.open(t.temp_path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!t.file) {
        log().error("Cannot open {} for writing", from_path(t.path));
        return false;
    }
    log().info("File transfer started: {} ({} bytes)", from_path(t.path), total_size);
    transfers_.emplace(name, std::move(t));
    return true;
}

bool FileReceiver::finish_transfer(Transfer& t) {
    t.file.close();
    std::error_code ec;
    if (t.file.fail()) {
        log().error("File transfer failed: cannot write {}", from_path(t.path));
        fs::remove(t.temp_path, ec);
        return false;
    }
    const fs::path folder = t.path.parent_path();
    std::optional<std::string> final_name =
        unique(from_path(t.path.filename()), [&](const std::string& candidate) { return taken(folder / to_path(candidate)); });
    if (final_name) fs::rename(t.temp_path, folder / to_path(*final_name), ec);
    if (!final_name || ec) {
        log().error("File transfer failed: cannot move {} into place", from_path(t.path));
        fs::remove(t.temp_path, ec);
        return false;
    }
    log().info("File transfer complete: {} ({} bytes)", from_path(folder / to_path(*final_name)), t.received);
    return true;
}

fs::path FileReceiver::resolve_folder() const {
    if (target_folder_.empty()) return to_path(download_folder());
    fs::path folder = to_path(target_folder_);
    fs::create_directories(folder);
    return folder;
}

fs::path FileReceiver::temp_path_for(const fs::path& folder, const std::string& name) {
    const std::string prefix = "." + utf8_prefix(name, TEMP_PREFIX_MAX) + ".part-";
    fs::path candidate;
    // A folder that cannot be looked into makes every name look taken; opening then fails.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::array<char, 17> hex{};
        std::snprintf(hex.data(), hex.size(), "%016llx", static_cast<unsigned long long>(rng_()));
        candidate = folder / to_path(prefix + hex.data());
        if (!taken(candidate)) break;
    }
    return candidate;
}

void FileReceiver::discard(const std::string& name) {
    auto it = transfers_.find(name);
    if (it == transfers_.end()) return;
    it->second.file.close();
    std::error_code ec;
    fs::remove(it->second.temp_path, ec);
    transfers_.erase(it);
}
