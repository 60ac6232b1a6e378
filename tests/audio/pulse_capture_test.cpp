// The PulseAudio backend against a private server: the sink's own format, a tone that
// comes through sample for sample while silence does not, the failure lines, and a
// server that dies under a running capture.
#include <cstdlib>
#include <mutex>

#include <gtest/gtest.h>

#include "media/audio_capture.h"
#include "tests/audio/tone_analysis.h"
#include "tests/support/log_capture.h"
#include "tests/support/pulse_server.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Points this process's PulseAudio clients at the given environment while it lives.
class ScopedEnv {
public:
    explicit ScopedEnv(const std::map<std::string, std::string>& env) {
        for (const auto& [k, v] : env) {
            const char* old = std::getenv(k.c_str());
            saved_.emplace_back(k, old ? std::optional<std::string>(old) : std::nullopt);
            ::setenv(k.c_str(), v.c_str(), 1);
        }
    }
    ~ScopedEnv() {
        for (const auto& [k, v] : saved_) {
            if (v) ::setenv(k.c_str(), v->c_str(), 1);
            else ::unsetenv(k.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

struct Sound {
    std::mutex mutex;
    std::vector<uint8_t> bytes;
    size_t packets = 0;
    uint32_t rate = 0;
    uint16_t channels = 0;

    AudioCapture::Callback callback() {
        return [this](const std::vector<uint8_t>& s, uint32_t r, uint16_t c) {
            std::lock_guard<std::mutex> lock(mutex);
            bytes.insert(bytes.end(), s.begin(), s.end());
            ++packets;
            rate = r;
            channels = c;
        };
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets;
    }
};

}  // namespace

TEST(PulseCapture, TakesTheDefaultSinksRateAndChannels) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.start(true, 44100, 1)) << pulse.error();
    ScopedEnv env(pulse.client_env());
    LogCapture logs;
    AudioCapture capture;
    ASSERT_TRUE(capture.initialize()) << logs.text();
    EXPECT_EQ(capture.sample_rate(), 44100u);
    EXPECT_EQ(capture.channels(), 1);
    EXPECT_EQ(capture.bits_per_sample(), 16);
    EXPECT_TRUE(logs.contains("info|Audio capture initialized: 44100Hz, 1 channels, 16 bit")) << logs.text();
    // Opened but not started: the stream must not be recording yet.
    auto outputs = pulse.pactl({"list", "source-outputs"});
    ASSERT_TRUE(outputs);
    EXPECT_NE(outputs->find("Corked: yes"), std::string::npos) << *outputs;
}

TEST(PulseCapture, ToneComesThroughAndSilenceIsNotDelivered) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.start(true, 48000, 2)) << pulse.error();
    ScopedEnv env(pulse.client_env());
    AudioCapture capture;
    ASSERT_TRUE(capture.initialize());
    Sound sound;
    capture.start(sound.callback());

    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(sound.count(), 0u) << "an idle sink plays silence, which is not delivered";

    const std::string wav = pulse.dir() / "tone.wav";
    ASSERT_TRUE(write_wav_s16(wav, sine_tone(1000, 1.0, 48000, 2), 48000, 2));
    Process player;
    ASSERT_TRUE(pulse.play(player, wav));
    ASSERT_TRUE(wait_until([&] { return sound.count() > 0; }, 3s)) << player.err();
    ASSERT_EQ(player.wait(10s), 0) << player.err();
    std::this_thread::sleep_for(300ms);
    const size_t after_tone = sound.count();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(sound.count(), after_tone) << "silence after the tone must not be delivered";
    capture.stop();

    std::lock_guard<std::mutex> lock(sound.mutex);
    EXPECT_EQ(sound.rate, 48000u);
    EXPECT_EQ(sound.channels, 2);
    // Small packets: about 10 ms each, so that they reach the viewers quickly.
    EXPECT_GT(sound.packets, 40u);
    const double seconds = sound.bytes.size() / 4.0 / 48000;
    EXPECT_GT(seconds, 0.9);
    EXPECT_LT(seconds, 1.15);
    for (uint16_t c = 0; c < 2; ++c) {
        auto x = audiotest::channel_of(sound.bytes, 2, c);
        EXPECT_NEAR(audiotest::dominant_frequency(x, 48000), 1000.0, 2.0) << "channel " << c;
        const double peak = *std::max_element(x.begin(), x.end());
        EXPECT_NEAR(peak, 0.5 * 32767, 200) << "samples arrive unscaled";
    }
}

TEST(PulseCapture, NoServerOrNoSinkFailsWithOneErrorLine) {
    PulseServer pulse;
    {
        ScopedEnv env(pulse.unreachable_env());
        LogCapture logs;
        AudioCapture capture;
        const auto before = std::chrono::steady_clock::now();
        EXPECT_FALSE(capture.initialize());
        EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
        EXPECT_EQ(logs.count("error|"), 1u) << logs.text();
        EXPECT_TRUE(logs.contains("error|No default audio device found")) << logs.text();
        capture.start([](const std::vector<uint8_t>&, uint32_t, uint16_t) {});
        EXPECT_FALSE(capture.running());
    }
    ASSERT_TRUE(pulse.start(false)) << pulse.error();
    ScopedEnv env(pulse.client_env());
    LogCapture logs;
    AudioCapture capture;
    EXPECT_FALSE(capture.initialize());
    EXPECT_EQ(logs.count("error|"), 1u) << logs.text();
    EXPECT_TRUE(logs.contains("error|No default audio device found")) << logs.text();
}

TEST(PulseCapture, ServerThatDiesEndsCaptureWithOneWarning) {
    PulseServer pulse;
    ASSERT_TRUE(pulse.start()) << pulse.error();
    ScopedEnv env(pulse.client_env());
    LogCapture logs;
    AudioCapture capture;
    ASSERT_TRUE(capture.initialize());
    Sound sound;
    capture.start(sound.callback());
    const std::string wav = pulse.dir() / "tone.wav";
    ASSERT_TRUE(write_wav_s16(wav, sine_tone(440, 3.0, 48000, 2), 48000, 2));
    Process player;
    ASSERT_TRUE(pulse.play(player, wav));
    ASSERT_TRUE(wait_until([&] { return sound.count() > 0; }, 3s));

    pulse.kill();
    ASSERT_TRUE(wait_until([&] { return logs.contains("warning|Audio capture ended"); }, 3s)) << logs.text();
    const size_t packets = sound.count();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sound.count(), packets);
    EXPECT_EQ(logs.count("warning|"), 1u) << logs.text();
    const auto before = std::chrono::steady_clock::now();
    capture.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
}
