#include "viewer/audio_recorder.h"

#include <limits>

namespace {

constexpr size_t WAV_HEADER_SIZE = 44;
// The RIFF size field counts the file after its first 8 bytes in 32 bits.
constexpr uint64_t MAX_WAV_DATA = std::numeric_limits<uint32_t>::max() - (WAV_HEADER_SIZE - 8);
constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;

void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    put_u16(out, static_cast<uint16_t>(v & 0xFFFF));
    put_u16(out, static_cast<uint16_t>(v >> 16));
}

void put_tag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

}  // namespace

std::optional<SampleEncoding> parse_sample_encoding(const std::string& name) {
    if (name == "s16") return SampleEncoding::S16;
    if (name == "f32") return SampleEncoding::F32;
    return std::nullopt;
}

uint16_t bytes_per_sample(SampleEncoding encoding) { return encoding == SampleEncoding::S16 ? 2 : 4; }

std::vector<uint8_t> wav_header(uint32_t sample_rate, uint16_t channels, SampleEncoding encoding,
                                uint32_t data_bytes) {
    const uint16_t sample_bytes = bytes_per_sample(encoding);
    const auto block_align = static_cast<uint16_t>(sample_bytes * channels);
    std::vector<uint8_t> h;
    h.reserve(WAV_HEADER_SIZE);
    put_tag(h, "RIFF");
    put_u32(h, static_cast<uint32_t>(WAV_HEADER_SIZE - 8 + data_bytes));
    put_tag(h, "WAVE");
    put_tag(h, "fmt ");
    put_u32(h, 16);
    put_u16(h, encoding == SampleEncoding::S16 ? WAVE_FORMAT_PCM : WAVE_FORMAT_IEEE_FLOAT);
    put_u16(h, channels);
    put_u32(h, sample_rate);
    put_u32(h, sample_rate * block_align);
    put_u16(h, block_align);
    put_u16(h, static_cast<uint16_t>(sample_bytes * 8));
    put_tag(h, "data");
    put_u32(h, data_bytes);
    return h;
}

AudioRecorder::~AudioRecorder() { finish_wav(); }

bool AudioRecorder::open_wav(const std::string& path) {
    finish_wav();
    wav_ = std::fopen(path.c_str(), "wb");
    if (!wav_) return false;
    wav_ok_ = true;
    wav_rate_ = 0;
    wav_channels_ = 0;
    wav_bytes_ = 0;
    wav_skipped_ = 0;
    // Sizes and format are filled in by finish_wav.
    const auto header = wav_header(48000, 2, encoding_, 0);
    wav_ok_ = std::fwrite(header.data(), 1, header.size(), wav_) == header.size();
    return true;
}

void AudioRecorder::add(const AudioChunkMsg& chunk) {
    ++summary_.chunks;
    summary_.bytes += chunk.samples.size();
    if (summary_.chunks > 1 && (chunk.sample_rate != summary_.sample_rate || chunk.channels != summary_.channels))
        ++summary_.format_changes;
    summary_.sample_rate = chunk.sample_rate;
    summary_.channels = chunk.channels;
    if (chunk.sample_rate != 0 && chunk.channels != 0) {
        const double frame_bytes = static_cast<double>(bytes_per_sample(encoding_)) * chunk.channels;
        summary_.seconds += static_cast<double>(chunk.samples.size()) / frame_bytes / chunk.sample_rate;
    }
    if (wav_) write_to_wav(chunk);
}

void AudioRecorder::write_to_wav(const AudioChunkMsg& chunk) {
    if (chunk.sample_rate == 0 || chunk.channels == 0) {
        ++wav_skipped_;
        return;
    }
    if (wav_rate_ == 0) {
        wav_rate_ = chunk.sample_rate;
        wav_channels_ = chunk.channels;
    }
    // Whole frames only: a partial one would shift every later sample to the next channel.
    const size_t frame_bytes = static_cast<size_t>(bytes_per_sample(encoding_)) * chunk.channels;
    const size_t size = chunk.samples.size() / frame_bytes * frame_bytes;
    if (chunk.sample_rate != wav_rate_ || chunk.channels != wav_channels_ || wav_bytes_ + size > MAX_WAV_DATA) {
        ++wav_skipped_;
        return;
    }
    if (size == 0) return;
    if (std::fwrite(chunk.samples.data(), 1, size, wav_) != size) wav_ok_ = false;
    wav_bytes_ += size;
}

bool AudioRecorder::finish_wav() {
    if (!wav_) return true;
    const uint32_t rate = wav_rate_ ? wav_rate_ : 48000;
    const uint16_t channels = wav_channels_ ? wav_channels_ : 2;
    const auto header = wav_header(rate, channels, encoding_, static_cast<uint32_t>(wav_bytes_));
    bool ok = wav_ok_ && std::fseek(wav_, 0, SEEK_SET) == 0 &&
              std::fwrite(header.data(), 1, header.size(), wav_) == header.size();
    ok = std::fclose(wav_) == 0 && ok;
    wav_ = nullptr;
    return ok;
}
