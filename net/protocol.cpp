#include "net/protocol.h"

#include <chrono>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace {

bool is_type(const std::vector<uint8_t>& m, MessageType t) { return !m.empty() && m[0] == static_cast<uint8_t>(t); }

const std::string* string_field(const nlohmann::json& doc, const char* key) {
    auto it = doc.find(key);
    return it != doc.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

// Bytes that are not UTF-8 become U+FFFD.
std::string dump_replacing(const nlohmann::json& doc) {
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string dump_or_empty(const nlohmann::json& doc) {
    try {
        return doc.dump();
    } catch (const nlohmann::json::exception&) {
        return {};  // text that is not UTF-8
    }
}

}  // namespace

std::optional<RelayText> parse_relay_text(std::string_view text, bool with_session) {
    using namespace relay_text;
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object()) return std::nullopt;
    const std::string* type = string_field(doc, TypeKey);
    if (!type) return std::nullopt;
    RelayText msg;
    msg.type = *type;
    const bool is_signal = msg.type == P2PSignal;
    const bool needs_session = msg.type == SessionRequest || msg.type == SessionEnd || msg.type == Session ||
                               (is_signal && with_session);
    if (needs_session) {
        const std::string* id = string_field(doc, SessionIdKey);
        if (!id || id->size() != SESSION_ID_LENGTH) return std::nullopt;
        msg.session_id = *id;
    }
    if (is_signal) {
        const std::string* payload = string_field(doc, PayloadKey);
        if (!payload) return std::nullopt;
        msg.payload = *payload;
    }
    return msg;
}

std::string build_relay_signal(const std::string& session_id, const std::string& payload) {
    using namespace relay_text;
    return dump_or_empty(nlohmann::json{{TypeKey, P2PSignal}, {SessionIdKey, session_id}, {PayloadKey, payload}});
}

std::string build_viewer_signal(const std::string& payload) {
    using namespace relay_text;
    return dump_replacing(nlohmann::json{{TypeKey, P2PSignal}, {PayloadKey, payload}});
}

std::string build_session_text(const char* type, const std::string& session_id) {
    using namespace relay_text;
    return dump_replacing(nlohmann::json{{TypeKey, type}, {SessionIdKey, session_id}});
}

std::vector<uint8_t> build_relay_frame(const std::string& session_id, const uint8_t* payload, size_t size) {
    std::vector<uint8_t> frame;
    frame.reserve(session_id.size() + size);
    frame.insert(frame.end(), session_id.begin(), session_id.end());
    if (size) frame.insert(frame.end(), payload, payload + size);
    return frame;
}

std::optional<RelayFrame> split_relay_frame(const std::vector<uint8_t>& frame) {
    if (frame.size() < SESSION_ID_LENGTH + 1) return std::nullopt;
    return RelayFrame{std::string(frame.begin(), frame.begin() + SESSION_ID_LENGTH), frame.data() + SESSION_ID_LENGTH,
                      frame.size() - SESSION_ID_LENGTH};
}

void MessageWriter::write_u16(uint16_t v) {
    buf_.push_back(static_cast<uint8_t>(v));
    buf_.push_back(static_cast<uint8_t>(v >> 8));
}

void MessageWriter::write_u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void MessageWriter::write_u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void MessageWriter::write_bytes(const uint8_t* data, size_t size) {
    if (size) buf_.insert(buf_.end(), data, data + size);
}

uint64_t monotonic_us() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<uint64_t>(ns) / 1000u;
}

std::string message_type_name(uint8_t type) {
    switch (static_cast<MessageType>(type)) {
        case MessageType::VideoFrame: return "video_frame";
        case MessageType::AudioChunk: return "audio_chunk";
        case MessageType::CursorUpdate: return "cursor_update";
        case MessageType::MouseInput: return "mouse_input";
        case MessageType::KeyInput: return "key_input";
        case MessageType::KeyExchange: return "key_exchange";
        case MessageType::ClipboardText: return "clipboard_text";
        case MessageType::FileChunk: return "file_chunk";
        case MessageType::SetBitrate: return "set_bitrate";
        case MessageType::SystemStatsReport: return "system_stats";
        case MessageType::KeyframeRequest: return "keyframe_request";
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "type_0x%02x", type);
    return buf;
}

