#include "relay/server.h"

#include "net/log_text.h"
#include "relay/request_routing.h"
#include "relay/static_files.h"

#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

namespace relay {

namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

constexpr auto kHttpTimeout = std::chrono::seconds(30);
constexpr auto kShutdownGrace = std::chrono::milliseconds(500);
constexpr const char* kServerName = "zarvex-relay";

// What every connection needs from the server.
struct Context {
    const RelayOptions& options;
    AccountApi& api;
    SessionRouter& router;
    const StaticFiles& files;   // the dashboard under /app/
    net::thread_pool& workers;  // account work (slow password hashing, SQLite) runs here
};

http::response<http::string_body> json_response(int status, std::string body, bool keep_alive) {
    http::response<http::string_body> res{static_cast<http::status>(status), 11};
    res.set(http::field::server, kServerName);
    res.set(http::field::content_type, "application/json");
    res.keep_alive(keep_alive);
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
}

// One upgraded WebSocket connection: an agent or a viewer. Reads run on the connection's
// strand; sends from any thread go through a byte-bounded queue with one write in flight.
// A viewer's next read waits while the router holds it back for a busy agent, so TCP slows
// the viewer down instead of the relay buffering or dropping its messages.
template <class Stream>
class WsSession : public RelayPeer, public std::enable_shared_from_this<WsSession<Stream>> {
public:
    WsSession(Stream&& stream, const Context& ctx, Admission admission)
        : ws_(std::move(stream)), ctx_(ctx), admission_(std::move(admission)) {}

    void accept(http::request<http::string_body> req) {
        beast::get_lowest_layer(ws_).expires_never();
        set_idle_timeout(true);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
        ws_.read_message_max(ctx_.options.max_message);
        ws_.auto_fragment(false);
        ws_.async_accept(req, beast::bind_front_handler(&WsSession::on_accept, this->shared_from_this()));
    }

    void send_text(std::string text, Delivery delivery) override { enqueue({std::move(text), false, false}, delivery); }
    void send_binary(std::string data, Delivery delivery) override {
        enqueue({std::move(data), true, false}, delivery);
    }

    size_t queued_bytes() const override {
        std::lock_guard lock(mutex_);
        return queued_bytes_;
    }

    void resume_reading() override {
        net::post(ws_.get_executor(), [self = this->shared_from_this()] { self->on_resume(); });
    }

    void close(uint16_t code, std::string reason) override {
        std::lock_guard lock(mutex_);
        if (closing_) return;
        closing_ = true;
        // Keep only the write in flight (always the front); the rest is discarded.
        while (queue_.size() > (writing_ ? 1u : 0u)) {
            queued_bytes_ -= queue_.back().data.size();
            queue_.pop_back();
        }
        close_reason_ = websocket::close_reason(static_cast<websocket::close_code>(code), reason);
        queue_.push_back({{}, false, true});
        start_writing_locked();
    }

private:
    struct Item {
        std::string data;
        bool binary;
        bool close;
    };

    const char* role_name() const { return admission_.role == SocketRole::agent ? "agent" : "viewer"; }

    void on_accept(beast::error_code ec) {
        if (ec) {
            spdlog::debug("WebSocket handshake failed ({} for machine {}): {}", role_name(), admission_.machine_id,
                          ec.message());
            return;
        }
        auto self = this->shared_from_this();
        if (admission_.role == SocketRole::agent) {
            ctx_.router.attach_agent(admission_.machine_id, self);
        } else {
            std::string id = ctx_.router.attach_viewer(admission_.machine_id, admission_.resume_session, self);
            {
                std::lock_guard lock(mutex_);  // other threads read it for their log lines
                session_id_ = id;
            }
            if (id.empty()) {
                close(websocket::close_code::try_again_later, "too many viewers");
                return;
            }
        }
        attached_ = true;
        read();
    }

    void read() {
        ws_.async_read(buffer_, beast::bind_front_handler(&WsSession::on_read, this->shared_from_this()));
    }

