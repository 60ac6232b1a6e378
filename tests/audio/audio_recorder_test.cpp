// The viewer's audio accounting and WAV output.
#include "viewer/audio_recorder.h"

#include <gtest/gtest.h>

#include "tests/support/process.h"

using testsupport::read_file;
using testsupport::TempDir;

namespace {

uint32_t u32_at(const std::string& s, size_t at) {
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])); };
    return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}
uint16_t u16_at(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}

AudioChunkMsg chunk(uint32_t rate, uint16_t channels, size_t bytes, uint8_t fill) {
    AudioChunkMsg c;
    c.sample_rate = rate;
    c.channels = channels;
    c.samples.assign(bytes, fill);
    return c;
}

}  // namespace

TEST(AudioRecorder, HeaderDescribesTheSamples) {
    auto h = wav_header(48000, 2, SampleEncoding::S16, 1000);
    std::string s(h.begin(), h.end());
    ASSERT_EQ(s.size(), 44u);
    EXPECT_EQ(s.substr(0, 4), "RIFF");
    EXPECT_EQ(u32_at(s, 4), 1036u);
    EXPECT_EQ(s.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(u16_at(s, 20), 1);         // PCM
    EXPECT_EQ(u16_at(s, 22), 2);         // channels
    EXPECT_EQ(u32_at(s, 24), 48000u);    // rate
    EXPECT_EQ(u32_at(s, 28), 192000u);   // bytes per second
    EXPECT_EQ(u16_at(s, 32), 4);         // block align
    EXPECT_EQ(u16_at(s, 34), 16);        // bits
    EXPECT_EQ(s.substr(36, 4), "data");
    EXPECT_EQ(u32_at(s, 40), 1000u);

    auto f = wav_header(44100, 6, SampleEncoding::F32, 0);
    std::string t(f.begin(), f.end());
    EXPECT_EQ(u16_at(t, 20), 3);  // IEEE float
    EXPECT_EQ(u32_at(t, 28), 44100u * 24);
    EXPECT_EQ(u16_at(t, 32), 24);
    EXPECT_EQ(u16_at(t, 34), 32);

    EXPECT_EQ(parse_sample_encoding("f32"), SampleEncoding::F32);
    EXPECT_FALSE(parse_sample_encoding("S16"));
}

TEST(AudioRecorder, CountsSecondsOfSoundAtEachChunksRate) {
    AudioRecorder s16;
    s16.add(chunk(48000, 2, 1920, 1));  // 10 ms
    s16.add(chunk(48000, 2, 1920, 1));
    s16.add(chunk(24000, 1, 480, 1));  // 10 ms at another format
    s16.add(chunk(0, 2, 100, 1));      // no rate: counted, no length
    const auto& a = s16.summary();
    EXPECT_EQ(a.chunks, 4u);
    EXPECT_EQ(a.bytes, 1920u * 2 + 480 + 100);
    EXPECT_NEAR(a.seconds, 0.030, 1e-9);
    EXPECT_EQ(a.format_changes, 2u);
    EXPECT_EQ(a.sample_rate, 0u);

    AudioRecorder f32(SampleEncoding::F32);
    f32.add(chunk(48000, 2, 3840, 1));
    EXPECT_NEAR(f32.summary().seconds, 0.010, 1e-9);
}

TEST(AudioRecorder, WavFileHoldsTheFirstFormatsWholeFrames) {
    TempDir dir;
    const std::string path = dir / "sound.wav";
    {
        AudioRecorder rec;
        ASSERT_TRUE(rec.open_wav(path));
        rec.add(chunk(44100, 2, 8, 0x11));
        rec.add(chunk(48000, 2, 8, 0x22));  // another format: left out
        rec.add(chunk(44100, 2, 6, 0x33));  // one whole frame and half of one
        EXPECT_TRUE(rec.finish_wav());
        EXPECT_EQ(rec.wav_bytes(), 12u);
        EXPECT_EQ(rec.wav_skipped(), 1u);
        EXPECT_TRUE(rec.finish_wav());  // a second finish is harmless
    }
    std::string s = read_file(path);
    ASSERT_EQ(s.size(), 44u + 12);
    EXPECT_EQ(u32_at(s, 4), 36u + 12);
    EXPECT_EQ(u16_at(s, 22), 2);
    EXPECT_EQ(u32_at(s, 24), 44100u);
    EXPECT_EQ(u32_at(s, 40), 12u);
    EXPECT_EQ(s.substr(44), std::string(8, '\x11') + std::string(4, '\x33'));

    // No chunk at all still leaves a valid, empty file; the destructor finishes it.
    const std::string empty = dir / "empty.wav";
    {
        AudioRecorder rec;
        ASSERT_TRUE(rec.open_wav(empty));
    }
    std::string e = read_file(empty);
    ASSERT_EQ(e.size(), 44u);
    EXPECT_EQ(u32_at(e, 24), 48000u);
    EXPECT_EQ(u32_at(e, 40), 0u);

    AudioRecorder bad;
    EXPECT_FALSE(bad.open_wav(dir / "no-such-folder/x.wav"));
}
