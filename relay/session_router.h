#pragma once

// Routes traffic between each machine's agent connection and its viewer sessions. Knows
// nothing about sockets: connections are RelayPeer objects supplied by the server. All
// member functions are thread-safe.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace relay {

// How hard a connection should try to deliver a message when its outgoing queue is full.
enum class Delivery {
    control,   // relay's own small messages: always queued
    data,      // agent -> viewer traffic: dropped while the queue is over its limit (a newer picture follows)
    reliable,  // viewer -> agent traffic: always queued; the router holds back the senders instead
};

// One live WebSocket connection as the router sees it. Calls must not block and must not
// call back into the router.
class RelayPeer {
public:
    virtual ~RelayPeer() = default;
    virtual void send_text(std::string text, Delivery delivery) = 0;
    virtual void send_binary(std::string data, Delivery delivery) = 0;
    // Bytes accepted for sending and not yet written out.
    virtual size_t queued_bytes() const = 0;
    // Reading was held back (a forwarding call returned false): read the next message.
    virtual void resume_reading() = 0;
    // Closes the connection; whatever is still queued is discarded.
    virtual void close(uint16_t code, std::string reason) = 0;
};

struct RouterLimits {
    size_t max_viewers_per_machine = 16;
    size_t max_pending_ends = 256;  // session_end notices kept for an offline agent
    // While an agent has more than this queued, its viewers are not read from; they are
    // read again once the queue is down to half of it.
    size_t max_agent_queue = 64u * 1024 * 1024;
};

class SessionRouter {
public:
    static constexpr uint16_t kCloseReplaced = 4000;

    explicit SessionRouter(RouterLimits limits = {});

    // A new agent connection for the machine; an older one is closed. Announces the viewer
    // sessions the agent has not been told about and delivers deferred session ends.
    void attach_agent(const std::string& machine_id, std::shared_ptr<RelayPeer> agent);
    // Forgets the agent if it is still the machine's current one; viewers stay.
    void detach_agent(const std::string& machine_id, const RelayPeer* agent);
    bool agent_online(const std::string& machine_id) const;

    size_t viewer_count(const std::string& machine_id) const;
    // Whether a viewer may join: there is room, or it resumes a session that is still open.
    bool viewer_room(const std::string& machine_id, const std::string& resume_session = {}) const;
    // Adds a viewer and returns its session id; resume_session (36 characters) keeps that id
    // and takes the session over from an older viewer connection. Empty when the machine
    // has no room or no id could be made.
    std::string attach_viewer(const std::string& machine_id, const std::string& resume_session,
                              std::shared_ptr<RelayPeer> viewer);
    // Ends the session if `viewer` still holds it, telling the agent (now or when it is back).
    void detach_viewer(const std::string& machine_id, const std::string& session_id, const RelayPeer* viewer);

    // Forward a viewer's message to the agent. They return whether the viewer's next message
    // may be read now; on false the router calls the viewer's resume_reading() once the agent
    // has caught up, goes away or is replaced. Nothing is dropped for a full agent queue.
    [[nodiscard]] bool viewer_binary(const std::string& machine_id, const std::string& session_id,
                                     const RelayPeer* viewer, std::string_view payload);
    [[nodiscard]] bool viewer_text(const std::string& machine_id, const std::string& session_id,
                                   const RelayPeer* viewer, std::string_view text);
    // The agent connection has written something out: its queue may now be short enough
    // for the held-back viewers to go on.
    void agent_sent(const std::string& machine_id, const RelayPeer* agent);
    void agent_binary(const std::string& machine_id, const RelayPeer* agent, std::string_view frame);
    void agent_text(const std::string& machine_id, const RelayPeer* agent, std::string_view text);

    // Closes every connection (server shutdown).
    void close_all(uint16_t code, const std::string& reason);
    // Lets go of every connection, for when the network side is being torn down.
    void clear();

private:
    struct Session {
        std::shared_ptr<RelayPeer> viewer;
        bool announced = false;  // the agent has been sent session_request (or holds it already)
        bool held = false;       // the viewer is not being read until the agent catches up
    };
    struct Machine {
        std::shared_ptr<RelayPeer> agent;
        std::map<std::string, Session> sessions;
        std::deque<std::string> pending_ends;
        bool agent_behind = false;  // the agent's queue went over the limit and is not yet down to half
    };

    void drop_if_idle(const std::string& machine_id);
    // Sends a viewer's message to the machine's agent, if any; returns whether the viewer
    // may go on reading.
    bool forward_to_agent(const std::string& machine_id, const std::string& session_id, const RelayPeer* viewer,
                          std::string message, bool binary);
    // Lets every held-back viewer of the machine read again.
    void release_viewers(const std::string& machine_id, Machine& m);

    RouterLimits limits_;
    mutable std::mutex mutex_;
    std::map<std::string, Machine> machines_;
};

}  // namespace relay
