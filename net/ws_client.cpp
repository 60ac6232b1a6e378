#include "net/ws_client.h"

#include <chrono>
#include <optional>
#include <thread>

#include <spdlog/spdlog.h>

#include "net/log_text.h"
#include "net/protocol.h"

namespace {

spdlog::logger* logger() { return spdlog::default_logger_raw(); }

template <class T>
std::shared_ptr<const T> load(std::mutex& m, const std::shared_ptr<const T>& slot) {
    std::lock_guard<std::mutex> lock(m);
    return slot;
}

}  // namespace

std::string build_relay_url(const std::string& server_url, const std::string& machine_id,
                            const std::string& token) {
    std::string url = server_url + "/ws/agent?machine_id=" + machine_id + "&token=" + token;
    if (url.rfind("https://", 0) == 0) return "wss://" + url.substr(8);
    if (url.rfind("http://", 0) == 0) return "ws://" + url.substr(7);
    return url;
}

WsClient::WsClient() : WsClient(make_ws_transport()) {}

WsClient::WsClient(std::unique_ptr<IWsTransport> transport) : socket_(std::move(transport)) {}

WsClient::~WsClient() {
    // Whatever the handlers reach may already be gone when the client is destroyed:
    // messages still waiting for dispatch find no handler and are dropped. (disconnect()
    // called while the owner is alive handles them.)
    {
        std::lock_guard<std::mutex> lock(handlers_mutex_);
        message_handler_.reset();
        signal_handler_.reset();
        session_end_handler_.reset();
    }
    disconnect();
    dispatcher_.stop();
}

