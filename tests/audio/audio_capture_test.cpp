// The capture thread and its delivery rules, driven by a stand-in for the platform
// stream: what is passed on and what is not, packet sizes, and the start/stop life cycle.
#include "media/audio_capture.h"

#include <deque>
#include <mutex>
#include <numeric>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/process.h"

using namespace std::chrono_literals;
using testsupport::wait_until;

namespace {

struct SourceState {
    struct Packet {
        std::vector<uint8_t> data;  // empty: no data pointer
        uint32_t frames = 0;
        bool silent = false;
    };
    std::mutex mutex;
    std::deque<Packet> queue;
    bool open_ok = true;
    bool ended = false;
    AudioFormat format{44100, 2, 32};
    int starts = 0, stops = 0, reads = 0;

    void push(Packet p) {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(std::move(p));
    }
    int read_count() {
        std::lock_guard<std::mutex> lock(mutex);
        return reads;
    }
};

class FakeSource : public AudioSource {
public:
    explicit FakeSource(std::shared_ptr<SourceState> state) : state_(std::move(state)) {}
    bool open(AudioFormat& format) override {
        if (!state_->open_ok) return false;
        format = state_->format;
        return true;
    }
    void start() override { ++state_->starts; }
    bool read(const PacketFn& packet, const std::atomic<bool>& running) override {
        std::deque<SourceState::Packet> now;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            ++state_->reads;
            if (state_->ended) return false;
            now.swap(state_->queue);
        }
        for (const auto& p : now) {
            if (!running.load()) break;
            packet(p.data.empty() ? nullptr : p.data.data(), p.frames, p.silent);
        }
        return true;
    }
    void stop() override { ++state_->stops; }

private:
    std::shared_ptr<SourceState> state_;
};

struct Delivered {
    std::vector<uint8_t> samples;
    uint32_t rate = 0;
    uint16_t channels = 0;
};

class Recorder {
public:
    AudioCapture::Callback callback(int tag = 0) {
        return [this, tag](const std::vector<uint8_t>& s, uint32_t rate, uint16_t channels) {
            std::lock_guard<std::mutex> lock(mutex_);
            packets_.push_back({s, rate, channels});
            tags_.push_back(tag);
        };
    }
    std::vector<Delivered> packets() {
        std::lock_guard<std::mutex> lock(mutex_);
        return packets_;
    }
    std::vector<int> tags() {
        std::lock_guard<std::mutex> lock(mutex_);
        return tags_;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return packets_.size();
    }

private:
    std::mutex mutex_;
    std::vector<Delivered> packets_;
    std::vector<int> tags_;
};

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> v(size);
    std::iota(v.begin(), v.end(), seed);
    return v;
}

}  // namespace

TEST(AudioPacket, SizeArithmeticAndSilence) {
    EXPECT_EQ(audio_packet_bytes(32, 2, 480), 3840u);
    EXPECT_EQ(audio_packet_bytes(16, 2, 480), 1920u);
    EXPECT_EQ(audio_packet_bytes(24, 6, 441), 7938u);
    EXPECT_EQ(audio_packet_bytes(16, 1, 0), 0u);

    std::vector<uint8_t> zeros(1920, 0);
    EXPECT_TRUE(is_silent_audio(zeros.data(), zeros.size()));
    EXPECT_TRUE(is_silent_audio(zeros.data(), 0));
    zeros[1919] = 1;  // the quietest possible sound, in the last sample
    EXPECT_FALSE(is_silent_audio(zeros.data(), zeros.size()));
    const uint8_t minus_zero_float[4] = {0, 0, 0, 0x80};
    EXPECT_FALSE(is_silent_audio(minus_zero_float, 4));
}

