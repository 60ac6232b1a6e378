#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "media/bitrate.h"
#include "net/protocol.h"

// What a viewer message can act on. The agent runtime fills these with the real
// components; an empty hook drops its messages.
struct DispatchTargets {
    std::function<void(const InputEvent&)> inject_input;
    std::function<bool(const std::string&)> set_clipboard;
    std::function<bool(const std::vector<uint8_t>&)> file_chunk;
    std::function<void(uint32_t)> set_bitrate;
    std::function<void()> request_keyframe;
};

// Entry for every plaintext message a viewer sends. Runs on the relay client's dispatch
// thread, in arrival order; nothing reachable from here may send to viewers.
void dispatch_viewer_message(const std::string& session_id, const std::vector<uint8_t>& message,
                             const DispatchTargets& targets);
