#include "media/encoder_core.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <spdlog/spdlog.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

#include <libyuv/convert_from_argb.h>

bool FrameConverter::init(uint32_t width, uint32_t height, int pixel_format) {
    reset();
    if (width == 0 || height == 0) return false;
    if (pixel_format != AV_PIX_FMT_YUV420P && pixel_format != AV_PIX_FMT_NV12) return false;
    width_ = width;
    height_ = height;
    nv12_ = pixel_format == AV_PIX_FMT_NV12;
    ready_ = true;
    return true;
}

void FrameConverter::reset() {
    ready_ = false;
    width_ = height_ = 0;
}

void FrameConverter::convert(const uint8_t* bgra, uint32_t stride, AVFrame* frame) {
    convert_rect(bgra, stride, frame,
                 DamageRect{0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)});
}

void FrameConverter::convert(const uint8_t* bgra, uint32_t stride, AVFrame* frame,
                             const std::vector<DamageRect>& rects) {
    for (const DamageRect& r : rects) convert_rect(bgra, stride, frame, widen_to_even(r, width_, height_));
}

void FrameConverter::convert_rect(const uint8_t* bgra, uint32_t stride, AVFrame* frame, const DamageRect& r) {
    if (!ready_ || r.empty()) return;
    // Even corners (widen_to_even): chroma sample (x / 2, y / 2) covers exactly the
    // pixels of this rectangle. An odd picture's last column or row is converted on its
    // own, libyuv taking the chroma from the single pixel.
    const size_t x = static_cast<size_t>(r.x), y = static_cast<size_t>(r.y);
    const uint8_t* src = bgra + y * stride + x * 4;
    uint8_t* luma = frame->data[0] + y * static_cast<size_t>(frame->linesize[0]) + x;
    if (nv12_) {
        uint8_t* uv = frame->data[1] + (y / 2) * static_cast<size_t>(frame->linesize[1]) + x;
        libyuv::ARGBToNV12(src, static_cast<int>(stride), luma, frame->linesize[0], uv, frame->linesize[1], r.width,
                           r.height);
    } else {
        uint8_t* u = frame->data[1] + (y / 2) * static_cast<size_t>(frame->linesize[1]) + x / 2;
        uint8_t* v = frame->data[2] + (y / 2) * static_cast<size_t>(frame->linesize[2]) + x / 2;
        libyuv::ARGBToI420(src, static_cast<int>(stride), luma, frame->linesize[0], u, frame->linesize[1], v,
                           frame->linesize[2], r.width, r.height);
    }
    // The coded picture's extra column and row repeat the last real ones.
    const size_t luma_stride = static_cast<size_t>(frame->linesize[0]);
    const bool right_edge = (width_ & 1u) && static_cast<uint32_t>(r.right()) == width_;
    const bool bottom_edge = (height_ & 1u) && static_cast<uint32_t>(r.bottom()) == height_;
    if (right_edge) {
        for (int32_t row = r.y; row < r.bottom(); ++row) {
            uint8_t* line = frame->data[0] + static_cast<size_t>(row) * luma_stride;
            line[width_] = line[width_ - 1];
        }
    }
    if (bottom_edge) {
        uint8_t* last = frame->data[0] + static_cast<size_t>(height_ - 1) * luma_stride;
        const size_t span = static_cast<size_t>(r.width) + (right_edge ? 1 : 0);
        std::memcpy(last + luma_stride + x, last + x, span);
    }
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

bool readable_picture(const uint8_t* pixels, uint32_t stride, uint32_t width, bool& logged) {
    // A row must hold the whole picture width; anything else would make the
    // converter read past the caller's buffer. Logged once until a good picture.
    if (!pixels || stride < width * 4 || stride > INT_MAX) {
        if (!logged)
            spdlog::default_logger_raw()->error("Invalid picture for encoder: stride {} for width {}", stride, width);
        logged = true;
        return false;
    }
    logged = false;
    return true;
}

bool EncoderCore::check_input(const uint8_t* pixels, uint32_t stride) {
    if (!context_ || !frame_ || !converter_.ready()) return false;
    if (!readable_picture(pixels, stride, width_, bad_input_logged_)) return false;
    apply_requested_bitrate();
    return av_frame_make_writable(frame_) >= 0;
}

bool EncoderCore::encode(const uint8_t* pixels, uint32_t stride, std::vector<uint8_t>& output, bool& keyframe) {
    if (!check_input(pixels, stride)) return false;
    converter_.convert(pixels, stride, frame_);
    return encode_frame(output, keyframe);
}

bool EncoderCore::encode_changed(const uint8_t* pixels, uint32_t stride, const std::vector<DamageRect>& rects,
                                 std::vector<uint8_t>& output, bool& keyframe) {
    if (!check_input(pixels, stride)) return false;
    converter_.convert(pixels, stride, frame_, rects);
    return encode_frame(output, keyframe);
}

bool EncoderCore::encode_frame(std::vector<uint8_t>& output, bool& keyframe) {
    auto* log = spdlog::default_logger_raw();
    frame_->pts = static_cast<int64_t>(frame_index_++);
    // A requested keyframe: the codecs are opened with forced IDR, so an intra picture
    // asked for here is one a decoder can start from.
    const bool force = keyframe_requested_.exchange(false);
    frame_->pict_type = force ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

    int rc = avcodec_send_frame(context_, frame_);
    frame_->pict_type = AV_PICTURE_TYPE_NONE;
    if (rc < 0) {
        if (force) keyframe_requested_.store(true);
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
    requested_kbps_.store(clamp_bitrate_kbps(kbps));
}

void EncoderCore::apply_requested_bitrate() {
    uint32_t kbps = requested_kbps_.exchange(0);
    if (kbps != 0) set_rate(static_cast<int64_t>(kbps) * 1000);
}

void EncoderCore::set_rate(int64_t bits_per_second) { context_->bit_rate = bits_per_second; }

int64_t EncoderCore::codec_bit_rate() const { return context_ ? context_->bit_rate : 0; }

void EncoderCore::close() {
    converter_.reset();
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}
