#include "viewer/viewer_messages.h"

#include <cstdio>

namespace {

bool is_type(const std::vector<uint8_t>& m, MessageType t) {
    return !m.empty() && m[0] == static_cast<uint8_t>(t);
}

}  // namespace

std::vector<uint8_t> build_mouse_input(uint16_t x, uint16_t y, uint8_t button, MouseAction action,
                                       int16_t wheel_delta) {
    MessageWriter w(9);
    w.write_u8(static_cast<uint8_t>(MessageType::MouseInput));
    w.write_u16(x);
    w.write_u16(y);
    w.write_u8(button);
    w.write_u8(static_cast<uint8_t>(action));
    w.write_u16(static_cast<uint16_t>(wheel_delta));
    return w.take();
}

std::vector<uint8_t> build_key_input(uint16_t virtual_key, uint16_t scan_code, bool released, bool extended) {
    MessageWriter w(6);
    w.write_u8(static_cast<uint8_t>(MessageType::KeyInput));
    w.write_u16(virtual_key);
    w.write_u16(scan_code);
    w.write_u8(static_cast<uint8_t>((released ? 1 : 0) | (extended ? 2 : 0)));
    return w.take();
}

std::vector<uint8_t> build_file_chunk(const std::string& name, uint64_t offset, uint64_t total_size,
                                      const uint8_t* data, size_t size) {
    MessageWriter w(23 + name.size() + size);
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
    MessageWriter w(5);
    w.write_u8(static_cast<uint8_t>(MessageType::SetBitrate));
    w.write_u32(kbps);
    return w.take();
}

std::vector<uint8_t> build_keyframe_request() { return {static_cast<uint8_t>(MessageType::KeyframeRequest)}; }

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
