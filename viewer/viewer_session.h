#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/protocol.h"
#include "net/ws_transport.h"
#include "viewer/viewer_crypto.h"

// "<relay>/ws/viewer?machine_id=M&token=T[&session_id=S]" with http(s) mapped to ws(s).
std::string build_viewer_url(const std::string& server_url, const std::string& machine_id, const std::string& token,
                             const std::string& session_id = {});

struct ViewerOptions {
    std::string server_url;
    std::string machine_id;
    std::string token;
    std::string resume_session;  // 36-character id of a session to take over
    bool auto_reconnect = true;  // reconnections resume the same session
    std::string ca_file;         // wss: extra trusted certificates (PEM)
};

// Callbacks run on the connection's thread, without the session's lock held.
struct ViewerHandlers {
    std::function<void(const VideoFrameMsg&)> on_video;
    std::function<void(const AudioChunkMsg&)> on_audio;
    std::function<void(const CursorUpdateMsg&)> on_cursor;
    std::function<void(const std::string&)> on_clipboard;
    std::function<void(const StatsReportMsg&)> on_stats;
    // Every opened message, before the typed callback (counting, logging).
    std::function<void(const std::vector<uint8_t>&)> on_message;
    std::function<void(const std::string& payload)> on_signal;
    std::function<void(const std::string& session_id)> on_ready;
};

// One viewer of one machine through the relay: receives its session id, runs the key
// exchange, then seals what it sends and opens what it receives.
class ViewerSession {
public:
    explicit ViewerSession(std::unique_ptr<IWsTransport> transport = make_ws_transport());
    ~ViewerSession();
    ViewerSession(const ViewerSession&) = delete;
    ViewerSession& operator=(const ViewerSession&) = delete;

    void set_handlers(ViewerHandlers handlers);  // before connect
    // Starts connecting; false for a bad URL.
    bool connect(const ViewerOptions& options);
    // Waits until the key exchange has completed, sending our key again every 2 s while
    // no answer comes (the agent may be offline). False on time-out.
    bool wait_ready(std::chrono::milliseconds timeout);
    bool wait_connected(bool connected, std::chrono::milliseconds timeout);
    void close();

    std::string session_id() const;
    bool is_ready() const;
    bool is_connected() const;
    std::string last_error() const;
    uint64_t key_exchanges() const;     // completed exchanges
    uint64_t dropped_frames() const;    // inbound frames that did not open

    // Seals one viewer message; false when not ready or not connected.
    bool send(const std::vector<uint8_t>& message);
    bool send_mouse(uint16_t x, uint16_t y, uint8_t button, MouseAction action, int16_t wheel = 0);
    bool send_key(uint16_t virtual_key, uint16_t scan_code, bool released, bool extended = false);
    bool send_clipboard(const std::string& text);
    bool send_file_chunk(const std::string& name, uint64_t offset, uint64_t total, const std::vector<uint8_t>& data);
    bool send_set_bitrate(uint32_t kbps);
    // Asks the agent for a keyframe (the decoder failed, or pictures were lost). At most
    // one request per 250 ms leaves; false when this one was not sent.
    bool request_keyframe();
    uint64_t keyframe_requests() const;  // requests sent, automatic ones included
    uint64_t lost_messages() const;      // messages the envelope counter says never came
    // The sealed form of a message without sending it; empty when not ready.
    std::vector<uint8_t> seal(const std::vector<uint8_t>& message) const;
    // Sends bytes exactly as given, unsealed.
    bool send_raw(std::vector<uint8_t> payload);
    bool send_signal(const std::string& payload);

private:
    void on_event(const WsEvent& event);
    void on_text(const std::string& text);
    void on_binary(const std::vector<uint8_t>& payload);
    void dispatch(const std::vector<uint8_t>& message);
    void send_key_exchange_locked();
    // Under mutex_: the sealed request, or empty when one went out less than 250 ms ago.
    std::vector<uint8_t> keyframe_request_locked();

    std::unique_ptr<IWsTransport> transport_;
    ViewerHandlers handlers_;
    ViewerOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    ViewerCrypto crypto_;
    std::string session_id_;
    std::string last_error_;
    bool connected_ = false;
    bool ready_ = false;
    bool awaiting_key_ = false;
    uint64_t key_exchanges_ = 0;
    uint64_t dropped_ = 0;
    uint64_t next_counter_ = 0;  // the agent's envelope counter expected next
    uint64_t lost_ = 0;
    uint64_t keyframe_requests_ = 0;
    std::chrono::steady_clock::time_point last_keyframe_request_{};
};
