// Pipeline benchmark: desktop pictures from the platform capture (X11 on Linux) through
// the streaming loop's own per-picture work (VideoStream: changed areas only, colour
// conversion, H.264, the video message) and sealing once per viewer. Run on a display
// with moving content (scripts/bench-pipeline sets up Xvfb and the test pattern).
//
//   pipeline_bench [--frames N] [--viewers N] [--fps N] [--bitrate KBPS] [--unpaced] [--full] [--json]
//
// --unpaced runs without pacing; --full treats every picture as wholly changed (the
// ceiling of capture, conversion and encoding, independent of how fast the screen
// changes). Reports the median and 95th-percentile milliseconds of one picture's work
// and of sealing, pictures per second, CPU seconds per picture and the peak resident
// memory.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "media/encoder.h"
#include "media/screen_capture.h"
#include "media/video_stream.h"
#include "net/e2e_crypto.h"
#include "net/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

struct Stage {
    const char* name;
    std::vector<double> ms;
    double percentile(double p) {
        if (ms.empty()) return 0;
        std::sort(ms.begin(), ms.end());
        size_t i = std::min(ms.size() - 1, static_cast<size_t>(p * static_cast<double>(ms.size() - 1) + 0.5));
        return ms[i];
    }
};

struct Options {
    int frames = 300;
    int viewers = 1;
    uint32_t fps = 30;
    uint32_t bitrate = 4000;
    bool paced = true;
    bool json = false;
    bool full = false;  // every picture wholly changed
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](int& v) {
            if (i + 1 >= argc) return false;
            v = std::atoi(argv[++i]);
            return v > 0;
        };
        int v = 0;
        if (a == "--frames" && next(v)) o.frames = v;
        else if (a == "--viewers" && next(v)) o.viewers = v;
        else if (a == "--fps" && next(v)) o.fps = static_cast<uint32_t>(v);
        else if (a == "--bitrate" && next(v)) o.bitrate = static_cast<uint32_t>(v);
        else if (a == "--unpaced") o.paced = false;
        else if (a == "--json") o.json = true;
        else if (a == "--full") o.full = true;
        else return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: %s [--frames N] [--viewers N] [--fps N] [--bitrate KBPS] [--unpaced] [--full] [--json]\n",
                     argv[0]);
        return 2;
    }
    spdlog::set_level(spdlog::level::warn);

    ScreenCapture capture;
    if (!capture.initialize(0)) {
        std::fprintf(stderr, "pipeline_bench: no display to capture (set DISPLAY)\n");
        return 1;
    }
    const uint32_t w = capture.width(), h = capture.height();
    std::unique_ptr<IEncoder> encoder = create_encoder(w, h, opt.fps, opt.bitrate);
    if (!encoder) return 1;

    // Ready sessions, one per viewer, as the relay client holds them.
    std::vector<std::unique_ptr<E2ECrypto>> sessions;
    for (int i = 0; i < opt.viewers; ++i) {
        auto agent = std::make_unique<E2ECrypto>();
        E2ECrypto viewer;
        agent->generate_keypair();
        viewer.generate_keypair();
        agent->derive_shared_key(viewer.get_public_key());
        sessions.push_back(std::move(agent));
    }
    const std::string session_id(36, 'a');

    Stage step_ms{"picture", {}}, seal_ms{"seal", {}};
    size_t encoded_bytes = 0, sealed_bytes = 0;
    int frames_done = 0, idle_polls = 0;
    double seal_this_frame = 0;
    StreamRequests requests;
    VideoStream stream(capture, encoder, requests, opt.fps, opt.bitrate);
    VideoSink sink;
    sink.send = [&](const std::vector<uint8_t>& message, bool) {
        auto t = Clock::now();
        for (auto& s : sessions) {
            std::vector<uint8_t> envelope = s->encrypt(message);
            std::vector<uint8_t> relay_frame;
            relay_frame.reserve(envelope.size() + 36);
            relay_frame.insert(relay_frame.end(), session_id.begin(), session_id.end());
            relay_frame.insert(relay_frame.end(), envelope.begin(), envelope.end());
            sealed_bytes += relay_frame.size();
        }
        encoded_bytes += message.size() - VIDEO_FRAME_HEADER;
        seal_this_frame = ms_since(t);
        return true;
    };
    const auto interval = std::chrono::microseconds(1000000 / opt.fps);
    const double cpu_start = cpu_seconds();
    const auto wall_start = Clock::now();
    auto deadline = wall_start + std::chrono::seconds(30 + opt.frames / std::max(1u, opt.fps) * 4);
    auto next = wall_start;

    while (frames_done < opt.frames && Clock::now() < deadline) {
        next += interval;
        if (next < Clock::now()) next = Clock::now();
        auto t = Clock::now();
        if (opt.full) capture.request_full_frame();
        const int wait_ms = opt.paced ? static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                             next - Clock::now()).count())
                                      : 16;
        VideoStream::Step step = stream.step(sink, std::max(0, wait_ms));
        if (step != VideoStream::Step::Sent) {
            ++idle_polls;
            if (opt.paced) std::this_thread::sleep_until(next);
            continue;
        }
        step_ms.ms.push_back(ms_since(t) - seal_this_frame);
        seal_ms.ms.push_back(seal_this_frame);
        ++frames_done;
        if (opt.paced) std::this_thread::sleep_until(next);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
    const double cpu = cpu_seconds() - cpu_start;
    if (encoder) encoder->close();
    capture.shutdown();

    const double fps = frames_done / wall;
    const double cpu_per_frame = frames_done ? cpu / frames_done : 0;
    const double kbps = wall > 0 ? static_cast<double>(encoded_bytes) * 8 / wall / 1000 : 0;
    Stage* stages[] = {&step_ms, &seal_ms};
    if (opt.json) {
        std::printf("{\"width\":%u,\"height\":%u,\"viewers\":%d,\"frames\":%d,\"paced\":%s,\"fps\":%.2f,"
                    "\"cpu_s_per_frame\":%.5f,\"peak_rss_kib\":%ld,\"kbps\":%.1f",
                    w, h, opt.viewers, frames_done, opt.paced ? "true" : "false", fps, cpu_per_frame, peak_rss_kib(),
                    kbps);
        for (Stage* s : stages) std::printf(",\"%s_median_ms\":%.3f,\"%s_p95_ms\":%.3f", s->name, s->percentile(0.5), s->name, s->percentile(0.95));
        std::printf("}\n");
    } else {
        std::printf("pipeline %ux%u, %d viewer(s), %d frames, %s at %u fps target, encoder %s\n", w, h, opt.viewers,
                    frames_done, opt.paced ? "paced" : "unpaced", opt.fps, encoder ? encoder->name().c_str() : "-");
        for (Stage* s : stages)
            std::printf("  %-8s median %8.3f ms   p95 %8.3f ms\n", s->name, s->percentile(0.5), s->percentile(0.95));
        std::printf("  achieved %.2f fps, %.5f CPU s/frame, %.0f kbit/s, peak RSS %.1f MiB, %d empty polls, %zu bytes sealed\n",
                    fps, cpu_per_frame, kbps, peak_rss_kib() / 1024.0, idle_polls, sealed_bytes);
    }
    return frames_done == opt.frames ? 0 : 1;
}
