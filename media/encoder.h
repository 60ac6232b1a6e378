#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/encoder_core.h"
#include "media/rate_control.h"

struct x264_t;

// H.264 encoder used by the streaming loop: BGRA desktop pictures in, Annex-B bytes
// out (one call, one picture; the bytes of every packet the codec delivered for it).
// init, encode and close run on the streaming thread; set_bitrate may be called
// from any thread at any time.
class IEncoder {
public:
    virtual ~IEncoder() = default;
    virtual bool init(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_kbps) = 0;
    // False when no bytes came out for this picture (nothing to send) or on error.
    virtual bool encode(const uint8_t* pixels, uint32_t stride, std::vector<uint8_t>& output, bool& keyframe) = 0;
    // Like encode, but only the rectangles changed since the previous picture: the rest
    // of the encoder's own copy of the picture is kept. The first picture after init,
    // and after a size change, must come through encode or with the whole picture.
    virtual bool encode_changed(const uint8_t* pixels, uint32_t stride, const std::vector<DamageRect>& rects,
                                std::vector<uint8_t>& output, bool& keyframe) {
        (void)rects;
        return encode(pixels, stride, output, keyframe);
    }
    // The next encode produces a keyframe (IDR) a viewer can start decoding from.
    // Thread-safe.
    virtual void request_keyframe() = 0;
    // Clamped to ENCODER_MIN/MAX_BITRATE_KBPS and applied before the next encode.
    virtual void set_bitrate(uint32_t kbps) = 0;
    virtual void close() = 0;
    virtual std::string name() const = 0;
};

// What the FFmpeg encoders share: everything but choosing and opening the codec.
class FfmpegEncoder : public IEncoder {
public:
    bool encode(const uint8_t* pixels, uint32_t stride, std::vector<uint8_t>& output, bool& keyframe) override {
        return core_.encode(pixels, stride, output, keyframe);
    }
    bool encode_changed(const uint8_t* pixels, uint32_t stride, const std::vector<DamageRect>& rects,
                        std::vector<uint8_t>& output, bool& keyframe) override {
        return core_.encode_changed(pixels, stride, rects, output, keyframe);
    }
    void request_keyframe() override { core_.request_keyframe(); }
    void set_bitrate(uint32_t kbps) override { core_.request_bitrate(kbps); }
    void close() override { core_.close(); }

    // Bit rate the open codec runs at (bit/s), 0 when closed. Streaming thread only.
    int64_t codec_bit_rate() const { return core_.codec_bit_rate(); }

protected:
    explicit FfmpegEncoder(bool log_errors) : core_(log_errors) {}
    EncoderCore core_;
};

// libx264, driven directly and tuned for latency: ultrafast, zerolatency, baseline,
// 4 sliced threads, an IDR every 2 x fps pictures, no B-frames. Each picture's QP comes
// from RateControl; the macroblocks outside a picture's changed rectangles are passed
// to libx264 as unchanged, so it spends next to nothing on them.
class SwEncoder : public IEncoder {
public:
    SwEncoder() = default;
    ~SwEncoder() override { close(); }
    SwEncoder(const SwEncoder&) = delete;
    SwEncoder& operator=(const SwEncoder&) = delete;

    bool init(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_kbps) override;
    bool encode(const uint8_t* pixels, uint32_t stride, std::vector<uint8_t>& output, bool& keyframe) override;
    bool encode_changed(const uint8_t* pixels, uint32_t stride, const std::vector<DamageRect>& rects,
                        std::vector<uint8_t>& output, bool& keyframe) override;
    void request_keyframe() override { keyframe_requested_.store(true); }
    void set_bitrate(uint32_t kbps) override;
    void close() override;
    std::string name() const override { return "x264 (software)"; }

    // Bit rate the open encoder runs at (bit/s), 0 when closed. Streaming thread only.
    int64_t codec_bit_rate() const { return encoder_ ? rate_.bit_rate() : 0; }

private:
    bool encode_picture(const uint8_t* pixels, uint32_t stride, const std::vector<DamageRect>* rects,
                        std::vector<uint8_t>& output, bool& keyframe);
    // Marks the macroblocks no rectangle touches as unchanged; the changed share.
    double mark_unchanged(const std::vector<DamageRect>& rects);

    x264_t* encoder_ = nullptr;
    AVFrame* frame_ = nullptr;  // the picture, kept between calls
    FrameConverter converter_;
    RateControl rate_;
    std::vector<uint8_t> mb_info_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t gop_ = 0;
    uint32_t since_keyframe_ = 0;
    int64_t frame_index_ = 0;
    bool bad_input_logged_ = false;
    std::atomic<uint32_t> requested_kbps_{0};  // 0: nothing pending
    std::atomic<bool> keyframe_requested_{false};
};

// One of FFmpeg's hardware H.264 encoders, chosen by codec name. Any other name is
// opened without options, which lets the software codec stand in for tests.
class HwEncoder : public FfmpegEncoder {
public:
    explicit HwEncoder(std::string codec_name);
    bool init(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_kbps) override;
    std::string name() const override { return display_name_; }

private:
    std::string codec_name_;
    std::string display_name_;
};

// Hardware encoders in the order the factory tries them.
inline constexpr std::array<const char*, 3> HARDWARE_ENCODER_CANDIDATES = {"h264_nvenc", "h264_amf", "h264_qsv"};

// Whether FFmpeg has the named encoder and it opens at 1280x720, 30 fps. Silent.
bool probe_hardware_codec(const std::string& codec_name);

// What create_encoder uses to look for and make encoders; empty members mean the
// real ones (probe_hardware_codec, HwEncoder, SwEncoder).
struct EncoderFactory {
    std::function<bool(const std::string&)> probe;
    std::function<std::unique_ptr<IEncoder>(const std::string&)> make_hardware;
    std::function<std::unique_ptr<IEncoder>()> make_software;
};

// First hardware candidate that probes and initialises, else the software encoder;
// null (after logging) when nothing opens.
std::unique_ptr<IEncoder> create_encoder(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_kbps,
                                         const EncoderFactory& factory = {});