std::vector<uint8_t> build_key_exchange(const std::vector<uint8_t>& public_key) {
    MessageWriter w(1 + public_key.size());
    w.write_u8(static_cast<uint8_t>(MessageType::KeyExchange));
    w.write_bytes(public_key);
    return w.take();
}

std::optional<std::vector<uint8_t>> parse_key_exchange(const uint8_t* payload, size_t size) {
    if (size != 1 + KEY_EXCHANGE_KEY_SIZE || payload[0] != static_cast<uint8_t>(MessageType::KeyExchange))
        return std::nullopt;
    return std::vector<uint8_t>(payload + 1, payload + size);
}

// ---- Agent -> viewer

std::vector<uint8_t> build_video_frame(const uint8_t* data, size_t size, uint16_t width, uint16_t height,
                                       bool keyframe) {
    MessageWriter w(VIDEO_FRAME_HEADER + size);
    w.write_u8(static_cast<uint8_t>(MessageType::VideoFrame));
    w.write_u64(monotonic_us());
    w.write_u8(keyframe ? 1 : 0);
    w.write_u16(width);
    w.write_u16(height);
    w.write_bytes(data, size);
    return w.take();
}

std::vector<uint8_t> build_video_frame(const std::vector<uint8_t>& encoded, uint16_t width, uint16_t height,
                                       bool keyframe) {
    return build_video_frame(encoded.data(), encoded.size(), width, height, keyframe);
}

std::vector<uint8_t> build_audio_chunk(const std::vector<uint8_t>& samples, uint32_t sample_rate, uint16_t channels) {
    MessageWriter w(AUDIO_CHUNK_HEADER + samples.size());
    w.write_u8(static_cast<uint8_t>(MessageType::AudioChunk));
    w.write_u32(sample_rate);
    w.write_u16(channels);
    w.write_bytes(samples);
    return w.take();
}

std::vector<uint8_t> build_cursor_update(bool visible, int32_t x, int32_t y, bool has_shape, uint32_t shape_width,
                                         uint32_t shape_height, uint32_t hotspot_x, uint32_t hotspot_y,
                                         const std::vector<uint8_t>& rgba) {
    MessageWriter w;
    w.write_u8(static_cast<uint8_t>(MessageType::CursorUpdate));
    w.write_u8(visible ? 1 : 0);
    w.write_u8(has_shape ? 1 : 0);
    w.write_u32(static_cast<uint32_t>(x));
    w.write_u32(static_cast<uint32_t>(y));
    if (has_shape) {
        w.write_u32(shape_width);
        w.write_u32(shape_height);
        w.write_u32(hotspot_x);
        w.write_u32(hotspot_y);
        w.write_u32(static_cast<uint32_t>(rgba.size()));
        w.write_bytes(rgba);
    }
    return w.take();
}

std::vector<uint8_t> build_clipboard_text(const std::string& text) {
    MessageWriter w(CLIPBOARD_TEXT_HEADER + text.size());
    w.write_u8(static_cast<uint8_t>(MessageType::ClipboardText));
    w.write_u32(static_cast<uint32_t>(text.size()));
    w.write_bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return w.take();
}

std::vector<uint8_t> build_stats_report(const StatsSample& sample) {
    MessageWriter w(STATS_REPORT_SIZE);
    w.write_u8(static_cast<uint8_t>(MessageType::SystemStatsReport));
    float scaled = sample.cpu_percent * 100.0f;
    // Truncate toward zero; keep out-of-range or NaN readings from becoming undefined casts.
    uint32_t cpu = 0;
    if (scaled >= 4294967040.0f) {
        cpu = 0xFFFFFFFFu;
    } else if (scaled > 0.0f) {
        cpu = static_cast<uint32_t>(scaled);
    }
    w.write_u32(cpu);
    w.write_u64(sample.mem_used_mb);
    w.write_u64(sample.mem_total_mb);
    w.write_u32(sample.process_count);
    return w.take();
}

