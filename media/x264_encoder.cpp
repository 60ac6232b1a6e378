// The software encoder: libx264 through its own interface, which takes a QP and
// unchanged-macroblock hints per picture (FFmpeg's wrapper passes neither).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include <spdlog/spdlog.h>
#include <x264.h>

#include "media/encoder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace {

constexpr int MB = 16;

uint32_t mb_count(uint32_t size) { return (size + MB - 1) / MB; }

// libx264 at the coded size, tuned for latency, at a constant QP that each picture
// overrides; null when it does not open.
x264_t* open_x264(uint32_t width, uint32_t height, uint32_t fps) {
    x264_param_t param;
    if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0) return nullptr;
    param.i_threads = 4;
    param.i_width = static_cast<int>(width);
    param.i_height = static_cast<int>(height);
    param.i_csp = X264_CSP_I420;
    param.i_fps_num = fps;
    param.i_fps_den = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = fps;
    param.i_bframe = 0;
    // Keyframes are placed by SwEncoder (every 2 x fps pictures, and on request) so that
    // the rate control knows each picture's kind before it is coded; no scene cuts.
    param.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    param.i_scenecut_threshold = 0;
    // Constant QP, set per picture by SwEncoder. libx264 clamps a picture's QP to the range its
    // QP and I/P and P/B ratios span; these extremes make that range the whole scale.
    param.rc.i_rc_method = X264_RC_CQP;
    param.rc.i_qp_constant = 30;
    param.rc.f_ip_factor = 0.01f;
    param.rc.f_pb_factor = 0.01f;
    param.rc.b_mb_tree = 0;
    param.analyse.i_weighted_pred = X264_WEIGHTP_NONE;
    param.analyse.b_mb_info = 1;
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.i_log_level = X264_LOG_ERROR;
    if (x264_param_apply_profile(&param, "baseline") < 0) return nullptr;
    return x264_encoder_open(&param);
}

}  // namespace

bool SwEncoder::init(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_kbps) {
    auto* log = spdlog::default_logger_raw();
    close();
    if (!EncoderCore::check_parameters(width, height, fps)) return false;
    width_ = width;
    height_ = height;
    gop_ = 2 * fps;
    since_keyframe_ = gop_;  // the first picture is a keyframe
    frame_index_ = 0;
    bad_input_logged_ = false;
    requested_kbps_.store(0);
    const uint32_t coded_w = coded_dimension(width), coded_h = coded_dimension(height);

    encoder_ = open_x264(coded_w, coded_h, fps);
    if (!encoder_) {
        log->error("Failed to open codec: {}", -1);
        return false;
    }

    frame_ = av_frame_alloc();
    if (frame_) {
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = static_cast<int>(coded_w);
        frame_->height = static_cast<int>(coded_h);
    }
    if (!frame_ || av_frame_get_buffer(frame_, 0) < 0) {
        log->error("Failed to allocate encoder frame");
        close();
        return false;
    }
    if (!converter_.init(width, height, AV_PIX_FMT_YUV420P)) {
        log->error("Failed to create color converter");
        close();
        return false;
    }
    mb_info_.assign(size_t{mb_count(coded_w)} * mb_count(coded_h), 0);
    rate_.reset(fps, int64_t{bitrate_kbps} * 1000, uint64_t{coded_w} * coded_h);

    log->info("Software encoder initialized: {}x{} @ {} fps, {} kbps", width, height, fps, bitrate_kbps);
    return true;
}

void SwEncoder::set_bitrate(uint32_t kbps) {
    requested_kbps_.store(clamp_bitrate_kbps(kbps));
}

bool SwEncoder::encode(const uint8_t* pixels, uint32_t stride, std::vector<uint8_t>& output, bool& keyframe) {
    return encode_picture(pixels, stride, nullptr, output, keyframe);
}

