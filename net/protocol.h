#pragma once

// The wire protocol between agent, relay and viewer, both directions in one place:
// the relay's framing and JSON text messages, the binary message table, the builders
// and parsers of every message, and the virtual-key codes keyboard input carries.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- Relay framing -------------------------------------------------------------------

// Every relay binary frame starts with the viewer session's 36-character id; the rest is
// that session's payload (a key exchange or a sealed envelope).
inline constexpr size_t SESSION_ID_LENGTH = 36;

// Names of the relay's JSON text messages and of their fields.
namespace relay_text {
inline constexpr const char* TypeKey = "type";
inline constexpr const char* SessionIdKey = "session_id";
inline constexpr const char* PayloadKey = "payload";
inline constexpr const char* SessionRequest = "session_request";  // relay -> agent: a viewer joined
inline constexpr const char* SessionEnd = "session_end";          // relay -> agent: a viewer left
inline constexpr const char* Session = "session";                 // relay -> viewer: its session id
inline constexpr const char* P2PSignal = "p2p_signal";            // either way: a WebRTC signal
}  // namespace relay_text

// One JSON text message from the relay. Unknown types are kept with only their type, so
// callers can ignore them; the fields a known type needs are checked here.
struct RelayText {
    std::string type;
    std::string session_id;  // session_request, session_end and p2p_signal to the agent; session to a viewer
    std::string payload;     // p2p_signal
};

// No value for text that is not a JSON object with a string "type", or a known message
// whose fields are missing, not strings, or whose session id is not SESSION_ID_LENGTH long.
// with_session: the p2p_signal carries a session id (the agent's side) or not (a viewer's).
std::optional<RelayText> parse_relay_text(std::string_view text, bool with_session = true);

// {"payload":..,"session_id":..,"type":"p2p_signal"} (agent -> relay; empty when a text is
// not UTF-8) and, without a session id, {"payload":..,"type":"p2p_signal"} (viewer -> relay;
// bytes that are not UTF-8 become U+FFFD).
std::string build_relay_signal(const std::string& session_id, const std::string& payload);
std::string build_viewer_signal(const std::string& payload);
// The relay's announcements: {"session_id":..,"type":..} with session_request or
// session_end (to the agent) or session (to the viewer).
std::string build_session_text(const char* type, const std::string& session_id);

// A binary relay frame: the session id, then the payload.
std::vector<uint8_t> build_relay_frame(const std::string& session_id, const uint8_t* payload, size_t size);

struct RelayFrame {
    std::string session_id;
    const uint8_t* payload = nullptr;  // points into the frame it was split from
    size_t size = 0;                   // at least one byte
};
// No value for a frame too short to hold a session id and a payload byte.
std::optional<RelayFrame> split_relay_frame(const std::vector<uint8_t>& frame);

// ---- Binary messages -------------------------------------------------------------------

// Binary messages between agent and viewer: one type byte, then little-endian fields.
// One message is one whole transport unit; parsers ignore trailing bytes.
enum class MessageType : uint8_t {
    VideoFrame = 0x01,
    AudioChunk = 0x02,
    CursorUpdate = 0x03,
    MouseInput = 0x04,
    KeyInput = 0x05,
    KeyExchange = 0x06,
    ClipboardText = 0x0A,
    FileChunk = 0x0B,
    SetBitrate = 0x0E,
    SystemStatsReport = 0x0F,
    KeyframeRequest = 0x10,  // viewer -> agent, the type byte alone: "send a keyframe"
};

inline constexpr size_t VIDEO_FRAME_HEADER = 14;
inline constexpr size_t AUDIO_CHUNK_HEADER = 7;
inline constexpr size_t CURSOR_UPDATE_BASE = 11;
inline constexpr size_t CURSOR_UPDATE_SHAPE_HEADER = 31;
inline constexpr size_t CLIPBOARD_TEXT_HEADER = 5;
inline constexpr size_t STATS_REPORT_SIZE = 25;
inline constexpr size_t MOUSE_INPUT_SIZE = 9;
inline constexpr size_t KEY_INPUT_SIZE = 6;
inline constexpr size_t SET_BITRATE_SIZE = 5;
inline constexpr size_t FILE_CHUNK_HEADER = 23;  // type, name length, offset, total size, data length
inline constexpr size_t KEY_EXCHANGE_KEY_SIZE = 32;  // an X25519 public key

