#include "viewer/viewer_session.h"

#include <spdlog/spdlog.h>

namespace {

spdlog::logger* logger() { return spdlog::default_logger_raw(); }

template <class T>
T read_locked(std::mutex& m, const T& value) {
    std::lock_guard<std::mutex> lock(m);
    return value;
}

}  // namespace

std::string build_viewer_url(const std::string& server_url, const std::string& machine_id, const std::string& token,
                             const std::string& session_id) {
    std::string url = server_url + "/ws/viewer?machine_id=" + machine_id + "&token=" + token;
    if (!session_id.empty()) url += "&session_id=" + session_id;
    if (url.rfind("https://", 0) == 0) return "wss://" + url.substr(8);
    if (url.rfind("http://", 0) == 0) return "ws://" + url.substr(7);
    return url;
}

ViewerSession::ViewerSession(std::unique_ptr<IWsTransport> transport) : transport_(std::move(transport)) {}

ViewerSession::~ViewerSession() { close(); }

void ViewerSession::set_handlers(ViewerHandlers handlers) { handlers_ = std::move(handlers); }

bool ViewerSession::connect(const ViewerOptions& options) {
    options_ = options;
    WsTransportOptions t;
    t.url = build_viewer_url(options.server_url, options.machine_id, options.token, options.resume_session);
    t.auto_reconnect = options.auto_reconnect;
    t.ca_file = options.ca_file;
    transport_->set_handler([this](const WsEvent& ev) { on_event(ev); });
    return transport_->start(t);
}

void ViewerSession::close() {
    if (transport_) transport_->stop(1000, "Normal closure");
}

void ViewerSession::on_event(const WsEvent& ev) {
    switch (ev.type) {
        case WsEvent::Type::Open: {
            std::lock_guard<std::mutex> lock(mutex_);
            connected_ = true;
            break;
        }
        case WsEvent::Type::Close:
        case WsEvent::Type::Error: {
            std::lock_guard<std::mutex> lock(mutex_);
            connected_ = false;
            last_error_ = ev.type == WsEvent::Type::Close ? std::to_string(ev.close_code) + " " + ev.reason : ev.reason;
            logger()->debug("Viewer connection: {}", last_error_);
            break;
        }
        case WsEvent::Type::Message:
            if (ev.binary) on_binary(ev.data);
            else on_text(std::string(ev.data.begin(), ev.data.end()));
            break;
    }
    changed_.notify_all();
}

void ViewerSession::on_text(const std::string& text) {
    auto msg = parse_relay_text(text, false);
    if (!msg) return;
    if (msg->type == relay_text::Session) {
        const std::string& sid = msg->session_id;
        std::lock_guard<std::mutex> lock(mutex_);
        // The relay keeps a resumed session's keys with the agent: only a new session (or
        // one whose exchange never finished) needs a key exchange.
        if (sid == session_id_ && ready_) return;
        session_id_ = sid;
        ready_ = false;
        if (!crypto_.generate_keypair()) {
            logger()->error("Viewer: cannot generate a key pair");
            return;
        }
        if (options_.auto_reconnect)
            transport_->set_url(build_viewer_url(options_.server_url, options_.machine_id, options_.token, sid));
        send_key_exchange_locked();
    } else if (msg->type == relay_text::P2PSignal) {
        if (handlers_.on_signal) handlers_.on_signal(msg->payload);
    }
}

void ViewerSession::send_key_exchange_locked() {
    awaiting_key_ = true;
    transport_->send_binary(build_key_exchange(crypto_.public_key()));
}

void ViewerSession::on_binary(const std::vector<uint8_t>& payload) {
    if (payload.empty()) return;
    std::optional<std::vector<uint8_t>> plain;
    std::string ready_id;
    std::vector<uint8_t> request;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The agent's envelopes start with four zero bytes, so 0x06 is always its key.
        if (payload[0] == static_cast<uint8_t>(MessageType::KeyExchange)) {
            if (!awaiting_key_) return;  // a late answer to a repeated request
            auto key = parse_key_exchange(payload.data(), payload.size());
            if (!key || !crypto_.derive(*key)) {
                ++dropped_;
                return;
            }
            awaiting_key_ = false;
            ready_ = true;
            ++key_exchanges_;
            next_counter_ = 0;
            ready_id = session_id_;
        } else {
            plain = crypto_.open(payload.data(), payload.size());
            if (!plain) {
                ++dropped_;
                return;
            }
            // The agent's IVs are four zero bytes and a little-endian counter that grows
            // by one per message of this session: a jump means messages were lost on the
            // way, and the pictures after them cannot be decoded without a keyframe.
            if (payload.size() >= 12 && payload[0] == 0 && payload[1] == 0 && payload[2] == 0 && payload[3] == 0) {
                const uint64_t counter = read_u64le(payload.data() + 4);
                if (counter > next_counter_) {
                    lost_ += counter - next_counter_;
                    request = keyframe_request_locked();
                }
                if (counter >= next_counter_) next_counter_ = counter + 1;
            }
        }
    }
    if (!request.empty()) transport_->send_binary(std::move(request));
    if (!ready_id.empty()) {
        changed_.notify_all();
        if (handlers_.on_ready) handlers_.on_ready(ready_id);
        return;
    }
    dispatch(*plain);
}

