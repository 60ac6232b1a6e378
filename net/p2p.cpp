#include "net/p2p.h"

#include <atomic>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "net/log_text.h"
#include "net/p2p_gst.h"

namespace {

spdlog::logger* logger() { return spdlog::default_logger_raw(); }

void log_signal_error(const std::string& what) { logger()->error("P2P signal handling error: {}", log_text(what)); }

// One data channel the viewer opened, as its callbacks see it.
struct Channel {
    GstWebRTCDataChannel* channel = nullptr;  // our reference
    std::atomic<bool> open{false};
    std::atomic<bool> open_logged{false};
    std::atomic<bool> closed_logged{false};

    ~Channel() {
        if (channel) g_object_unref(channel);
    }
    void opened() {
        open = true;
        if (!open_logged.exchange(true)) logger()->info("P2P data channel OPEN - bypassing relay for video!");
    }
    void closed() {
        open = false;
        if (!closed_logged.exchange(true)) logger()->info("P2P data channel closed");
    }
};

void on_channel_open(GstWebRTCDataChannel*, gpointer box) {
    if (auto c = p2pgst::lock<Channel>(box)) c->opened();
}

void on_channel_close(GstWebRTCDataChannel*, gpointer box) {
    if (auto c = p2pgst::lock<Channel>(box)) c->closed();
}

}  // namespace

std::vector<std::string> default_stun_servers() {
    return {"stun:stun.l.google.com:19302", "stun:stun1.l.google.com:19302"};
}

struct P2PSession::Peer : std::enable_shared_from_this<P2PSession::Peer> {
    // Guards `closed`, `signal_sender` and `mids`, and is held by callbacks while they
    // use the element, so that once `closed` is set none of them touches it again.
    std::mutex callback_mutex;
    bool closed = false;
    Sender signal_sender;
    std::vector<std::string> mids;  // media ids of the remote offer, by m-line

    p2pgst::WebRtcPipeline pipeline;
    std::string setup_error;  // why there is no connection, when there is none

    // The session's lock: guards the data channel slot.
    std::mutex mutex;
    std::shared_ptr<Channel> data_channel;

    std::shared_ptr<StunSelector> stun;
    std::string stun_url;
    std::atomic<bool> reflexive{false};
    std::atomic<bool> stun_reported{false};

    void send(const std::string& payload) {
        std::lock_guard<std::mutex> lock(callback_mutex);
        if (!closed && signal_sender) signal_sender(payload);
    }

    void create_answer();
    void gathering_done();
    void close();
};

namespace {

using Peer = P2PSession::Peer;

void on_ice_candidate(GstElement*, guint mline, gchar* candidate, gpointer box) {
    auto peer = p2pgst::lock<Peer>(box);
    if (!peer || !candidate) return;
    std::string mid;
    {
        std::lock_guard<std::mutex> lock(peer->callback_mutex);
        mid = mid_for_mline(peer->mids, mline);
    }
    if (is_reflexive_candidate(candidate)) peer->reflexive = true;
    peer->send(build_candidate_payload(candidate, mid));
}

void on_connection_state(GObject* obj, GParamSpec*, gpointer) {
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(obj, "connection-state", &state, nullptr);
    logger()->info("P2P PC state: {}", static_cast<int>(state));
}

void on_gathering_state(GObject* obj, GParamSpec*, gpointer box) {
    GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    g_object_get(obj, "ice-gathering-state", &state, nullptr);
    logger()->debug("P2P gathering state: {}", static_cast<int>(state));
    if (state != GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE) return;
    if (auto peer = p2pgst::lock<Peer>(box)) peer->gathering_done();
}

void on_data_channel(GstElement*, GstWebRTCDataChannel* channel, gpointer box) {
    auto peer = p2pgst::lock<Peer>(box);
    if (!peer || !channel) return;
    auto c = std::make_shared<Channel>();
    c->channel = GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel));
    std::shared_ptr<Channel> previous;
    {
        std::lock_guard<std::mutex> lock(peer->mutex);
        previous = std::move(peer->data_channel);
        peer->data_channel = c;
        gchar* label = nullptr;
        g_object_get(channel, "label", &label, nullptr);
        logger()->info("P2P data channel received: {}", log_text(label ? label : ""));
        g_free(label);
        p2pgst::connect(channel, "on-open", G_CALLBACK(on_channel_open), std::weak_ptr<Channel>(c));
        p2pgst::connect(channel, "on-close", G_CALLBACK(on_channel_close), std::weak_ptr<Channel>(c));
        // The channel may have opened before we could listen for it.
        GstWebRTCDataChannelState ready = GST_WEBRTC_DATA_CHANNEL_STATE_CONNECTING;
        g_object_get(channel, "ready-state", &ready, nullptr);
        if (ready == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) c->opened();
    }
}

}  // namespace

