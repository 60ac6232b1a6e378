#include "app/agent_runtime.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include <spdlog/spdlog.h>

#include "app/config.h"
#include "app/dispatch.h"
#include "app/logging.h"
#include "app/netinit.h"
#include "app/run_flag.h"
#include "control/clipboard.h"
#include "control/file_receiver.h"
#include "control/input_injector.h"
#include "control/system_stats.h"
#include "host/tray_icon.h"
#include "media/audio_capture.h"
#include "media/encoder.h"
#include "media/monitors.h"
#include "media/screen_capture.h"
#include "media/video_stream.h"
#include "net/p2p.h"
#include "net/protocol.h"
#include "net/ws_client.h"

namespace {

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int64_t STATS_INTERVAL_NS = 2'000'000'000;

}  // namespace

uint32_t frame_interval_us_for(uint32_t target_fps) {
    return 1000000u / (target_fps == 0 ? 30u : target_fps);
}

int run_agent() { return run_agent(RuntimeHooks{}); }

int run_agent(const RuntimeHooks& hooks) {
    net_startup();
    setup_logging();
    auto* log = spdlog::default_logger_raw();
    log->info("Vantor Agent starting...");

    // 1. Settings.
    AgentConfig config;
    config.server_url = DEFAULT_SERVER_URL;
    config.machine_id.clear();
    config.auth_token.clear();
    config.machine_name.clear();
    config.target_fps = 30;
    config.bitrate_kbps = 4000;
    if (!load_config(config)) {
        log->error("Failed to load configuration");
        return 1;
    }
    log->info("Server URL: {}", config.server_url);
    log->info("Machine ID: {}", config.machine_id);
    if (config.target_fps == 0) {
        log->warn("target_fps is 0 in the configuration, using 30");
        config.target_fps = 30;
    }

    // 2. Capture of output 0.
    ScreenCapture capture;
    if (!capture.initialize(0)) {
        log->error("Failed to initialize screen capture");
        return 1;
    }
    log->info("Screen capture initialized: {}x{}", capture.width(), capture.height());

    // 3. Encoder.
    std::unique_ptr<IEncoder> encoder =
        create_encoder(capture.width(), capture.height(), config.target_fps, config.bitrate_kbps);
    if (!encoder) {
        log->error("Failed to initialize encoder");
        return 1;
    }
    log->info("Using encoder: {}", encoder->name());

    // 4-7. Input, the output list (logged only), clipboard, uploads.
    InputInjector injector;
    std::vector<MonitorInfo> monitors = enumerate_monitors();
    log->info("Found {} monitor(s)", monitors.size());
    ClipboardSync clipboard;
    FileReceiver files;
    P2PManager p2p;

    // 9. Relay connection.
    WsClient ws;
    if (!ws.connect(config.server_url, config.machine_id, config.auth_token)) {
        log->error("Failed to connect to relay server");
        return 1;
    }
    log->info("Connected to relay server");
    if (hooks.connected) hooks.connected();

    // 10. Tray: status, menu and a balloon saying the agent runs.
    TrayIcon tray;
    tray.start([&config](int command) { run_tray_command(command, config.server_url, request_stop); });
    tray.set_status("Zarvex \u2014 Connected to " + config.server_url);
    tray.show_balloon("Zarvex", "Agent is running. Right-click the tray icon for options.");

    // 16. Wiring. The message handler runs on the relay client's dispatch thread, one
    // message at a time in arrival order: nothing it reaches may send to viewers.
    p2p.signal_sender = [&ws](const std::string& session_id, const std::string& payload) {
        ws.send_signal(session_id, payload);
    };
    ws.set_signal_handler(
        [&p2p](const std::string& session_id, const std::string& payload) { p2p.handle_signal(session_id, payload); });
    // Keyframe and bit-rate requests from viewers, applied by the streaming loop.
    StreamRequests stream_requests;
    DispatchTargets targets;
    targets.inject_input = [&injector](const InputEvent& ev) { injector.inject(ev); };
    targets.set_clipboard = [](const std::string& text) { return set_clipboard_text(text); };
    targets.file_chunk = [&files](const std::vector<uint8_t>& m) { return files.handle_chunk(m); };
    targets.set_bitrate = [&stream_requests](uint32_t kbps) { stream_requests.set_bitrate(kbps); };
    targets.request_keyframe = [&stream_requests] { stream_requests.request_keyframe(); };
    ws.set_message_handler([targets](const std::string& session_id, const std::vector<uint8_t>& message) {
        dispatch_viewer_message(session_id, message, targets);
    });
    // A viewer that leaves mid-press must not leave keys or buttons held down.
    // Its peer-to-peer connection goes with it.
    ws.set_session_end_handler([&injector, &p2p](const std::string& session_id) {
        injector.release_all();
        p2p.close_session(session_id);
    });

    // 17. Clipboard changes on the host go to every ready viewer.
    clipboard.start([&ws](const std::string& text) {
        if (!ws.has_ready_session()) return;
        ws.send_to_all(build_clipboard_text(text));
        spdlog::default_logger_raw()->debug("Clipboard pushed to viewers ({} chars)", text.size());
    });

    // 18. System audio, when the machine has a playback device to record.
    AudioCapture audio;
    if (!audio.initialize()) {
        log->warn("Audio capture not available, continuing without audio");
    } else {
        auto push_audio_to_viewers = [&ws](const std::vector<uint8_t>& samples, uint32_t sample_rate,
                                           uint16_t channels) {
            if (ws.has_ready_session()) ws.send_to_all(build_audio_chunk(samples, sample_rate, channels));
        };
        audio.start(push_audio_to_viewers);
    }

    log->info("Starting capture loop...");
    const uint32_t frame_interval_us = frame_interval_us_for(config.target_fps);
    SystemStats stats;
    int64_t last_stats_ns = now_ns();
    const int64_t interval_ns = static_cast<int64_t>(frame_interval_us) * 1000;
    VideoStream stream(capture, encoder, stream_requests, config.target_fps, config.bitrate_kbps);
    VideoSink video_sink;
    video_sink.send = [&ws](const std::vector<uint8_t>& message, bool keyframe) {
        return ws.send_video_to_all(message, keyframe);
    };
    video_sink.queued_bytes = [&ws] { return ws.queued_bytes(); };
    video_sink.sent_bytes = [&ws] { return ws.sent_bytes(); };
    uint64_t ready_generation = 0;
    bool was_connected = true;
    int64_t deadline_ns = now_ns();
    bool display_lost = false;

    while (g_running.load()) {
        const int64_t frame_start_ns = now_ns();
        // Absolute deadlines on the monotonic clock: an iteration that ran long is made up
        // by a shorter wait in the next; one that fell a whole interval behind starts a
        // new schedule instead of rushing to catch up.
        deadline_ns += interval_ns;
        if (deadline_ns <= frame_start_ns) deadline_ns = frame_start_ns + interval_ns;
        const bool connected = ws.is_connected();
        if (ws.has_ready_session() && connected) {
            // A viewer that became ready (or re-keyed), or a connection that came back
            // after frames were lost on it: the whole picture as a keyframe.
            const uint64_t generation = ws.ready_generation();
            if (generation != ready_generation || !was_connected) {
                ready_generation = generation;
                stream.force_keyframe();
            }
            // Wait for the screen to change, but not past this iteration's deadline.
            const int wait_ms = static_cast<int>(std::max<int64_t>(0, (deadline_ns - now_ns()) / 1'000'000));
            stream.step(video_sink, wait_ms);
            const int64_t now = now_ns();
            if (now - last_stats_ns >= STATS_INTERVAL_NS) {
                last_stats_ns = now;
                ws.send_to_all(build_stats_report(stats.sample()));
            }
            if (capture.cursor_dirty) {
                ws.send_to_all(build_cursor_update(
                    capture.cursor_visible, capture.cursor_x, capture.cursor_y, capture.cursor_has_shape,
                    capture.cursor_shape_width, capture.cursor_shape_height,
                    static_cast<uint32_t>(capture.cursor_hotspot_x), static_cast<uint32_t>(capture.cursor_hotspot_y),
                    capture.cursor_rgba));
                capture.clear_cursor_dirty();
            }
        }
        was_connected = connected;
        // A display gone for good (the X server, or on Windows the desktop duplication)
        // ends the agent in order, with exit code 1 for the service manager to restart it.
        if (capture.display_lost()) {
            log->error("Display lost, stopping the agent");
            display_lost = true;
            break;
        }
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(deadline_ns))));
    }

    log->info("Agent shutting down...");
    if (hooks.stopping) hooks.stopping();
    tray.stop();
    audio.stop();
    clipboard.stop();
    if (display_lost) ws.disconnect(1001, "Going away");
    else ws.disconnect();
    p2p.close_all();
    injector.release_all();
    if (encoder) encoder->close();
    capture.shutdown();
    net_cleanup();
    return display_lost ? 1 : 0;
}
