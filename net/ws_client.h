#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/e2e_crypto.h"
#include "net/log_text.h"
#include "net/protocol.h"
#include "net/serial_queue.h"
#include "net/ws_transport.h"

// Relay endpoint for this agent: server_url + "/ws/agent?machine_id=" + machine_id +
// "&token=" + token, nothing escaped, with "https://" mapped to "wss://" and
// "http://" to "ws://"; any other beginning is kept as it is.
std::string build_relay_url(const std::string& server_url, const std::string& machine_id,
                            const std::string& token);

// The agent's relay connection and its table of viewer sessions, each with its own
// end-to-end keys. Inbound frames are opened and handed to the message handler; every
// outbound message is sealed once per ready session.
//
// Threads: events arrive on the transport's thread; send_to_all / has_ready_session /
// send_signal may be called from any thread. Viewer messages are opened on the
// transport's thread and handed to the message handler on a dispatch thread of their
// own, one at a time in arrival order, without the session lock. Nothing reached from
// the message handler may send to viewers or disconnect.
class WsClient {
public:
    using MessageHandler = std::function<void(const std::string& session_id, const std::vector<uint8_t>& data)>;
    using SignalHandler = std::function<void(const std::string& session_id, const std::string& payload)>;
    using SessionEndHandler = std::function<void(const std::string& session_id)>;

    WsClient();
    explicit WsClient(std::unique_ptr<IWsTransport> transport);
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // Starts the connection (reconnecting on its own afterwards) and waits up to 5 s for
    // it to open. False leaves it retrying in the background.
    bool connect(const std::string& server_url, const std::string& machine_id, const std::string& auth_token);

    void set_message_handler(MessageHandler handler);
    void set_signal_handler(SignalHandler handler);
    // Called on the dispatch thread after "session_end" removed a session, once that
    // session's earlier messages have been handled; without the session lock held.
    void set_session_end_handler(SessionEndHandler handler);

    bool has_ready_session();
    // False when some ready session's frame could not be queued (not connected, or the
    // outgoing queue refused it): that viewer missed the message.
    bool send_to_all(const std::vector<uint8_t>& message);
    // A VideoFrame message for every ready session, except that a session whose key is new
    // (a viewer that just became ready, or re-keyed) gets nothing until a keyframe: a
    // picture that depends on ones it never saw would not decode. Same result as send_to_all.
    bool send_video_to_all(const std::vector<uint8_t>& message, bool keyframe);
    void send_signal(const std::string& session_id, const std::string& payload);
    // Closes the relay connection (1000 "Normal closure" for an orderly stop; 1001 "Going
    // away" when the agent must go, such as when its display is lost) after every viewer
    // message that arrived has been handled, and forgets the sessions.
    void disconnect(uint16_t close_code = 1000, const std::string& reason = "Normal closure");
    // Returns once every viewer message that has arrived so far has been handled.
    void wait_dispatched();

    bool is_connected() const { return connected_; }
    // Bytes waiting in the relay connection's outgoing queue. Thread-safe.
    size_t queued_bytes() const { return socket_ ? socket_->queued_bytes() : 0; }
    // Bytes the relay connection has written so far (its pace shows the link's speed).
    uint64_t sent_bytes() const { return socket_ ? socket_->sent_bytes() : 0; }
    // Counts completed key exchanges that gave a session a new key (a viewer became
    // ready or re-keyed): a change tells the streaming loop to send a keyframe.
    uint64_t ready_generation() const { return ready_generation_.load(); }

    // Transport events (installed as the transport's handler by connect).
    void handle_relay_message(const WsEvent& event);
    void handle_key_exchange(const std::string& session_id, const std::vector<uint8_t>& peer_public_key);

private:
    void handle_binary(const std::vector<uint8_t>& frame);
    void handle_text(const std::string& text);
    void handle_relay_text(const RelayText& msg);
    void dispatch(const std::string& session_id, std::vector<uint8_t> plaintext);
    bool send_frame_locked(const std::string& session_id, const uint8_t* payload, size_t size);

    std::unique_ptr<IWsTransport> socket_;
    std::mutex handlers_mutex_;
    std::shared_ptr<const MessageHandler> message_handler_;
    std::shared_ptr<const SignalHandler> signal_handler_;
    std::shared_ptr<const SessionEndHandler> session_end_handler_;
    struct Session {
        std::unique_ptr<E2ECrypto> crypto;
        std::vector<uint8_t> peer_key;  // viewer key of the last completed exchange
        bool awaiting_keyframe = true;  // no keyframe sent under the current key yet
    };
    enum class Kind { Other, Delta, Keyframe };  // what a message is, for send_to_ready
    bool send_to_ready(const std::vector<uint8_t>& message, Kind kind);

    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> ready_generation_{0};
    std::mutex sessions_mutex_;
    std::map<std::string, Session> sessions_;
    bool started_ = false;
    // Viewer messages waiting for the message handler: at most 16 MiB queued before the
    // relay's reading thread waits (a larger single message still passes).
    SerialQueue dispatcher_{16u << 20};
    // For the lines that anyone able to write to the relay can repeat at will.
    LogRate outside_rate_{8};
};
