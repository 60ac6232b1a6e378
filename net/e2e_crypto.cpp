#include "net/e2e_crypto.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <spdlog/spdlog.h>

#include "net/log_text.h"

namespace {

// Lines about what a peer sent: always without a rate, else as often as it admits.
std::optional<uint64_t> admit(LogRate* rate) { return rate ? rate->admit() : std::optional<uint64_t>{0}; }

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

}  // namespace

bool hkdf_sha256(const uint8_t* ikm, size_t ikm_len, const uint8_t* salt, size_t salt_len, const uint8_t* info,
                 size_t info_len, uint8_t* out, size_t out_len) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
    size_t len = out_len;
    return ctx && EVP_PKEY_derive_init(ctx.get()) > 0 && EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) > 0 &&
           EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), ikm, static_cast<int>(ikm_len)) > 0 &&
           (salt_len == 0 || EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), salt, static_cast<int>(salt_len)) > 0) &&
           (info_len == 0 || EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), info, static_cast<int>(info_len)) > 0) &&
           EVP_PKEY_derive(ctx.get(), out, &len) > 0 && len == out_len;
}

bool x25519_keypair(E2EKey& private_key, E2EKey& public_key) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_X25519, nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0) return false;
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_keygen(ctx.get(), &raw) <= 0) return false;
    Pkey key(raw);
    E2EKey priv{};
    E2EKey pub{};
    size_t priv_len = priv.size();
    size_t pub_len = pub.size();
    bool ok = EVP_PKEY_get_raw_private_key(key.get(), priv.data(), &priv_len) == 1 && priv_len == priv.size() &&
              EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &pub_len) == 1 && pub_len == pub.size();
    if (ok) {
        private_key = priv;
        public_key = pub;
    }
    OPENSSL_cleanse(priv.data(), priv.size());
    return ok;
}

bool x25519_public_key(const E2EKey& private_key, E2EKey& public_key) {
    Pkey pkey(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(), private_key.size()));
    size_t len = public_key.size();
    return pkey && EVP_PKEY_get_raw_public_key(pkey.get(), public_key.data(), &len) == 1 && len == public_key.size();
}

bool derive_session_key(const E2EKey& private_key, const std::vector<uint8_t>& peer_public_key, E2EKey& session_key) {
    if (peer_public_key.size() != E2E_KEY_LEN) return false;
    Pkey own(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(), private_key.size()));
    Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_public_key.data(), peer_public_key.size()));
    if (!own || !peer) return false;

    std::array<uint8_t, 32> shared{};
    size_t shared_len = shared.size();
    PkeyCtx dctx(EVP_PKEY_CTX_new(own.get(), nullptr));
    bool ok = dctx && EVP_PKEY_derive_init(dctx.get()) > 0 && EVP_PKEY_derive_set_peer(dctx.get(), peer.get()) > 0 &&
              EVP_PKEY_derive(dctx.get(), shared.data(), &shared_len) > 0 && shared_len == shared.size();

    E2EKey derived{};
    ok = ok && hkdf_sha256(shared.data(), shared.size(), reinterpret_cast<const uint8_t*>(E2E_SALT), E2E_SALT_LEN,
                           reinterpret_cast<const uint8_t*>(E2E_HKDF_INFO), E2E_HKDF_INFO_LEN, derived.data(),
                           derived.size());
    OPENSSL_cleanse(shared.data(), shared.size());
    if (ok) session_key = derived;
    OPENSSL_cleanse(derived.data(), derived.size());
    return ok;
}

std::vector<uint8_t> seal_envelope(const E2EKey& key, const E2EIv& iv, const uint8_t* plaintext, size_t size) {
    if (size > static_cast<size_t>(INT32_MAX)) return {};
    std::vector<uint8_t> out(size + E2E_OVERHEAD);
    std::copy(iv.begin(), iv.end(), out.begin());

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), iv.data()) != 1) {
        return {};
    }
    if (size > 0 &&
        EVP_EncryptUpdate(ctx.get(), out.data() + E2E_IV_LEN, &len, plaintext, static_cast<int>(size)) != 1) {
        return {};
    }
    int final_len = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), out.data() + E2E_IV_LEN + len, &final_len) != 1) return {};
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(E2E_TAG_LEN),
                            out.data() + E2E_IV_LEN + size) != 1) {
        return {};
    }
    return out;
}

