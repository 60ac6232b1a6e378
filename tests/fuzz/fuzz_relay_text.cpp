// The relay's JSON text messages as the agent (with session ids) and a viewer (without)
// read them with parse_relay_text: no crash or exception, the fields of a known message
// are there and well-formed, and the builders write what parses back to the same message.
#include <cstdint>
#include <string>
#include <string_view>

#include "net/protocol.h"
#include "tests/fuzz/protocol_checks.h"

using fuzzcheck::require;

namespace {
bool same(const RelayText& a, const RelayText& b) {
    return a.type == b.type && a.session_id == b.session_id && a.payload == b.payload;
}

void check(std::string_view text, bool with_session) {
    auto msg = parse_relay_text(text, with_session);
    if (!msg) return;
    using namespace relay_text;
    const bool signal = msg->type == P2PSignal;
    const bool announcement = msg->type == SessionRequest || msg->type == SessionEnd || msg->type == Session;
    if (announcement || (signal && with_session)) {
        require(msg->session_id.size() == SESSION_ID_LENGTH);
    } else {
        require(msg->session_id.empty());
    }
    if (!signal) require(msg->payload.empty());

    std::string built;
    if (signal && with_session) built = build_relay_signal(msg->session_id, msg->payload);
    else if (signal) built = build_viewer_signal(msg->payload);
    else if (announcement) built = build_session_text(msg->type.c_str(), msg->session_id);
    else return;
    // What came out of the parser is UTF-8, so the builders keep every byte.
    auto back = parse_relay_text(built, with_session);
    require(back && same(*back, *msg));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check(text, true);
    check(text, false);
    return 0;
}