    void on_read(beast::error_code ec, size_t) {
        if (ec) {
            if (ec != websocket::error::closed && ec != net::error::operation_aborted)
                spdlog::debug("{} connection for machine {} ended: {}", role_name(), admission_.machine_id,
                              ec.message());
            detach();
            return;
        }
        auto data = buffer_.cdata();
        std::string_view message(static_cast<const char*>(data.data()), data.size());
        bool text = ws_.got_text();
        bool go_on = true;
        if (admission_.role == SocketRole::agent) {
            if (text) ctx_.router.agent_text(admission_.machine_id, this, message);
            else ctx_.router.agent_binary(admission_.machine_id, this, message);
        } else {
            go_on = text ? ctx_.router.viewer_text(admission_.machine_id, session_id_, this, message)
                         : ctx_.router.viewer_binary(admission_.machine_id, session_id_, this, message);
        }
        buffer_.consume(buffer_.size());
        if (go_on) return read();
        // The router calls resume_reading() when the agent has caught up. Until then the
        // viewer's pongs cannot be read, so the idle time-out must not count it as gone.
        read_held_ = true;
        set_idle_timeout(false);
    }

    void on_resume() {
        if (!read_held_ || !attached_) return;
        read_held_ = false;
        set_idle_timeout(true);  // re-armed by the read
        read();
    }

    // Strand only. Without an idle time-out an expiring timer does nothing.
    void set_idle_timeout(bool on) {
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = std::chrono::seconds(30);
        timeout.idle_timeout = on ? websocket::stream_base::duration(std::chrono::seconds(30))  // ping after 15 s
                                  : websocket::stream_base::none();
        timeout.keep_alive_pings = true;
        ws_.set_option(timeout);
    }

    void detach() {
        if (!attached_) return;
        attached_ = false;
        if (admission_.role == SocketRole::agent) ctx_.router.detach_agent(admission_.machine_id, this);
        else ctx_.router.detach_viewer(admission_.machine_id, session_id_, this);
        // Nothing more will be read; let queued writes go so the object can be released.
        std::lock_guard lock(mutex_);
        closing_ = true;
        while (queue_.size() > (writing_ ? 1u : 0u)) {
            queued_bytes_ -= queue_.back().data.size();
            queue_.pop_back();
        }
    }

    void enqueue(Item item, Delivery delivery) {
        std::lock_guard lock(mutex_);
        if (closing_) return;
        // A message larger than the whole limit still goes out when nothing else is waiting.
        // Only agent -> viewer data is dropped; viewer -> agent traffic is paced by the router.
        if (delivery == Delivery::data && queued_bytes_ > 0 &&
            queued_bytes_ + item.data.size() > ctx_.options.max_queue) {
            if (dropped_ == 0)
                spdlog::warn("Outgoing queue of {} for machine {} {} is full: dropping frames", role_name(),
                             admission_.machine_id, session_id_);
            ++dropped_;
            return;
        }
        queued_bytes_ += item.data.size();
        queue_.push_back(std::move(item));
        start_writing_locked();
    }

    void start_writing_locked() {
        if (writing_) return;
        writing_ = true;
        net::post(ws_.get_executor(), beast::bind_front_handler(&WsSession::write_front, this->shared_from_this()));
    }

    // Runs on the strand with writing_ set and the queue not empty.
    void write_front() {
        std::unique_lock lock(mutex_);
        Item& item = queue_.front();
        if (item.close) {
            websocket::close_reason reason = close_reason_;
            lock.unlock();
            ws_.async_close(reason, [self = this->shared_from_this()](beast::error_code) {});
            return;  // writing_ stays set: nothing is written after a close
        }
        ws_.binary(item.binary);
        net::const_buffer buf(item.data.data(), item.data.size());
        lock.unlock();
        ws_.async_write(buf, beast::bind_front_handler(&WsSession::on_write, this->shared_from_this()));
    }

    void on_write(beast::error_code ec, size_t) {
        std::unique_lock lock(mutex_);
        queued_bytes_ -= queue_.front().data.size();
        queue_.pop_front();
        if (ec) {
            // The connection is gone; the pending read ends too and detaches. A held-back
            // viewer has no read pending, so it detaches here.
            closing_ = true;
            queue_.clear();
            queued_bytes_ = 0;
            writing_ = false;
            lock.unlock();
            if (read_held_) detach();
            return;
        }
        if (dropped_ > 0 && queued_bytes_ <= ctx_.options.max_queue / 2) {
            spdlog::info("Outgoing queue of {} for machine {} {} drained; {} frames were dropped", role_name(),
                         admission_.machine_id, session_id_, dropped_);
            dropped_ = 0;
        }
        bool more = !queue_.empty();
        if (!more) writing_ = false;
        lock.unlock();
        if (admission_.role == SocketRole::agent) ctx_.router.agent_sent(admission_.machine_id, this);
        if (more) write_front();
    }

