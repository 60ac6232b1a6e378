// Stream benchmark: the real agent against the development relay and viewers in this
// process, beside ffmpeg's x11grab + libx264 on the same virtual display, in one run.
// scripts/bench-pipeline builds and runs it.
//
//   stream_bench [--width W] [--height H] [--joins N] [--seconds S] [--slow-seconds S]
//                [--only idle|still|moving|small|fps60|slow]
//
// With ZARVEX_BENCH_PERF=FILE the agent is recorded with `perf record -g` while a phase's
// CPU is measured.
//
// Measures: the agent's CPU per moving picture against ffmpeg's; the same for a desktop
// where only a terminal in a quarter of the screen scrolls; join latency (key-exchange
// reply to the first decoded picture) on a still and on a moving screen; gaps between
// pictures at the viewer at 30 and 60 fps; the agent idle, on a still screen and with ten
// viewers; and the age of arriving pictures while the relay link carries a quarter of
// the bit rate, with the recovery once it is fast again. Ends with one JSON line.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "tests/e2e/throttle_proxy.h"
#include "tests/support/rig.h"
#include "viewer/video_decoder.h"
#include "viewer/viewer_session.h"

using namespace testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

// User + system CPU seconds of a process (and its reaped children) from /proc.
double process_cpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(f);
        if (i == 15) break;
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One viewer that decodes what it gets and times it.
class Viewer {
public:
    explicit Viewer(bool decode = true) : decode_(decode) {}
    // The connection's thread calls into the members below: stop it before they go.
    ~Viewer() { session.close(); }
    bool join(const Rig& rig) {
        ViewerHandlers h;
        h.on_ready = [this](const std::string&) {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_at_ = Clock::now();
        };
        h.on_video = [this](const VideoFrameMsg& m) {
            const auto now = Clock::now();
            std::lock_guard<std::mutex> lock(mutex_);
            ++frames_;
            if (last_) gaps_ms_.push_back(std::chrono::duration<double, std::milli>(now - *last_).count());
            last_ = now;
            ages_.push_back({now, (static_cast<double>(monotonic_us()) - static_cast<double>(m.timestamp_us)) / 1000});
            if (!decode_) return;
            if (!decoder_.decode(m.data, m.width, m.height)) ++errors_;
            if (!first_picture_ && decoder_.has_picture()) first_picture_ = now;
        };
        session.set_handlers(h);
        ViewerOptions o;
        o.server_url = rig.server_url();
        o.machine_id = rig.machine_id();
        o.token = rig.token();
        o.auto_reconnect = false;
        return session.connect(o) && session.wait_ready(15s);
    }
    // Key-exchange reply to first decoded picture, in ms; none yet.
    std::optional<double> join_ms() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready_at_ || !first_picture_) return std::nullopt;
        return std::chrono::duration<double, std::milli>(*first_picture_ - *ready_at_).count();
    }
    uint64_t frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    int errors() {
        std::lock_guard<std::mutex> lock(mutex_);
        return errors_;
    }
    std::vector<double> take_gaps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(gaps_ms_, {});
    }
    // Ages (ms) of the pictures that arrived in [from, to).
    std::vector<double> ages(Clock::time_point from, Clock::time_point to) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<double> out;
        for (auto& [at, age] : ages_)
            if (at >= from && at < to) out.push_back(age);
        return out;
    }

    ViewerSession session;

private:
    bool decode_;
    std::mutex mutex_;
    VideoDecoder decoder_{PictureFormat::Bgra};
    std::optional<Clock::time_point> ready_at_, first_picture_, last_;
    std::vector<double> gaps_ms_;
    std::vector<std::pair<Clock::time_point, double>> ages_;
    uint64_t frames_ = 0;
    int errors_ = 0;
};

struct Options {
    int width = 1920, height = 1080;
    int joins = 20;
    int seconds = 10;
    int slow_seconds = 30;
    std::string only;  // one phase: idle, still, moving, small, fps60, slow
    bool wants(const char* phase) const { return only.empty() || only == phase; }
};

class Bench {
public:
    explicit Bench(Options o) : opt_(o) {}

    bool setup() {
        if (!rig_.start_system(opt_.width, opt_.height)) {
            std::fprintf(stderr, "stream_bench: %s\n", rig_.error().c_str());
            return false;
        }
        config_path_ = rig_.appdata() + "/VantorAgent/config.json";
        config_ = read_file(config_path_);
        return true;
    }

