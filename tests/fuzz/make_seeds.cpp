// Writes the kept seed inputs of the fuzz targets (tests/fuzz/seeds/<target>/): real
// messages made with the protocol's own builders, the relay's JSON texts, "p2p_signal"
// payloads, a config.json, the account API's answers, and HTTP requests to the relay
// including WebSocket upgrades followed by masked frames.
//
//   build-fuzz/bin/make_fuzz_seeds tests/fuzz/seeds
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net/p2p_signal.h"
#include "net/protocol.h"

namespace fs = std::filesystem;

namespace {

fs::path root;

void put(const std::string& target, const std::string& name, const std::string& bytes) {
    fs::create_directories(root / target);
    std::ofstream(root / target / name, std::ios::binary) << bytes;
}
void put(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
    put(target, name, std::string(bytes.begin(), bytes.end()));
}

const std::string kSession = "00000000-0000-4000-8000-000000000001";

const char* kOffer =
    "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0 1\r\n"
    "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=mid:0\r\na=recvonly\r\na=rtpmap:96 H264/90000\r\n"
    "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:1\r\na=sctp-port:5000\r\n";

// One client WebSocket frame, FIN set, masked with a zero key (the payload stays readable).
std::string ws_frame(uint8_t opcode, const std::string& payload) {
    std::string f;
    f.push_back(static_cast<char>(0x80 | opcode));
    if (payload.size() < 126) {
        f.push_back(static_cast<char>(0x80 | payload.size()));
    } else {
        f.push_back(static_cast<char>(0x80 | 126));
        f.push_back(static_cast<char>(payload.size() >> 8));
        f.push_back(static_cast<char>(payload.size() & 0xFF));
    }
    f.append(4, '\0');
    return f + payload;
}

std::string upgrade(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

std::string post(const std::string& path, const std::string& body, const std::string& extra = "") {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Router input records: how (bit 2: second viewer; bits 0-1: viewer text, viewer binary,
// agent text, agent binary), length, message.
std::string record(uint8_t how, const std::string& message) {
    return std::string{static_cast<char>(how | ((message.size() >> 8) << 3)), static_cast<char>(message.size() & 0xFF)} +
           message;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds SEED_FOLDER\n");
        return 2;
    }
    root = argv[1];

    // Binary messages, both ways; the same ones go through the envelope target.
    const std::vector<uint8_t> frame_data = {0, 0, 0, 1, 0x65, 0x88, 0x84};
    const std::vector<uint8_t> key(KEY_EXCHANGE_KEY_SIZE, 0x42);
    const std::vector<uint8_t> rgba(2 * 2 * 4, 0x7F);
    const uint8_t chunk[] = {'h', 'e', 'l', 'l', 'o'};
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> messages = {
        {"mouse_move", build_mouse_input(640, 360, 0, MouseAction::Move)},
        {"mouse_wheel", build_mouse_input(10, 20, 0, MouseAction::Wheel, -120)},
        {"key_down", build_key_input(vk::KeyA, 0x1E, false, false)},
        {"key_up_extended", build_key_input(vk::Right, 0x4D, true, true)},
        {"set_bitrate", build_set_bitrate(2500)},
        {"keyframe_request", build_keyframe_request()},
        {"clipboard", build_clipboard_text("caf\xc3\xa9 \xf0\x9f\x93\x8b")},
        {"file_chunk", build_file_chunk("notes.txt", 0, sizeof chunk, chunk, sizeof chunk)},
        {"video_frame", build_video_frame(frame_data, 1920, 1080, true)},
        {"audio_chunk", build_audio_chunk(std::vector<uint8_t>(16, 0), 48000, 2)},
        {"cursor_shape", build_cursor_update(true, 100, -5, true, 2, 2, 1, 1, rgba)},
        {"cursor_move", build_cursor_update(true, 300, 200, false, 0, 0, 0, 0, {})},
        {"stats", build_stats_report(StatsSample{12.5f, 2048, 8192, 321})},
        {"key_exchange", build_key_exchange(key)},
    };
    for (const auto& [name, m] : messages) put("fuzz_parsers", name, m);
    put("fuzz_parsers", "relay_frame_mouse", build_relay_frame(kSession, messages[0].second.data(), messages[0].second.size()));
    put("fuzz_parsers", "relay_frame_key_exchange", build_relay_frame(kSession, key.data(), key.size()));
    for (const char* name : {"mouse_move", "key_down", "clipboard", "video_frame", "cursor_shape", "key_exchange"})
        for (const auto& [n, m] : messages)
            if (n == name) put("fuzz_decrypt", n, m);

    // The relay's text messages.
    const std::string viewer_signal = build_viewer_signal(build_candidate_payload("candidate:1 1 UDP 5 192.0.2.1 4000 typ host", "0"));
    const std::string agent_signal = build_relay_signal(kSession, build_description_payload("answer", kOffer));
    put("fuzz_relay_text", "session_request", build_session_text(relay_text::SessionRequest, kSession));
    put("fuzz_relay_text", "session_end", build_session_text(relay_text::SessionEnd, kSession));
    put("fuzz_relay_text", "session", build_session_text(relay_text::Session, kSession));
    put("fuzz_relay_text", "agent_signal", agent_signal);
    put("fuzz_relay_text", "viewer_signal", viewer_signal);
    put("fuzz_relay_text", "unknown_type", R"({"type":"hello","session_id":5})");

    // The router: both directions of signals and frames.
    const std::string sealed(40, '\x11');
    put("fuzz_relay_router", "signals", record(0, viewer_signal) + record(2, agent_signal) + record(4, viewer_signal));
    put("fuzz_relay_router", "frames",
        record(1, sealed) + record(3, kSession + sealed) + record(5, std::string(1, '\x06') + std::string(32, 'k')));

    // WebRTC signalling payloads.
    put("fuzz_p2p_signal", "offer", build_description_payload("offer", kOffer));
    put("fuzz_p2p_signal", "answer", build_description_payload("answer", "v=0\r\nm=video 9 x 96\r\na=mid:video0\r\n"));
    put("fuzz_p2p_signal", "candidate", build_candidate_payload("candidate:1 1 UDP 2122260223 192.0.2.1 54321 typ host", "0"));
    put("fuzz_p2p_signal", "candidate_srflx",
        R"({"type":"candidate","candidate":"candidate:2 1 udp 1686052607 198.51.100.7 4000 typ srflx raddr 192.0.2.1 rport 4000"})");

    // config.json as the agent writes it, and a partial one.
    put("fuzz_config", "config.json",
        "{\n  \"auth_token\": \"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\",\n"
        "  \"bitrate_kbps\": 4000,\n  \"machine_id\": \"6f1c2d3e-4a5b-4c6d-8e9f-0a1b2c3d4e5f\",\n"
        "  \"machine_name\": \"B\xc3\xbcro-PC\",\n  \"server_url\": \"http://127.0.0.1:8080\",\n  \"target_fps\": 30\n}");
    put("fuzz_config", "partial.json", R"({"server_url": "http://localhost:9000", "target_fps": 24.9, "x": [1,2]})");

    // The account API's answers to the wizard.
    put("fuzz_setup_answers", "login", R"({"token":"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"})");
    put("fuzz_setup_answers", "machine", R"({"machine_id":"6f1c2d3e-4a5b-4c6d-8e9f-0a1b2c3d4e5f"})");
    put("fuzz_setup_answers", "error", R"({"error":"invalid credentials"})");

    // Requests to the relay.
    const std::string bearer = "Authorization: Bearer @TOKEN@\r\n";
    put("fuzz_relay_http", "register", post("/api/auth/register", R"({"email":"a@example.com","password":"secret-password","username":"alice"})"));
    put("fuzz_relay_http", "login_then_list",
        post("/api/auth/login", R"({"password":"fuzz-password","username":"fuzz-user"})") +
            "GET /api/machines HTTP/1.1\r\nHost: 127.0.0.1\r\n" + bearer + "\r\n");
    put("fuzz_relay_http", "register_machine", post("/api/machines/register", R"({"name":"desk","os_info":"Linux"})", bearer));
    put("fuzz_relay_http", "chunked",
        "POST /api/auth/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
        "a\r\n{\"username\r\n0\r\n\r\n");
    put("fuzz_relay_http", "dashboard",
        "GET /app/ HTTP/1.1\r\nHost: x\r\n\r\nHEAD /app/index.html HTTP/1.1\r\nHost: x\r\nIf-None-Match: *\r\n\r\n"
        "GET / HTTP/1.0\r\n\r\n");
    put("fuzz_relay_http", "ws_agent",
        upgrade("/ws/agent?machine_id=@MACHINE@&token=@TOKEN@") + ws_frame(1, agent_signal) +
            ws_frame(2, kSession + sealed) + ws_frame(9, "ping") + ws_frame(8, std::string("\x03\xe8", 2)));
    put("fuzz_relay_http", "ws_viewer",
        upgrade("/ws/viewer?machine_id=@MACHINE@&token=@TOKEN@&session_id=" + kSession) + ws_frame(1, viewer_signal) +
            ws_frame(2, std::string(1, '\x06') + std::string(32, 'k')));
    put("fuzz_relay_http", "ws_refused", upgrade("/ws/viewer?machine_id=@OTHER@&token=@TOKEN@"));
    return 0;
}