    websocket::stream<Stream> ws_;
    const Context& ctx_;
    Admission admission_;
    std::string session_id_;  // viewer only; set once on the strand, under mutex_
    bool attached_ = false;   // strand only
    bool read_held_ = false;  // strand only: no read pending until the router resumes it
    beast::flat_buffer buffer_;

    mutable std::mutex mutex_;  // guards the fields below
    std::deque<Item> queue_;
    size_t queued_bytes_ = 0;
    bool writing_ = false;
    bool closing_ = false;
    size_t dropped_ = 0;  // frames dropped in the current full-queue episode
    websocket::close_reason close_reason_;
};

// One HTTP connection: answers API requests (keep-alive) until it is upgraded or closed.
template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(Stream&& stream, const Context& ctx) : stream_(std::move(stream)), ctx_(ctx) {}

    void start() {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            beast::get_lowest_layer(stream_).expires_after(kHttpTimeout);
            stream_.async_handshake(ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (ec) {
                                            spdlog::debug("TLS handshake failed: {}", ec.message());
                                            return;
                                        }
                                        self->read();
                                    });
        } else {
            read();
        }
    }

private:
    void read() {
        parser_.emplace();
        limit_request(*parser_, ctx_.options);
        beast::get_lowest_layer(stream_).expires_after(kHttpTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&HttpSession::on_read, this->shared_from_this()));
    }

    void on_read(beast::error_code ec, size_t) {
        if (ec) {
            auto answer = read_failure_answer(ec);
            if (!answer) return shutdown();
            return reply(answer->status, std::move(answer->body), false);
        }

        auto req = std::make_shared<HttpRequest>(parser_->release());
        RoutedRequest routed = route_request(*req);
        switch (routed.kind) {
            case RoutedRequest::Kind::answer:
                return reply(routed.answer.status, std::move(routed.answer.body), false);
            case RoutedRequest::Kind::socket:
                net::post(ctx_.workers, [self = this->shared_from_this(), req, t = std::move(routed.target)] {
                    Admission admission = self->ctx_.api.admit(t);
                    net::post(self->stream_.get_executor(), [self, req, admission = std::move(admission)]() mutable {
                        self->upgrade(*req, std::move(admission));
                    });
                });
                return;
            case RoutedRequest::Kind::static_file: {
                StaticResponse res = ctx_.files.serve(routed.method, routed.path, routed.if_none_match);
                return reply_static(std::move(res), routed.keep_alive, routed.head);
            }
            case RoutedRequest::Kind::api:
                break;
        }
        net::post(ctx_.workers, [self = this->shared_from_this(), api_req = std::move(routed.api),
                                 keep_alive = routed.keep_alive] {
            ApiResponse res = self->ctx_.api.handle(api_req);
            net::post(self->stream_.get_executor(), [self, res = std::move(res), keep_alive] {
                self->reply(res.status, res.body, keep_alive, res.allow);
            });
        });
    }

    void upgrade(http::request<http::string_body>& req, Admission admission) {
        if (admission.status != 101) {
            spdlog::info("Refused {} connection for machine {}: {} {}",
                         admission.role == SocketRole::agent ? "agent" : "viewer", log_text(admission.machine_id),
                         admission.status, admission.error);
            return reply(admission.status, AccountApi::error_body(admission.error), false);
        }
        if (admission.role == SocketRole::viewer &&
            !ctx_.router.viewer_room(admission.machine_id, admission.resume_session))
            return reply(503, AccountApi::error_body("too many viewers for this machine"), false);
        std::make_shared<WsSession<Stream>>(std::move(stream_), ctx_, std::move(admission))->accept(std::move(req));
    }

    void reply(int status, std::string body, bool keep_alive, const std::string& allow = {}) {
        auto res = std::make_shared<http::response<http::string_body>>(json_response(status, std::move(body), keep_alive));
        if (!allow.empty()) res->set(http::field::allow, allow);
        beast::get_lowest_layer(stream_).expires_after(kHttpTimeout);
        http::async_write(stream_, *res, [self = this->shared_from_this(), res](beast::error_code ec, size_t) {
            if (ec) return;
            if (res->keep_alive()) self->read();
            else self->shutdown();
        });
    }

    void reply_static(StaticResponse res, bool keep_alive, bool head) {
        auto out = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(res.status), 11);
        out->set(http::field::server, kServerName);
        for (const auto& [name, value] : res.headers) out->set(name, value);
        out->keep_alive(keep_alive);
        out->body() = std::move(res.body);
        out->prepare_payload();
        if (head) out->body().clear();  // Content-Length stays that of the GET
        beast::get_lowest_layer(stream_).expires_after(kHttpTimeout);
        http::async_write(stream_, *out, [self = this->shared_from_this(), out](beast::error_code ec, size_t) {
            if (ec) return;
            if (out->keep_alive()) self->read();
            else self->shutdown();
        });
    }

    void shutdown() {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(5));
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
        } else {
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
    }

    Stream stream_;
    const Context& ctx_;
    beast::flat_buffer buffer_;
    std::optional<HttpRequestParser> parser_;
};