std::optional<std::vector<uint8_t>> open_envelope(const E2EKey& key, const uint8_t* envelope, size_t size,
                                                  bool* tag_mismatch) {
    if (tag_mismatch) *tag_mismatch = false;
    if (size < E2E_OVERHEAD) return std::nullopt;
    if (size - E2E_OVERHEAD > static_cast<size_t>(INT32_MAX)) return std::nullopt;
    size_t n = size - E2E_OVERHEAD;
    std::vector<uint8_t> plain(n);

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), envelope) != 1) {
        return std::nullopt;
    }
    int len = 0;
    if (n > 0 && EVP_DecryptUpdate(ctx.get(), plain.data(), &len, envelope + E2E_IV_LEN, static_cast<int>(n)) != 1) {
        return std::nullopt;
    }
    // The tag buffer is not modified by SET_TAG; OpenSSL just takes a non-const pointer.
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(E2E_TAG_LEN),
                            const_cast<uint8_t*>(envelope + E2E_IV_LEN + n)) != 1) {
        return std::nullopt;
    }
    int final_len = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), plain.data() + len, &final_len) != 1) {
        if (tag_mismatch) *tag_mismatch = true;
        OPENSSL_cleanse(plain.data(), plain.size());
        return std::nullopt;
    }
    return plain;
}

E2ECrypto::~E2ECrypto() {
    OPENSSL_cleanse(private_key_.data(), private_key_.size());
    OPENSSL_cleanse(session_key_.data(), session_key_.size());
}

bool E2ECrypto::generate_keypair() {
    if (!x25519_keypair(private_key_, public_key_)) return false;
    spdlog::default_logger_raw()->info("E2E: Generated X25519 keypair");
    return true;
}

bool E2ECrypto::set_private_key_for_test(const E2EKey& key) {
    E2EKey pub{};
    if (!x25519_public_key(key, pub)) return false;
    private_key_ = key;
    public_key_ = pub;
    return true;
}

bool E2ECrypto::derive_shared_key(const std::vector<uint8_t>& peer_public_key, LogRate* rate) {
    if (peer_public_key.size() != E2E_KEY_LEN) {
        std::optional<uint64_t> held = admit(rate);
        if (held)
            spdlog::default_logger_raw()->error("E2E: Invalid peer public key size: {}{}", peer_public_key.size(),
                                                held_note(*held));
        return false;
    }
    if (!derive_session_key(private_key_, peer_public_key, session_key_)) return false;
    ready_ = true;
    send_counter_ = 0;
    spdlog::default_logger_raw()->info("E2E: Shared key derived successfully");
    return true;
}

std::vector<uint8_t> E2ECrypto::encrypt(const uint8_t* plaintext, size_t size) {
    if (!ready_) return {};
    // The counter advances even if sealing then fails: an IV is never used twice.
    uint64_t n = send_counter_++;
    E2EIv iv{};
    for (int i = 0; i < 8; ++i) iv[4 + i] = static_cast<uint8_t>(n >> (8 * i));
    return seal_envelope(session_key_, iv, plaintext, size);
}

std::optional<std::vector<uint8_t>> E2ECrypto::decrypt(const uint8_t* envelope, size_t size,
                                                       bool log_tag_mismatch, LogRate* rate) const {
    if (!ready_) return std::nullopt;
    bool tag_mismatch = false;
    auto plain = open_envelope(session_key_, envelope, size, &tag_mismatch);
    if (!plain && tag_mismatch && log_tag_mismatch) {
        std::optional<uint64_t> held = admit(rate);
        if (held)
            spdlog::default_logger_raw()->error("E2E: Decryption failed - authentication tag mismatch{}",
                                                held_note(*held));
    }
    return plain;
}
