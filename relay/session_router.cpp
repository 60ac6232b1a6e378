#include "relay/session_router.h"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "net/protocol.h"
#include "relay/ids.h"

namespace relay {

namespace {

// The payload (and, from the agent, the session id) of a "p2p_signal" text message; no
// value for any other text.
std::optional<RelayText> parse_signal(std::string_view text, bool with_session) {
    auto msg = parse_relay_text(text, with_session);
    if (!msg || msg->type != relay_text::P2PSignal) return std::nullopt;
    return msg;
}

}  // namespace

SessionRouter::SessionRouter(RouterLimits limits) : limits_(limits) {}

void SessionRouter::attach_agent(const std::string& machine_id, std::shared_ptr<RelayPeer> agent) {
    std::lock_guard lock(mutex_);
    Machine& m = machines_[machine_id];
    if (m.agent) {
        spdlog::info("Agent for machine {} replaced by a new connection", machine_id);
        m.agent->close(kCloseReplaced, "replaced by a new connection");
    }
    m.agent = std::move(agent);
    // Viewers held back for the old connection's queue go on with the new, empty one.
    release_viewers(machine_id, m);
    spdlog::info("Agent connected: machine {} ({} viewer sessions)", machine_id, m.sessions.size());
    for (const auto& id : m.pending_ends) m.agent->send_text(build_session_text(relay_text::SessionEnd, id), Delivery::control);
    m.pending_ends.clear();
    for (auto& [id, session] : m.sessions) {
        if (session.announced) continue;
        m.agent->send_text(build_session_text(relay_text::SessionRequest, id), Delivery::control);
        session.announced = true;
    }
}

void SessionRouter::detach_agent(const std::string& machine_id, const RelayPeer* agent) {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine_id);
    if (it == machines_.end() || it->second.agent.get() != agent) return;
    it->second.agent.reset();
    // Their messages are dropped while the machine has no agent, as before it was behind.
    release_viewers(machine_id, it->second);
    spdlog::info("Agent disconnected: machine {}", machine_id);
    drop_if_idle(machine_id);
}

bool SessionRouter::agent_online(const std::string& machine_id) const {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine_id);
    return it != machines_.end() && it->second.agent != nullptr;
}

size_t SessionRouter::viewer_count(const std::string& machine_id) const {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine_id);
    return it == machines_.end() ? 0 : it->second.sessions.size();
}

bool SessionRouter::viewer_room(const std::string& machine_id, const std::string& resume_session) const {
    std::lock_guard lock(mutex_);
    auto it = machines_.find(machine_id);
    if (it == machines_.end()) return limits_.max_viewers_per_machine > 0;
    return it->second.sessions.size() < limits_.max_viewers_per_machine ||
           (!resume_session.empty() && it->second.sessions.count(resume_session) > 0);
}

std::string SessionRouter::attach_viewer(const std::string& machine_id, const std::string& resume_session,
                                         std::shared_ptr<RelayPeer> viewer) {
    std::lock_guard lock(mutex_);
    Machine& m = machines_[machine_id];
    std::string id = resume_session;
    auto existing = id.empty() ? m.sessions.end() : m.sessions.find(id);
    if (existing != m.sessions.end()) {
        // The viewer came back before its old connection was noticed as gone.
        existing->second.viewer->close(kCloseReplaced, "replaced by a new connection");
        existing->second.viewer = viewer;
        existing->second.held = false;  // the new connection reads from the start
    } else {
        if (m.sessions.size() >= limits_.max_viewers_per_machine) {
            drop_if_idle(machine_id);
            return {};
        }
        if (id.empty()) {
            do id = random_uuid();
            while (!id.empty() && m.sessions.count(id));
            if (id.empty()) {
                spdlog::error("Cannot make a session id for machine {}", machine_id);
                drop_if_idle(machine_id);
                return {};
            }
        }
        // A resumed session is one the agent already holds keys for: no new announcement,
        // and an end notice still waiting for the agent no longer applies.
        bool resumed = !resume_session.empty();
        std::erase(m.pending_ends, id);
        m.sessions[id] = Session{viewer, resumed};
    }
    viewer->send_text(build_session_text(relay_text::Session, id), Delivery::control);
    Session& s = m.sessions[id];
    if (m.agent && !s.announced) {
        m.agent->send_text(build_session_text(relay_text::SessionRequest, id), Delivery::control);
        s.announced = true;
    }
    spdlog::info("Viewer session {} {} on machine {} (agent {})", id, resume_session.empty() ? "started" : "resumed",
                 machine_id, m.agent ? "online" : "offline");
    return id;
}

void SessionRouter::detach_viewer(const std::string& machine_id, const std::string& session_id,
                                  const RelayPeer* viewer) {
    std::lock_guard lock(mutex_);
    auto mit = machines_.find(machine_id);
    if (mit == machines_.end()) return;
    Machine& m = mit->second;
    auto sit = m.sessions.find(session_id);
    if (sit == m.sessions.end() || sit->second.viewer.get() != viewer) return;
    bool announced = sit->second.announced;
    m.sessions.erase(sit);
    spdlog::info("Viewer session {} ended on machine {}", session_id, machine_id);
    if (announced) {
        if (m.agent) {
            m.agent->send_text(build_session_text(relay_text::SessionEnd, session_id), Delivery::control);
        } else {
            m.pending_ends.push_back(session_id);
            if (m.pending_ends.size() > limits_.max_pending_ends) m.pending_ends.pop_front();
        }
    }
    drop_if_idle(machine_id);
}