enum class InputKind : uint8_t { MouseMove = 0, MouseDown = 1, MouseUp = 2, MouseWheel = 3, KeyDown = 4, KeyUp = 5 };

// Decoded MouseInput / KeyInput. Fields a kind does not use carry no meaning.
struct InputEvent {
    InputKind kind = InputKind::MouseMove;
    uint16_t x = 0;
    uint16_t y = 0;
    uint8_t button = 0;  // 0 left, 1 right, 2 middle
    int16_t wheel_delta = 0;
    uint16_t virtual_key = 0;
    uint16_t scan_code = 0;
    bool extended = false;
};

// One system-statistics sample.
struct StatsSample {
    float cpu_percent = 0.0f;
    uint64_t mem_used_mb = 0;
    uint64_t mem_total_mb = 0;
    uint32_t process_count = 0;
};

// Growable byte vector filled front to back, integers lowest byte first.
class MessageWriter {
public:
    MessageWriter() = default;
    explicit MessageWriter(size_t reserve) { buf_.reserve(reserve); }

    void write_u8(uint8_t v) { buf_.push_back(v); }
    void write_u16(uint16_t v);
    void write_u32(uint32_t v);
    void write_u64(uint64_t v);
    void write_bytes(const uint8_t* data, size_t size);
    void write_bytes(const std::vector<uint8_t>& data) { write_bytes(data.data(), data.size()); }

    std::vector<uint8_t> take() { return std::move(buf_); }
    const std::vector<uint8_t>& data() const { return buf_; }

private:
    std::vector<uint8_t> buf_;
};

// Little-endian readers over a byte pointer (no bounds checks: callers check sizes).
inline uint16_t read_u16le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t read_u32le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t read_u64le(const uint8_t* p) {
    return static_cast<uint64_t>(read_u32le(p)) | (static_cast<uint64_t>(read_u32le(p + 4)) << 32);
}

// Monotonic clock in microseconds (arbitrary epoch), as stamped on video frames.
uint64_t monotonic_us();

// Short lower-case name of a message type ("video_frame", ...; "type_0x.." otherwise).
std::string message_type_name(uint8_t type);

// KeyExchange: the type byte, then the sender's raw public key. The same both ways.
std::vector<uint8_t> build_key_exchange(const std::vector<uint8_t>& public_key);
// The public key of a KeyExchange payload; no value unless it holds exactly one key.
std::optional<std::vector<uint8_t>> parse_key_exchange(const uint8_t* payload, size_t size);

// ---- Agent -> viewer -------------------------------------------------------------------

std::vector<uint8_t> build_video_frame(const uint8_t* data, size_t size, uint16_t width, uint16_t height,
                                       bool keyframe);
std::vector<uint8_t> build_video_frame(const std::vector<uint8_t>& encoded, uint16_t width, uint16_t height,
                                       bool keyframe);
std::vector<uint8_t> build_audio_chunk(const std::vector<uint8_t>& samples, uint32_t sample_rate, uint16_t channels);
std::vector<uint8_t> build_cursor_update(bool visible, int32_t x, int32_t y, bool has_shape, uint32_t shape_width,
                                         uint32_t shape_height, uint32_t hotspot_x, uint32_t hotspot_y,
                                         const std::vector<uint8_t>& rgba);
std::vector<uint8_t> build_clipboard_text(const std::string& text);
std::vector<uint8_t> build_stats_report(const StatsSample& sample);

// ClipboardText goes both ways: build_clipboard_text / parse_clipboard_text on either side.

struct VideoFrameMsg {
    uint64_t timestamp_us = 0;
    bool keyframe = false;
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint8_t> data;  // H.264
};

struct AudioChunkMsg {
    uint32_t sample_rate = 0;
    uint16_t channels = 0;
    std::vector<uint8_t> samples;
};