void P2PSession::Peer::create_answer() {
    std::weak_ptr<Peer> weak = weak_from_this();
    GstPromise* promise = p2pgst::make_promise([weak](const GstStructure* reply, const std::string& error) {
        auto peer = weak.lock();
        if (!peer) return;
        GstWebRTCSessionDescription* answer = nullptr;
        if (error.empty() && reply)
            gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
        if (!answer) {
            log_signal_error("no answer: " + (error.empty() ? std::string("empty reply") : error));
            return;
        }
        std::lock_guard<std::mutex> lock(peer->callback_mutex);
        if (!peer->closed) {
            // Sent before the local description is set: local candidates only come after
            // it, so the viewer always sees the answer first.
            std::string payload =
                build_description_payload(gst_webrtc_sdp_type_to_string(answer->type), p2pgst::description_text(answer));
            if (peer->signal_sender) peer->signal_sender(payload);
            GstPromise* done = p2pgst::make_promise([](const GstStructure*, const std::string& e) {
                if (!e.empty()) log_signal_error("local description: " + e);
            });
            g_signal_emit_by_name(peer->pipeline.webrtc(), "set-local-description", answer, done);
            gst_promise_unref(done);
        }
        gst_webrtc_session_description_free(answer);
    });
    std::lock_guard<std::mutex> lock(callback_mutex);
    if (!closed) g_signal_emit_by_name(pipeline.webrtc(), "create-answer", nullptr, promise);
    gst_promise_unref(promise);
}

void P2PSession::Peer::gathering_done() {
    if (!stun || stun_url.empty() || stun_reported.exchange(true)) return;
    if (reflexive) stun->report_working(stun_url);
    else stun->report_failed(stun_url);
}

void P2PSession::Peer::close() {
    {
        std::lock_guard<std::mutex> lock(callback_mutex);
        closed = true;
        signal_sender = nullptr;
    }
    std::shared_ptr<Channel> channel;
    {
        std::lock_guard<std::mutex> lock(mutex);
        channel = std::move(data_channel);
    }
    if (channel && channel->channel) {
        const bool was_open = channel->open;
        gst_webrtc_data_channel_close(channel->channel);
        // Its own close event comes later, if at all, once nobody listens any more.
        if (was_open) channel->closed();
    }
    channel.reset();
    pipeline.destroy();
}

P2PSession::P2PSession(Sender signal_sender, std::shared_ptr<StunSelector> stun, StunResolver* resolver)
    : peer_(std::make_shared<Peer>()) {
    peer_->signal_sender = std::move(signal_sender);
    peer_->stun = std::move(stun);
    setup_peer_connection(resolver);
}

P2PSession::~P2PSession() { peer_->close(); }

void P2PSession::setup_peer_connection(StunResolver* resolver) {
    Peer& p = *peer_;
    if (p.stun) p.stun_url = p.stun->current();
    // An unresolved server is left out: gathering then ends with host candidates only, and
    // the selector moves later peers on to the next server.
    std::string server = stun_url_for_webrtcbin(p.stun_url);
    if (resolver && !server.empty()) server = resolver->address_for(p.stun_url, std::chrono::seconds(1));
    std::string error;
    if (!p.pipeline.create(server, error)) {
        p.setup_error = error;
        logger()->error("P2P peer connection not created: {}", error);
        return;
    }
    GstElement* webrtc = p.pipeline.webrtc();
    std::weak_ptr<Peer> weak = peer_;
    p2pgst::connect(webrtc, "on-ice-candidate", G_CALLBACK(on_ice_candidate), weak);
    p2pgst::connect(webrtc, "notify::connection-state", G_CALLBACK(on_connection_state), weak);
    p2pgst::connect(webrtc, "notify::ice-gathering-state", G_CALLBACK(on_gathering_state), weak);
    p2pgst::connect(webrtc, "on-data-channel", G_CALLBACK(on_data_channel), weak);
    if (!p.pipeline.play(error)) {
        p.setup_error = error;
        logger()->error("P2P peer connection not created: {}", error);
        p.pipeline.destroy();
    }
}