bool WsClient::connect(const std::string& server_url, const std::string& machine_id,
                       const std::string& auth_token) {
    if (started_) {
        logger()->error("Relay connection already started");
        return connected_;
    }
    WsTransportOptions options;
    options.url = build_relay_url(server_url, machine_id, auth_token);
    options.ping_interval = std::chrono::seconds(15);
    options.auto_reconnect = true;
    options.min_reconnect_wait_ms = 1000;
    options.max_reconnect_wait_ms = 30000;
    socket_->set_handler([this](const WsEvent& event) { handle_relay_message(event); });
    if (!socket_->start(options)) return false;
    started_ = true;
    for (int i = 0; i < 50 && !connected_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return connected_;
}

void WsClient::set_message_handler(MessageHandler handler) {
    auto h = handler ? std::make_shared<const MessageHandler>(std::move(handler)) : nullptr;
    std::lock_guard<std::mutex> lock(handlers_mutex_);
    message_handler_ = std::move(h);
}

void WsClient::set_signal_handler(SignalHandler handler) {
    auto h = handler ? std::make_shared<const SignalHandler>(std::move(handler)) : nullptr;
    std::lock_guard<std::mutex> lock(handlers_mutex_);
    signal_handler_ = std::move(h);
}

void WsClient::set_session_end_handler(SessionEndHandler handler) {
    auto h = handler ? std::make_shared<const SessionEndHandler>(std::move(handler)) : nullptr;
    std::lock_guard<std::mutex> lock(handlers_mutex_);
    session_end_handler_ = std::move(h);
}

void WsClient::handle_relay_message(const WsEvent& event) {
    switch (event.type) {
        case WsEvent::Type::Open:
            connected_ = true;
            logger()->info("WebSocket connected");
            break;
        case WsEvent::Type::Close:
            connected_ = false;
            logger()->info("WebSocket disconnected: {} {}", event.close_code, log_text(event.reason));
            break;
        case WsEvent::Type::Error:
            connected_ = false;
            logger()->error("WebSocket error: {}", log_text(event.reason));
            break;
        case WsEvent::Type::Message:
            if (event.binary) handle_binary(event.data);
            else handle_text(std::string(event.data.begin(), event.data.end()));
            break;
    }
}

void WsClient::handle_binary(const std::vector<uint8_t>& frame) {
    auto split = split_relay_frame(frame);
    if (!split) return;
    const std::string& session_id = split->session_id;
    const uint8_t* payload = split->payload;
    const size_t size = split->size;
    bool key_exchange = payload[0] == static_cast<uint8_t>(MessageType::KeyExchange);
    std::optional<std::vector<uint8_t>> plaintext;
    {
        std::lock_guard<std::mutex> lock(sessions_mutex_);
        auto it = sessions_.find(session_id);
        bool ready = it != sessions_.end() && it->second.crypto->is_ready();
        if (ready) {
            // An envelope's random-looking IV may begin with 0x06, so a ready session's
            // frame is opened first and only taken as a key exchange if it does not open.
            plaintext = it->second.crypto->decrypt(payload, size, !key_exchange, &outside_rate_);
            if (!plaintext && !key_exchange) return;
        } else if (!key_exchange) {
            // Without a completed exchange nothing is trusted: accepting plaintext here would
            // let anyone who can write to the relay inject input or files.
            if (auto held = outside_rate_.admit())
                logger()->debug("Dropped {}-byte message from session {} before key exchange{}", size,
                                log_text(session_id), held_note(*held));
            return;
        }
    }
    if (plaintext) {
        dispatch(session_id, std::move(*plaintext));
        return;
    }
    handle_key_exchange(session_id, std::vector<uint8_t>(payload + 1, payload + size));
}

void WsClient::dispatch(const std::string& session_id, std::vector<uint8_t> plaintext) {
    // Opened under the session lock, handled after it on the dispatch thread, in arrival
    // order: a slow clipboard owner or disk holds up neither the sends nor this thread.
    const size_t bytes = plaintext.size();
    dispatcher_.post(bytes, [this, session_id, message = std::move(plaintext)] {
        auto handler = load(handlers_mutex_, message_handler_);
        if (handler) (*handler)(session_id, message);
    });
}

void WsClient::handle_key_exchange(const std::string& session_id, const std::vector<uint8_t>& peer_public_key) {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    auto it = sessions_.find(session_id);
    if (it == sessions_.end()) {
        auto crypto = std::make_unique<E2ECrypto>();
        crypto->generate_keypair();
        it = sessions_.emplace(session_id, Session{std::move(crypto), {}}).first;
    }
    E2ECrypto& crypto = *it->second.crypto;
    bool fresh_key = false;
    if (crypto.is_ready() && peer_public_key == it->second.peer_key) {
        // The same viewer key again (a retry, or a replay by someone on the path): deriving
        // would give the same key with the nonce counter back at zero, reusing IVs. Keep
        // the key and counter; just answer again.
        logger()->debug("E2E: Repeated key exchange for session {}; key kept", log_text(session_id));
    } else {
        if (!crypto.derive_shared_key(peer_public_key, &outside_rate_)) {
            if (auto held = outside_rate_.admit())
                logger()->error("E2E: Key exchange failed for session {}{}", log_text(session_id), held_note(*held));
            return;
        }
        it->second.peer_key = peer_public_key;
        it->second.awaiting_keyframe = true;
        logger()->info("E2E: Key exchange complete for session {}", log_text(session_id));
        // After the reply is queued: the keyframe this asks for goes out behind it.
        fresh_key = true;
    }
    std::vector<uint8_t> reply = build_key_exchange(crypto.get_public_key());
    send_frame_locked(session_id, reply.data(), reply.size());
    if (fresh_key) ready_generation_.fetch_add(1);
}

bool WsClient::send_frame_locked(const std::string& session_id, const uint8_t* payload, size_t size) {
    // Only queues the frame: the transport writes it on its own thread.
    return socket_->send_binary(build_relay_frame(session_id, payload, size));
}

void WsClient::handle_text(const std::string& text) {
    bool handled = false;
    if (auto msg = parse_relay_text(text)) {
        try {
            handle_relay_text(*msg);
            handled = true;
        } catch (const std::exception&) {
            // A handler that failed: logged below like a message nobody could act on.
        }
    }
    if (!handled)
        if (auto held = outside_rate_.admit()) logger()->debug("Text message: {}{}", log_text(text), held_note(*held));
}

void WsClient::handle_relay_text(const RelayText& msg) {
    const std::string& session_id = msg.session_id;
    if (msg.type == relay_text::SessionRequest) {
        auto crypto = std::make_unique<E2ECrypto>();
        crypto->generate_keypair();
        std::lock_guard<std::mutex> lock(sessions_mutex_);
        sessions_[session_id] = Session{std::move(crypto), {}};
        logger()->info("Session started: {} (awaiting key exchange)", log_text(session_id));
    } else if (msg.type == relay_text::SessionEnd) {
        bool removed = false;
        {
            std::lock_guard<std::mutex> lock(sessions_mutex_);
            removed = sessions_.erase(session_id) > 0;
            logger()->info("Session ended: {}", log_text(session_id));
        }
        // After the session's messages still waiting for dispatch, so that what a
        // viewer pressed before it left is released afterwards, not before.
        if (removed) {
            dispatcher_.post(0, [this, session_id] {
                auto handler = load(handlers_mutex_, session_end_handler_);
                if (handler) (*handler)(session_id);
            });
        }
    } else if (msg.type == relay_text::P2PSignal) {
        auto handler = load(handlers_mutex_, signal_handler_);
        if (handler) (*handler)(session_id, msg.payload);
    }
}

bool WsClient::has_ready_session() {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    for (const auto& [id, session] : sessions_)
        if (session.crypto->is_ready()) return true;
    return false;
}

bool WsClient::send_to_all(const std::vector<uint8_t>& message) { return send_to_ready(message, Kind::Other); }

bool WsClient::send_video_to_all(const std::vector<uint8_t>& message, bool keyframe) {
    return send_to_ready(message, keyframe ? Kind::Keyframe : Kind::Delta);
}

bool WsClient::send_to_ready(const std::vector<uint8_t>& message, Kind kind) {
    if (!connected_) return false;
    bool all = true;
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    for (auto& [session_id, session] : sessions_) {
        if (!session.crypto->is_ready()) continue;
        // Ready after this picture's keyframe decision was made: its keyframe comes next.
        if (kind == Kind::Delta && session.awaiting_keyframe) continue;
        auto envelope = session.crypto->encrypt(message);
        if (envelope.empty() || !send_frame_locked(session_id, envelope.data(), envelope.size())) {
            all = false;
            continue;
        }
        if (kind == Kind::Keyframe) session.awaiting_keyframe = false;
    }
    return all;
}

void WsClient::send_signal(const std::string& session_id, const std::string& payload) {
    if (!connected_) return;
    std::string text = build_relay_signal(session_id, payload);
    if (text.empty()) {
        logger()->error("Signal for session {} not sent: not UTF-8", log_text(session_id));
        return;
    }
    socket_->send_text(std::move(text));
}

void WsClient::wait_dispatched() { dispatcher_.wait_idle(); }

void WsClient::disconnect(uint16_t close_code, const std::string& reason) {
    if (socket_) socket_->stop(close_code, reason);
    // Nothing arrives any more; what already arrived is still handled.
    dispatcher_.wait_idle();
    started_ = false;
    connected_ = false;
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    sessions_.clear();
}
