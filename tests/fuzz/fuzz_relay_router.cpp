// What agents and viewers send the relay over their WebSockets, through SessionRouter:
// a machine with an agent and two viewer sessions receives a sequence of text and binary
// messages from either side. Nothing crashes, a viewer's signal reaches the agent only
// rewritten with that viewer's session id, an agent's signal reaches only the viewer it
// names, and binary frames reach the session they name without the id.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/spdlog.h>

#include "net/protocol.h"
#include "relay/session_router.h"
#include "tests/fuzz/protocol_checks.h"

using fuzzcheck::require;
using namespace relay;

namespace {

struct Peer : RelayPeer {
    std::vector<std::string> texts, binaries;
    void send_text(std::string text, Delivery) override { texts.push_back(std::move(text)); }
    void send_binary(std::string data, Delivery) override { binaries.push_back(std::move(data)); }
    size_t queued_bytes() const override { return 0; }
    void resume_reading() override {}
    void close(uint16_t, std::string) override {}
};

const std::string kMachine = "m-1";
const std::string kSessions[2] = {"00000000-0000-4000-8000-000000000001", "00000000-0000-4000-8000-000000000002"};

// Input records: one byte (who sends and how, and the length's high bits), one length byte, the message.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool next(uint8_t& how, std::string_view& message) {
        if (pos + 2 > size) return false;
        how = data[pos];
        size_t len = data[pos + 1] | (static_cast<size_t>(how >> 3) << 8);
        pos += 2;
        len = std::min(len, size - pos);
        message = std::string_view(reinterpret_cast<const char*>(data + pos), len);
        pos += len;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    spdlog::set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SessionRouter router;
    auto agent = std::make_shared<Peer>();
    std::shared_ptr<Peer> viewers[2] = {std::make_shared<Peer>(), std::make_shared<Peer>()};
    router.attach_agent(kMachine, agent);
    for (int i = 0; i < 2; ++i) require(router.attach_viewer(kMachine, kSessions[i], viewers[i]) == kSessions[i]);
    agent->texts.clear();
    for (auto& v : viewers) v->texts.clear();

    Reader in{data, size};
    uint8_t how = 0;
    std::string_view message;
    while (in.next(how, message)) {
        const int viewer = (how >> 2) & 1;
        const size_t agent_texts = agent->texts.size(), agent_binaries = agent->binaries.size();
        size_t viewer_texts[2] = {viewers[0]->texts.size(), viewers[1]->texts.size()};
        size_t viewer_binaries[2] = {viewers[0]->binaries.size(), viewers[1]->binaries.size()};
        switch (how & 3) {
            case 0: {  // viewer text
                require(router.viewer_text(kMachine, kSessions[viewer], viewers[viewer].get(), message));
                if (agent->texts.size() == agent_texts) break;
                auto sent = parse_relay_text(agent->texts.back(), true);
                require(sent && sent->type == relay_text::P2PSignal && sent->session_id == kSessions[viewer]);
                require(parse_relay_text(message, false)->payload == sent->payload);
                break;
            }
            case 1: {  // viewer binary
                require(router.viewer_binary(kMachine, kSessions[viewer], viewers[viewer].get(), message));
                require(agent->binaries.size() == agent_binaries + 1);
                require(agent->binaries.back() == kSessions[viewer] + std::string(message));
                break;
            }
            case 2: {  // agent text
                router.agent_text(kMachine, agent.get(), message);
                for (int i = 0; i < 2; ++i) {
                    if (viewers[i]->texts.size() == viewer_texts[i]) continue;
                    auto from = parse_relay_text(message, true);
                    require(from && from->session_id == kSessions[i]);
                    auto sent = parse_relay_text(viewers[i]->texts.back(), false);
                    require(sent && sent->type == relay_text::P2PSignal && sent->payload == from->payload);
                }
                break;
            }
            case 3: {  // agent binary
                router.agent_binary(kMachine, agent.get(), message);
                for (int i = 0; i < 2; ++i) {
                    if (viewers[i]->binaries.size() == viewer_binaries[i]) continue;
                    require(message.substr(0, SESSION_ID_LENGTH) == kSessions[i]);
                    require(viewers[i]->binaries.back() == message.substr(SESSION_ID_LENGTH));
                }
                break;
            }
        }
        require(viewers[0]->texts.size() + viewers[1]->texts.size() <= viewer_texts[0] + viewer_texts[1] + 1);
    }
    return 0;
}
