// Every binary message parser of net/protocol, both directions, on arbitrary bytes: no
// crash, no read past the end, and what parses is what the matching builder writes. The
// bytes are also taken as a relay frame: the session id and payload it splits into make
// the same frame again, and the payload goes through the same parsers.
#include <cstdint>
#include <vector>

#include "net/protocol.h"
#include "tests/fuzz/protocol_checks.h"

using fuzzcheck::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> m(data, data + size);
    fuzzcheck::check_all_parsers(m);

    auto frame = split_relay_frame(m);
    require(frame.has_value() == (size > SESSION_ID_LENGTH));
    if (frame) {
        require(frame->session_id.size() == SESSION_ID_LENGTH && frame->size >= 1);
        require(build_relay_frame(frame->session_id, frame->payload, frame->size) == m);
        fuzzcheck::check_all_parsers(std::vector<uint8_t>(frame->payload, frame->payload + frame->size));
    }
    return 0;
}
