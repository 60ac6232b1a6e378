// System audio end to end: a tone played into the test's own sound server reaches
// viewers through the relay as AudioChunk messages holding that tone, silence sends
// nothing, and video goes on without a sound server or after it died.
#include <atomic>
#include <mutex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/audio/tone_analysis.h"
#include "tests/support/pulse_server.h"
#include "tests/support/rig.h"
#include "viewer/viewer_session.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// An in-process viewer that keeps the audio it receives and counts the pictures.
class AudioViewer {
public:
    bool join(const Rig& rig) {
        ViewerHandlers h;
        h.on_audio = [this](const AudioChunkMsg& a) {
            std::lock_guard<std::mutex> lock(mutex_);
            chunks_.push_back(a);
        };
        h.on_video = [this](const VideoFrameMsg&) { ++video_; };
        session_.set_handlers(h);
        ViewerOptions o;
        o.server_url = rig.server_url();
        o.machine_id = rig.machine_id();
        o.token = rig.token();
        return session_.connect(o) && session_.wait_ready(15s);
    }
    std::vector<AudioChunkMsg> audio() {
        std::lock_guard<std::mutex> lock(mutex_);
        return chunks_;
    }
    size_t audio_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return chunks_.size();
    }
    size_t video_count() const { return video_.load(); }

private:
    ViewerSession session_;
    std::mutex mutex_;
    std::vector<AudioChunkMsg> chunks_;
    std::atomic<size_t> video_{0};
};

// Rate, channels and samples of the chunks, which must all share one format.
struct Received {
    uint32_t rate = 0;
    uint16_t channels = 0;
    std::vector<uint8_t> samples;
    bool one_format = true;
};

Received join_chunks(const std::vector<AudioChunkMsg>& chunks) {
    Received r;
    for (const auto& c : chunks) {
        if (r.rate == 0) r.rate = c.sample_rate, r.channels = c.channels;
        r.one_format = r.one_format && c.sample_rate == r.rate && c.channels == r.channels;
        r.samples.insert(r.samples.end(), c.samples.begin(), c.samples.end());
    }
    return r;
}

void expect_tone(const std::vector<uint8_t>& s16, uint32_t rate, uint16_t channels, double frequency) {
    for (uint16_t c = 0; c < channels; ++c)
        EXPECT_NEAR(audiotest::dominant_frequency(audiotest::channel_of(s16, channels, c), rate), frequency, 3.0)
            << "channel " << c;
}

uint32_t le32(const std::string& s, size_t at) {
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])); };
    return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

class AudioStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.start_system(640, 480)) << rig.error();
        ASSERT_TRUE(rig.start_pattern("--moving"));
    }
    // Declared first so that the agent (in the rig) stops before its sound server.
    PulseServer pulse;
    Rig rig;
};

}  // namespace

