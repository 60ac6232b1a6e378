#pragma once

// System audio: what the machine is playing, recorded from the default playback device
// and handed over in packets of raw interleaved frames with their sample rate and channel
// count. Windows records the device in loopback through WASAPI (shared mode, the mix
// format as it is); Linux records the monitor of the sound server's default sink over
// the PulseAudio protocol (16-bit signed little-endian, the sink's own rate and channel
// count). Nothing is converted or compressed on the way.
//
//   AudioCapture audio;
//   if (audio.initialize())                       // logs one error line when it fails
//       audio.start([](const std::vector<uint8_t>& samples, uint32_t rate, uint16_t channels) { ... });
//   ...
//   audio.stop();

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

// Format of the captured stream.
struct AudioFormat {
    uint32_t sample_rate = 48000;   // frames per second
    uint16_t channels = 2;
    uint16_t bits_per_sample = 16;  // container bits of one sample
};

// Bytes taken by `frames` interleaved frames: bits_per_sample / 8 x channels x frames,
// computed in 32 bits as the platform interfaces count frames.
uint32_t audio_packet_bytes(uint16_t bits_per_sample, uint16_t channels, uint32_t frames);

// True when every byte is zero: digital silence in the integer formats and in float.
bool is_silent_audio(const uint8_t* data, size_t size);

// The platform's half of the capture: one stream from the default playback device.
// open, start and stop run on the owner's thread; read runs on the capture thread, and
// never at the same time as the others.
class AudioSource {
public:
    // One packet as the platform returned it: `frames` frames at `data` (null when the
    // platform has no data for them), and whether the platform flagged it silent.
    using PacketFn = std::function<void(const uint8_t* data, uint32_t frames, bool silent)>;

    virtual ~AudioSource() = default;

    // Opens the stream without starting it and fills `format`. False after one error line.
    virtual bool open(AudioFormat& format) = 0;
    virtual void start() = 0;
    // Passes every packet available now to `packet`, in order, while `running` stays
    // true. False once the stream has ended for good (its device or server went away);
    // the caller then stops reading.
    virtual bool read(const PacketFn& packet, const std::atomic<bool>& running) = 0;
    // Stops the stream. Harmless when it never started, and when called twice.
    virtual void stop() = 0;
};

// The backend this build was made with (audio_capture_win.cpp, audio_capture_pulse.cpp).
std::unique_ptr<AudioSource> make_platform_audio_source();

class AudioCapture {
public:
    // Receives every packet that holds sound; runs on the capture thread.
    using Callback = std::function<void(const std::vector<uint8_t>& samples, uint32_t sample_rate, uint16_t channels)>;

    static constexpr std::chrono::milliseconds POLL_INTERVAL{10};

    // Records the platform's default playback device.
    AudioCapture();
    // Records whatever `source` delivers; lets tests stand in for the device.
    explicit AudioCapture(std::unique_ptr<AudioSource> source);
    ~AudioCapture();  // stops the capture; must not run inside the callback
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Opens the stream and takes over its format; logs "Audio capture initialized: ..."
    // on success and one error line on failure. Once it has succeeded, further calls
    // change nothing and return true.
    bool initialize();

    // Starts the stream and the capture thread, which polls every POLL_INTERVAL and
    // passes each packet with sound to `callback`: the frames exactly as the platform
    // delivered them, with sample_rate() and channels(). Silent packets are not passed on.
    // While running, or when initialize did not succeed, the callback is dropped and
    // nothing changes. A stream that ends by itself (device or server gone) ends the
    // thread with one warning line.
    void start(Callback callback);

    // Stops and joins the capture thread, then the stream. Harmless when never started
    // and when called twice. Must not be called from inside the callback.
    void stop();

    uint32_t sample_rate() const { return sample_rate_; }
    uint16_t channels() const { return channels_; }
    uint16_t bits_per_sample() const { return bits_per_sample_; }
    bool running() const { return running_.load(); }

private:
    void run();
    void deliver(const uint8_t* data, uint32_t frames, bool silent);

    std::unique_ptr<AudioSource> source_;  // the platform stream and its handles
    uint32_t sample_rate_ = 48000;
    uint16_t channels_ = 2;
    uint16_t bits_per_sample_ = 16;
    Callback callback_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    bool initialized_ = false;
};
