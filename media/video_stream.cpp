#include "media/video_stream.h"

#include <algorithm>
#include <chrono>

#include <spdlog/spdlog.h>

#include "net/protocol.h"

namespace {

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool StreamRequests::take_keyframe_request(int64_t now_ns) {
    if (!keyframe_pending_.load()) return false;
    if (now_ns - last_keyframe_ns_ < KEYFRAME_REQUEST_INTERVAL_NS) return false;
    keyframe_pending_.store(false);
    last_keyframe_ns_ = now_ns;
    return true;
}

size_t send_backlog_limit(uint32_t bitrate_kbps, size_t typical_picture_bytes, double link_bytes_per_second) {
    double rate = static_cast<double>(bitrate_kbps) * 1000 / 8;
    if (link_bytes_per_second >= 0 && link_bytes_per_second < rate) rate = link_bytes_per_second;
    return std::max(static_cast<size_t>(rate / 4), 2 * typical_picture_bytes);
}

void VideoStream::observe_link(const VideoSink& sink, size_t queued, int64_t now_ns) {
    if (!sink.sent_bytes) return;
    const uint64_t sent = sink.sent_bytes();
    // Only while bytes wait does the pace of writing show what the link can take; a
    // link that has kept up for a second is taken to be as fast as the bit rate again.
    if (queued > 0) {
        if (last_observed_ns_ != 0 && now_ns > last_observed_ns_ && last_backlog_ns_ == last_observed_ns_) {
            const double sample = static_cast<double>(sent - last_sent_) * 1e9 / static_cast<double>(now_ns - last_observed_ns_);
            link_rate_ = link_rate_ < 0 ? sample : link_rate_ * 0.8 + sample * 0.2;
        }
        last_backlog_ns_ = now_ns;
    } else if (now_ns - last_backlog_ns_ > 1'000'000'000) {
        link_rate_ = -1;
    }
    last_sent_ = sent;
    last_observed_ns_ = now_ns;
}

VideoStream::VideoStream(ScreenCapture& capture, std::unique_ptr<IEncoder>& encoder, StreamRequests& requests,
                         uint32_t fps, uint32_t bitrate_kbps, EncoderMaker make_encoder)
    : capture_(capture), encoder_(encoder), requests_(requests), make_encoder_(std::move(make_encoder)), fps_(fps),
      bitrate_kbps_(bitrate_kbps), encoder_width_(capture.width()), encoder_height_(capture.height()) {
    if (!make_encoder_) {
        make_encoder_ = [](uint32_t w, uint32_t h, uint32_t f, uint32_t kbps) { return create_encoder(w, h, f, kbps); };
    }
}

bool VideoStream::reopen_encoder(uint32_t width, uint32_t height) {
    auto* log = spdlog::default_logger_raw();
    if (encoder_) encoder_->close();
    encoder_ = make_encoder_(width, height, fps_, bitrate_kbps_);
    encoder_width_ = width;
    encoder_height_ = height;
    if (!encoder_) {
        if (!reopen_failed_) log->error("Failed to initialize encoder for {}x{}", width, height);
        reopen_failed_ = true;
        return false;
    }
    reopen_failed_ = false;
    log->info("Encoder re-opened for {}x{}: {}", width, height, encoder_->name());
    return true;
}

VideoStream::Step VideoStream::step(const VideoSink& sink, int wait_ms) {
    if (uint32_t kbps = requests_.take_bitrate(); kbps != 0) {
        bitrate_kbps_ = kbps;
        if (encoder_) encoder_->set_bitrate(kbps);
    }
    // Behind on the connection: produce nothing. What changes meanwhile stays with the
    // capture (as damage), so the next picture is complete, and nothing already encoded
    // is ever dropped, so every viewer keeps decoding.
    const size_t queued = sink.queued_bytes ? sink.queued_bytes() : 0;
    observe_link(sink, queued, steady_ns());
    if (queued > send_backlog_limit(bitrate_kbps_, static_cast<size_t>(typical_picture_), link_rate_)) {
        ++held_steps_;
        return Step::Held;
    }

    const bool keyframe = keyframe_due_ || requests_.take_keyframe_request(steady_ns());
    if (keyframe) {
        keyframe_due_ = true;  // until one has gone out
        capture_.request_full_frame();
    }
    const CapturedFrame* picture = capture_.capture_changes(keyframe ? 0 : wait_ms);
    if (picture == nullptr) return keyframe && !capture_.initialized() ? Step::Failed : Step::Unchanged;
    if (picture->damage.empty() && !keyframe) return Step::Unchanged;

    // The output changed size: a new encoder at the new size, whose first picture is a
    // keyframe with the new size in its header. A failed re-open is tried again when the
    // size changes again, not on every picture.
    const bool resized = picture->width != encoder_width_ || picture->height != encoder_height_;
    if (resized || !encoder_) {
        if ((resized || !reopen_failed_) && !reopen_encoder(picture->width, picture->height)) return Step::Failed;
        if (!encoder_) return Step::Failed;
        keyframe_due_ = true;
    }
    if (keyframe_due_) encoder_->request_keyframe();

    bool key = false;
    const bool ok = keyframe_due_
                        ? encoder_->encode(picture->pixels(), picture->stride, encoded_, key)
                        : encoder_->encode_changed(picture->pixels(), picture->stride, picture->damage, encoded_, key);
    if (!ok) return Step::Failed;
    const bool delivered = sink.send(build_video_frame(encoded_, static_cast<uint16_t>(picture->width),
                                                       static_cast<uint16_t>(picture->height), key),
                                     key);
    typical_picture_ = typical_picture_ == 0 ? static_cast<double>(encoded_.size())
                                             : typical_picture_ * 0.9 + static_cast<double>(encoded_.size()) * 0.1;
    ++pictures_sent_;
    if (key) {
        ++keyframes_sent_;
        keyframe_due_ = false;
    }
    if (!delivered) {
        // A viewer lost a picture the next ones depend on: start again from a keyframe.
        keyframe_due_ = true;
        return Step::Failed;
    }
    return Step::Sent;
}
