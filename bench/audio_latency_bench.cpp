// Audio latency benchmark: from the start of a tone played on the host to the first
// AudioChunk with sound at a viewer, through the agent and the development relay on
// loopback. Runs its own private sound server (null sink), virtual display, relay and
// agent, and a viewer in this process (scripts/bench-audio builds and runs it).
//
//   audio_latency_bench [--tones N] [--tone-ms MS] [--settle-ms MS]
//
// The first tone waits --settle-ms (default 3000) after the agent started recording: the
// test server's null sink renders up to 2 s ahead until it has seen the agent's latency
// request, and that start-up transient is the sink's, not the path's.
//
// Each tone is timed from two starts, both on this process's clock:
//   stream: the moment the player's stream appears on the sound server (the server's
//           "new sink-input" event), just before the player writes its first samples;
//   spawn:  the moment the player process is started (adds its start-up and connection).
// Reports every tone, then the median and the maximum of each.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "tests/support/pulse_server.h"
#include "tests/support/rig.h"
#include "viewer/viewer_session.h"

using namespace testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Times of the events one tone produces.
class Marks {
public:
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        stream_.reset();
        sound_.reset();
        last_chunk_ = Clock::now();
    }
    void stream_started() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stream_) stream_ = Clock::now();
    }
    void chunk(bool has_sound) {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        last_chunk_ = now;
        if (has_sound && !sound_) {
            sound_ = now;
            changed_.notify_all();
        }
    }
    std::optional<Clock::time_point> wait_sound(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return sound_.has_value(); });
        return sound_;
    }
    std::optional<Clock::time_point> stream() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stream_;
    }
    Clock::time_point last_chunk() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_chunk_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Clock::time_point> stream_, sound_;
    Clock::time_point last_chunk_ = Clock::now();
};

// `pactl subscribe` on a pipe, read line by line as the server reports its events.
class ServerEvents {
public:
    bool start(const PulseServer& pulse, Marks& marks) {
        int fds[2];
        if (::pipe(fds) != 0) return false;
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            if (int null = ::open("/dev/null", O_WRONLY); null >= 0) ::dup2(null, 2);
            ::close(fds[0]);
            ::close(fds[1]);
            for (const auto& [k, v] : pulse.client_env()) ::setenv(k.c_str(), v.c_str(), 1);
            ::execlp("stdbuf", "stdbuf", "-oL", "pactl", "subscribe", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        in_ = ::fdopen(fds[0], "r");
        reader_ = std::thread([this, &marks] {
            char line[512];
            while (std::fgets(line, sizeof line, in_))
                if (std::strstr(line, "'new' on sink-input")) marks.stream_started();
        });
        return true;
    }
    ~ServerEvents() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
        if (in_) std::fclose(in_);
    }

private:
    pid_t pid_ = -1;
    std::FILE* in_ = nullptr;
    std::thread reader_;
};

struct Stats {
    double median = 0, max = 0;
};

Stats stats_of(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.back()};
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int fail(const std::string& why) {
    std::fprintf(stderr, "audio_latency_bench: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int tones = 10;
    int tone_ms = 400;
    int settle_ms = 3000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--tones") == 0) tones = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--tone-ms") == 0) tone_ms = std::max(50, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--settle-ms") == 0) settle_ms = std::max(0, std::atoi(argv[i + 1]));
    }
    spdlog::set_level(spdlog::level::warn);

    PulseServer pulse;
    if (!pulse.start(true, 48000, 2)) return fail(pulse.error());
    Rig rig;
    if (!rig.start_system(640, 480)) return fail(rig.error());
    if (!rig.start_agent(pulse.client_env())) return fail(rig.error());
    const auto recording_since = Clock::now();
    if (rig.agent().out().find("Audio capture initialized") == std::string::npos)
        return fail("the agent has no audio: " + rig.agent().out());

    Marks marks;
    ViewerHandlers handlers;
    handlers.on_audio = [&marks](const AudioChunkMsg& a) {
        marks.chunk(std::any_of(a.samples.begin(), a.samples.end(), [](uint8_t b) { return b != 0; }));
    };
    ViewerSession viewer;
    viewer.set_handlers(handlers);
    ViewerOptions o;
    o.server_url = rig.server_url();
    o.machine_id = rig.machine_id();
    o.token = rig.token();
    if (!viewer.connect(o) || !viewer.wait_ready(15s)) return fail("viewer not ready: " + viewer.last_error());

    ServerEvents events;
    if (!events.start(pulse, marks)) return fail("cannot watch the sound server's events");
    const auto settled = recording_since + std::chrono::milliseconds(settle_ms);
    std::this_thread::sleep_until(std::max(Clock::now() + 500ms, settled));

    const std::string wav = pulse.dir() / "tone.wav";
    if (!write_wav_s16(wav, sine_tone(1000, tone_ms / 1000.0, 48000, 2), 48000, 2)) return fail("cannot write " + wav);

    std::vector<double> from_stream, from_spawn;
    for (int t = 1; t <= tones; ++t) {
        // Start from silence: nothing of the previous tone still on its way.
        while (Clock::now() - marks.last_chunk() < 300ms) std::this_thread::sleep_for(20ms);
        marks.reset();
        Process player;
        const auto spawned = Clock::now();
        if (!pulse.play(player, wav)) return fail("cannot start paplay");
        auto sound = marks.wait_sound(5s);
        if (!sound) return fail("tone " + std::to_string(t) + " never reached the viewer");
        if (player.wait(10s).value_or(-1) != 0) return fail("paplay failed: " + player.err());
        auto stream = marks.stream();
        const double spawn_ms = ms(*sound - spawned);
        from_spawn.push_back(spawn_ms);
        if (stream) {
            from_stream.push_back(ms(*sound - *stream));
            std::printf("tone %2d: %6.1f ms from stream start, %6.1f ms from paplay start\n", t, from_stream.back(),
                        spawn_ms);
        } else {
            std::printf("tone %2d: stream start not seen, %6.1f ms from paplay start\n", t, spawn_ms);
        }
        std::fflush(stdout);
    }
    const Stats s = stats_of(from_stream), p = stats_of(from_spawn);
    std::printf("audio latency over %d tones of %d ms: from stream start median %.1f ms, max %.1f ms (%zu timed); "
                "from paplay start median %.1f ms, max %.1f ms\n",
                tones, tone_ms, s.median, s.max, from_stream.size(), p.median, p.max);
    viewer.close();
    return 0;
}