struct CursorUpdateMsg {
    bool visible = false;
    bool has_shape = false;
    int32_t x = 0;
    int32_t y = 0;
    uint32_t shape_width = 0;
    uint32_t shape_height = 0;
    uint32_t hotspot_x = 0;
    uint32_t hotspot_y = 0;
    std::vector<uint8_t> rgba;
};

struct StatsReportMsg {
    uint32_t cpu_percent_x100 = 0;
    uint64_t mem_used_mb = 0;
    uint64_t mem_total_mb = 0;
    uint32_t process_count = 0;
};

// The viewer's parsers of what the agent sends; no value means "ignore the message".
std::optional<VideoFrameMsg> parse_video_frame(const std::vector<uint8_t>& message);
std::optional<AudioChunkMsg> parse_audio_chunk(const std::vector<uint8_t>& message);
std::optional<CursorUpdateMsg> parse_cursor_update(const std::vector<uint8_t>& message);
std::optional<StatsReportMsg> parse_stats_report(const std::vector<uint8_t>& message);
std::optional<std::string> parse_clipboard_text(const std::vector<uint8_t>& message);

// ---- Viewer -> agent -------------------------------------------------------------------

enum class MouseAction : uint8_t { Move = 0, Down = 1, Up = 2, Wheel = 3 };

std::vector<uint8_t> build_mouse_input(uint16_t x, uint16_t y, uint8_t button, MouseAction action,
                                       int16_t wheel_delta = 0);
// flags bit 0: released, bit 1: extended key.
std::vector<uint8_t> build_key_input(uint16_t virtual_key, uint16_t scan_code, bool released, bool extended);
std::vector<uint8_t> build_file_chunk(const std::string& name, uint64_t offset, uint64_t total_size,
                                      const uint8_t* data, size_t size);
std::vector<uint8_t> build_set_bitrate(uint32_t kbps);
// One byte: the viewer cannot decode on and needs a keyframe.
std::vector<uint8_t> build_keyframe_request();

// One FileChunk; name and data point into the message it was parsed from.
struct FileChunkView {
    std::string_view name;
    uint64_t offset = 0;
    uint64_t total_size = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
};

// The agent's parsers of what a viewer sends; no value means "ignore the message".
std::optional<InputEvent> parse_input_event(const std::vector<uint8_t>& message);
std::optional<uint32_t> parse_set_bitrate(const std::vector<uint8_t>& message);
std::optional<FileChunkView> parse_file_chunk(const std::vector<uint8_t>& message);
bool is_keyframe_request(const std::vector<uint8_t>& message);

// ---- Virtual-key codes -----------------------------------------------------------------

