#pragma once

// The per-picture work of the streaming loop, in one place for the agent and the
// benchmark: hold back while the connection is behind, decide on keyframes, capture
// what changed, convert and encode it, build the video message and hand it on. It also
// re-opens the encoder when the captured output changes size.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "media/encoder.h"
#include "media/screen_capture.h"

// Requests that reach the stream from other threads (viewer messages, the relay
// client). Keyframe requests are coalesced: however many arrive, at most one requested
// keyframe is made per KEYFRAME_REQUEST_INTERVAL_NS; a request inside that time waits
// for its end instead of being lost.
class StreamRequests {
public:
    static constexpr int64_t KEYFRAME_REQUEST_INTERVAL_NS = 250'000'000;

    // Any thread.
    void request_keyframe() { keyframe_pending_.store(true); }
    void set_bitrate(uint32_t kbps) { bitrate_kbps_.store(kbps); }

    // Streaming thread: whether a requested keyframe is due now (and then it is taken).
    bool take_keyframe_request(int64_t now_ns);
    // Streaming thread: a new bit rate, 0 when none is pending.
    uint32_t take_bitrate() { return bitrate_kbps_.exchange(0); }

private:
    std::atomic<bool> keyframe_pending_{false};
    std::atomic<uint32_t> bitrate_kbps_{0};
    int64_t last_keyframe_ns_ = INT64_MIN / 2;  // streaming thread only
};

// Where the stream's messages go.
struct VideoSink {
    // One finished VideoFrame message, for every ready viewer; false when some viewer
    // missed it (the next picture is then a keyframe).
    std::function<bool(const std::vector<uint8_t>&, bool keyframe)> send;
    // Bytes the connection holds that have not been written yet; empty means none.
    std::function<size_t()> queued_bytes;
    // Bytes the connection has written so far; empty when it cannot tell.
    std::function<uint64_t()> sent_bytes;
};

// How much the connection may hold before the stream stops producing pictures: about
// 250 ms of video at the bit rate, or at the pace the link takes bytes when that is
// slower (negative: not known), and never less than two typical pictures.
size_t send_backlog_limit(uint32_t bitrate_kbps, size_t typical_picture_bytes, double link_bytes_per_second = -1);

class VideoStream {
public:
    using EncoderMaker =
        std::function<std::unique_ptr<IEncoder>(uint32_t width, uint32_t height, uint32_t fps, uint32_t kbps)>;

    enum class Step {
        Sent,       // a picture went out
        Unchanged,  // nothing new on the screen
        Held,       // the connection is behind: nothing captured or encoded
        Failed,     // capture or encoding failed (logged)
    };

    // encoder is the runtime's open encoder, opened at the capture's size; the stream
    // replaces it (through make_encoder, create_encoder when empty) after a resize.
    VideoStream(ScreenCapture& capture, std::unique_ptr<IEncoder>& encoder, StreamRequests& requests, uint32_t fps,
                uint32_t bitrate_kbps, EncoderMaker make_encoder = {});

    // A viewer became ready or re-keyed: the next step sends the whole picture as a
    // keyframe, whatever changed and whatever the coalescing says. Streaming thread.
    void force_keyframe() { keyframe_due_ = true; }

    // One picture's work; waits up to wait_ms for the screen to change.
    Step step(const VideoSink& sink, int wait_ms);

    // Streaming thread, for the benchmark and the log.
    uint64_t pictures_sent() const { return pictures_sent_; }
    uint64_t keyframes_sent() const { return keyframes_sent_; }
    uint64_t held_steps() const { return held_steps_; }
    uint32_t bitrate_kbps() const { return bitrate_kbps_; }

    // The link's pace in bytes per second while the connection is behind; negative otherwise.
    double link_rate() const { return link_rate_; }

private:
    bool reopen_encoder(uint32_t width, uint32_t height);
    void observe_link(const VideoSink& sink, size_t queued, int64_t now_ns);

    ScreenCapture& capture_;
    std::unique_ptr<IEncoder>& encoder_;
    StreamRequests& requests_;
    EncoderMaker make_encoder_;
    uint32_t fps_;
    uint32_t bitrate_kbps_;
    uint32_t encoder_width_;
    uint32_t encoder_height_;
    bool keyframe_due_ = true;     // the first picture of a stream is whole
    bool reopen_failed_ = false;   // logged once per size
    double typical_picture_ = 0;   // moving average of encoded sizes
    std::vector<uint8_t> encoded_; // reused between pictures
    double link_rate_ = -1;        // bytes per second the link took while behind; -1 unknown
    uint64_t last_sent_ = 0;
    int64_t last_observed_ns_ = 0;
    int64_t last_backlog_ns_ = 0;
    uint64_t pictures_sent_ = 0;
    uint64_t keyframes_sent_ = 0;
    uint64_t held_steps_ = 0;
};
