#pragma once

// The web dashboard's files, served read-only under /app/ from a folder on disk. Free of
// network code: the server hands in the method, the path and the If-None-Match header and
// writes out the answer.

#include <string>
#include <utility>
#include <vector>

namespace relay {

struct StaticResponse {
    int status = 404;
    std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Length
    std::string body;  // for HEAD the body of the matching GET, which the server does not send
};

class StaticFiles {
public:
    // root: the folder holding index.html; an empty or missing folder serves nothing.
    explicit StaticFiles(std::string root);

    // True for "/app", everything under "/app/" and the bare "/".
    static bool handles(const std::string& path);
    // Answers GET and HEAD (405 for other methods). path is without the query.
    StaticResponse serve(const std::string& method, const std::string& path, const std::string& if_none_match) const;

    // Content type for a file name by its extension ("application/octet-stream" when unknown).
    static std::string content_type(const std::string& name);
    // The file below root that a request path names, or empty when the path is not a
    // plain relative name (dot segments, hidden names, back-slashes, NUL, bad escapes).
    static std::string relative_file(const std::string& path);

    static constexpr const char* kContentSecurityPolicy =
        "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
        "connect-src 'self'; media-src 'self' blob:; worker-src 'self'; manifest-src 'self'; "
        "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
    static constexpr size_t kMaxFileSize = 8u * 1024 * 1024;

private:
    std::string root_;  // canonical, empty when nothing is served
};

}  // namespace relay