std::optional<VideoFrameMsg> parse_video_frame(const std::vector<uint8_t>& m) {
    if (m.size() < VIDEO_FRAME_HEADER || !is_type(m, MessageType::VideoFrame)) return std::nullopt;
    VideoFrameMsg v;
    v.timestamp_us = read_u64le(&m[1]);
    v.keyframe = m[9] != 0;
    v.width = read_u16le(&m[10]);
    v.height = read_u16le(&m[12]);
    v.data.assign(m.begin() + VIDEO_FRAME_HEADER, m.end());
    return v;
}

std::optional<AudioChunkMsg> parse_audio_chunk(const std::vector<uint8_t>& m) {
    if (m.size() < AUDIO_CHUNK_HEADER || !is_type(m, MessageType::AudioChunk)) return std::nullopt;
    AudioChunkMsg a;
    a.sample_rate = read_u32le(&m[1]);
    a.channels = read_u16le(&m[5]);
    a.samples.assign(m.begin() + AUDIO_CHUNK_HEADER, m.end());
    return a;
}

std::optional<CursorUpdateMsg> parse_cursor_update(const std::vector<uint8_t>& m) {
    if (m.size() < CURSOR_UPDATE_BASE || !is_type(m, MessageType::CursorUpdate)) return std::nullopt;
    CursorUpdateMsg c;
    c.visible = m[1] != 0;
    c.has_shape = m[2] != 0;
    c.x = static_cast<int32_t>(read_u32le(&m[3]));
    c.y = static_cast<int32_t>(read_u32le(&m[7]));
    if (!c.has_shape) return c;
    if (m.size() < CURSOR_UPDATE_SHAPE_HEADER) return std::nullopt;
    c.shape_width = read_u32le(&m[11]);
    c.shape_height = read_u32le(&m[15]);
    c.hotspot_x = read_u32le(&m[19]);
    c.hotspot_y = read_u32le(&m[23]);
    uint32_t len = read_u32le(&m[27]);
    if (m.size() - CURSOR_UPDATE_SHAPE_HEADER < len) return std::nullopt;
    c.rgba.assign(m.begin() + CURSOR_UPDATE_SHAPE_HEADER, m.begin() + CURSOR_UPDATE_SHAPE_HEADER + len);
    return c;
}

std::optional<StatsReportMsg> parse_stats_report(const std::vector<uint8_t>& m) {
    if (m.size() < STATS_REPORT_SIZE || !is_type(m, MessageType::SystemStatsReport)) return std::nullopt;
    StatsReportMsg s;
    s.cpu_percent_x100 = read_u32le(&m[1]);
    s.mem_used_mb = read_u64le(&m[5]);
    s.mem_total_mb = read_u64le(&m[13]);
    s.process_count = read_u32le(&m[21]);
    return s;
}

// ---- Viewer -> agent

std::vector<uint8_t> build_mouse_input(uint16_t x, uint16_t y, uint8_t button, MouseAction action,
                                       int16_t wheel_delta) {
    MessageWriter w(MOUSE_INPUT_SIZE);
    w.write_u8(static_cast<uint8_t>(MessageType::MouseInput));
    w.write_u16(x);
    w.write_u16(y);
    w.write_u8(button);
    w.write_u8(static_cast<uint8_t>(action));
    w.write_u16(static_cast<uint16_t>(wheel_delta));
    return w.take();
}

std::vector<uint8_t> build_key_input(uint16_t virtual_key, uint16_t scan_code, bool released, bool extended) {
    MessageWriter w(KEY_INPUT_SIZE);
    w.write_u8(static_cast<uint8_t>(MessageType::KeyInput));
    w.write_u16(virtual_key);
    w.write_u16(scan_code);
    w.write_u8(static_cast<uint8_t>((released ? 1 : 0) | (extended ? 2 : 0)));
    return w.take();
}

