#include "viewer/video_decoder.h"

#include <climits>
#include <cstring>
#include <fstream>
#include <memory>

#include <spdlog/spdlog.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace {

std::string error_text(int rc) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, text, sizeof(text));
    return text;
}

// Whether an Annex-B buffer holds a NAL unit a decoder can start from: a sequence
// parameter set (7) or an IDR slice (5).
bool has_entry_point(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            uint8_t type = data[i + 3] & 0x1F;
            if (type == 5 || type == 7) return true;
            i += 2;
        }
    }
    return false;
}

struct ContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// The picture's rows as PNG bytes through FFmpeg's PNG encoder; empty on failure.
std::vector<uint8_t> encode_png(const DecodedPicture& picture, std::string& failure) {
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    std::unique_ptr<AVCodecContext, ContextFree> context(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!frame || !packet || !context) {
        failure = "PNG encoder not available";
        return {};
    }
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = static_cast<int>(picture.width);
    frame->height = static_cast<int>(picture.height);
    if (int rc = av_frame_get_buffer(frame.get(), 0); rc < 0) {
        failure = error_text(rc);
        return {};
    }
    const uint32_t bpp = picture.bytes_per_pixel();
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint8_t* src = picture.pixels.data() + static_cast<size_t>(y) * picture.stride;
        uint8_t* dst = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
        for (uint32_t x = 0; x < picture.width; ++x, src += bpp, dst += 3) {
            bool bgr = picture.format == PictureFormat::Bgra;
            dst[0] = src[bgr ? 2 : 0];
            dst[1] = src[1];
            dst[2] = src[bgr ? 0 : 2];
        }
    }

    context->width = frame->width;
    context->height = frame->height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 1};
    int rc = avcodec_open2(context.get(), codec, nullptr);
    if (rc >= 0) rc = avcodec_send_frame(context.get(), frame.get());
    if (rc >= 0) rc = avcodec_send_frame(context.get(), nullptr);
    if (rc >= 0) rc = avcodec_receive_packet(context.get(), packet.get());
    if (rc < 0) {
        failure = error_text(rc);
        return {};
    }
    return {packet->data, packet->data + packet->size};
}

}  // namespace

bool write_png(const DecodedPicture& picture, const std::string& path) {
    auto* log = spdlog::default_logger_raw();
    const uint64_t row_bytes = static_cast<uint64_t>(picture.width) * picture.bytes_per_pixel();
    if (picture.width == 0 || picture.height == 0 || picture.width > INT_MAX || picture.height > INT_MAX ||
        picture.stride < row_bytes || picture.pixels.size() < static_cast<uint64_t>(picture.stride) * picture.height) {
        log->error("Failed to write snapshot {}: no picture", path);
        return false;
    }
    std::string failure;
    std::vector<uint8_t> png = encode_png(picture, failure);
    if (png.empty()) {
        log->error("Failed to write snapshot {}: {}", path, failure);
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    out.close();
    if (!out) {
        log->error("Failed to write snapshot {}: cannot write the file", path);
        return false;
    }
    return true;
}

VideoDecoder::~VideoDecoder() {
    sws_freeContext(converter_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

bool VideoDecoder::open() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (context_) {
        // One picture out per access unit in, no reordering delay.
        context_->thread_count = 1;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    }
    if (!context_ || !frame_ || !packet_ || avcodec_open2(context_, codec, nullptr) < 0) {
        spdlog::default_logger_raw()->error("Failed to open H.264 decoder");
        open_failed_ = true;
        return false;
    }
    return true;
}

bool VideoDecoder::decode(const uint8_t* data, size_t size, uint32_t width, uint32_t height) {
    if (open_failed_) return false;
    if (!context_ && !open()) return false;
    if (!data || size == 0) return true;
    if (!seen_key_) {
        if (!has_entry_point(data, size)) return true;
        seen_key_ = true;
    }
    auto* log = spdlog::default_logger_raw();
    if (size > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE) {
        log->error("Video decode error: frame of {} bytes is too large", size);
        return false;
    }
    // The decoder may read a little past the end; av_new_packet pads with zeros.
    if (av_new_packet(packet_, static_cast<int>(size)) < 0) {
        log->error("Video decode error: out of memory");
        return false;
    }
    std::memcpy(packet_->data, data, size);
    int rc = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (rc < 0 && rc != AVERROR(EAGAIN)) {
        log->error("Video decode error: {}", error_text(rc));
        return false;
    }
    for (;;) {
        rc = avcodec_receive_frame(context_, frame_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            log->error("Video decode error: {}", error_text(rc));
            return false;
        }
        bool converted = convert(frame_, width, height);
        av_frame_unref(frame_);
        if (!converted) return false;
    }
}

bool VideoDecoder::convert(const AVFrame* frame, uint32_t width, uint32_t height) {
    // Crop only ever removes the coded padding; a header claiming more is ignored.
    const int w = width > 0 && width <= static_cast<uint32_t>(frame->width) ? static_cast<int>(width) : frame->width;
    const int h =
        height > 0 && height <= static_cast<uint32_t>(frame->height) ? static_cast<int>(height) : frame->height;
    const AVPixelFormat target = format_ == PictureFormat::Rgb24 ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_BGRA;
    // Accurate rounding also keeps the converter off a fast path that leaves the last
    // (width % 8) columns unconverted.
    converter_ = sws_getCachedContext(converter_, w, h, static_cast<AVPixelFormat>(frame->format), w, h, target,
                                      SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!converter_) {
        spdlog::default_logger_raw()->error("Video decode error: cannot convert {}x{} pictures", w, h);
        return false;
    }
    picture_.format = format_;
    picture_.width = static_cast<uint32_t>(w);
    picture_.height = static_cast<uint32_t>(h);
    picture_.stride = picture_.width * picture_.bytes_per_pixel();
    picture_.pixels.resize(static_cast<size_t>(picture_.stride) * picture_.height);
    uint8_t* const dst[4] = {picture_.pixels.data(), nullptr, nullptr, nullptr};
    const int dst_stride[4] = {static_cast<int>(picture_.stride), 0, 0, 0};
    sws_scale(converter_, frame->data, frame->linesize, 0, h, dst, dst_stride);
    ++picture_count_;
    return true;
}
