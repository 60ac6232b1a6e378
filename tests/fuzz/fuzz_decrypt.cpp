// E2ECrypto::decrypt on arbitrary envelopes for a ready session: never crashes, and
// anything that opens must be a genuine envelope (nothing random should).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <spdlog/spdlog.h>

#include "net/e2e_crypto.h"

namespace {
struct Session {
    E2ECrypto agent, viewer;
    Session() {
        spdlog::set_level(spdlog::level::off);
        agent.generate_keypair();
        viewer.generate_keypair();
        agent.derive_shared_key(viewer.get_public_key());
        viewer.derive_shared_key(agent.get_public_key());
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Session s;
    auto opened = s.agent.decrypt(data, size);
    if (opened && opened->size() + 28 != size) std::abort();
    // Round trip of the same bytes as plaintext.
    std::vector<uint8_t> env = s.viewer.encrypt(data, size);
    auto back = s.agent.decrypt(env);
    if (!back || *back != std::vector<uint8_t>(data, data + size)) std::abort();
    return 0;
}
