#include "media/encoder_core.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <spdlog/spdlog.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

bool FrameConverter::init(uint32_t width, uint32_t height, int pixel_format) {
    reset();
    width_ = width;
    height_ = height;
    const int coded_width = static_cast<int>(coded_dimension(width));
    const int coded_height = static_cast<int>(coded_dimension(height));
    // The converter reads past the end of the caller's picture in two cases: odd
    // widths (4:2:0 chroma samples pixel pairs) and rows narrower than its SIMD
    // blocks. Those pictures, and odd heights, go through a staging copy at the coded
    // size with the edge repeated and slack at the end.
    constexpr size_t slack = 64;
    if (((width | height) & 1u) || width < 16)
        staging_.resize(static_cast<size_t>(coded_width) * 4 * static_cast<size_t>(coded_height) + slack);
    context_ = sws_getContext(coded_width, coded_height, AV_PIX_FMT_BGRA, coded_width, coded_height,
                              static_cast<AVPixelFormat>(pixel_format), SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    return context_ != nullptr;
}

void FrameConverter::reset() {
    sws_freeContext(context_);
    context_ = nullptr;
    staging_ = {};
}

void FrameConverter::convert(const uint8_t* bgra, uint32_t stride, AVFrame* frame) {
    const uint32_t coded_height = coded_dimension(height_);
    const uint8_t* source = bgra;
    if (!staging_.empty()) {
        const size_t row_bytes = static_cast<size_t>(width_) * 4;
        const size_t coded_row = static_cast<size_t>(coded_dimension(width_)) * 4;
        for (uint32_t y = 0; y < height_; ++y) {
            uint8_t* row = staging_.data() + y * coded_row;
            std::memcpy(row, bgra + static_cast<size_t>(y) * stride, row_bytes);
            if (coded_row > row_bytes) std::memcpy(row + row_bytes, row + row_bytes - 4, 4);
        }
        if (coded_height > height_)
            std::memcpy(staging_.data() + height_ * coded_row, staging_.data() + (height_ - 1) * coded_row, coded_row);
        source = staging_.data();
        stride = static_cast<uint32_t>(coded_row);
    }
    const uint8_t* const src[4] = {source, nullptr, nullptr, nullptr};
    const int src_stride[4] = {static_cast<int>(stride), 0, 0, 0};
    sws_scale(context_, src, src_stride, 0, static_cast<int>(coded_height), frame->data, frame->linesize);
}

bool EncoderCore::check_parameters(uint32_t width, uint32_t height, uint32_t fps) {
    if (width > 0 && height > 0 && width <= MAX_ENCODER_DIMENSION && height <= MAX_ENCODER_DIMENSION && fps > 0 &&
        fps <= MAX_ENCODER_FPS)
        return true;
    spdlog::default_logger_raw()->error("Invalid encoder parameters: {}x{} @ {} fps", width, height, fps);
    return false;
}

bool EncoderCore::configure(const AVCodec* codec, uint32_t width, uint32_t height, uint32_t fps,
                            uint32_t bitrate_kbps, int pixel_format) {
    close();
    width_ = width;
    height_ = height;
    pixel_format_ = pixel_format;
    frame_index_ = 0;
    requested_kbps_.store(0);
    rate_capped_ = false;
    bad_input_logged_ = false;

    context_ = avcodec_alloc_context3(codec);
    if (!context_) return false;
    context_->width = static_cast<int>(coded_dimension(width));
    context_->height = static_cast<int>(coded_dimension(height));
    context_->time_base = AVRational{1, static_cast<int>(fps)};
    context_->framerate = AVRational{static_cast<int>(fps), 1};
    context_->pix_fmt = static_cast<AVPixelFormat>(pixel_format);
    context_->bit_rate = static_cast<int64_t>(bitrate_kbps) * 1000;
    context_->gop_size = static_cast<int>(2 * fps);
    context_->max_b_frames = 0;
    return true;
}

int EncoderCore::open(const AVCodec* codec, AVDictionary** options) {
    int rc = avcodec_open2(context_, codec, options);
    av_dict_free(options);
    return rc;
}

bool EncoderCore::allocate_buffers(const char* converter_error) {
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (frame_) {
        frame_->format = pixel_format_;
        frame_->width = context_->width;
        frame_->height = context_->height;
    }
    if (!frame_ || !packet_ || av_frame_get_buffer(frame_, 0) < 0) {
        spdlog::default_logger_raw()->error("Failed to allocate encoder frame");
        return false;
    }
    if (!converter_.init(width_, height_, pixel_format_)) {
        spdlog::default_logger_raw()->error(converter_error);
        return false;
    }
    return true;
}

bool EncoderCore::encode(const uint8_t* pixels, uint32_t stride, std::vector<uint8_t>& output, bool& keyframe) {
    if (!context_ || !frame_ || !converter_.ready()) return false;
    auto* log = spdlog::default_logger_raw();
    // A row must hold the whole picture width; anything else would make the
    // converter read past the caller's buffer. Logged once until a good picture.
    if (!pixels || stride < width_ * 4 || stride > INT_MAX) {
        if (!bad_input_logged_) log->error("Invalid picture for encoder: stride {} for width {}", stride, width_);
        bad_input_logged_ = true;
        return false;
    }
    bad_input_logged_ = false;

    apply_requested_bitrate();
    if (av_frame_make_writable(frame_) < 0) return false;
    converter_.convert(pixels, stride, frame_);
    frame_->pts = static_cast<int64_t>(frame_index_++);

    int rc = avcodec_send_frame(context_, frame_);
    if (rc < 0) {
        if (log_errors_) log->error("Error sending frame to encoder: {}", rc);
        return false;
    }

    output.clear();
    keyframe = false;
    for (;;) {
        rc = avcodec_receive_packet(context_, packet_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return !output.empty();
        if (rc < 0) {
            if (log_errors_) log->error("Error receiving packet from encoder: {}", rc);
            return false;
        }
        output.insert(output.end(), packet_->data, packet_->data + packet_->size);
        if (packet_->flags & AV_PKT_FLAG_KEY) keyframe = true;
        av_packet_unref(packet_);
    }
}

void EncoderCore::request_bitrate(uint32_t kbps) {
    requested_kbps_.store(std::clamp(kbps, ENCODER_MIN_BITRATE_KBPS, ENCODER_MAX_BITRATE_KBPS));
}

void EncoderCore::apply_requested_bitrate() {
    uint32_t kbps = requested_kbps_.exchange(0);
    if (kbps != 0) set_rate(static_cast<int64_t>(kbps) * 1000);
}

void EncoderCore::cap_rate_at_bit_rate() {
    rate_capped_ = true;
    set_rate(context_->bit_rate);
}

void EncoderCore::set_rate(int64_t bits_per_second) {
    context_->bit_rate = bits_per_second;
    if (rate_capped_ && bits_per_second > 0 && bits_per_second <= INT_MAX) {
        context_->rc_max_rate = bits_per_second;
        context_->rc_buffer_size = static_cast<int>(bits_per_second);
    }
}

int64_t EncoderCore::codec_bit_rate() const { return context_ ? context_->bit_rate : 0; }

void EncoderCore::close() {
    converter_.reset();
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}
