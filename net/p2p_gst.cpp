#include "net/p2p_gst.h"

#include <mutex>
#include <vector>

#include <nice/agent.h>

#include <spdlog/spdlog.h>

namespace p2pgst {

namespace {

spdlog::logger* logger() { return spdlog::default_logger_raw(); }

struct Startup {
    bool ok = false;
    std::string why;
};

const Startup& startup() {
    static const Startup result = [] {
        Startup s;
        GError* err = nullptr;
        if (!gst_init_check(nullptr, nullptr, &err)) {
            s.why = std::string("GStreamer did not start: ") + (err ? err->message : "unknown error");
            if (err) g_error_free(err);
            return s;
        }
        for (const char* name : {"webrtcbin", "nicesrc", "nicesink", "dtlsenc", "dtlsdec", "sctpenc", "sctpdec",
                                 "srtpenc", "srtpdec"}) {
            GstElementFactory* f = gst_element_factory_find(name);
            if (!f) {
                s.why = std::string("GStreamer element ") + name + " is not installed";
                return s;
            }
            gst_object_unref(f);
        }
        s.ok = true;
        return s;
    }();
    return result;
}

struct PromiseBox {
    PromiseReply on_reply;
};

void on_promise_changed(GstPromise* promise, gpointer data) {
    auto* box = static_cast<PromiseBox*>(data);
    std::string error;
    const GstStructure* reply = nullptr;
    switch (gst_promise_wait(promise)) {
        case GST_PROMISE_RESULT_REPLIED:
            reply = gst_promise_get_reply(promise);
            if (reply && gst_structure_has_field(reply, "error")) {
                GError* err = nullptr;
                gst_structure_get(reply, "error", G_TYPE_ERROR, &err, nullptr);
                error = err && err->message ? err->message : "unknown error";
                if (err) g_error_free(err);
            }
            break;
        case GST_PROMISE_RESULT_INTERRUPTED: error = "interrupted"; break;
        case GST_PROMISE_RESULT_EXPIRED: error = "expired"; break;
        default: error = "no reply"; break;
    }
    if (box->on_reply) box->on_reply(reply, error);
}

GstBusSyncReply on_bus_message(GstBus*, GstMessage* msg, gpointer) {
    const bool is_error = GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR;
    if (is_error || GST_MESSAGE_TYPE(msg) == GST_MESSAGE_WARNING) {
        GError* err = nullptr;
        gchar* debug = nullptr;
        if (is_error) gst_message_parse_error(msg, &err, &debug);
        else gst_message_parse_warning(msg, &err, &debug);
        const char* source = GST_MESSAGE_SRC(msg) ? GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)) : "?";
        logger()->log(is_error ? spdlog::level::err : spdlog::level::warn, "P2P pipeline {} from {}: {}",
                      is_error ? "error" : "warning", source, err && err->message ? err->message : "?");
        if (debug) logger()->debug("P2P pipeline detail: {}", debug);
        if (err) g_error_free(err);
        g_free(debug);
    }
    gst_message_unref(msg);  // a dropped message is the handler's to release
    return GST_BUS_DROP;
}

// The NiceAgent behind webrtcbin's ICE object (a new reference), or null.
NiceAgent* nice_agent_of(GstElement* webrtc) {
    GObject* ice = nullptr;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(webrtc), "ice-agent"))
        g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (!ice) return nullptr;
    GObject* agent = nullptr;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) g_object_get(ice, "agent", &agent, nullptr);
    g_object_unref(ice);
    if (agent && !NICE_IS_AGENT(agent)) {
        g_object_unref(agent);
        return nullptr;
    }
    return reinterpret_cast<NiceAgent*>(agent);
}

// libnice asks the local network's routers for UPnP port mappings by default: every peer
// multicasts SSDP searches and keeps sockets for the answers, which a peer ended while its
// search ran kept for good. STUN's reflexive candidates and the host candidates are what
// viewers need, so UPnP is switched off.
void disable_upnp(GstElement* webrtc) {
    if (NiceAgent* agent = nice_agent_of(webrtc)) {
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "upnp")) g_object_set(agent, "upnp", FALSE, nullptr);
        g_object_unref(agent);
    }
}

