#include "viewer/viewer_crypto.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

ViewerCrypto::~ViewerCrypto() {
    OPENSSL_cleanse(private_key_.data(), private_key_.size());
    OPENSSL_cleanse(session_key_.data(), session_key_.size());
}

bool ViewerCrypto::generate_keypair() {
    if (!x25519_keypair(private_key_, public_key_)) return false;
    OPENSSL_cleanse(session_key_.data(), session_key_.size());
    ready_ = false;
    return true;
}

bool ViewerCrypto::derive(const std::vector<uint8_t>& peer_public_key) {
    if (!derive_session_key(private_key_, peer_public_key, session_key_)) return false;
    ready_ = true;
    return true;
}

std::vector<uint8_t> ViewerCrypto::seal(const std::vector<uint8_t>& plaintext) const {
    E2EIv iv{};
    if (RAND_bytes(iv.data(), static_cast<int>(iv.size())) != 1) return {};
    return seal_with_iv(iv, plaintext);
}

std::vector<uint8_t> ViewerCrypto::seal_with_iv(const E2EIv& iv, const std::vector<uint8_t>& plaintext) const {
    if (!ready_) return {};
    return seal_envelope(session_key_, iv, plaintext.data(), plaintext.size());
}

std::optional<std::vector<uint8_t>> ViewerCrypto::open(const uint8_t* envelope, size_t size) const {
    if (!ready_) return std::nullopt;
    return open_envelope(session_key_, envelope, size);
}
