#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "media/bitrate.h"
#include "media/damage.h"

// FFmpeg types are only named here; encoder_core.cpp includes the FFmpeg headers.
struct AVCodec;
struct AVCodecContext;
struct AVDictionary;
struct AVFrame;
struct AVPacket;

// Largest picture side the encoders accept (H.264 level 6.2 is 8192; leave headroom).
inline constexpr uint32_t MAX_ENCODER_DIMENSION = 16384;
inline constexpr uint32_t MAX_ENCODER_FPS = 1000;

// 4:2:0 needs even sides: odd sizes are coded one pixel larger, the last column
// and row repeated.
inline uint32_t coded_dimension(uint32_t size) { return size + (size & 1u); }

// BGRA desktop pictures into an encoder input frame (YUV420P or NV12) of the same
// size, no scaling, with libyuv. Rows are read at the caller's stride and never beyond
// width * 4 bytes; for odd sizes the frame (sized with coded_dimension) gets its extra
// column and row from the last real ones. Only the given rectangles are converted, so a
// frame that persists between pictures stays whole when only they changed.
class FrameConverter {
public:
    FrameConverter() = default;
    ~FrameConverter() { reset(); }
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // pixel_format is an AVPixelFormat value (AV_PIX_FMT_YUV420P or AV_PIX_FMT_NV12).
    bool init(uint32_t width, uint32_t height, int pixel_format);
    // The frame must be writable and at least coded_dimension(width) x coded_dimension(height).
    void convert(const uint8_t* bgra, uint32_t stride, AVFrame* frame);
    // Converts the rectangles only (clipped and widened to even corners here).
    void convert(const uint8_t* bgra, uint32_t stride, AVFrame* frame, const std::vector<DamageRect>& rects);
    void reset();
    bool ready() const { return ready_; }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }

private:
    void convert_rect(const uint8_t* bgra, uint32_t stride, AVFrame* frame, const DamageRect& r);

    bool ready_ = false;
    bool nv12_ = false;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
};

// Whether an encoder of the given width can read the picture (every row at least
// width * 4 bytes). A rejected picture is logged once until a good one comes.
bool readable_picture(const uint8_t* pixels, uint32_t stride, uint32_t width, bool& logged);

// What the FFmpeg encoders share once their codec is chosen: the codec context, the
// reusable input frame and output packet, the converter, the time stamp counter and
// the bit rate requested from other threads.
class EncoderCore {
public:
    // log_errors: write the send/receive error lines during encode.
    explicit EncoderCore(bool log_errors) : log_errors_(log_errors) {}
    ~EncoderCore() { close(); }
    EncoderCore(const EncoderCore&) = delete;
    EncoderCore& operator=(const EncoderCore&) = delete;

    // Size and rate an encoder can be opened with; logs the rejected values.
    static bool check_parameters(uint32_t width, uint32_t height, uint32_t fps);

    // Frees whatever a previous init left, allocates the context for codec and sets
    // size, time base, frame rate, pixel format, bit rate, GOP (2 x fps) and no
    // B-frames. False only when the context cannot be allocated.
    bool configure(const AVCodec* codec, uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_kbps,
                   int pixel_format);
    AVCodecContext* context() { return context_; }
    // avcodec_open2 with the options (freed here); returns FFmpeg's result code.
    int open(const AVCodec* codec, AVDictionary** options);
    // Frame, packet and converter; logs the failure with converter_error for the
    // converter. False on any failure.
    bool allocate_buffers(const char* converter_error);

    bool encode(const uint8_t* pixels, uint32_t stride, std::vector<uint8_t>& output, bool& keyframe);
    // Converts only the rectangles into the frame kept from the previous picture.
    bool encode_changed(const uint8_t* pixels, uint32_t stride, const std::vector<DamageRect>& rects,
                        std::vector<uint8_t>& output, bool& keyframe);
    // Thread-safe: the next encode is coded as an IDR picture.
    void request_keyframe() { keyframe_requested_.store(true); }
    // Thread-safe: stored now, applied by the next encode on the encoding thread.
    void request_bitrate(uint32_t kbps);
    void close();

    // Bit rate of the open codec context in bit/s, 0 when closed. Encoding thread only.
    int64_t codec_bit_rate() const;

private:
    bool encode_frame(std::vector<uint8_t>& output, bool& keyframe);
    bool check_input(const uint8_t* pixels, uint32_t stride);
    void apply_requested_bitrate();
    void set_rate(int64_t bits_per_second);

    bool log_errors_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    FrameConverter converter_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    int pixel_format_ = -1;
    uint64_t frame_index_ = 0;
    std::atomic<uint32_t> requested_kbps_{0};  // 0: nothing pending
    bool bad_input_logged_ = false;
    std::atomic<bool> keyframe_requested_{false};
};