void P2PSession::apply_signal(const std::string& payload) {
    try {
        P2PSignal s = parse_p2p_signal(payload);
        const bool offer = s.type == "offer";
        if (!offer && s.type != "answer" && s.type != "candidate") return;
        GstElement* webrtc = peer_->pipeline.webrtc();
        if (!webrtc) throw std::runtime_error("no peer connection (" + peer_->setup_error + ")");
        if (s.type == "candidate") {
            std::optional<unsigned> mline;
            {
                std::lock_guard<std::mutex> lock(peer_->callback_mutex);
                mline = mline_for_mid(peer_->mids, s.mid);
            }
            if (!mline) throw std::runtime_error("candidate for unknown media id \"" + s.mid + "\"");
            g_signal_emit_by_name(webrtc, "add-ice-candidate", *mline, s.candidate.c_str());
            return;
        }
        std::string error;
        GstWebRTCSessionDescription* desc =
            p2pgst::make_description(offer ? GST_WEBRTC_SDP_TYPE_OFFER : GST_WEBRTC_SDP_TYPE_ANSWER, s.sdp, error);
        if (!desc) throw std::runtime_error(error);
        if (offer) {
            std::lock_guard<std::mutex> lock(peer_->callback_mutex);
            peer_->mids = sdp_media_ids(s.sdp);
        }
        std::weak_ptr<Peer> weak = peer_;
        GstPromise* promise = p2pgst::make_promise([weak, offer](const GstStructure*, const std::string& e) {
            auto peer = weak.lock();
            if (!peer) return;
            if (!e.empty()) log_signal_error("remote description: " + e);
            else if (offer) peer->create_answer();
        });
        g_signal_emit_by_name(webrtc, "set-remote-description", desc, promise);
        gst_promise_unref(promise);
        gst_webrtc_session_description_free(desc);
    } catch (const std::exception& e) {
        log_signal_error(e.what());
    }
}

bool P2PSession::channel_open() const {
    std::lock_guard<std::mutex> lock(peer_->mutex);
    return peer_->data_channel && peer_->data_channel->open;
}

std::string P2PSession::stun_server() const { return peer_->stun_url; }

P2PManager::P2PManager(std::vector<std::string> stun_servers)
    : stun_(std::make_shared<StunSelector>(stun_servers)), resolver_(std::move(stun_servers)) {
    warm_up_ = std::thread([] {
        std::string why;
        if (p2pgst::available(&why)) p2pgst::make_certificate();
        else logger()->warn("Peer-to-peer connections not available: {}", why);
    });
}

P2PManager::~P2PManager() {
    close_all();
    std::lock_guard<std::mutex> lock(mutex_);
    wait_ready();
}

void P2PManager::wait_ready() {
    if (warm_up_.joinable()) warm_up_.join();
}

void P2PManager::handle_signal(const std::string& session_id, const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    wait_ready();
    auto it = sessions_.find(session_id);
    if (it == sessions_.end()) {
        auto sender = [this, session_id](const std::string& out) {
            if (signal_sender) signal_sender(session_id, out);
        };
        it = sessions_.emplace(session_id, std::make_unique<P2PSession>(sender, stun_, &resolver_)).first;
    }
    it->second->apply_signal(payload);
}

void P2PManager::close_session(const std::string& session_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(session_id);
    if (it == sessions_.end()) return;
    it->second.reset();  // closes the channel and the connection
    sessions_.erase(it);
    logger()->debug("P2P peer released: {}", log_text(session_id));
}

void P2PManager::close_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.clear();
}

size_t P2PManager::session_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

bool P2PManager::has_session(const std::string& session_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.count(session_id) > 0;
}

bool P2PManager::channel_open(const std::string& session_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(session_id);
    return it != sessions_.end() && it->second->channel_open();
}