std::vector<uint8_t> build_file_chunk(const std::string& name, uint64_t offset, uint64_t total_size,
                                      const uint8_t* data, size_t size) {
    MessageWriter w(FILE_CHUNK_HEADER + name.size() + size);
    w.write_u8(static_cast<uint8_t>(MessageType::FileChunk));
    w.write_u16(static_cast<uint16_t>(name.size()));
    w.write_bytes(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    w.write_u64(offset);
    w.write_u64(total_size);
    w.write_u32(static_cast<uint32_t>(size));
    w.write_bytes(data, size);
    return w.take();
}

std::vector<uint8_t> build_set_bitrate(uint32_t kbps) {
    MessageWriter w(SET_BITRATE_SIZE);
    w.write_u8(static_cast<uint8_t>(MessageType::SetBitrate));
    w.write_u32(kbps);
    return w.take();
}

std::vector<uint8_t> build_keyframe_request() { return {static_cast<uint8_t>(MessageType::KeyframeRequest)}; }

std::optional<InputEvent> parse_input_event(const std::vector<uint8_t>& m) {
    if (m.empty()) return std::nullopt;
    InputEvent ev;
    if (m[0] == static_cast<uint8_t>(MessageType::MouseInput)) {
        if (m.size() < MOUSE_INPUT_SIZE) return std::nullopt;
        ev.x = read_u16le(&m[1]);
        ev.y = read_u16le(&m[3]);
        ev.button = m[5];
        uint8_t action = m[6];
        ev.wheel_delta = static_cast<int16_t>(read_u16le(&m[7]));
        if (action > 3) return std::nullopt;
        ev.kind = static_cast<InputKind>(action);
        return ev;
    }
    if (m[0] == static_cast<uint8_t>(MessageType::KeyInput)) {
        if (m.size() < KEY_INPUT_SIZE) return std::nullopt;
        ev.virtual_key = read_u16le(&m[1]);
        ev.scan_code = read_u16le(&m[3]);
        uint8_t flags = m[5];
        ev.kind = (flags & 0x01) ? InputKind::KeyUp : InputKind::KeyDown;
        ev.extended = (flags & 0x02) != 0;
        return ev;
    }
    return std::nullopt;
}

std::optional<std::string> parse_clipboard_text(const std::vector<uint8_t>& m) {
    if (m.size() < CLIPBOARD_TEXT_HEADER || m[0] != static_cast<uint8_t>(MessageType::ClipboardText)) {
        return std::nullopt;
    }
    uint64_t length = read_u32le(&m[1]);
    if (m.size() - CLIPBOARD_TEXT_HEADER < length) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(m.data()) + CLIPBOARD_TEXT_HEADER, static_cast<size_t>(length));
}

std::optional<uint32_t> parse_set_bitrate(const std::vector<uint8_t>& m) {
    if (m.size() < SET_BITRATE_SIZE || !is_type(m, MessageType::SetBitrate)) return std::nullopt;
    return read_u32le(&m[1]);
}

std::optional<FileChunkView> parse_file_chunk(const std::vector<uint8_t>& m) {
    if (m.size() < 3 || !is_type(m, MessageType::FileChunk)) return std::nullopt;
    const size_t name_len = read_u16le(&m[1]);
    if (m.size() < name_len + FILE_CHUNK_HEADER) return std::nullopt;
    const uint8_t* fields = m.data() + 3 + name_len;
    FileChunkView c;
    c.name = std::string_view(reinterpret_cast<const char*>(m.data() + 3), name_len);
    c.offset = read_u64le(fields);
    c.total_size = read_u64le(fields + 8);
    c.size = read_u32le(fields + 16);
    if (m.size() - (name_len + FILE_CHUNK_HEADER) < c.size) return std::nullopt;
    c.data = fields + 20;
    return c;
}

bool is_keyframe_request(const std::vector<uint8_t>& m) { return is_type(m, MessageType::KeyframeRequest); }