// libnice closes a removed stream's sockets later, on the ICE object's own thread, and that
// thread ends with the ICE object: a peer torn down at the wrong moment kept its sockets for
// good. So the streams are removed while that thread still runs, and teardown waits (up to
// a second) until it has closed their sockets.
void close_ice_streams(GstElement* webrtc) {
    NiceAgent* agent = nice_agent_of(webrtc);
    if (!agent) return;
    std::vector<GSocket*> sockets;
    for (guint id = 1; id <= 64; ++id) {
        gchar* ufrag = nullptr;
        gchar* pwd = nullptr;
        if (!nice_agent_get_local_credentials(agent, id, &ufrag, &pwd)) continue;
        g_free(ufrag);
        g_free(pwd);
        for (guint component = 1; component <= 2; ++component) {
            GPtrArray* list = nice_agent_get_sockets(agent, id, component);
            if (!list) continue;
            for (guint i = 0; i < list->len; ++i)
                sockets.push_back(G_SOCKET(g_object_ref(g_ptr_array_index(list, i))));
            g_ptr_array_unref(list);
        }
        nice_agent_remove_stream(agent, id);
    }
    g_object_unref(agent);
    const gint64 deadline = g_get_monotonic_time() + G_TIME_SPAN_SECOND;
    for (GSocket* socket : sockets) {
        while (!g_socket_is_closed(socket) && g_get_monotonic_time() < deadline) g_usleep(2000);
        g_object_unref(socket);
    }
}

}  // namespace

bool available(std::string* why) {
    const Startup& s = startup();
    if (!s.ok && why) *why = s.why;
    return s.ok;
}

void make_certificate() {
    if (!available()) return;
    GstElement* dec = gst_element_factory_make("dtlsdec", nullptr);
    if (!dec) return;
    gst_object_ref_sink(dec);
    gchar* pem = nullptr;
    g_object_get(dec, "pem", &pem, nullptr);  // generates the shared certificate on first use
    g_free(pem);
    gst_object_unref(dec);
}

GstPromise* make_promise(PromiseReply on_reply) {
    auto* box = new PromiseBox{std::move(on_reply)};
    return gst_promise_new_with_change_func(on_promise_changed, box,
                                            [](gpointer p) { delete static_cast<PromiseBox*>(p); });
}

GstWebRTCSessionDescription* make_description(GstWebRTCSDPType type, const std::string& sdp, std::string& error) {
    GstSDPMessage* msg = nullptr;
    if (gst_sdp_message_new(&msg) != GST_SDP_OK) {
        error = "cannot allocate an SDP message";
        return nullptr;
    }
    if (sdp.empty() ||
        gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(sdp.data()), static_cast<guint>(sdp.size()),
                                     msg) != GST_SDP_OK ||
        gst_sdp_message_medias_len(msg) == 0) {
        gst_sdp_message_free(msg);
        error = "SDP without media sections";
        return nullptr;
    }
    return gst_webrtc_session_description_new(type, msg);  // takes the message
}

std::string description_text(const GstWebRTCSessionDescription* desc) {
    if (!desc || !desc->sdp) return {};
    gchar* text = gst_sdp_message_as_text(desc->sdp);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

WebRtcPipeline::~WebRtcPipeline() { destroy(); }

bool WebRtcPipeline::create(const std::string& stun_url, std::string& error) {
    if (!available(&error)) return false;
    pipeline_ = gst_pipeline_new(nullptr);
    webrtc_ = gst_element_factory_make("webrtcbin", nullptr);
    if (!pipeline_ || !webrtc_) {
        error = "cannot create webrtcbin";
        if (webrtc_) gst_object_unref(gst_object_ref_sink(webrtc_));
        webrtc_ = nullptr;
        destroy();
        return false;
    }
    gst_bin_add(GST_BIN(pipeline_), webrtc_);  // the bin now owns the element
    if (!stun_url.empty()) g_object_set(webrtc_, "stun-server", stun_url.c_str(), nullptr);
    disable_upnp(webrtc_);
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline_));
    gst_bus_set_sync_handler(bus, on_bus_message, nullptr, nullptr);
    gst_object_unref(bus);
    return true;
}

bool WebRtcPipeline::play(std::string& error) {
    if (!pipeline_) {
        error = "no pipeline";
        return false;
    }
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        error = "webrtcbin did not start";
        return false;
    }
    return true;
}

void WebRtcPipeline::destroy() {
    if (!pipeline_) return;
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    if (webrtc_) close_ice_streams(webrtc_);  // the ICE object lives on until the unref below
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline_));
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(pipeline_);
    pipeline_ = nullptr;
    webrtc_ = nullptr;
}

}  // namespace p2pgst
