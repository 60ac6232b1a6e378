#include "app/dispatch.h"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "net/log_text.h"

void dispatch_viewer_message(const std::string& /*session_id*/, const std::vector<uint8_t>& message,
                             const DispatchTargets& targets) {
    if (message.empty()) return;
    auto* log = spdlog::default_logger_raw();
    // A viewer may send these as fast as it likes; the log keeps a few per second.
    static LogRate rate(8);
    switch (static_cast<MessageType>(message[0])) {
        case MessageType::MouseInput:
        case MessageType::KeyInput:
            if (auto ev = parse_input_event(message); ev && targets.inject_input) targets.inject_input(*ev);
            break;
        case MessageType::ClipboardText:
            if (auto text = parse_clipboard_text(message)) {
                if (targets.set_clipboard) targets.set_clipboard(*text);
                if (auto held = rate.admit())
                    log->info("Clipboard set from viewer ({} chars){}", text->size(), held_note(*held));
            }
            break;
        case MessageType::FileChunk:
            if (targets.file_chunk) targets.file_chunk(message);
            break;
        case MessageType::SetBitrate:
            if (auto kbps = parse_set_bitrate(message)) {
                uint32_t applied = clamp_bitrate_kbps(*kbps);
                if (auto held = rate.admit()) {
                    if (applied != *kbps) log->warn("Requested bitrate {} kbps is out of range", *kbps);
                    log->info("Adjusting bitrate to {} kbps{}", applied, held_note(*held));
                }
                if (targets.set_bitrate) targets.set_bitrate(applied);
            }
            break;
        case MessageType::KeyframeRequest:
            if (targets.request_keyframe) targets.request_keyframe();
            break;
        default:
            break;
    }
}