    // (Re)starts the agent with a frame rate and, optionally, a relay address of its own.
    bool agent(int fps, const std::string& server_url = {}) {
        rig_.agent().stop();
        std::string cfg = config_;
        replace(cfg, "\"target_fps\": 30", "\"target_fps\": " + std::to_string(fps));
        if (!server_url.empty()) replace(cfg, rig_.server_url(), server_url);
        write_file(config_path_, cfg);
        if (!rig_.start_agent()) {
            std::fprintf(stderr, "stream_bench: %s\n", rig_.error().c_str());
            return false;
        }
        return true;
    }

    bool screen(const std::vector<std::string>& argv) {
        screen_.stop();
        std::vector<std::string> args = argv;
        args[0] = bin(args[0]);
        if (!screen_.start(args, {{"DISPLAY", rig_.display()}})) return false;
        bool ok = screen_.wait_for_output("ready", 10s);
        std::this_thread::sleep_for(500ms);
        return ok;
    }

    // Agent CPU seconds over a time span.
    double agent_cpu(std::chrono::milliseconds span) {
        const double start = process_cpu(rig_.agent().pid());
        Process perf;
        if (const char* file = std::getenv("ZARVEX_BENCH_PERF"))
            perf.start({"/usr/bin/perf", "record", "-q", "-g", "-o", file, "-p", std::to_string(rig_.agent().pid()),
                        "--", "sleep", std::to_string(std::chrono::duration<double>(span).count())});
        std::this_thread::sleep_for(span);
        const double cpu = process_cpu(rig_.agent().pid()) - start;
        perf.wait(10s);
        return cpu;
    }

    // ffmpeg's CPU seconds per picture on the display, same size, rate and bit rate.
    double ffmpeg_cpu_per_frame(int fps, int frames) {
        Process ff;
        const std::string size = std::to_string(opt_.width) + "x" + std::to_string(opt_.height);
        ff.start({"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "x11grab", "-framerate",
                  std::to_string(fps), "-video_size", size, "-i", rig_.display(), "-frames:v", std::to_string(frames),
                  "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-profile:v", "baseline",
                  "-b:v", "4M", "-threads", "4", "-f", "null", "-"});
        double cpu = 0;
        // Sample until it exits: /proc disappears with the process.
        for (int i = 0; i < 6000 && ff.running(); ++i) {
            double c = process_cpu(ff.pid());
            if (c > 0) cpu = c;
            std::this_thread::sleep_for(10ms);
        }
        ff.wait(5s);
        return cpu / frames;
    }

    std::vector<double> joins(int count) {
        std::vector<double> out;
        for (int i = 0; i < count; ++i) {
            auto v = std::make_unique<Viewer>();
            if (!v->join(rig_)) continue;
            wait_until([&] { return v->join_ms().has_value(); }, 5s);
            if (auto ms = v->join_ms()) out.push_back(*ms);
            v->session.close();
            std::this_thread::sleep_for(300ms);
        }
        return out;
    }

    Rig& rig() { return rig_; }
    const Options& opt() const { return opt_; }

private:
    static void replace(std::string& s, const std::string& from, const std::string& to) {
        size_t at = s.find(from);
        if (at != std::string::npos) s.replace(at, from.size(), to);
    }

