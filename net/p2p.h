#pragma once

// Direct WebRTC connections from viewers. The viewer offers through the relay, the agent
// answers with one peer per viewer session and keeps the data channel the viewer opens.
// Nothing travels on that channel yet: every message still goes over the relay.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/p2p_signal.h"
#include "net/stun_resolver.h"

// The public STUN servers peers ask for their reflexive address, in order of preference.
std::vector<std::string> default_stun_servers();

// One viewer's peer connection (webrtcbin) and the data channel it opened.
//
// Threads: apply_signal and the destructor run on the caller's thread; webrtcbin's
// callbacks (answer, local candidates, state changes, the data channel) run on its own
// threads, take only this peer's locks and send through `signal_sender`.
class P2PSession {
public:
    using Sender = std::function<void(const std::string& payload)>;

    // Stores the sender and sets up the peer connection. `stun` picks the STUN server
    // and hears whether it worked; without one no STUN server is used. With `resolver`
    // the server is given to webrtcbin by address (and not at all when its name did not
    // resolve); without, by name.
    explicit P2PSession(Sender signal_sender, std::shared_ptr<StunSelector> stun = nullptr,
                        StunResolver* resolver = nullptr);
    ~P2PSession();  // closes the channel and the connection
    P2PSession(const P2PSession&) = delete;
    P2PSession& operator=(const P2PSession&) = delete;

    // "offer"/"answer": remote description; "candidate": remote candidate; other types
    // are ignored. Failures end in the error line "P2P signal handling error: {}".
    void apply_signal(const std::string& payload);

    bool channel_open() const;     // the viewer's channel has opened and not closed
    std::string stun_server() const;  // the STUN server this peer was given

    struct Peer;  // state shared with webrtcbin's callbacks

private:
    void setup_peer_connection(StunResolver* resolver);

    std::shared_ptr<Peer> peer_;
};

// The peers of all viewer sessions, by session id.
//
// Threads: handle_signal runs on the relay thread, close_session on the relay client's
// dispatch thread, close_all on the agent thread; they serialise on the manager's lock.
// No webrtcbin callback takes that lock.
class P2PManager {
public:
    using SignalSender = std::function<void(const std::string& session_id, const std::string& payload)>;

    // Starts GStreamer, makes the DTLS certificate and looks up the STUN servers in the
    // background.
    explicit P2PManager(std::vector<std::string> stun_servers = default_stun_servers());
    ~P2PManager();  // close_all
    P2PManager(const P2PManager&) = delete;
    P2PManager& operator=(const P2PManager&) = delete;

    // Forwards local signalling to the relay; set once, before signals are handled.
    SignalSender signal_sender;

    // The first signal for an id creates its peer, whatever the payload holds.
    void handle_signal(const std::string& session_id, const std::string& payload);
    // Closes and forgets one viewer's peer (its session ended); nothing for an unknown id.
    void close_session(const std::string& session_id);
    // Closes every peer (shutdown).
    void close_all();

    size_t session_count() const;
    bool has_session(const std::string& session_id) const;
    bool channel_open(const std::string& session_id) const;
    const StunSelector& stun() const { return *stun_; }

private:
    void wait_ready();

    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<P2PSession>> sessions_;
    std::shared_ptr<StunSelector> stun_;
    StunResolver resolver_;
    std::thread warm_up_;
};
