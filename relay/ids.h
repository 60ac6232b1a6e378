#pragma once

// Small helpers shared by the relay: random identifiers, hashing, URL query decoding.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace relay {

// Lower-case hex of `bytes` random bytes from the OpenSSL generator; empty on failure.
std::string random_hex(size_t bytes);

// A random identifier shaped like a version-4 UUID: 36 characters, lower-case hex, 8-4-4-4-12.
// Empty on generator failure.
std::string random_uuid();

// True for 36 characters laid out 8-4-4-4-12 with hex digits (either case) between the dashes.
bool is_uuid_shaped(std::string_view s);

// Lower-case hex SHA-256 of the text.
std::string sha256_hex(std::string_view text);

// Decodes %XX escapes; "+" is kept as it is. No value for a broken escape.
std::optional<std::string> percent_decode(std::string_view s);

// Splits a request target into path and query parameters (decoded; a repeated name keeps the
// first value). No value when an escape is broken.
struct Target {
    std::string path;
    std::map<std::string, std::string> query;
};
std::optional<Target> parse_target(std::string_view target);

}  // namespace relay
