#include "relay/static_files.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace relay {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = "/app/";
constexpr const char* kCacheControl = "no-cache";  // names carry no version: always revalidate

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool percent_decode(const std::string& in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int hi = hex_value(in[i + 1]), lo = hex_value(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

void add_common_headers(StaticResponse& r) {
    r.headers.emplace_back("Content-Security-Policy", StaticFiles::kContentSecurityPolicy);
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    r.headers.emplace_back("Referrer-Policy", "no-referrer");
    r.headers.emplace_back("Cross-Origin-Opener-Policy", "same-origin");
}

StaticResponse plain(int status, const std::string& text) {
    StaticResponse r;
    r.status = status;
    r.body = text + "\n";
    r.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
    r.headers.emplace_back("Cache-Control", "no-store");
    add_common_headers(r);
    return r;
}

StaticResponse redirect(const std::string& location) {
    StaticResponse r = plain(301, "Moved to " + location);
    r.headers.emplace_back("Location", location);
    return r;
}

}  // namespace

StaticFiles::StaticFiles(std::string root) {
    if (root.empty()) return;
    std::error_code ec;
    fs::path canonical = fs::canonical(root, ec);
    if (ec || !fs::is_directory(canonical, ec)) {
        spdlog::warn("Dashboard folder {} not found: /app/ is not served", root);
        return;
    }
    root_ = canonical.string();
}

bool StaticFiles::handles(const std::string& path) {
    return path == "/" || path == "/app" || path.rfind(kPrefix, 0) == 0;
}

std::string StaticFiles::content_type(const std::string& name) {
    static const std::pair<const char*, const char*> types[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
        {".webmanifest", "application/manifest+json"},
    };
    for (const auto& [ext, type] : types) {
        std::string e(ext);
        if (name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) return type;
    }
    return "application/octet-stream";
}

std::string StaticFiles::relative_file(const std::string& path) {
    if (path.rfind(kPrefix, 0) != 0) return {};
    std::string decoded;
    if (!percent_decode(path.substr(std::char_traits<char>::length(kPrefix)), decoded)) return {};
    if (decoded.empty()) return "index.html";
    if (decoded.back() == '/') return {};  // no folder listings
    size_t start = 0;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos) end = decoded.size();
        std::string segment = decoded.substr(start, end - start);
        // Empty, dot and hidden segments, and anything a file system may read as a separator.
        if (segment.empty() || segment[0] == '.') return {};
        for (unsigned char c : segment)
            if (c < 0x20 || c == 0x7F || c == '\\' || c == ':') return {};
        start = end + 1;
    }
    return decoded;
}

StaticResponse StaticFiles::serve(const std::string& method, const std::string& path,
                                  const std::string& if_none_match) const {
    if (method != "GET" && method != "HEAD") {
        StaticResponse r = plain(405, "Method not allowed");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    if (path == "/" || path == "/app") return redirect(kPrefix);
    const std::string rel = relative_file(path);
    if (rel.empty() || root_.empty()) return plain(404, "Not found");

    // The file must be a regular file inside the root once links are followed.
    std::error_code ec;
    fs::path file = fs::canonical(fs::path(root_) / rel, ec);
    if (ec || !fs::is_regular_file(file, ec)) return plain(404, "Not found");
    const std::string f = file.string();
    if (f.size() <= root_.size() || f.compare(0, root_.size(), root_) != 0 || f[root_.size()] != '/')
        return plain(404, "Not found");
    const auto size = fs::file_size(file, ec);
    if (ec || size > kMaxFileSize) return plain(404, "Not found");
    const auto mtime = fs::last_write_time(file, ec);
    if (ec) return plain(404, "Not found");

    const std::string etag = fmt::format("\"{:x}-{:x}\"", static_cast<uint64_t>(size),
                                         static_cast<uint64_t>(mtime.time_since_epoch().count()));
    StaticResponse r;
    r.headers.emplace_back("Content-Type", content_type(rel));
    r.headers.emplace_back("Cache-Control", kCacheControl);
    r.headers.emplace_back("ETag", etag);
    add_common_headers(r);
    if (!if_none_match.empty() && (if_none_match == etag || if_none_match == "W/" + etag || if_none_match == "*")) {
        r.status = 304;
        return r;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return plain(404, "Not found");
    r.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) return plain(500, "Cannot read file");
    r.status = 200;
    return r;
}

}  // namespace relay
