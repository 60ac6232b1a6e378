// "p2p_signal" payloads as agent and viewer read them: parse_p2p_signal never fails other
// than with a JSON exception, what parses survives the agent's own payload builders, and
// the SDP and candidate helpers that run on the parsed fields never crash and stay
// consistent with each other.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "net/p2p_signal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string payload(reinterpret_cast<const char*>(data), size);
    P2PSignal s;
    try {
        s = parse_p2p_signal(payload);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    if (s.type == "offer" || s.type == "answer") {
        P2PSignal back = parse_p2p_signal(build_description_payload(s.type, s.sdp));
        if (back.type != s.type || back.sdp != s.sdp) std::abort();
        auto mids = sdp_media_ids(s.sdp);
        for (unsigned i = 0; i < mids.size(); ++i) {
            std::string mid = mid_for_mline(mids, i);
            auto mline = mline_for_mid(mids, mid);
            if (!mline) std::abort();
            // A named section maps back to the first section of that name.
            if (!mids[i].empty() && (*mline > i || mid_for_mline(mids, *mline) != mid)) std::abort();
        }
    } else if (s.type == "candidate") {
        P2PSignal back = parse_p2p_signal(build_candidate_payload(s.candidate, s.mid));
        if (back.type != "candidate" || back.candidate != s.candidate || back.mid != s.mid) std::abort();
        (void)is_reflexive_candidate(s.candidate);
        (void)mline_for_mid({}, s.mid);
        (void)mline_for_mid({"0", "audio"}, s.mid);
        (void)stun_url_for_webrtcbin(s.candidate);
    }
    return 0;
}
