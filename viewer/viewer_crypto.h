#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "net/e2e_crypto.h"

// The viewer's half of a session's end-to-end keys: an X25519 key pair, the same
// HKDF-SHA256 derivation as the agent, and AES-256-GCM envelopes (IV 12 | ciphertext |
// tag 16) sealed with a fresh random IV each, as browsers do. Not thread-safe.
class ViewerCrypto {
public:
    ViewerCrypto() = default;
    ~ViewerCrypto();
    ViewerCrypto(const ViewerCrypto&) = delete;
    ViewerCrypto& operator=(const ViewerCrypto&) = delete;

    // New key pair; any derived key is forgotten.
    bool generate_keypair();
    std::vector<uint8_t> public_key() const { return {public_key_.begin(), public_key_.end()}; }

    // Session key from our private key and the agent's 32-byte public key.
    bool derive(const std::vector<uint8_t>& peer_public_key);
    bool ready() const { return ready_; }

    // Empty when not ready or on failure.
    std::vector<uint8_t> seal(const std::vector<uint8_t>& plaintext) const;
    std::vector<uint8_t> seal_with_iv(const E2EIv& iv, const std::vector<uint8_t>& plaintext) const;
    // No value when not ready, too short or not authentic (quietly: the caller decides).
    std::optional<std::vector<uint8_t>> open(const uint8_t* envelope, size_t size) const;

private:
    E2EKey private_key_{};
    E2EKey public_key_{};
    E2EKey session_key_{};
    bool ready_ = false;
};
