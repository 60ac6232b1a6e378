// Recording of what the machine plays through the PulseAudio protocol (spoken by
// PulseAudio and by PipeWire's Pulse server): the monitor source of the default sink,
// in the sink's own rate and channel layout, as 16-bit signed little-endian samples.
//
// The main loop is a plain pa_mainloop owned by whichever thread uses the source at the
// moment: open, start and stop run it on the owner's thread, read on the capture
// thread, never both at once. Every wait is bounded, so a server that stops answering
// cannot hold up the agent.
#include "media/audio_capture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <string>

#include <spdlog/spdlog.h>

namespace {

using Clock = std::chrono::steady_clock;

spdlog::logger* log() { return spdlog::default_logger_raw(); }

// The whole of open: connection, format lookup and stream set-up.
constexpr auto OPEN_TIMEOUT = std::chrono::seconds(5);
// Fragment the server sends: small, so that a packet reaches the viewers quickly.
constexpr pa_usec_t FRAGMENT_USEC = 10 * PA_USEC_PER_MSEC;
// Bound of main-loop dispatches per read, so that a busy connection cannot keep the
// capture thread from its packets.
constexpr int MAX_DISPATCHES = 256;
// The monitor of whatever sink is the server's default.
constexpr const char* DEFAULT_MONITOR = "@DEFAULT_MONITOR@";

// Answer of the monitor lookup.
struct MonitorInfo {
    bool done = false;
    bool found = false;
    std::string name;
    pa_sample_spec sample_format{};
    pa_channel_map map{};
};

void on_monitor_info(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* m = static_cast<MonitorInfo*>(userdata);
    if (info && !m->found) {
        m->found = true;
        m->name = info->name ? info->name : DEFAULT_MONITOR;
        m->sample_format = info->sample_spec;
        m->map = info->channel_map;
    }
    if (eol != 0) m->done = true;  // end of the list (> 0) or an error such as no such source (< 0)
}

class PulseSource final : public AudioSource {
public:
    ~PulseSource() override { close(); }

    bool open(AudioFormat& format) override {
        close();  // a second attempt starts afresh
        const auto deadline = Clock::now() + OPEN_TIMEOUT;
        loop_ = pa_mainloop_new();
        if (loop_) context_ = pa_context_new(pa_mainloop_get_api(loop_), "Zarvex Agent");
        if (!context_) {
            log()->error("Failed to create device enumerator");
            return false;
        }
        // Never start a sound server of our own: no server means no audio.
        bool up = pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
                  run_until([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY || !context_good(); },
                            deadline) &&
                  pa_context_get_state(context_) == PA_CONTEXT_READY;
        if (!up) {
            log()->debug("Sound server not reachable: {}", pa_strerror(pa_context_errno(context_)));
            log()->error("No default audio device found");
            return false;
        }

        MonitorInfo monitor;
        pa_operation* op = pa_context_get_source_info_by_name(context_, DEFAULT_MONITOR, on_monitor_info, &monitor);
        const bool answered =
            op && run_until([&] { return monitor.done || !context_good(); }, deadline) && monitor.done;
        if (op) {
            // Without an answer the callback must never run later, on a lookup that is gone.
            if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
            pa_operation_unref(op);
        }
        if (!answered) {
            log()->error("Failed to get mix format");
            return false;
        }
        if (!monitor.found) {
            log()->debug("No monitor of a default sink: {}", pa_strerror(pa_context_errno(context_)));
            log()->error("No default audio device found");
            return false;
        }
        if (!pa_sample_spec_valid(&monitor.sample_format)) {
            log()->error("Failed to get mix format");
            return false;
        }

        // The sink's own rate and channels, so that the server neither resamples nor remixes.
        pa_sample_spec sample_format{};
        sample_format.format = PA_SAMPLE_S16LE;
        sample_format.rate = monitor.sample_format.rate;
        sample_format.channels = monitor.sample_format.channels;
        pa_channel_map map = monitor.map;
        if (!pa_channel_map_valid(&map) || map.channels != sample_format.channels)
            pa_channel_map_init_auto(&map, sample_format.channels, PA_CHANNEL_MAP_DEFAULT);
        stream_ = pa_stream_new(context_, "System audio", &sample_format, &map);
        if (!stream_) {
            log()->error("Failed to activate audio client");
            return false;
        }
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = static_cast<uint32_t>(-1);
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(FRAGMENT_USEC, &sample_format));
        // Corked until start; the recording does not keep an idle sink awake.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED |
                                                          PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
        bool ready = pa_stream_connect_record(stream_, monitor.name.c_str(), &attr, flags) >= 0 &&
                     run_until([this] { return pa_stream_get_state(stream_) == PA_STREAM_READY || !stream_good(); },
                               deadline) &&
                     pa_stream_get_state(stream_) == PA_STREAM_READY;
        if (!ready) {
            const int err = pa_context_errno(context_);
            log()->debug("Recording of {} refused: {}", monitor.name, pa_strerror(err));
            log()->error("Failed to initialize audio client: 0x{:08X}", static_cast<uint32_t>(err));
            return false;
        }
        frame_bytes_ = pa_frame_size(&sample_format);
        format.sample_rate = sample_format.rate;
        format.channels = sample_format.channels;
        format.bits_per_sample = 16;
        return true;
    }

    void start() override { cork(false); }

    bool read(const PacketFn& packet, const std::atomic<bool>& running) override {
        if (!stream_good()) return false;
        // Take in whatever the server has sent since the last poll, without waiting.
        for (int i = 0; i < MAX_DISPATCHES && pa_mainloop_iterate(loop_, 0, nullptr) > 0; ++i) {
        }
        if (!stream_good()) {
            log()->debug("Sound server connection ended: {}", pa_strerror(pa_context_errno(context_)));
            return false;
        }
        while (running.load()) {
            const void* data = nullptr;
            size_t size = 0;
            if (pa_stream_peek(stream_, &data, &size) < 0) return false;
            if (size == 0) break;  // nothing more buffered
            // The library hands out whole frames only; data is null for a gap in the stream.
            const auto* bytes = static_cast<const uint8_t*>(data);
            packet(bytes, static_cast<uint32_t>(size / frame_bytes_), bytes && is_silent_audio(bytes, size));
            pa_stream_drop(stream_);
        }
        return true;
    }

    void stop() override { cork(true); }

private:
    bool context_good() const { return context_ && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); }
    bool stream_good() const { return stream_ && context_good() && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)); }

    // Runs the main loop until done() holds; false on time-out or a main-loop failure.
    template <class Done>
    bool run_until(Done done, Clock::time_point deadline) {
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            const int timeout_us = static_cast<int>(std::min<int64_t>(left.count(), 50000));
            if (pa_mainloop_prepare(loop_, timeout_us) < 0 || pa_mainloop_poll(loop_) < 0 ||
                pa_mainloop_dispatch(loop_) < 0)
                return false;
        }
        return true;
    }

    // Pauses or resumes the recording and sends the request on its way.
    void cork(bool paused) {
        if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
        if (pa_operation* op = pa_stream_cork(stream_, paused ? 1 : 0, nullptr, nullptr)) pa_operation_unref(op);
        pa_mainloop_iterate(loop_, 0, nullptr);
    }

    void close() {
        if (stream_) {
            if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        if (loop_) {
            pa_mainloop_free(loop_);
            loop_ = nullptr;
        }
    }

    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    size_t frame_bytes_ = 1;
};

}  // namespace

std::unique_ptr<AudioSource> make_platform_audio_source() { return std::make_unique<PulseSource>(); }
