#pragma once

// WebSocket client connection: its own io thread, automatic reconnection with back-off,
// periodic pings, a bounded write queue. The networking library stays inside
// ws_transport.cpp; everything here is plain C++ so that users (and their tests) never
// compile it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One event of a connection, delivered on the transport's io thread.
struct WsEvent {
    enum class Type { Open, Close, Error, Message };
    Type type = Type::Message;
    uint16_t close_code = 0;   // Close
    std::string reason;        // Close: close reason; Error: what went wrong
    bool binary = false;       // Message
    std::vector<uint8_t> data; // Message: the whole frame
};

using WsEventHandler = std::function<void(const WsEvent&)>;

struct WsTransportOptions {
    std::string url;                                      // ws://host[:port]/path?query or wss://...
    std::chrono::milliseconds ping_interval{15000};       // 0 disables pings
    bool auto_reconnect = true;
    uint32_t min_reconnect_wait_ms = 1000;
    uint32_t max_reconnect_wait_ms = 30000;
    std::chrono::milliseconds handshake_timeout{60000};   // resolve + connect + TLS + upgrade
    size_t max_message_size = 64u * 1024u * 1024u;        // inbound frame limit
    size_t max_queued_bytes = 64u * 1024u * 1024u;        // outbound backlog limit
    std::string ca_file;  // wss: PEM certificates trusted on top of the system store
};

// Wait before the next attempt after the k-th consecutive failed attempt (k >= 1):
// 100 ms x 2^(k-1), raised to min_ms and capped at max_ms.
uint32_t reconnect_delay_ms(uint32_t k, uint32_t min_ms = 1000, uint32_t max_ms = 30000);

// Parts of a ws:// or wss:// URL. The target (path and query) is kept exactly as given.
struct WsUrl {
    bool tls = false;
    std::string host;     // without brackets for IPv6 literals
    uint16_t port = 0;    // explicit or the scheme's default
    std::string target;   // "/" when the URL has no path
    std::string host_header() const;  // host[:port] as sent in the Host header
};
std::optional<WsUrl> parse_ws_url(const std::string& url);

// What WsClient (and the viewer) need from a connection; tests substitute a fake.
class IWsTransport {
public:
    virtual ~IWsTransport() = default;
    // The handler receives every event on the io thread; set it before start().
    virtual void set_handler(WsEventHandler handler) = 0;
    // Starts connecting in the background; false (and one log line) for a bad URL or
    // when already started.
    virtual bool start(const WsTransportOptions& options) = 0;
    // URL for later reconnection attempts (the current connection is kept).
    virtual void set_url(const std::string& url) = 0;
    // Closes with the given code and reason, stops reconnecting and joins the io thread.
    // Must not be called from the event handler.
    virtual void stop(uint16_t code = 1000, const std::string& reason = "Normal closure") = 0;
    // Queue one frame; false (frame dropped) when the connection is not open or the
    // backlog is full. Thread-safe.
    virtual bool send_text(std::string text) = 0;
    virtual bool send_binary(std::vector<uint8_t> data) = 0;
    virtual bool is_open() const = 0;
    // Bytes accepted by send_* and not yet written to the socket. Thread-safe.
    virtual size_t queued_bytes() const { return 0; }
    // Bytes written to the socket since start (what the link has taken). Thread-safe.
    virtual uint64_t sent_bytes() const { return 0; }
};

class WsTransport final : public IWsTransport {
public:
    WsTransport();
    ~WsTransport() override;
    WsTransport(const WsTransport&) = delete;
    WsTransport& operator=(const WsTransport&) = delete;

    void set_handler(WsEventHandler handler) override;
    bool start(const WsTransportOptions& options) override;
    void set_url(const std::string& url) override;
    void stop(uint16_t code = 1000, const std::string& reason = "Normal closure") override;
    bool send_text(std::string text) override;
    bool send_binary(std::vector<uint8_t> data) override;
    bool is_open() const override;
    size_t queued_bytes() const override;
    uint64_t sent_bytes() const override;

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
    WsEventHandler handler_;
};

std::unique_ptr<IWsTransport> make_ws_transport();
