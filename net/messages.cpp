#include "net/messages.h"

#include <chrono>

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

std::optional<InputEvent> parse_input_event(const std::vector<uint8_t>& m) {
    if (m.empty()) return std::nullopt;
    InputEvent ev;
    if (m[0] == static_cast<uint8_t>(MessageType::MouseInput)) {
        if (m.size() < 9) return std::nullopt;
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
        if (m.size() < 6) return std::nullopt;
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
    if (m.size() < 5 || m[0] != static_cast<uint8_t>(MessageType::SetBitrate)) return std::nullopt;
    return read_u32le(&m[1]);
}
