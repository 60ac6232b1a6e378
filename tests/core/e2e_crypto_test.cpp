#include <gtest/gtest.h>

#include "net/e2e_crypto.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_util.h"

using Bytes = std::vector<uint8_t>;

namespace {

std::array<uint8_t, 32> key_from_hex(const std::string& hex) {
    Bytes b = from_hex(hex);
    std::array<uint8_t, 32> a{};
    std::copy(b.begin(), b.end(), a.begin());
    return a;
}

// RFC 7748, section 6.1.
const char* kAlicePriv = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const char* kAlicePub = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const char* kBobPriv = "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb";
const char* kBobPub = "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f";

// A viewer and an agent that have completed the exchange.
struct Pair {
    E2ECrypto agent, viewer;
    Pair() {
        agent.generate_keypair();
        viewer.generate_keypair();
        EXPECT_TRUE(viewer.derive_shared_key(agent.get_public_key()));
        EXPECT_TRUE(agent.derive_shared_key(viewer.get_public_key()));
    }
};

}  // namespace

TEST(Hkdf, Rfc5869KnownAnswers) {
    // Test case 1.
    Bytes ikm(22, 0x0b), salt = from_hex("000102030405060708090a0b0c"), info = from_hex("f0f1f2f3f4f5f6f7f8f9");
    Bytes okm(42);
    ASSERT_TRUE(hkdf_sha256(ikm.data(), ikm.size(), salt.data(), salt.size(), info.data(), info.size(), okm.data(),
                            okm.size()));
    EXPECT_EQ(to_hex(okm), "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
    // Test case 3: empty salt and info.
    ASSERT_TRUE(hkdf_sha256(ikm.data(), ikm.size(), nullptr, 0, nullptr, 0, okm.data(), okm.size()));
    EXPECT_EQ(to_hex(okm), "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

TEST(E2ECrypto, X25519KnownAnswerGivesDerivedSessionKey) {
    LogCapture log;
    E2ECrypto alice, bob;
    ASSERT_TRUE(alice.set_private_key_for_test(key_from_hex(kAlicePriv)));
    ASSERT_TRUE(bob.set_private_key_for_test(key_from_hex(kBobPriv)));
    EXPECT_EQ(to_hex(alice.get_public_key()), kAlicePub);
    EXPECT_EQ(to_hex(bob.get_public_key()), kBobPub);

    ASSERT_TRUE(alice.derive_shared_key(from_hex(kBobPub)));
    ASSERT_TRUE(bob.derive_shared_key(from_hex(kAlicePub)));
    // HKDF-SHA256(shared 4a5d9d5b..., salt "lumavexpodium-e2e", info "aes-256-gcm"), computed independently.
    const std::string expected = "bd5d025cbc06d643a1487446e5daccf14f1fc868c07dac43a8488c52c872b721";
    EXPECT_EQ(to_hex(Bytes(alice.session_key_for_test().begin(), alice.session_key_for_test().end())), expected);
    EXPECT_EQ(to_hex(Bytes(bob.session_key_for_test().begin(), bob.session_key_for_test().end())), expected);
    EXPECT_EQ(log.count("info|E2E: Shared key derived successfully"), 2u);
}

TEST(E2ECrypto, FullExchangeBothDirections) {
    LogCapture log;
    Pair p;
    EXPECT_TRUE(log.contains("info|E2E: Generated X25519 keypair"));
    Bytes msg = {0x04, 1, 2, 3, 4, 5, 0, 0, 0};
    auto opened = p.viewer.decrypt(p.agent.encrypt(msg));
    ASSERT_TRUE(opened);
    EXPECT_EQ(*opened, msg);
    auto back = p.agent.decrypt(p.viewer.encrypt(msg));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, msg);
}

TEST(E2ECrypto, IvCounterLayoutAndRekey) {
    Pair p;
    Bytes first = p.agent.encrypt(Bytes{1});
    Bytes second = p.agent.encrypt(Bytes{2});
    ASSERT_EQ(first.size(), 29u);
    EXPECT_EQ(to_hex(Bytes(first.begin(), first.begin() + 12)), "000000000000000000000000");
    EXPECT_EQ(to_hex(Bytes(second.begin(), second.begin() + 12)), "000000000100000000000000");
    EXPECT_EQ(p.agent.send_counter(), 2u);

    // A second exchange (new viewer key, same agent key) restarts the counter.
    E2ECrypto viewer2;
    viewer2.generate_keypair();
    ASSERT_TRUE(p.agent.derive_shared_key(viewer2.get_public_key()));
    ASSERT_TRUE(viewer2.derive_shared_key(p.agent.get_public_key()));
    Bytes third = p.agent.encrypt(Bytes{3});
    EXPECT_EQ(to_hex(Bytes(third.begin(), third.begin() + 12)), "000000000000000000000000");
    EXPECT_TRUE(viewer2.decrypt(third));
    EXPECT_FALSE(p.viewer.decrypt(third, false));  // old key no longer opens it
}

TEST(E2ECrypto, EnvelopeSizes) {
    LogCapture log;
    Pair p;
    Bytes empty = p.agent.encrypt(nullptr, 0);
    ASSERT_EQ(empty.size(), 28u);
    auto opened = p.viewer.decrypt(empty);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->empty());

    log.clear();
    EXPECT_FALSE(p.viewer.decrypt(Bytes(empty.begin(), empty.end() - 1)));  // 27 bytes
    EXPECT_EQ(log.text(), "");
}

TEST(E2ECrypto, EveryFlippedBitIsRejected) {
    LogCapture log;
    Pair p;
    Bytes env = p.agent.encrypt(Bytes{0x0A, 1, 0, 0, 0, 'z'});
    for (size_t bit = 0; bit < env.size() * 8; ++bit) {
        Bytes bad = env;
        bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(p.viewer.decrypt(bad)) << "bit " << bit;
    }
    EXPECT_EQ(log.count("error|E2E: Decryption failed - authentication tag mismatch"), env.size() * 8);
    EXPECT_TRUE(p.viewer.decrypt(env));  // the original still opens
}

TEST(E2ECrypto, NotReadyAndBadPeerKeys) {
    LogCapture log;
    E2ECrypto fresh;
    fresh.generate_keypair();
    EXPECT_TRUE(fresh.encrypt(Bytes{1, 2}).empty());
    EXPECT_EQ(fresh.send_counter(), 0u);
    EXPECT_FALSE(fresh.decrypt(Bytes(40, 0)));

    Pair p;
    Bytes env = p.agent.encrypt(Bytes{9});
    EXPECT_FALSE(p.agent.derive_shared_key(Bytes(31, 1)));
    EXPECT_FALSE(p.agent.derive_shared_key(Bytes(33, 1)));
    EXPECT_TRUE(log.contains("error|E2E: Invalid peer public key size: 31"));
    EXPECT_TRUE(log.contains("error|E2E: Invalid peer public key size: 33"));
    // The failed exchanges leave the session as it was.
    EXPECT_TRUE(p.agent.is_ready());
    EXPECT_EQ(p.agent.send_counter(), 1u);
    EXPECT_TRUE(p.viewer.decrypt(env));
    EXPECT_TRUE(p.viewer.decrypt(p.agent.encrypt(Bytes{10})));
}

TEST(E2ECrypto, InboundAcceptsAnyIv) {
    Pair p;
    // The viewer's counter runs independently; the agent takes whatever IV arrives.
    for (int i = 0; i < 5; ++i) p.viewer.encrypt(Bytes{0});
    EXPECT_TRUE(p.agent.decrypt(p.viewer.encrypt(Bytes{7, 7})));
}