    Options opt_;
    Rig rig_;
    Process screen_;
    std::string config_path_, config_;
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        int v = std::atoi(argv[i + 1]);
        if (a == "--only") opt.only = argv[i + 1];
        else if (a == "--width") opt.width = v;
        else if (a == "--height") opt.height = v;
        else if (a == "--joins") opt.joins = v;
        else if (a == "--seconds") opt.seconds = v;
        else if (a == "--slow-seconds") opt.slow_seconds = v;
    }
    spdlog::set_level(spdlog::level::warn);
    Bench b(opt);
    if (!b.setup()) return 1;
    const auto span = std::chrono::seconds(opt.seconds);

    // Idle: no viewer.
    if (!b.screen({"zarvex-testpattern", "--moving", "--fps", "60"}) || !b.agent(30)) return 1;
    std::this_thread::sleep_for(1s);
    double idle_pct = 0;
    if (opt.wants("idle")) idle_pct = b.agent_cpu(5s) / 5.0 * 100;

    // Still screen: one viewer, joins, CPU against ffmpeg's.
    std::vector<double> join_still;
    double still_cpu = 0, ffmpeg_still = 1;
    if (opt.wants("still")) {
        b.screen({"zarvex-testpattern", "--static"});
        std::this_thread::sleep_for(1s);
        join_still = b.joins(opt.joins);
        {
            Viewer v(false);
            v.join(b.rig());
            std::this_thread::sleep_for(1s);
            still_cpu = b.agent_cpu(span) / opt.seconds;  // per second
        }
        ffmpeg_still = b.ffmpeg_cpu_per_frame(30, 30 * opt.seconds) * 30;  // per second
    }

    // Moving screen at 30 fps.
    std::vector<double> join_moving;
    double moving_cpu_frame = 0, gaps30_p50 = 0, gaps30_p95 = 0, ten_ratio = 0, one_cpu = 0, ffmpeg_moving = 1;
    int moving_errors = 0;
    if (opt.wants("moving")) {
        b.screen({"zarvex-testpattern", "--moving", "--fps", "60"});
        join_moving = b.joins(opt.joins);
        {
            Viewer v;
            v.join(b.rig());
            std::this_thread::sleep_for(1s);
            v.take_gaps();
            const uint64_t f0 = v.frames();
            const double cpu = b.agent_cpu(span);
            const uint64_t frames = v.frames() - f0;
            moving_cpu_frame = frames ? cpu / static_cast<double>(frames) : 0;
            one_cpu = cpu;
            std::vector<double> gaps = v.take_gaps();
            gaps30_p50 = percentile(gaps, 0.5);
            gaps30_p95 = percentile(gaps, 0.95);
            moving_errors = v.errors();
            std::vector<std::unique_ptr<Viewer>> more;
            for (int i = 0; i < 9; ++i) {
                more.push_back(std::make_unique<Viewer>(false));
                more.back()->join(b.rig());
            }
            std::this_thread::sleep_for(1s);
            ten_ratio = b.agent_cpu(span) / std::max(one_cpu, 1e-9);
        }
        ffmpeg_moving = b.ffmpeg_cpu_per_frame(30, 30 * opt.seconds);
    }

    // Small changes: a terminal scrolling in a quarter of the screen.
    double small_cpu_frame = 0, ffmpeg_small = 1;
    if (opt.wants("small")) {
        b.screen({"scroll_desktop", "--fps", "30"});
        {
            Viewer v(false);
            v.join(b.rig());
            std::this_thread::sleep_for(1s);
            const uint64_t f0 = v.frames();
            const double cpu = b.agent_cpu(span);
            const uint64_t frames = v.frames() - f0;
            small_cpu_frame = frames ? cpu / static_cast<double>(frames) : 0;
        }
        ffmpeg_small = b.ffmpeg_cpu_per_frame(30, 30 * opt.seconds);
    }

    // 60 fps: gaps and the rate sustained.
    double gaps60_p50 = 0, gaps60_p95 = 0, fps60 = 0;
    if (opt.wants("fps60")) {
        b.screen({"zarvex-testpattern", "--moving", "--fps", "120"});
        if (!b.agent(60)) return 1;
        {
            Viewer v(false);
            v.join(b.rig());
            std::this_thread::sleep_for(1s);
            v.take_gaps();
            const uint64_t f0 = v.frames();
            std::this_thread::sleep_for(span);
            fps60 = static_cast<double>(v.frames() - f0) / opt.seconds;
            std::vector<double> gaps = v.take_gaps();
            gaps60_p50 = percentile(gaps, 0.5);
            gaps60_p95 = percentile(gaps, 0.95);
        }
    }

    // The relay link at a quarter of the bit rate, then fast again.
    double age10 = 0, age30 = 0, recovery_ms = -1, slow_fps = 0;
    int slow_errors = 0;
    uint64_t slow_lost = 0;
    ThrottleProxy link;
    if (opt.wants("slow")) {
        b.screen({"zarvex-testpattern", "--moving", "--fps", "60"});
        link.start(b.rig().port());
        link.set_rate(4000 * 1000 / 8 / 4);
        if (!b.agent(30, "http://127.0.0.1:" + std::to_string(link.port()))) return 1;
        {
            Viewer v;
            v.join(b.rig());
            const auto start = Clock::now();
            const uint64_t f0 = v.frames();
            std::this_thread::sleep_for(std::chrono::seconds(opt.slow_seconds));
            const auto end = Clock::now();
            slow_fps = static_cast<double>(v.frames() - f0) / opt.slow_seconds;
            age10 = percentile(v.ages(start + 5s, start + 10s), 0.95);
            age30 = percentile(v.ages(end - 5s, end), 0.95);
            link.set_rate(0);
            const auto fast = Clock::now();
            wait_until(
                [&] {
                    auto recent = v.ages(Clock::now() - 300ms, Clock::now());
                    return !recent.empty() && percentile(recent, 0.95) < 100;
                },
                10s);
            recovery_ms = std::chrono::duration<double, std::milli>(Clock::now() - fast).count();
            std::this_thread::sleep_for(1s);
            slow_errors = v.errors();
            slow_lost = v.session.lost_messages();
        }
    }

    auto p95 = [](const std::vector<double>& v) { return percentile(v, 0.95); };
    std::printf("idle agent: %.2f %% of a core\n", idle_pct);
    std::printf("still screen, one viewer: %.4f CPU s/s, ffmpeg %.4f CPU s/s, ratio %.3f\n", still_cpu, ffmpeg_still,
                still_cpu / ffmpeg_still);
    std::printf("join latency still:  p50 %.1f ms, p95 %.1f ms, max %.1f ms over %zu joins\n",
                percentile(join_still, 0.5), p95(join_still), percentile(join_still, 1.0), join_still.size());
    std::printf("join latency moving: p50 %.1f ms, p95 %.1f ms, max %.1f ms over %zu joins\n",
                percentile(join_moving, 0.5), p95(join_moving), percentile(join_moving, 1.0), join_moving.size());
    std::printf("moving 30 fps: %.5f CPU s/frame, ffmpeg %.5f, ratio %.3f; gaps p50 %.1f ms p95 %.1f ms (%.2f intervals); "
                "%d decode errors\n",
                moving_cpu_frame, ffmpeg_moving, moving_cpu_frame / ffmpeg_moving, gaps30_p50, gaps30_p95,
                gaps30_p95 / (1000.0 / 30), moving_errors);
    std::printf("ten viewers: %.3f x one viewer's CPU\n", ten_ratio);
    std::printf("small changes: %.5f CPU s/frame, ffmpeg %.5f, ratio %.3f\n", small_cpu_frame, ffmpeg_small,
                small_cpu_frame / ffmpeg_small);
    std::printf("60 fps: %.1f fps sustained; gaps p50 %.1f ms p95 %.1f ms (%.2f intervals)\n", fps60, gaps60_p50,
                gaps60_p95, gaps60_p95 / (1000.0 / 60));
    std::printf("quarter-rate link: %.1f fps through; age p95 %.0f ms at 10 s, %.0f ms at %d s; %d decode errors, %llu "
                "lost; back under 100 ms %.0f ms after the link recovered\n",
                slow_fps, age10, age30, opt.slow_seconds, slow_errors, static_cast<unsigned long long>(slow_lost),
                recovery_ms);
    std::printf("{\"idle_pct\":%.3f,\"still_ratio\":%.4f,\"join_still_p95_ms\":%.1f,\"join_moving_p95_ms\":%.1f,"
                "\"moving_cpu_ratio\":%.3f,\"small_cpu_ratio\":%.3f,\"gap30_p95_intervals\":%.2f,"
                "\"gap60_p95_intervals\":%.2f,\"fps60\":%.1f,\"ten_viewers_ratio\":%.3f,\"slow_age_p95_10s_ms\":%.0f,"
                "\"slow_age_p95_end_ms\":%.0f,\"slow_decode_errors\":%d,\"recovery_ms\":%.0f}\n",
                idle_pct, still_cpu / ffmpeg_still, p95(join_still), p95(join_moving), moving_cpu_frame / ffmpeg_moving,
                small_cpu_frame / ffmpeg_small, gaps30_p95 / (1000.0 / 30), gaps60_p95 / (1000.0 / 60), fps60,
                ten_ratio, age10, age30, slow_errors, recovery_ms);
    return 0;
}