class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(net::io_context& ioc, const Context& ctx, ssl::context* tls)
        : ioc_(ioc), acceptor_(ioc), ctx_(ctx), tls_(tls) {}

    bool open(const tcp::endpoint& endpoint) {
        beast::error_code ec;
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
        if (ec) {
            spdlog::error("Cannot listen on {}:{}: {}", endpoint.address().to_string(), endpoint.port(), ec.message());
            return false;
        }
        return true;
    }

    tcp::endpoint local_endpoint() const { return acceptor_.local_endpoint(); }
    void start() { accept(); }
    void stop() {
        beast::error_code ignored;
        acceptor_.close(ignored);
    }

private:
    void accept() {
        acceptor_.async_accept(net::make_strand(ioc_), beast::bind_front_handler(&Listener::on_accept, shared_from_this()));
    }

    void on_accept(beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted) return;
        if (ec) {
            spdlog::warn("Accept failed: {}", ec.message());
        } else {
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            if (tls_)
                std::make_shared<HttpSession<TlsStream>>(TlsStream(std::move(socket), *tls_), ctx_)->start();
            else
                std::make_shared<HttpSession<PlainStream>>(PlainStream(std::move(socket)), ctx_)->start();
        }
        if (acceptor_.is_open()) accept();
    }

    net::io_context& ioc_;
    tcp::acceptor acceptor_;
    const Context& ctx_;
    ssl::context* tls_;
};

std::unique_ptr<ssl::context> make_tls_context(const RelayOptions& options) {
    auto tls = std::make_unique<ssl::context>(ssl::context::tls_server);
    tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                     ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    beast::error_code ec;
    tls->use_certificate_chain_file(options.cert, ec);
    if (ec) {
        spdlog::error("Cannot load TLS certificate {}: {}", options.cert, ec.message());
        return nullptr;
    }
    tls->use_private_key_file(options.key, ssl::context::pem, ec);
    if (ec) {
        spdlog::error("Cannot load TLS key {}: {}", options.key, ec.message());
        return nullptr;
    }
    return tls;
}

}  // namespace

int serve(const RelayOptions& options, AccountApi& api, SessionRouter& router) {
    beast::error_code ec;
    auto address = net::ip::make_address(options.listen, ec);
    if (ec) {
        spdlog::error("Invalid listen address {}: {}", options.listen, ec.message());
        return 1;
    }
    std::unique_ptr<ssl::context> tls;
    if (!options.cert.empty()) {
        tls = make_tls_context(options);
        if (!tls) return 1;
    }

    net::io_context ioc(options.threads);
    net::thread_pool workers(2);
    StaticFiles files(options.web_root);
    Context ctx{options, api, router, files, workers};
    auto listener = std::make_shared<Listener>(ioc, ctx, tls.get());
    if (!listener->open(tcp::endpoint(address, options.port))) return 1;

    auto bound = listener->local_endpoint();
    std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]" : bound.address().to_string();
    std::string url = std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(bound.port());
    std::printf("Listening on %s\n", url.c_str());
    std::fflush(stdout);
    spdlog::info("Relay listening on {}", url);
    listener->start();

    net::signal_set signals(ioc, SIGINT, SIGTERM);
    net::steady_timer grace(ioc);
    signals.async_wait([&](beast::error_code sig_ec, int sig) {
        if (sig_ec) return;
        spdlog::info("Stopping on signal {}", sig);
        listener->stop();
        router.close_all(websocket::close_code::going_away, "server shutting down");
        grace.expires_after(kShutdownGrace);
        grace.async_wait([&](beast::error_code) { ioc.stop(); });
    });

    std::vector<std::thread> threads;
    for (int i = 1; i < options.threads; ++i) threads.emplace_back([&] { ioc.run(); });
    ioc.run();
    for (auto& t : threads) t.join();
    workers.join();
    // Connections still known to the router must go before the io_context they live on.
    router.clear();
    spdlog::info("Relay stopped");
    return 0;
}

}  // namespace relay
