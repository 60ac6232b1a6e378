// Bytes a client sends the relay on one connection: Boost.Beast's request parser with the
// relay's limits, then the relay's own sorting of each request (route_request), its
// answers to unreadable requests, the dashboard files, the account API on an in-memory
// database, the admission of WebSocket upgrades and, once upgraded, the WebSocket frames
// read with the relay's message limit and handed to the session router. Keep-alive
// requests follow each other as the relay reads them.
//
// The database holds an account with a machine and a second account with another; inputs
// name them with the placeholders @TOKEN@, @MACHINE@ and @OTHER@ (seeds use them), which
// are replaced before the bytes are read. The answers must be well-formed: JSON bodies,
// the expected statuses, never a 500 from a healthy database.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "relay/account_api.h"
#include "relay/account_store.h"
#include "relay/request_routing.h"
#include "relay/session_router.h"
#include "relay/static_files.h"
#include "tests/fuzz/protocol_checks.h"

using fuzzcheck::require;
using namespace relay;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

struct Peer : RelayPeer {
    void send_text(std::string, Delivery) override {}
    void send_binary(std::string, Delivery) override {}
    size_t queued_bytes() const override { return 0; }
    void resume_reading() override {}
    void close(uint16_t, std::string) override {}
};

bool is_json(const std::string& body) { return nlohmann::json::accept(body); }

struct World {
    RelayOptions options;
    SessionRouter router;
    StaticFiles files{options.web_root};
    std::unique_ptr<AccountStore> store;
    std::unique_ptr<AccountApi> api;
    std::string token, machine, other;
    boost::asio::io_context ioc;
    size_t runs = 0;

    World() {
        // Small enough that the fuzzer's inputs reach the body limit; the code path is the relay's.
        options.max_body = 2048;
        reset();
    }

    // A fresh database every so often, so that accounts the inputs register do not pile up.
    void reset() {
        api.reset();
        store = std::make_unique<AccountStore>(1);
        require(store->open(":memory:"));
        require(store->register_user("fuzz-user", "", "fuzz-password") == RegisterStatus::created);
        require(store->register_user("other-user", "", "other-password") == RegisterStatus::created);
        LoginResult login = store->login("fuzz-user", "fuzz-password");
        require(login.status == LoginStatus::ok);
        token = login.token;
        machine = store->register_machine(*store->user_for_token(token), "fuzz-pc", "Linux").value();
        LoginResult other_login = store->login("other-user", "other-password");
        other = store->register_machine(*store->user_for_token(other_login.token), "other-pc", "Linux").value();
        api = std::make_unique<AccountApi>(*store, [this](const std::string& id) { return router.agent_online(id); });
    }

