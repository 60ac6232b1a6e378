#pragma once

// The viewer's side of a direct WebRTC connection to the host: it makes the offer,
// opens a data channel and trickles its candidates, all through the relay's
// "p2p_signal" messages (ViewerSession::send_signal / ViewerHandlers::on_signal).

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class ViewerP2P {
public:
    using Sender = std::function<void(const std::string& payload)>;

    // `stun_url` (e.g. "stun:host:3478") is optional; tests on one machine need none.
    explicit ViewerP2P(Sender send, std::string stun_url = {});
    ~ViewerP2P();
    ViewerP2P(const ViewerP2P&) = delete;
    ViewerP2P& operator=(const ViewerP2P&) = delete;

    // Creates the peer and the data channel `label`; the offer follows on its own.
    // False (see last_error) when WebRTC is not available.
    bool start(const std::string& label = "zarvex");
    // The host's answer and candidates.
    void handle_signal(const std::string& payload);

    bool wait_open(std::chrono::milliseconds timeout);
    bool wait_closed(std::chrono::milliseconds timeout);
    bool is_open() const;
    // When the channel opened (steady clock); the epoch while it has not.
    std::chrono::steady_clock::time_point opened_at() const;
    // Closes the data channel (the host sees it close); the connection stays. Call it
    // from the thread that owns this object, as close().
    void close_channel();
    // Closes everything.
    void close();

    std::string last_error() const;
    int answers() const;            // answers applied
    int remote_candidates() const;  // host candidates added

    struct State;

private:
    std::shared_ptr<State> state_;
};
