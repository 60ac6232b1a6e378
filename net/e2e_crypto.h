#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class LogRate;

// HKDF salt shared with viewers, 17 bytes, no terminator.
inline constexpr char E2E_SALT[] = "lumavexpodium-e2e";
inline constexpr size_t E2E_SALT_LEN = sizeof(E2E_SALT) - 1;
inline constexpr char E2E_HKDF_INFO[] = "aes-256-gcm";
inline constexpr size_t E2E_HKDF_INFO_LEN = sizeof(E2E_HKDF_INFO) - 1;
inline constexpr size_t E2E_KEY_LEN = 32;
inline constexpr size_t E2E_IV_LEN = 12;
inline constexpr size_t E2E_TAG_LEN = 16;
inline constexpr size_t E2E_OVERHEAD = E2E_IV_LEN + E2E_TAG_LEN;

// HKDF-SHA256 (RFC 5869, extract then expand) into out[0..out_len).
bool hkdf_sha256(const uint8_t* ikm, size_t ikm_len, const uint8_t* salt, size_t salt_len, const uint8_t* info,
                 size_t info_len, uint8_t* out, size_t out_len);

using E2EKey = std::array<uint8_t, E2E_KEY_LEN>;
using E2EIv = std::array<uint8_t, E2E_IV_LEN>;

// The primitives both ends of a session use (the agent through E2ECrypto, the viewer
// through its own key holder). None of them logs.

// A fresh X25519 key pair in raw form.
bool x25519_keypair(E2EKey& private_key, E2EKey& public_key);
// The public key that belongs to a raw private key.
bool x25519_public_key(const E2EKey& private_key, E2EKey& public_key);
// X25519 agreement with the peer's raw public key, stretched with HKDF-SHA256
// (salt E2E_SALT, info "aes-256-gcm") into the AES-256 session key. The peer key must
// be 32 bytes.
bool derive_session_key(const E2EKey& private_key, const std::vector<uint8_t>& peer_public_key, E2EKey& session_key);
// AES-256-GCM envelope: IV | ciphertext | 16-byte tag, no additional data. Empty on failure.
std::vector<uint8_t> seal_envelope(const E2EKey& key, const E2EIv& iv, const uint8_t* plaintext, size_t size);
// Opens an envelope; no value when it is shorter than 28 bytes or does not authenticate
// (then *tag_mismatch, when given, says whether the tag check was what failed).
std::optional<std::vector<uint8_t>> open_envelope(const E2EKey& key, const uint8_t* envelope, size_t size,
                                                  bool* tag_mismatch = nullptr);

// One viewer session's keys: X25519 agreement, HKDF-SHA256 to an AES-256 key, and
// AES-256-GCM envelopes (IV 12 | ciphertext | tag 16). Not thread-safe: the owner
// serialises every call.
class E2ECrypto {
public:
    E2ECrypto() = default;
    ~E2ECrypto();
    E2ECrypto(const E2ECrypto&) = delete;
    E2ECrypto& operator=(const E2ECrypto&) = delete;

    // Fresh X25519 key pair; logs "E2E: Generated X25519 keypair".
    bool generate_keypair();

    // Derives session_key from our private key and the peer's 32-byte public key;
    // on success the session is ready and the send counter restarts at 0. With a rate,
    // a key of the wrong size is logged only as often as it admits.
    bool derive_shared_key(const std::vector<uint8_t>& peer_public_key, LogRate* rate = nullptr);

    // Seals one message; empty when not ready or on failure.
    std::vector<uint8_t> encrypt(const uint8_t* plaintext, size_t size);
    std::vector<uint8_t> encrypt(const std::vector<uint8_t>& plaintext) {
        return encrypt(plaintext.data(), plaintext.size());
    }

    // Opens one envelope; no value when not ready, too short, or not authentic.
    // log_tag_mismatch=false keeps a failed open quiet (used when the bytes may be
    // something other than an envelope). With a rate, the failure line is written only
    // as often as it admits (anyone on the path can send forged frames).
    std::optional<std::vector<uint8_t>> decrypt(const uint8_t* envelope, size_t size, bool log_tag_mismatch = true,
                                                LogRate* rate = nullptr) const;
    std::optional<std::vector<uint8_t>> decrypt(const std::vector<uint8_t>& envelope,
                                                bool log_tag_mismatch = true) const {
        return decrypt(envelope.data(), envelope.size(), log_tag_mismatch);
    }

    std::vector<uint8_t> get_public_key() const { return {public_key_.begin(), public_key_.end()}; }
    bool is_ready() const { return ready_; }
    uint64_t send_counter() const { return send_counter_; }

    // Test hook: the derived key, to check the derivation against known answers.
    const E2EKey& session_key_for_test() const { return session_key_; }
    // Test hook: install a known private key (RFC 7748 vectors); recomputes the public key.
    bool set_private_key_for_test(const E2EKey& key);

private:
    E2EKey private_key_{};
    E2EKey public_key_{};
    E2EKey session_key_{};
    uint64_t send_counter_ = 0;
    bool ready_ = false;
};