bool SessionRouter::forward_to_agent(const std::string& machine_id, const std::string& session_id,
                                     const RelayPeer* viewer, std::string message, bool binary) {
    std::lock_guard lock(mutex_);
    auto mit = machines_.find(machine_id);
    if (mit == machines_.end()) return true;
    Machine& m = mit->second;
    auto sit = m.sessions.find(session_id);
    if (sit == m.sessions.end() || sit->second.viewer.get() != viewer) return true;
    if (!m.agent) return true;  // agent offline: the message is dropped
    if (binary) m.agent->send_binary(std::move(message), Delivery::reliable);
    else m.agent->send_text(std::move(message), Delivery::reliable);
    if (!m.agent_behind) {
        size_t queued = m.agent->queued_bytes();
        if (queued <= limits_.max_agent_queue) return true;
        m.agent_behind = true;
        spdlog::info("Agent for machine {} is behind ({} bytes queued): holding back its viewers", machine_id, queued);
    }
    // Each viewer gets at most one more message in before it waits: memory stays bounded.
    sit->second.held = true;
    return false;
}

bool SessionRouter::viewer_binary(const std::string& machine_id, const std::string& session_id,
                                  const RelayPeer* viewer, std::string_view payload) {
    std::string frame;
    frame.reserve(session_id.size() + payload.size());
    frame.append(session_id).append(payload);
    return forward_to_agent(machine_id, session_id, viewer, std::move(frame), true);
}

bool SessionRouter::viewer_text(const std::string& machine_id, const std::string& session_id,
                                const RelayPeer* viewer, std::string_view text) {
    auto signal = parse_signal(text, false);
    if (!signal) {
        spdlog::debug("Ignored viewer text message on session {}", session_id);
        return true;
    }
    return forward_to_agent(
        machine_id, session_id, viewer,
        build_relay_signal(session_id, signal->payload), false);
}

void SessionRouter::agent_sent(const std::string& machine_id, const RelayPeer* agent) {
    std::lock_guard lock(mutex_);
    auto mit = machines_.find(machine_id);
    if (mit == machines_.end() || mit->second.agent.get() != agent || !mit->second.agent_behind) return;
    if (mit->second.agent->queued_bytes() > limits_.max_agent_queue / 2) return;
    spdlog::info("Agent for machine {} caught up: its viewers are read again", machine_id);
    release_viewers(machine_id, mit->second);
}

void SessionRouter::agent_binary(const std::string& machine_id, const RelayPeer* agent, std::string_view frame) {
    if (frame.size() <= SESSION_ID_LENGTH) return;
    std::shared_ptr<RelayPeer> viewer;
    {
        std::lock_guard lock(mutex_);
        auto mit = machines_.find(machine_id);
        if (mit == machines_.end() || mit->second.agent.get() != agent) return;
        auto sit = mit->second.sessions.find(std::string(frame.substr(0, SESSION_ID_LENGTH)));
        if (sit == mit->second.sessions.end()) return;
        viewer = sit->second.viewer;
    }
    viewer->send_binary(std::string(frame.substr(SESSION_ID_LENGTH)), Delivery::data);
}

void SessionRouter::agent_text(const std::string& machine_id, const RelayPeer* agent, std::string_view text) {
    auto signal = parse_signal(text, true);
    if (!signal) {
        spdlog::debug("Ignored agent text message from machine {}", machine_id);
        return;
    }
    std::shared_ptr<RelayPeer> viewer;
    {
        std::lock_guard lock(mutex_);
        auto mit = machines_.find(machine_id);
        if (mit == machines_.end() || mit->second.agent.get() != agent) return;
        auto sit = mit->second.sessions.find(signal->session_id);
        if (sit == mit->second.sessions.end()) return;
        viewer = sit->second.viewer;
    }
    viewer->send_text(build_viewer_signal(signal->payload), Delivery::data);
}

void SessionRouter::close_all(uint16_t code, const std::string& reason) {
    std::lock_guard lock(mutex_);
    for (auto& [id, m] : machines_) {
        if (m.agent) m.agent->close(code, reason);
        for (auto& [sid, s] : m.sessions) s.viewer->close(code, reason);
    }
}

void SessionRouter::clear() {
    std::map<std::string, Machine> gone;
    {
        std::lock_guard lock(mutex_);
        gone.swap(machines_);
    }
}

void SessionRouter::release_viewers(const std::string& machine_id, Machine& m) {
    m.agent_behind = false;
    size_t released = 0;
    for (auto& [id, session] : m.sessions) {
        if (!session.held) continue;
        session.held = false;
        session.viewer->resume_reading();
        ++released;
    }
    if (released > 0) spdlog::debug("Machine {}: {} held-back viewers read again", machine_id, released);
}

void SessionRouter::drop_if_idle(const std::string& machine_id) {
    auto it = machines_.find(machine_id);
    if (it != machines_.end() && !it->second.agent && it->second.sessions.empty() && it->second.pending_ends.empty())
        machines_.erase(it);
}

}  // namespace relay
