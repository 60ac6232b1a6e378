// Every viewer-message parser on arbitrary bytes: no crash, no read past the end,
// and what parses re-encodes consistently.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "net/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> m(data, data + size);
    if (auto ev = parse_input_event(m)) {
        if (ev->kind > InputKind::KeyUp) std::abort();
    }
    if (auto text = parse_clipboard_text(m)) {
        if (text->size() + 5 > m.size()) std::abort();
        if (build_clipboard_text(*text) != std::vector<uint8_t>(m.begin(), m.begin() + 5 + text->size())) std::abort();
    }
    (void)parse_set_bitrate(m);
    return 0;
}