// Windows virtual-key codes as viewers send them in KeyInput. Mixed-case names keep clear
// of <windows.h> macros.
namespace vk {
inline constexpr uint16_t Cancel = 0x03;
inline constexpr uint16_t Back = 0x08;
inline constexpr uint16_t Tab = 0x09;
inline constexpr uint16_t Clear = 0x0C;
inline constexpr uint16_t Return = 0x0D;
inline constexpr uint16_t Shift = 0x10;
inline constexpr uint16_t Control = 0x11;
inline constexpr uint16_t Menu = 0x12;
inline constexpr uint16_t Pause = 0x13;
inline constexpr uint16_t Capital = 0x14;
inline constexpr uint16_t Escape = 0x1B;
inline constexpr uint16_t Convert = 0x1C;
inline constexpr uint16_t NonConvert = 0x1D;
inline constexpr uint16_t ModeChange = 0x1F;
inline constexpr uint16_t Space = 0x20;
inline constexpr uint16_t Prior = 0x21;
inline constexpr uint16_t Next = 0x22;
inline constexpr uint16_t End = 0x23;
inline constexpr uint16_t Home = 0x24;
inline constexpr uint16_t Left = 0x25;
inline constexpr uint16_t Up = 0x26;
inline constexpr uint16_t Right = 0x27;
inline constexpr uint16_t Down = 0x28;
inline constexpr uint16_t Select = 0x29;
inline constexpr uint16_t Print = 0x2A;
inline constexpr uint16_t Execute = 0x2B;
inline constexpr uint16_t Snapshot = 0x2C;
inline constexpr uint16_t Insert = 0x2D;
inline constexpr uint16_t Delete = 0x2E;
inline constexpr uint16_t Help = 0x2F;
inline constexpr uint16_t Key0 = 0x30;  // '0'..'9' are 0x30..0x39
inline constexpr uint16_t KeyA = 0x41;  // 'A'..'Z' are 0x41..0x5A
inline constexpr uint16_t LWin = 0x5B;
inline constexpr uint16_t RWin = 0x5C;
inline constexpr uint16_t Apps = 0x5D;
inline constexpr uint16_t Sleep = 0x5F;
inline constexpr uint16_t Numpad0 = 0x60;  // Numpad0..Numpad9 are 0x60..0x69
inline constexpr uint16_t Multiply = 0x6A;
inline constexpr uint16_t Add = 0x6B;
inline constexpr uint16_t Separator = 0x6C;
inline constexpr uint16_t Subtract = 0x6D;
inline constexpr uint16_t Decimal = 0x6E;
inline constexpr uint16_t Divide = 0x6F;
inline constexpr uint16_t F1 = 0x70;  // F1..F24 are 0x70..0x87
inline constexpr uint16_t F24 = 0x87;
inline constexpr uint16_t NumLock = 0x90;
inline constexpr uint16_t Scroll = 0x91;
inline constexpr uint16_t LShift = 0xA0;
inline constexpr uint16_t RShift = 0xA1;
inline constexpr uint16_t LControl = 0xA2;
inline constexpr uint16_t RControl = 0xA3;
inline constexpr uint16_t LMenu = 0xA4;
inline constexpr uint16_t RMenu = 0xA5;
inline constexpr uint16_t BrowserBack = 0xA6;
inline constexpr uint16_t BrowserForward = 0xA7;
inline constexpr uint16_t BrowserRefresh = 0xA8;
inline constexpr uint16_t BrowserStop = 0xA9;
inline constexpr uint16_t BrowserSearch = 0xAA;
inline constexpr uint16_t BrowserFavorites = 0xAB;
inline constexpr uint16_t BrowserHome = 0xAC;
inline constexpr uint16_t VolumeMute = 0xAD;
inline constexpr uint16_t VolumeDown = 0xAE;
inline constexpr uint16_t VolumeUp = 0xAF;
inline constexpr uint16_t MediaNextTrack = 0xB0;
inline constexpr uint16_t MediaPrevTrack = 0xB1;
inline constexpr uint16_t MediaStop = 0xB2;
inline constexpr uint16_t MediaPlayPause = 0xB3;
inline constexpr uint16_t LaunchMail = 0xB4;
inline constexpr uint16_t LaunchMediaSelect = 0xB5;
inline constexpr uint16_t LaunchApp1 = 0xB6;
inline constexpr uint16_t LaunchApp2 = 0xB7;
inline constexpr uint16_t Oem1 = 0xBA;  // ;:
inline constexpr uint16_t OemPlus = 0xBB;
inline constexpr uint16_t OemComma = 0xBC;
inline constexpr uint16_t OemMinus = 0xBD;
inline constexpr uint16_t OemPeriod = 0xBE;
inline constexpr uint16_t Oem2 = 0xBF;  // /?
inline constexpr uint16_t Oem3 = 0xC0;  // `~
inline constexpr uint16_t Oem4 = 0xDB;  // [{
inline constexpr uint16_t Oem5 = 0xDC;  // \|
inline constexpr uint16_t Oem6 = 0xDD;  // ]}
inline constexpr uint16_t Oem7 = 0xDE;  // '"
inline constexpr uint16_t Oem102 = 0xE2;  // the extra <> key of ISO keyboards
inline constexpr uint16_t OemClear = 0xFE;
}  // namespace vk

// Scan code of the right Shift key: VK_SHIFT alone does not tell the two Shift keys apart.
inline constexpr uint16_t RIGHT_SHIFT_SCAN_CODE = 0x36;

