#include "media/audio_capture.h"

#include <algorithm>
#include <utility>

#include <spdlog/spdlog.h>

// The capture thread and the delivery rules shared by the platform backends
// (audio_capture_win.cpp, audio_capture_pulse.cpp), which only open and read the stream.

uint32_t audio_packet_bytes(uint16_t bits_per_sample, uint16_t channels, uint32_t frames) {
    return static_cast<uint32_t>(bits_per_sample / 8u) * channels * frames;
}

bool is_silent_audio(const uint8_t* data, size_t size) {
    return std::all_of(data, data + size, [](uint8_t b) { return b == 0; });
}

AudioCapture::AudioCapture() : AudioCapture(make_platform_audio_source()) {}

AudioCapture::AudioCapture(std::unique_ptr<AudioSource> source) : source_(std::move(source)) {}

AudioCapture::~AudioCapture() {
    stop();
    // The source releases its platform handles; the callback goes after it.
    source_.reset();
}

bool AudioCapture::initialize() {
    if (!source_) return false;
    if (initialized_) return true;  // the stream is open, and may be running
    AudioFormat format;
    if (!source_->open(format)) return false;
    sample_rate_ = format.sample_rate;
    channels_ = format.channels;
    bits_per_sample_ = format.bits_per_sample;
    initialized_ = true;
    spdlog::default_logger_raw()->info("Audio capture initialized: {}Hz, {} channels, {} bit", sample_rate_, channels_,
                                       bits_per_sample_);
    return true;
}

void AudioCapture::start(Callback callback) {
    if (running_.load() || !initialized_) return;
    callback_ = std::move(callback);
    running_.store(true);
    source_->start();
    try {
        thread_ = std::thread(&AudioCapture::run, this);
    } catch (...) {
        running_.store(false);
        source_->stop();
        throw;
    }
}

void AudioCapture::stop() {
    running_.store(false);
    if (thread_.joinable()) thread_.join();
    if (initialized_) source_->stop();
}

void AudioCapture::run() {
    const AudioSource::PacketFn packet = [this](const uint8_t* data, uint32_t frames, bool silent) {
        deliver(data, frames, silent);
    };
    while (running_.load()) {
        std::this_thread::sleep_for(POLL_INTERVAL);
        if (!source_->read(packet, running_)) {
            spdlog::default_logger_raw()->warn("Audio capture ended: the audio device or sound server went away");
            return;
        }
    }
}

void AudioCapture::deliver(const uint8_t* data, uint32_t frames, bool silent) {
    if (silent || !data || !callback_) return;
    const uint32_t size = audio_packet_bytes(bits_per_sample_, channels_, frames);
    if (size == 0) return;
    std::vector<uint8_t> samples(data, data + size);
    callback_(samples, sample_rate_, channels_);
}
