#include "relay/ids.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <vector>

#include "net/protocol.h"

namespace relay {

namespace {

constexpr char kHex[] = "0123456789abcdef";

std::string to_hex(const unsigned char* data, size_t n) {
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(kHex[data[i] >> 4]);
        out.push_back(kHex[data[i] & 15]);
    }
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string random_hex(size_t bytes) {
    std::vector<unsigned char> buf(bytes);
    if (bytes > 0 && RAND_bytes(buf.data(), static_cast<int>(bytes)) != 1) return {};
    return to_hex(buf.data(), buf.size());
}

std::string random_uuid() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) return {};
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
    std::string hex = to_hex(b, sizeof b);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20, 12);
}

bool is_uuid_shaped(std::string_view s) {
    if (s.size() != SESSION_ID_LENGTH) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : hex_value(s[i]) < 0) return false;
    }
    return true;
}

std::string sha256_hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr);
    return to_hex(digest, len);
}

std::optional<std::string> percent_decode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out.push_back(s[i]);
            continue;
        }
        if (i + 2 >= s.size()) return std::nullopt;
        int hi = hex_value(s[i + 1]);
        int lo = hex_value(s[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

std::optional<Target> parse_target(std::string_view target) {
    Target t;
    size_t q = target.find('?');
    auto path = percent_decode(target.substr(0, q));
    if (!path) return std::nullopt;
    t.path = *path;
    if (q == std::string_view::npos) return t;
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        size_t amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
        if (pair.empty()) continue;
        size_t eq = pair.find('=');
        auto name = percent_decode(pair.substr(0, eq));
        auto value = percent_decode(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1));
        if (!name || !value) return std::nullopt;
        t.query.emplace(std::move(*name), std::move(*value));
    }
    return t;
}

}  // namespace relay