TEST(AudioCaptureThread, PassesOnSoundAsDeliveredAndDropsSilentAndEmptyPackets) {
    auto state = std::make_shared<SourceState>();
    LogCapture logs;
    AudioCapture capture(std::make_unique<FakeSource>(state));
    ASSERT_TRUE(capture.initialize());
    EXPECT_TRUE(logs.contains("info|Audio capture initialized: 44100Hz, 2 channels, 32 bit"));
    EXPECT_EQ(capture.sample_rate(), 44100u);
    EXPECT_EQ(capture.channels(), 2);
    EXPECT_EQ(capture.bits_per_sample(), 32);

    // 480 frames of 2 x 32 bits are 3840 bytes, copied exactly; the silent-flagged packet
    // (even with non-zero bytes), the one without data and the empty one are skipped.
    const auto first = pattern(3840, 1), second = pattern(8, 7);
    state->push({first, 480, false});
    state->push({pattern(3840, 9), 480, true});
    state->push({{}, 480, false});
    state->push({pattern(16, 3), 0, false});
    state->push({second, 1, false});

    Recorder rec;
    capture.start(rec.callback());
    EXPECT_TRUE(capture.running());
    ASSERT_TRUE(wait_until([&] { return rec.count() >= 2; }, 2s));
    std::this_thread::sleep_for(50ms);
    capture.stop();
    auto got = rec.packets();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].samples, first);
    EXPECT_EQ(got[0].rate, 44100u);
    EXPECT_EQ(got[0].channels, 2);
    EXPECT_EQ(got[1].samples, second);
    EXPECT_EQ(state->starts, 1);
}

TEST(AudioCaptureThread, SecondStartKeepsTheFirstCallbackAndStopsAreHarmless) {
    auto state = std::make_shared<SourceState>();
    Recorder rec;
    {
        AudioCapture capture(std::make_unique<FakeSource>(state));
        ASSERT_TRUE(capture.initialize());
        capture.start(rec.callback(1));
        capture.start(rec.callback(2));
        EXPECT_EQ(state->starts, 1);
        state->push({pattern(8, 1), 1, false});
        ASSERT_TRUE(wait_until([&] { return rec.count() == 1; }, 2s));
        EXPECT_EQ(rec.tags(), std::vector<int>{1});

        const auto before = std::chrono::steady_clock::now();
        capture.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
        EXPECT_FALSE(capture.running());
        EXPECT_EQ(state->stops, 1);
        // Nothing is read or delivered once stopped.
        const int reads = state->read_count();
        state->push({pattern(8, 2), 1, false});
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(state->read_count(), reads);
        capture.stop();
    }
    // The destructor stops once more, without harm.
    EXPECT_EQ(state->stops, 3);
    EXPECT_EQ(rec.count(), 1u);
}

TEST(AudioCaptureThread, NothingStartsWithoutASuccessfulInitialize) {
    auto state = std::make_shared<SourceState>();
    state->open_ok = false;
    LogCapture logs;
    Recorder rec;
    {
        AudioCapture capture(std::make_unique<FakeSource>(state));
        EXPECT_FALSE(capture.initialize());
        capture.start(rec.callback());
        EXPECT_FALSE(capture.running());
        std::this_thread::sleep_for(30ms);
        capture.stop();
    }
    EXPECT_EQ(state->starts, 0);
    EXPECT_EQ(state->reads, 0);
    EXPECT_EQ(state->stops, 0);
    EXPECT_FALSE(logs.contains("Audio capture initialized"));

    // Never initialised at all: stop and destruction alone are harmless too.
    AudioCapture idle(std::make_unique<FakeSource>(std::make_shared<SourceState>()));
    idle.stop();
}

TEST(AudioCaptureThread, AStreamThatEndsEndsTheThreadWithOneWarning) {
    auto state = std::make_shared<SourceState>();
    LogCapture logs;
    Recorder rec;
    AudioCapture capture(std::make_unique<FakeSource>(state));
    ASSERT_TRUE(capture.initialize());
    capture.start(rec.callback());
    state->push({pattern(8, 1), 1, false});
    ASSERT_TRUE(wait_until([&] { return rec.count() == 1; }, 2s));
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->ended = true;
    }
    ASSERT_TRUE(wait_until([&] { return logs.count("warning|Audio capture ended") == 1; }, 2s)) << logs.text();
    const int reads = state->read_count();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(state->read_count(), reads) << "the thread must stop polling a stream that has ended";
    EXPECT_EQ(logs.count("warning|"), 1u);
    // A second start while the first is formally still running changes nothing.
    capture.start(rec.callback(2));
    EXPECT_EQ(state->starts, 1);
    capture.stop();
}
