#include "viewer/viewer_p2p.h"

#include <exception>
#include <vector>

#include "net/p2p_gst.h"
#include "net/p2p_signal.h"

struct ViewerP2P::State : std::enable_shared_from_this<ViewerP2P::State> {
    Sender send;
    std::string stun_url;
    p2pgst::WebRtcPipeline pipeline;
    GstWebRTCDataChannel* channel = nullptr;

    // Guards everything below; held by callbacks while they use the element.
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
    bool open = false;
    bool was_open = false;
    std::chrono::steady_clock::time_point opened_at{};
    bool channel_closed = false;
    std::vector<std::string> mids;  // of our offer
    std::string error;
    int answers = 0;
    int remote_candidates = 0;

    void fail(const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex);
        if (error.empty()) error = why;
        changed.notify_all();
    }
    void make_offer();
};

namespace {

using State = ViewerP2P::State;

void on_ice_candidate(GstElement*, guint mline, gchar* candidate, gpointer box) {
    auto s = p2pgst::lock<State>(box);
    if (!s || !candidate) return;
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->closed) s->send(build_candidate_payload(candidate, mid_for_mline(s->mids, mline)));
}

void on_open(GstWebRTCDataChannel*, gpointer box) {
    auto s = p2pgst::lock<State>(box);
    if (!s) return;
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->was_open) s->opened_at = std::chrono::steady_clock::now();
    s->open = s->was_open = true;
    s->changed.notify_all();
}

void on_close(GstWebRTCDataChannel*, gpointer box) {
    auto s = p2pgst::lock<State>(box);
    if (!s) return;
    std::lock_guard<std::mutex> lock(s->mutex);
    s->open = false;
    s->channel_closed = true;
    s->changed.notify_all();
}

}  // namespace

void ViewerP2P::State::make_offer() {
    std::weak_ptr<State> weak = weak_from_this();
    GstPromise* promise = p2pgst::make_promise([weak](const GstStructure* reply, const std::string& err) {
        auto s = weak.lock();
        if (!s) return;
        GstWebRTCSessionDescription* offer = nullptr;
        if (err.empty() && reply) gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
        if (!offer) return s->fail("no offer: " + err);
        std::string sdp = p2pgst::description_text(offer);
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            if (!s->closed) {
                s->mids = sdp_media_ids(sdp);
                g_signal_emit_by_name(s->pipeline.webrtc(), "set-local-description", offer, nullptr);
                s->send(build_description_payload("offer", sdp));
            }
        }
        gst_webrtc_session_description_free(offer);
    });
    std::lock_guard<std::mutex> lock(mutex);
    if (!closed) g_signal_emit_by_name(pipeline.webrtc(), "create-offer", nullptr, promise);
    gst_promise_unref(promise);
}

ViewerP2P::ViewerP2P(Sender send, std::string stun_url) : state_(std::make_shared<State>()) {
    state_->send = std::move(send);
    state_->stun_url = std::move(stun_url);
}

ViewerP2P::~ViewerP2P() { close(); }

bool ViewerP2P::start(const std::string& label) {
    State& s = *state_;
    std::string error;
    if (!s.pipeline.create(stun_url_for_webrtcbin(s.stun_url), error)) {
        s.fail(error);
        return false;
    }
    GstElement* webrtc = s.pipeline.webrtc();
    std::weak_ptr<State> weak = state_;
    p2pgst::connect(webrtc, "on-ice-candidate", G_CALLBACK(on_ice_candidate), weak);
    if (!s.pipeline.play(error)) {
        s.fail(error);
        return false;
    }
    g_signal_emit_by_name(webrtc, "create-data-channel", label.c_str(), nullptr, &s.channel);
    if (!s.channel) {
        s.fail("no data channel");
        return false;
    }
    p2pgst::connect(s.channel, "on-open", G_CALLBACK(on_open), weak);
    p2pgst::connect(s.channel, "on-close", G_CALLBACK(on_close), weak);
    // The offer is made here rather than on webrtcbin's negotiation request, which can
    // come before the channel is part of the session and yield an offer without it.
    s.make_offer();
    return true;
}

void ViewerP2P::handle_signal(const std::string& payload) {
    State& s = *state_;
    try {
        P2PSignal sig = parse_p2p_signal(payload);
        std::lock_guard<std::mutex> lock(s.mutex);
        GstElement* webrtc = s.pipeline.webrtc();
        if (s.closed || !webrtc) return;
        if (sig.type == "answer") {
            std::string error;
            GstWebRTCSessionDescription* desc = p2pgst::make_description(GST_WEBRTC_SDP_TYPE_ANSWER, sig.sdp, error);
            if (!desc) throw std::runtime_error(error);
            g_signal_emit_by_name(webrtc, "set-remote-description", desc, nullptr);
            gst_webrtc_session_description_free(desc);
            ++s.answers;
        } else if (sig.type == "candidate") {
            auto mline = mline_for_mid(s.mids, sig.mid);
            if (!mline) throw std::runtime_error("candidate for unknown media id " + sig.mid);
            g_signal_emit_by_name(webrtc, "add-ice-candidate", *mline, sig.candidate.c_str());
            ++s.remote_candidates;
        }
    } catch (const std::exception& e) {
        s.fail(std::string("bad signal from the host: ") + e.what());
    }
}

bool ViewerP2P::wait_open(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->open; });
}

bool ViewerP2P::wait_closed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->channel_closed; });
}

bool ViewerP2P::is_open() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->open;
}

std::chrono::steady_clock::time_point ViewerP2P::opened_at() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->opened_at;
}

void ViewerP2P::close_channel() {
    if (state_->channel) gst_webrtc_data_channel_close(state_->channel);
}

void ViewerP2P::close() {
    State& s = *state_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.closed) return;
        s.closed = true;
    }
    if (s.channel) {
        gst_webrtc_data_channel_close(s.channel);
        g_object_unref(s.channel);
        s.channel = nullptr;
    }
    s.pipeline.destroy();
}

std::string ViewerP2P::last_error() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->error;
}

int ViewerP2P::answers() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->answers;
}

int ViewerP2P::remote_candidates() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->remote_candidates;
}
