#include "net/p2p_signal.h"

#include <charconv>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

P2PSignal parse_p2p_signal(const std::string& payload) {
    const nlohmann::json doc = nlohmann::json::parse(payload);
    P2PSignal s;
    s.type = doc.value("type", std::string());
    if (s.type == "offer" || s.type == "answer") {
        s.sdp = doc.at("sdp").get<std::string>();
    } else if (s.type == "candidate") {
        s.mid = doc.value("sdpMid", std::string("0"));
        s.candidate = doc.at("candidate").get<std::string>();
    }
    return s;
}

std::string build_description_payload(const std::string& type, const std::string& sdp) {
    // nlohmann::json keeps object keys sorted, which is the order peers expect.
    nlohmann::json doc{{"type", type}, {"sdp", sdp}};
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string build_candidate_payload(const std::string& candidate, const std::string& mid) {
    nlohmann::json doc{{"type", "candidate"}, {"candidate", candidate}, {"sdpMid", mid}};
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<std::string> sdp_media_ids(const std::string& sdp) {
    std::vector<std::string> mids;
    size_t pos = 0;
    while (pos < sdp.size()) {
        size_t end = sdp.find('\n', pos);
        if (end == std::string::npos) end = sdp.size();
        std::string line = sdp.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("m=", 0) == 0) {
            mids.emplace_back();
        } else if (line.rfind("a=mid:", 0) == 0 && !mids.empty() && mids.back().empty()) {
            mids.back() = line.substr(6);
        }
        pos = end + 1;
    }
    return mids;
}

std::optional<unsigned> mline_for_mid(const std::vector<std::string>& mids, const std::string& mid) {
    for (size_t i = 0; i < mids.size(); ++i)
        if (mids[i] == mid) return static_cast<unsigned>(i);
    // Peers that number their sections ("0", "1") where ours are named otherwise, and the
    // "0" a candidate without a media id stands for.
    unsigned index = 0;
    auto [end, ec] = std::from_chars(mid.data(), mid.data() + mid.size(), index);
    if (mid.empty() || ec != std::errc() || end != mid.data() + mid.size()) return std::nullopt;
    if (!mids.empty() && index >= mids.size()) return std::nullopt;
    return index;
}

std::string mid_for_mline(const std::vector<std::string>& mids, unsigned mline) {
    if (mline < mids.size() && !mids[mline].empty()) return mids[mline];
    return std::to_string(mline);
}

bool is_reflexive_candidate(const std::string& candidate) {
    return candidate.find(" typ srflx") != std::string::npos;
}

StunSelector::StunSelector(std::vector<std::string> urls) : urls_(std::move(urls)) {}

std::string StunSelector::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return urls_.empty() ? std::string() : urls_[index_];
}

void StunSelector::report_failed(const std::string& url) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (urls_.size() < 2 || urls_[index_] != url) return;  // already moved on
    index_ = (index_ + 1) % urls_.size();
    spdlog::default_logger_raw()->warn("P2P STUN server {} gave no address, using {}", url, urls_[index_]);
}

void StunSelector::report_working(const std::string& url) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < urls_.size(); ++i)
        if (urls_[i] == url) index_ = i;
}

std::string stun_url_for_webrtcbin(const std::string& url) {
    if (url.rfind("stun:", 0) == 0 && url.rfind("stun://", 0) != 0) return "stun://" + url.substr(5);
    return url;
}
