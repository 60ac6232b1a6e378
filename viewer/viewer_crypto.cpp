#include "viewer/viewer_crypto.h"

#include <memory>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;

}  // namespace

ViewerCrypto::~ViewerCrypto() {
    OPENSSL_cleanse(private_key_.data(), private_key_.size());
    OPENSSL_cleanse(session_key_.data(), session_key_.size());
}

bool ViewerCrypto::generate_keypair() {
    PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_X25519, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_keygen(ctx.get(), &raw) <= 0) return false;
    Pkey key(raw);
    size_t priv_len = private_key_.size();
    size_t pub_len = public_key_.size();
    if (EVP_PKEY_get_raw_private_key(key.get(), private_key_.data(), &priv_len) != 1 ||
        EVP_PKEY_get_raw_public_key(key.get(), public_key_.data(), &pub_len) != 1)
        return false;
    OPENSSL_cleanse(session_key_.data(), session_key_.size());
    ready_ = false;
    return true;
}

bool ViewerCrypto::derive(const std::vector<uint8_t>& peer_public_key) {
    if (peer_public_key.size() != E2E_KEY_LEN) return false;
    Pkey own(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key_.data(), private_key_.size()));
    Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_public_key.data(), peer_public_key.size()));
    if (!own || !peer) return false;
    PkeyCtx ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
    std::array<uint8_t, E2E_KEY_LEN> shared{};
    size_t len = shared.size();
    bool ok = ctx && EVP_PKEY_derive_init(ctx.get()) > 0 && EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) > 0 &&
              EVP_PKEY_derive(ctx.get(), shared.data(), &len) > 0 && len == shared.size();
    std::array<uint8_t, E2E_KEY_LEN> key{};
    ok = ok && hkdf_sha256(shared.data(), shared.size(), reinterpret_cast<const uint8_t*>(E2E_SALT), E2E_SALT_LEN,
                           reinterpret_cast<const uint8_t*>(E2E_HKDF_INFO), E2E_HKDF_INFO_LEN, key.data(),
                           key.size());
    OPENSSL_cleanse(shared.data(), shared.size());
    if (ok) {
        session_key_ = key;
        ready_ = true;
    }
    OPENSSL_cleanse(key.data(), key.size());
    return ok;
}

std::vector<uint8_t> ViewerCrypto::seal(const std::vector<uint8_t>& plaintext) const {
    std::array<uint8_t, E2E_IV_LEN> iv{};
    if (RAND_bytes(iv.data(), static_cast<int>(iv.size())) != 1) return {};
    return seal_with_iv(iv, plaintext);
}

std::vector<uint8_t> ViewerCrypto::seal_with_iv(const std::array<uint8_t, E2E_IV_LEN>& iv,
                                                const std::vector<uint8_t>& plaintext) const {
    if (!ready_) return {};
    std::vector<uint8_t> out(plaintext.size() + E2E_OVERHEAD);
    std::copy(iv.begin(), iv.end(), out.begin());
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int tail = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, session_key_.data(), iv.data()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data() + E2E_IV_LEN, &len, plaintext.data(),
                          static_cast<int>(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + E2E_IV_LEN + len, &tail) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(E2E_TAG_LEN),
                            out.data() + E2E_IV_LEN + plaintext.size()) != 1)
        return {};
    return out;
}

std::optional<std::vector<uint8_t>> ViewerCrypto::open(const uint8_t* envelope, size_t size) const {
    if (!ready_ || size < E2E_OVERHEAD) return std::nullopt;
    size_t n = size - E2E_OVERHEAD;
    std::vector<uint8_t> plain(n);
    std::array<uint8_t, E2E_TAG_LEN> tag{};
    std::copy(envelope + size - E2E_TAG_LEN, envelope + size, tag.begin());
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int tail = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, session_key_.data(), envelope) != 1 ||
        EVP_DecryptUpdate(ctx.get(), plain.data(), &len, envelope + E2E_IV_LEN, static_cast<int>(n)) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(E2E_TAG_LEN), tag.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), plain.data() + len, &tail) != 1)
        return std::nullopt;
    return plain;
}