void ViewerSession::dispatch(const std::vector<uint8_t>& m) {
    if (m.empty()) return;
    if (handlers_.on_message) handlers_.on_message(m);
    switch (static_cast<MessageType>(m[0])) {
        case MessageType::VideoFrame:
            if (auto v = parse_video_frame(m); v && handlers_.on_video) handlers_.on_video(*v);
            break;
        case MessageType::AudioChunk:
            if (auto a = parse_audio_chunk(m); a && handlers_.on_audio) handlers_.on_audio(*a);
            break;
        case MessageType::CursorUpdate:
            if (auto c = parse_cursor_update(m); c && handlers_.on_cursor) handlers_.on_cursor(*c);
            break;
        case MessageType::ClipboardText:
            if (auto t = parse_clipboard_text(m); t && handlers_.on_clipboard) handlers_.on_clipboard(*t);
            break;
        case MessageType::SystemStatsReport:
            if (auto s = parse_stats_report(m); s && handlers_.on_stats) handlers_.on_stats(*s);
            break;
        default:
            break;
    }
}

bool ViewerSession::wait_ready(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ready_) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        auto step = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::seconds(2));
        if (changed_.wait_for(lock, step, [&] { return ready_; })) break;
        if (awaiting_key_ && connected_) send_key_exchange_locked();
    }
    return true;
}

bool ViewerSession::wait_connected(bool connected, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connected_ == connected; });
}

std::string ViewerSession::session_id() const { return read_locked(mutex_, session_id_); }
bool ViewerSession::is_ready() const { return read_locked(mutex_, ready_); }
bool ViewerSession::is_connected() const { return read_locked(mutex_, connected_); }
std::string ViewerSession::last_error() const { return read_locked(mutex_, last_error_); }
uint64_t ViewerSession::key_exchanges() const { return read_locked(mutex_, key_exchanges_); }
uint64_t ViewerSession::dropped_frames() const { return read_locked(mutex_, dropped_); }

bool ViewerSession::send(const std::vector<uint8_t>& message) {
    std::vector<uint8_t> envelope;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready_ || !connected_) return false;
        envelope = crypto_.seal(message);
    }
    return !envelope.empty() && transport_->send_binary(std::move(envelope));
}

bool ViewerSession::send_mouse(uint16_t x, uint16_t y, uint8_t button, MouseAction action, int16_t wheel) {
    return send(build_mouse_input(x, y, button, action, wheel));
}
bool ViewerSession::send_key(uint16_t virtual_key, uint16_t scan_code, bool released, bool extended) {
    return send(build_key_input(virtual_key, scan_code, released, extended));
}
bool ViewerSession::send_clipboard(const std::string& text) { return send(build_clipboard_text(text)); }
bool ViewerSession::send_file_chunk(const std::string& name, uint64_t offset, uint64_t total,
                                    const std::vector<uint8_t>& data) {
    return send(build_file_chunk(name, offset, total, data.data(), data.size()));
}
bool ViewerSession::send_set_bitrate(uint32_t kbps) { return send(build_set_bitrate(kbps)); }

std::vector<uint8_t> ViewerSession::keyframe_request_locked() {
    if (!ready_ || !connected_) return {};
    const auto now = std::chrono::steady_clock::now();
    if (keyframe_requests_ > 0 && now - last_keyframe_request_ < std::chrono::milliseconds(250)) return {};
    std::vector<uint8_t> sealed = crypto_.seal(build_keyframe_request());
    if (sealed.empty()) return {};
    last_keyframe_request_ = now;
    ++keyframe_requests_;
    return sealed;
}

bool ViewerSession::request_keyframe() {
    std::vector<uint8_t> request;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        request = keyframe_request_locked();
    }
    return !request.empty() && transport_->send_binary(std::move(request));
}

uint64_t ViewerSession::keyframe_requests() const { return read_locked(mutex_, keyframe_requests_); }
uint64_t ViewerSession::lost_messages() const { return read_locked(mutex_, lost_); }

std::vector<uint8_t> ViewerSession::seal(const std::vector<uint8_t>& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ready_ ? crypto_.seal(message) : std::vector<uint8_t>();
}

bool ViewerSession::send_raw(std::vector<uint8_t> payload) { return transport_->send_binary(std::move(payload)); }

bool ViewerSession::send_signal(const std::string& payload) {
    return transport_->send_text(build_viewer_signal(payload));
}