TEST_F(AudioStream, ToneReachesViewersAndSilenceSendsNothing) {
    ASSERT_TRUE(pulse.start(true, 48000, 2)) << pulse.error();
    ASSERT_TRUE(rig.start_agent(pulse.client_env())) << rig.error();
    EXPECT_NE(rig.agent().out().find("] [info] Audio capture initialized: 48000Hz, 2 channels, 16 bit"),
              std::string::npos)
        << rig.agent().out();

    AudioViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    // The command-line viewer alongside, writing what it hears to a WAV file.
    const std::string heard = rig.dir() / "heard.wav";
    auto args = rig.viewer_args();
    for (const char* a : {"--seconds", "10", "--json", "--audio-wav"}) args.push_back(a);
    args.push_back(heard);
    Process cli;
    ASSERT_TRUE(cli.start(args));
    ASSERT_TRUE(cli.wait_for_output("ready (key exchange complete)", 15s)) << cli.err();
    ASSERT_TRUE(wait_until([&] { return viewer.video_count() > 0; }, 15s));

    std::this_thread::sleep_for(1s);
    EXPECT_EQ(viewer.audio_count(), 0u) << "silence before the tone must send no AudioChunk";

    const std::string tone = pulse.dir() / "tone.wav";
    ASSERT_TRUE(write_wav_s16(tone, sine_tone(1000, 2.0, 48000, 2), 48000, 2));
    Process player;
    ASSERT_TRUE(pulse.play(player, tone));
    ASSERT_EQ(player.wait(15s), 0) << player.err();
    std::this_thread::sleep_for(1s);
    const size_t after_tone = viewer.audio_count();
    const size_t video_after_tone = viewer.video_count();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(viewer.audio_count(), after_tone) << "silence after the tone must send no AudioChunk";
    EXPECT_GT(viewer.video_count(), video_after_tone) << "video goes on beside the audio";

    Received got = join_chunks(viewer.audio());
    ASSERT_GT(after_tone, 0u);
    EXPECT_TRUE(got.one_format);
    EXPECT_EQ(got.rate, 48000u);
    EXPECT_EQ(got.channels, 2);
    const double seconds = got.samples.size() / 4.0 / 48000;
    EXPECT_GE(seconds, 1.5);
    EXPECT_LE(seconds, 2.5);
    expect_tone(got.samples, 48000, 2, 1000);

    // The command-line viewer reports the same sound and wrote it to the file.
    ASSERT_EQ(cli.wait(20s), 0) << cli.err();
    auto summary = nlohmann::json::parse(cli.out(), nullptr, false);
    ASSERT_TRUE(summary.is_object()) << cli.out();
    const auto& audio = summary["audio"];
    EXPECT_EQ(audio["sample_rate"], 48000);
    EXPECT_EQ(audio["channels"], 2);
    EXPECT_GE(audio["seconds"].get<double>(), 1.5);
    EXPECT_LE(audio["seconds"].get<double>(), 2.5);
    EXPECT_EQ(audio["chunks"], summary["messages"]["audio_chunk"]["count"]);
    const std::string wav = read_file(heard);
    ASSERT_GT(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(wav, 24), 48000u);
    EXPECT_EQ(le32(wav, 40), wav.size() - 44);
    EXPECT_EQ(le32(wav, 40), audio["bytes"].get<uint64_t>());
    expect_tone(std::vector<uint8_t>(wav.begin() + 44, wav.end()), 48000, 2, 1000);
}

TEST_F(AudioStream, WithoutASoundServerTheAgentStreamsVideoOnly) {
    ASSERT_TRUE(rig.start_agent(pulse.unreachable_env())) << rig.error();
    const std::string out = rig.agent().out();
    EXPECT_NE(out.find("] [error] No default audio device found"), std::string::npos) << out;
    EXPECT_NE(out.find("] [warning] Audio capture not available, continuing without audio"), std::string::npos)
        << out;
    AudioViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    EXPECT_TRUE(wait_until([&] { return viewer.video_count() >= 10; }, 15s));
    EXPECT_EQ(viewer.audio_count(), 0u);
}

TEST_F(AudioStream, SoundServerDyingMidStreamLeavesVideoFlowing) {
    ASSERT_TRUE(pulse.start()) << pulse.error();
    ASSERT_TRUE(rig.start_agent(pulse.client_env())) << rig.error();
    AudioViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    const std::string tone = pulse.dir() / "tone.wav";
    ASSERT_TRUE(write_wav_s16(tone, sine_tone(440, 5.0, 48000, 2), 48000, 2));
    Process player;
    ASSERT_TRUE(pulse.play(player, tone));
    ASSERT_TRUE(wait_until([&] { return viewer.audio_count() > 0; }, 10s));

    pulse.kill();
    ASSERT_TRUE(rig.agent().wait_for_output("] [warning] Audio capture ended", 5s)) << rig.agent().out();
    std::this_thread::sleep_for(300ms);
    const size_t audio = viewer.audio_count();
    const size_t video = viewer.video_count();
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(rig.agent().running());
    EXPECT_GT(viewer.video_count(), video + 10) << "video must go on after the sound server died";
    EXPECT_EQ(viewer.audio_count(), audio);
    const std::string out = rig.agent().out();
    EXPECT_EQ(out.find("] [warning] Audio capture ended"), out.rfind("] [warning] Audio capture ended"))
        << "one warning, not one per poll";
}
