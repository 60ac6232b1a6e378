// Vectors for the dashboard's JavaScript tests, made by the C++ side: a key exchange
// with fixed keys, envelopes sealed with both sides' IV forms, and the bytes of every
// message the two sides build. The fixture is committed; this test fails when the C++
// side would now produce something else. ZARVEX_UPDATE_WEB_VECTORS=1 rewrites it.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "net/e2e_crypto.h"
#include "net/protocol.h"

namespace {

const std::string kFixture = std::string(ZARVEX_SOURCE_DIR) + "/tests/web/fixtures/e2e_vectors.json";

std::string hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}
template <class C>
std::string hex(const C& c) {
    return hex(reinterpret_cast<const uint8_t*>(c.data()), c.size());
}

E2EKey fixed_key(uint8_t seed) {
    E2EKey k{};
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(seed + 13 * i);
    return k;
}

E2EIv iv_of(uint32_t prefix, uint64_t counter) {
    E2EIv iv{};
    for (int i = 0; i < 4; ++i) iv[i] = static_cast<uint8_t>(prefix >> (8 * i));
    for (int i = 0; i < 8; ++i) iv[4 + i] = static_cast<uint8_t>(counter >> (8 * i));
    return iv;
}

nlohmann::json make_vectors() {
    const E2EKey agent_private = fixed_key(0x21), viewer_private = fixed_key(0x5a);
    E2EKey agent_public{}, viewer_public{}, agent_key{}, viewer_key{};
    EXPECT_TRUE(x25519_public_key(agent_private, agent_public));
    EXPECT_TRUE(x25519_public_key(viewer_private, viewer_public));
    EXPECT_TRUE(derive_session_key(agent_private, {viewer_public.begin(), viewer_public.end()}, agent_key));
    EXPECT_TRUE(derive_session_key(viewer_private, {agent_public.begin(), agent_public.end()}, viewer_key));
    EXPECT_EQ(agent_key, viewer_key) << "both ends derive the same session key";

    nlohmann::json envelopes = nlohmann::json::array();
    auto seal = [&](const char* from, uint32_t prefix, uint64_t counter, const std::vector<uint8_t>& plain) {
        auto env = seal_envelope(agent_key, iv_of(prefix, counter), plain.data(), plain.size());
        EXPECT_EQ(env.size(), plain.size() + E2E_OVERHEAD);
        envelopes.push_back({{"from", from}, {"counter", counter}, {"plaintext", hex(plain)}, {"envelope", hex(env)}});
    };
    StatsSample stats{12.345f, 3072, 16384, 287};
    const std::vector<uint8_t> shape = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 128};
    // The clock reading is zeroed so that the fixture stays the same from run to run.
    std::vector<uint8_t> video = build_video_frame(std::vector<uint8_t>{0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F, 0xAA}, 1920, 1080, true);
    std::fill(video.begin() + 1, video.begin() + 9, uint8_t{0});
    nlohmann::json agent_messages = {
        {"clipboard", {{"text", "Grüße \xF0\x9F\x98\x80"}, {"bytes", hex(build_clipboard_text("Grüße \xF0\x9F\x98\x80"))}}},
        {"stats", {{"bytes", hex(build_stats_report(stats))}}},
        {"cursor_shape", {{"bytes", hex(build_cursor_update(true, -3, 700, true, 2, 2, 1, 0, shape))}}},
        {"cursor_plain", {{"bytes", hex(build_cursor_update(false, 5, 6, false, 0, 0, 0, 0, {}))}}},
        {"audio", {{"bytes", hex(build_audio_chunk({0x00, 0x40, 0x00, 0xC0, 0xFF, 0x7F, 0x00, 0x80}, 48000, 2))}}},
        {"video", {{"bytes", hex(video)}}},
    };
    const std::vector<uint8_t> chunk = {1, 2, 3, 4, 5};
    nlohmann::json viewer_messages = {
        {"mouse_move", hex(build_mouse_input(32767, 65535, 0, MouseAction::Move))},
        {"mouse_down_right", hex(build_mouse_input(100, 200, 1, MouseAction::Down))},
        {"wheel_down", hex(build_mouse_input(1, 2, 0, MouseAction::Wheel, -120))},
        {"key_a_down", hex(build_key_input(0x41, 0x1E, false, false))},
        {"key_right_ctrl_up", hex(build_key_input(0xA3, 0x1D, true, true))},
        {"clipboard_abc", hex(build_clipboard_text("abc"))},
        {"file_chunk", hex(build_file_chunk("ré.txt", 262144, 1048576, chunk.data(), chunk.size()))},
        {"set_bitrate", hex(build_set_bitrate(2500))},
        {"keyframe_request", hex(build_keyframe_request())},
    };
    seal("agent", 0, 0, {});
    seal("agent", 0, 1, build_clipboard_text("abc"));
    seal("agent", 0, 7, build_stats_report(stats));
    seal("viewer", 1, 0, build_mouse_input(32767, 65535, 0, MouseAction::Move));
    seal("viewer", 1, 1, build_key_input(0x41, 0x1E, false, false));

    return {{"agent_private", hex(agent_private)}, {"agent_public", hex(agent_public)},
            {"viewer_private", hex(viewer_private)}, {"viewer_public", hex(viewer_public)},
            {"session_key", hex(agent_key)}, {"salt", E2E_SALT}, {"info", E2E_HKDF_INFO},
            {"envelopes", envelopes}, {"agent_messages", agent_messages}, {"viewer_messages", viewer_messages}};
}

}  // namespace

TEST(WebVectors, FixtureMatchesWhatTheCppSideProduces) {
    const nlohmann::json vectors = make_vectors();
    if (const char* update = std::getenv("ZARVEX_UPDATE_WEB_VECTORS"); update && std::string(update) == "1") {
        std::ofstream(kFixture) << vectors.dump(2) << "\n";
        GTEST_SKIP() << "rewrote " << kFixture;
    }
    std::ifstream in(kFixture);
    ASSERT_TRUE(in) << kFixture << " is missing; run with ZARVEX_UPDATE_WEB_VECTORS=1";
    const nlohmann::json committed = nlohmann::json::parse(in, nullptr, false);
    ASSERT_FALSE(committed.is_discarded());
    EXPECT_EQ(committed, vectors) << "the C++ side changed; regenerate the fixture and rerun the JavaScript tests";
}
