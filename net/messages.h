#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Builders (agent -> viewer).
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

// Parsers (viewer -> agent): no value means "ignore the message".
std::optional<InputEvent> parse_input_event(const std::vector<uint8_t>& message);
std::optional<std::string> parse_clipboard_text(const std::vector<uint8_t>& message);
std::optional<uint32_t> parse_set_bitrate(const std::vector<uint8_t>& message);
