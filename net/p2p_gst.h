#pragma once

// GStreamer plumbing shared by the agent's answering peers and the viewer's offering
// peer: library start-up, one webrtcbin in its own pipeline, promises and signal
// handlers bound to C++ callables.

#ifndef GST_USE_UNSTABLE_API
#define GST_USE_UNSTABLE_API
#endif
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <functional>
#include <memory>
#include <string>

namespace p2pgst {

// Initialises GStreamer once and checks that webrtcbin and the elements it builds on
// (ICE, DTLS, SCTP, SRTP) are installed. False, with the reason in `why`, when not.
bool available(std::string* why = nullptr);

// Makes the process-wide DTLS certificate webrtcbin uses (one to two seconds of key
// generation), so that the first peer does not wait for it.
void make_certificate();

// A promise whose reply is handed to `on_reply` on the thread that answers it. An
// empty error string means success; `reply` may be null.
using PromiseReply = std::function<void(const GstStructure* reply, const std::string& error)>;
GstPromise* make_promise(PromiseReply on_reply);

// Builds a description from SDP text; null (with `error` set) when it does not parse.
GstWebRTCSessionDescription* make_description(GstWebRTCSDPType type, const std::string& sdp, std::string& error);
std::string description_text(const GstWebRTCSessionDescription* desc);

// Connects a handler whose user data is a heap copy of `data`, freed with the handler.
// Handlers hold weak references to the state they serve, so webrtcbin never keeps that
// state alive and a late callback after teardown finds it gone.
template <typename T>
gulong connect(gpointer instance, const char* signal, GCallback handler, const std::weak_ptr<T>& data) {
    auto* box = new std::weak_ptr<T>(data);
    return g_signal_connect_data(instance, signal, handler, box,
                                 [](gpointer p, GClosure*) { delete static_cast<std::weak_ptr<T>*>(p); },
                                 GConnectFlags(0));
}

template <typename T>
std::shared_ptr<T> lock(gpointer box) {
    return static_cast<std::weak_ptr<T>*>(box)->lock();
}

// One webrtcbin in a pipeline of its own. Bus messages are handled synchronously (no
// main loop runs): errors and warnings are logged, everything is then dropped so that
// nothing piles up on the bus.
class WebRtcPipeline {
public:
    WebRtcPipeline() = default;
    ~WebRtcPipeline();
    WebRtcPipeline(const WebRtcPipeline&) = delete;
    WebRtcPipeline& operator=(const WebRtcPipeline&) = delete;

    // Creates the element (not yet playing); `stun_url` may be empty.
    bool create(const std::string& stun_url, std::string& error);
    bool play(std::string& error);
    // Stops the pipeline (its threads and sockets go) and releases it. Must not be
    // called from one of webrtcbin's own callbacks.
    void destroy();

    GstElement* webrtc() const { return webrtc_; }

private:
    GstElement* pipeline_ = nullptr;
    GstElement* webrtc_ = nullptr;
};

}  // namespace p2pgst
