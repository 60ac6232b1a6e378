#pragma once

// What a viewer receives of the host's sound: chunk counts, the format, the length of
// the sound, and optionally a WAV file of it.
//
// AudioChunk carries the sample rate and channel count but not the sample encoding:
// hosts on Linux send 16-bit signed integers, hosts on Windows their device's mix
// format, which is nearly always 32-bit float. The viewer is told which to assume.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "net/protocol.h"

enum class SampleEncoding { S16, F32 };

// "s16" or "f32".
std::optional<SampleEncoding> parse_sample_encoding(const std::string& name);
uint16_t bytes_per_sample(SampleEncoding encoding);

struct AudioSummary {
    uint64_t chunks = 0;
    uint64_t bytes = 0;        // sample bytes
    uint32_t sample_rate = 0;  // of the latest chunk
    uint16_t channels = 0;
    double seconds = 0;        // of sound, summed chunk by chunk at each chunk's own rate
    uint64_t format_changes = 0;  // chunks whose rate or channels differ from the one before
};

// The 44-byte header of a WAV file of interleaved samples (PCM for S16, IEEE float for
// F32) with data_bytes bytes of samples.
std::vector<uint8_t> wav_header(uint32_t sample_rate, uint16_t channels, SampleEncoding encoding,
                                uint32_t data_bytes);

// Collects audio chunks; not thread-safe (callers lock).
class AudioRecorder {
public:
    explicit AudioRecorder(SampleEncoding encoding = SampleEncoding::S16) : encoding_(encoding) {}
    ~AudioRecorder();
    AudioRecorder(const AudioRecorder&) = delete;
    AudioRecorder& operator=(const AudioRecorder&) = delete;

    // Starts a WAV file; false when it cannot be created. The file takes the format of
    // the first chunk; chunks in another format, and what would pass the format's 4 GiB
    // limit, are counted but not written.
    bool open_wav(const std::string& path);
    void add(const AudioChunkMsg& chunk);
    // Writes the final sizes into the header and closes the file (48 kHz stereo when no
    // chunk came). False when any write failed. Harmless without a file.
    bool finish_wav();

    const AudioSummary& summary() const { return summary_; }
    uint64_t wav_bytes() const { return wav_bytes_; }
    uint64_t wav_skipped() const { return wav_skipped_; }  // chunks not written to the file
    SampleEncoding encoding() const { return encoding_; }

private:
    void write_to_wav(const AudioChunkMsg& chunk);

    SampleEncoding encoding_;
    AudioSummary summary_;
    std::FILE* wav_ = nullptr;
    bool wav_ok_ = true;
    uint32_t wav_rate_ = 0;
    uint16_t wav_channels_ = 0;
    uint64_t wav_bytes_ = 0;
    uint64_t wav_skipped_ = 0;
};