    std::string substitute(std::string text) const {
        const std::pair<std::string_view, const std::string*> names[] = {
            {"@TOKEN@", &token}, {"@MACHINE@", &machine}, {"@OTHER@", &other}};
        for (const auto& [name, value] : names) {
            for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value->size()))
                text.replace(at, name.size(), *value);
        }
        return text;
    }

    // The upgraded connection: the bytes after the upgrade request are its frames.
    void websocket_session(HttpRequest& req, const Admission& admission, std::string_view rest) {
        beast::test::stream conn(ioc), client(ioc);
        conn.connect(client);
        conn.append(boost::beast::string_view(rest.data(), rest.size()));
        conn.close_remote();
        websocket::stream<beast::test::stream> ws(std::move(conn));
        ws.read_message_max(options.max_message);
        ws.auto_fragment(false);
        beast::error_code ec;
        ws.accept(req, ec);
        if (ec) return;
        auto peer = std::make_shared<Peer>();
        std::string session;
        const bool agent = admission.role == SocketRole::agent;
        if (agent) {
            router.attach_agent(admission.machine_id, peer);
        } else {
            session = router.attach_viewer(admission.machine_id, admission.resume_session, peer);
            require(!session.empty());
            require(admission.resume_session.empty() || session == admission.resume_session);
        }
        beast::flat_buffer buffer;
        for (int n = 0; n < 64; ++n) {
            ws.read(buffer, ec);
            if (ec) break;
            std::string_view message(static_cast<const char*>(buffer.cdata().data()), buffer.size());
            if (agent) {
                if (ws.got_text()) router.agent_text(admission.machine_id, peer.get(), message);
                else router.agent_binary(admission.machine_id, peer.get(), message);
            } else {
                bool go_on = ws.got_text() ? router.viewer_text(admission.machine_id, session, peer.get(), message)
                                           : router.viewer_binary(admission.machine_id, session, peer.get(), message);
                require(go_on);  // the agent here never falls behind
            }
            buffer.consume(buffer.size());
        }
        if (agent) router.detach_agent(admission.machine_id, peer.get());
        else router.detach_viewer(admission.machine_id, session, peer.get());
    }

    // One request; false when the connection ends after it.
    bool request(HttpRequest& req, beast::flat_buffer& buffer, beast::test::stream& conn) {
        RoutedRequest routed = route_request(req);
        switch (routed.kind) {
            case RoutedRequest::Kind::answer:
                require(routed.answer.status == 426 && is_json(routed.answer.body));
                return false;
            case RoutedRequest::Kind::static_file: {
                StaticResponse res = files.serve(routed.method, routed.path, routed.if_none_match);
                require(res.status == 200 || res.status == 301 || res.status == 304 || res.status == 404 ||
                        res.status == 405);
                if (res.status == 200 || res.status == 304) {
                    const std::string rel = StaticFiles::relative_file(routed.path);
                    require(!rel.empty() && rel.find("..") == std::string::npos);
                }
                return routed.keep_alive;
            }
            case RoutedRequest::Kind::api: {
                ApiResponse res = api->handle(routed.api);
                require(res.status != 500 && is_json(res.body));
                require((res.status == 405) == !res.allow.empty());
                return routed.keep_alive;
            }
            case RoutedRequest::Kind::socket: {
                require(AccountApi::is_socket_path(routed.target.path));
                Admission admission = api->admit(routed.target);
                if (admission.status != 101) {
                    require(admission.status >= 400 && admission.status < 500 && !admission.error.empty());
                    return false;
                }
                require(admission.machine_id == machine);
                if (admission.role == SocketRole::viewer &&
                    !router.viewer_room(admission.machine_id, admission.resume_session))
                    return false;
                // The connection goes on as a WebSocket: what was read past the request, then the rest.
                std::string rest(static_cast<const char*>(buffer.cdata().data()), buffer.size());
                char more[4096];
                beast::error_code ec;
                while (size_t n = conn.read_some(boost::asio::buffer(more), ec)) rest.append(more, n);
                websocket_session(req, admission, rest);
                return false;
            }
        }
        return false;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    spdlog::set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    if (++world.runs % 20000 == 0) world.reset();
    // A viewer's messages have an agent to go to.
    auto agent = std::make_shared<Peer>();
    world.router.attach_agent(world.machine, agent);

    beast::test::stream conn(world.ioc), client(world.ioc);
    conn.connect(client);
    conn.append(world.substitute(std::string(reinterpret_cast<const char*>(data), size)));
    conn.close_remote();
    beast::flat_buffer buffer;  // kept across the requests of the connection, as the relay does
    for (int n = 0; n < 16; ++n) {
        HttpRequestParser parser;
        limit_request(parser, world.options);
        beast::error_code ec;
        http::read(conn, buffer, parser, ec);
        if (ec) {
            auto answer = read_failure_answer(ec);
            require(!answer || ((answer->status == 400 || answer->status == 413 || answer->status == 431) &&
                                is_json(answer->body)));
            break;
        }
        HttpRequest req = parser.release();
        if (!world.request(req, buffer, conn)) break;
    }
    world.router.clear();
    return 0;
}