bool SwEncoder::encode_changed(const uint8_t* pixels, uint32_t stride, const std::vector<DamageRect>& rects,
                               std::vector<uint8_t>& output, bool& keyframe) {
    return encode_picture(pixels, stride, &rects, output, keyframe);
}

double SwEncoder::mark_unchanged(const std::vector<DamageRect>& rects) {
    const uint32_t cols = mb_count(coded_dimension(width_)), rows = mb_count(coded_dimension(height_));
    std::fill(mb_info_.begin(), mb_info_.end(), static_cast<uint8_t>(X264_MBINFO_CONSTANT));
    size_t changed = 0;
    for (const DamageRect& r : rects) {
        // Clipped to the picture; a change on the last real row or column also touches
        // the coded picture's repeated edge, which lies in the same macroblock.
        const int64_t x0 = std::max<int64_t>(r.x, 0), y0 = std::max<int64_t>(r.y, 0);
        const int64_t x1 = std::min<int64_t>(int64_t{r.x} + r.width, width_);
        const int64_t y1 = std::min<int64_t>(int64_t{r.y} + r.height, height_);
        if (x0 >= x1 || y0 >= y1) continue;
        for (int64_t my = y0 / MB; my <= (y1 - 1) / MB && my < rows; ++my) {
            uint8_t* row = mb_info_.data() + static_cast<size_t>(my) * cols;
            for (int64_t mx = x0 / MB; mx <= (x1 - 1) / MB && mx < cols; ++mx) {
                changed += row[mx] != 0;
                row[mx] = 0;
            }
        }
    }
    return static_cast<double>(changed) / static_cast<double>(mb_info_.size());
}

bool SwEncoder::encode_picture(const uint8_t* pixels, uint32_t stride, const std::vector<DamageRect>* rects,
                               std::vector<uint8_t>& output, bool& keyframe) {
    if (!encoder_ || !frame_ || !converter_.ready()) return false;
    if (!readable_picture(pixels, stride, width_, bad_input_logged_)) return false;
    if (uint32_t kbps = requested_kbps_.exchange(0); kbps != 0) rate_.set_bit_rate(int64_t{kbps} * 1000);

    if (rects)
        converter_.convert(pixels, stride, frame_, *rects);
    else
        converter_.convert(pixels, stride, frame_);

    const bool forced = keyframe_requested_.exchange(false);
    const bool key = forced || since_keyframe_ >= gop_;
    x264_picture_t picture;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_I420;
    picture.img.i_plane = 3;
    for (int p = 0; p < 3; ++p) {
        picture.img.plane[p] = frame_->data[p];
        picture.img.i_stride[p] = frame_->linesize[p];
    }
    picture.i_pts = frame_index_;
    picture.i_type = key ? X264_TYPE_IDR : X264_TYPE_P;
    double changed = 1;
    if (rects && !key) {
        changed = mark_unchanged(*rects);
        picture.prop.mb_info = mb_info_.data();
    }
    picture.i_qpplus1 = rate_.next_qp(key, changed) + 1;

    x264_nal_t* nals = nullptr;
    int nal_count = 0;
    x264_picture_t coded;
    const int size = x264_encoder_encode(encoder_, &nals, &nal_count, &picture, &coded);
    if (size < 0) {
        if (forced) keyframe_requested_.store(true);
        spdlog::default_logger_raw()->error("Error sending frame to encoder: {}", size);
        return false;
    }
    ++frame_index_;
    rate_.update(static_cast<size_t>(size));
    output.clear();
    keyframe = false;
    if (size == 0 || nal_count <= 0) return false;
    // libx264 lays the payloads of one picture out back to back.
    output.assign(nals[0].p_payload, nals[0].p_payload + size);
    keyframe = coded.b_keyframe != 0;
    since_keyframe_ = keyframe ? 1 : since_keyframe_ + 1;
    return true;
}

void SwEncoder::close() {
    converter_.reset();
    av_frame_free(&frame_);
    if (encoder_) x264_encoder_close(encoder_);
    encoder_ = nullptr;
}
