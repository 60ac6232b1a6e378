// Envelope opening as the agent and the viewer do it: E2ECrypto::decrypt and open_envelope
// on arbitrary bytes for a ready session never crash, and nothing random opens. The same
// bytes sealed as a message open to themselves, and the opened message parses exactly as
// the bytes do (every parser of net/protocol).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <spdlog/spdlog.h>

#include "net/e2e_crypto.h"
#include "tests/fuzz/protocol_checks.h"

using fuzzcheck::require;

namespace {
struct Session {
    E2ECrypto agent, viewer;
    E2EKey viewer_private{}, viewer_public{}, viewer_key{};
    Session() {
        spdlog::set_level(spdlog::level::off);
        agent.generate_keypair();
        require(x25519_keypair(viewer_private, viewer_public));
        require(agent.derive_shared_key(std::vector<uint8_t>(viewer_public.begin(), viewer_public.end())));
        require(derive_session_key(viewer_private, agent.get_public_key(), viewer_key));
        viewer.generate_keypair();
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Session s;
    auto opened = s.agent.decrypt(data, size, false);
    if (opened) require(opened->size() + E2E_OVERHEAD == size);
    bool mismatch = false;
    auto viewer_opened = open_envelope(s.viewer_key, data, size, &mismatch);
    require(viewer_opened.has_value() == opened.has_value());
    require(!mismatch || size >= E2E_OVERHEAD);

    // A viewer that has not agreed a key yet opens nothing.
    require(!s.viewer.decrypt(data, size, false));

    // The bytes as a message: sealed by the viewer, opened by the agent, parsed alike.
    E2EIv iv{};
    for (size_t i = 0; i < iv.size() && i < size; ++i) iv[i] = data[i];
    std::vector<uint8_t> env = seal_envelope(s.viewer_key, iv, data, size);
    require(env.size() == size + E2E_OVERHEAD);
    auto back = s.agent.decrypt(env, false);
    const std::vector<uint8_t> message(data, data + size);
    require(back && *back == message);
    require(fuzzcheck::check_all_parsers(*back) == fuzzcheck::check_all_parsers(message));

    // One flipped bit anywhere in the envelope and it no longer opens.
    std::vector<uint8_t> bad = env;
    bad[size % bad.size()] ^= 0x01;
    require(!s.agent.decrypt(bad, false));
    return 0;
}
