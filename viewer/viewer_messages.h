#pragma once

// The viewer's side of the binary messages: builders for what a viewer sends and
// parsers for what the agent sends. No value from a parser means "ignore it".

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/messages.h"

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
// ClipboardText is the same in both directions: build_clipboard_text / parse_clipboard_text.

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

std::optional<VideoFrameMsg> parse_video_frame(const std::vector<uint8_t>& message);
std::optional<AudioChunkMsg> parse_audio_chunk(const std::vector<uint8_t>& message);
std::optional<CursorUpdateMsg> parse_cursor_update(const std::vector<uint8_t>& message);
std::optional<StatsReportMsg> parse_stats_report(const std::vector<uint8_t>& message);

// Short lower-case name of a message type ("video_frame", ...; "type_0x.." otherwise).
std::string message_type_name(uint8_t type);
