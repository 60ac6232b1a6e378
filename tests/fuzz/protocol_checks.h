#pragma once

// Runs every binary message parser of net/protocol on one message and checks that what
// parses is what the matching builder writes: the fields read are the fields written, and
// nothing is read past the message. Aborts on any mismatch. Returns the parsed results in
// one comparable string so that two paths to the same bytes can be compared.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/protocol.h"

namespace fuzzcheck {

inline bool is_prefix(const std::vector<uint8_t>& built, const std::vector<uint8_t>& m) {
    return built.size() <= m.size() && std::equal(built.begin(), built.end(), m.begin());
}

inline void require(bool ok) {
    if (!ok) std::abort();
}

inline std::string check_all_parsers(const std::vector<uint8_t>& m) {
    std::string seen;
    if (!m.empty()) require(!message_type_name(m[0]).empty());

    // Viewer -> agent.
    if (auto ev = parse_input_event(m)) {
        seen += "input:" + std::to_string(static_cast<int>(ev->kind)) + ";";
        if (m[0] == static_cast<uint8_t>(MessageType::MouseInput)) {
            require(ev->kind <= InputKind::MouseWheel);
            require(is_prefix(build_mouse_input(ev->x, ev->y, ev->button, static_cast<MouseAction>(ev->kind),
                                                ev->wheel_delta),
                              m));
        } else {
            require(m[0] == static_cast<uint8_t>(MessageType::KeyInput));
            require(ev->kind == InputKind::KeyDown || ev->kind == InputKind::KeyUp);
            if (m[5] <= 3)
                require(is_prefix(
                    build_key_input(ev->virtual_key, ev->scan_code, ev->kind == InputKind::KeyUp, ev->extended), m));
        }
    }
    if (auto kbps = parse_set_bitrate(m)) {
        seen += "bitrate:" + std::to_string(*kbps) + ";";
        require(is_prefix(build_set_bitrate(*kbps), m));
    }
    if (auto chunk = parse_file_chunk(m)) {
        seen += "file:" + std::string(chunk->name) + ";";
        require(chunk->data >= m.data() && chunk->data + chunk->size <= m.data() + m.size());
        require(is_prefix(build_file_chunk(std::string(chunk->name), chunk->offset, chunk->total_size, chunk->data,
                                           chunk->size),
                          m));
    }
    if (is_keyframe_request(m)) {
        seen += "keyframe;";
        require(is_prefix(build_keyframe_request(), m));
    }
    if (auto text = parse_clipboard_text(m)) {
        seen += "clipboard:" + *text + ";";
        require(is_prefix(build_clipboard_text(*text), m));
    }

    // Agent -> viewer.
    if (auto v = parse_video_frame(m)) {
        seen += "video:" + std::to_string(v->data.size()) + ";";
        require(v->data.size() + VIDEO_FRAME_HEADER == m.size());
        std::vector<uint8_t> built = build_video_frame(v->data, v->width, v->height, v->keyframe);
        // Everything but the time stamp and the key-frame byte, which any non-zero value sets.
        require(built.size() == m.size() && std::equal(built.begin() + 10, built.end(), m.begin() + 10));
    }
    if (auto a = parse_audio_chunk(m)) {
        seen += "audio:" + std::to_string(a->samples.size()) + ";";
        require(build_audio_chunk(a->samples, a->sample_rate, a->channels) == m);
    }
    if (auto c = parse_cursor_update(m)) {
        seen += "cursor:" + std::to_string(c->rgba.size()) + ";";
        require(!c->has_shape || c->rgba.size() + CURSOR_UPDATE_SHAPE_HEADER <= m.size());
        if (m[1] <= 1 && m[2] <= 1)
            require(is_prefix(build_cursor_update(c->visible, c->x, c->y, c->has_shape, c->shape_width,
                                                  c->shape_height, c->hotspot_x, c->hotspot_y, c->rgba),
                              m));
    }
    if (auto s = parse_stats_report(m)) {
        seen += "stats:" + std::to_string(s->process_count) + ";";
        StatsReportMsg again = *parse_stats_report(std::vector<uint8_t>(m.begin(), m.begin() + STATS_REPORT_SIZE));
        require(again.cpu_percent_x100 == s->cpu_percent_x100 && again.mem_used_mb == s->mem_used_mb &&
                again.mem_total_mb == s->mem_total_mb && again.process_count == s->process_count);
    }

    // Both ways.
    if (auto key = parse_key_exchange(m.data(), m.size())) {
        seen += "key;";
        require(key->size() == KEY_EXCHANGE_KEY_SIZE && build_key_exchange(*key) == m);
    }
    return seen;
}

}  // namespace fuzzcheck
