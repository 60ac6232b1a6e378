#pragma once

// WebRTC signalling payloads carried inside the relay's "p2p_signal" messages, and the
// small pieces of SDP and STUN handling both peers share. No GStreamer here.

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One parsed payload. Parsing is strict JSON; fields are read only for the types that
// use them.
struct P2PSignal {
    std::string type;       // "offer", "answer", "candidate" or anything else
    std::string sdp;        // offer / answer
    std::string candidate;  // candidate line
    std::string mid;        // candidate: "sdpMid", "0" when absent
};

// Throws (nlohmann::json exceptions) on malformed JSON, a root that is not an object, a
// "type" that is not a string, an offer/answer without a string "sdp", or a candidate
// without a string "candidate" or with a non-string "sdpMid".
P2PSignal parse_p2p_signal(const std::string& payload);

// Compact, keys in ascending order: {"sdp":..,"type":..} and
// {"candidate":..,"sdpMid":..,"type":"candidate"}.
std::string build_description_payload(const std::string& type, const std::string& sdp);
std::string build_candidate_payload(const std::string& candidate, const std::string& mid);

// The "a=mid:" value of each media section, in order ("" for a section without one).
std::vector<std::string> sdp_media_ids(const std::string& sdp);

// The m-line index of a media id: its position in `mids`; failing that, a decimal id
// is taken as the index itself (within the list, when there is one). No value for an id
// that cannot be placed.
std::optional<unsigned> mline_for_mid(const std::vector<std::string>& mids, const std::string& mid);
// The media id of an m-line index: from `mids`, else the index written in decimal.
std::string mid_for_mline(const std::vector<std::string>& mids, unsigned mline);

// A server-reflexive candidate (what a STUN server tells us about our public address).
bool is_reflexive_candidate(const std::string& candidate);

// The STUN servers the agent knows, in order of preference, and the one new peers use.
// A peer whose gathering ended without a reflexive candidate reports its server as
// failed (it could not be resolved or it answered nothing), and later peers move on to
// the next one, round the list, so that a server that comes back is tried again.
class StunSelector {
public:
    explicit StunSelector(std::vector<std::string> urls);
    std::string current() const;     // "" when the list is empty
    void report_failed(const std::string& url);
    void report_working(const std::string& url);
    const std::vector<std::string>& urls() const { return urls_; }

private:
    const std::vector<std::string> urls_;
    mutable std::mutex mutex_;
    size_t index_ = 0;
};

// "stun:host:port" (the usual ICE server form) as webrtcbin takes it: "stun://host:port".
// Other forms are returned unchanged.
std::string stun_url_for_webrtcbin(const std::string& url);
