#include "net/ws_transport.h"

#include <atomic>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <openssl/ssl.h>
#ifndef _WIN32
#include <netinet/tcp.h>
#endif
#include <openssl/x509_vfy.h>
#include <spdlog/spdlog.h>

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

uint32_t reconnect_delay_ms(uint32_t k, uint32_t min_ms, uint32_t max_ms) {
    uint64_t wait = max_ms;
    if (k >= 1 && k - 1 < 26) wait = 100ull << (k - 1);
    if (wait < min_ms) wait = min_ms;
    if (wait > max_ms) wait = max_ms;
    return static_cast<uint32_t>(wait);
}

std::string WsUrl::host_header() const {
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (port != (tls ? 443 : 80)) h += ":" + std::to_string(port);
    return h;
}

std::optional<WsUrl> parse_ws_url(const std::string& url) {
    WsUrl out;
    std::string rest;
    if (url.rfind("ws://", 0) == 0) {
        rest = url.substr(5);
    } else if (url.rfind("wss://", 0) == 0) {
        out.tls = true;
        rest = url.substr(6);
    } else {
        return std::nullopt;
    }
    size_t path_at = rest.find_first_of("/?");
    std::string authority = rest.substr(0, path_at);
    out.target = path_at == std::string::npos ? "/" : rest.substr(path_at);
    if (out.target[0] == '?') out.target = "/" + out.target;

    std::string port_text;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) return std::nullopt;
        out.host = authority.substr(1, close - 1);
        std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return std::nullopt;
            port_text = after.substr(1);
            if (port_text.empty()) return std::nullopt;
        }
    } else {
        size_t colon = authority.rfind(':');
        out.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            port_text = authority.substr(colon + 1);
            if (port_text.empty()) return std::nullopt;
        }
    }
    if (out.host.empty() || out.host.find('@') != std::string::npos) return std::nullopt;
    out.port = out.tls ? 443 : 80;
    if (!port_text.empty()) {
        if (port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        unsigned long p = std::stoul(port_text);
        if (p == 0 || p > 65535) return std::nullopt;
        out.port = static_cast<uint16_t>(p);
    }
    return out;
}

namespace {

using Strand = asio::strand<asio::io_context::executor_type>;

constexpr int NOTSENT_LOW_WATER = 16 * 1024;
using PlainWs = websocket::stream<beast::tcp_stream>;
using TlsWs = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

struct Outgoing {
    bool binary = false;
    std::vector<uint8_t> data;
};

// Events a connection reports to its owner; always called on the strand.
class ConnOwner {
public:
    virtual ~ConnOwner() = default;
    virtual void conn_open(const void* conn) = 0;
    virtual void conn_failed(const void* conn, const std::string& reason) = 0;
    virtual void conn_message(const void* conn, bool binary, std::vector<uint8_t> data) = 0;
    // The connection ended: by the peer, by a transport error, or by our own close.
    virtual void conn_lost(const void* conn, uint16_t code, const std::string& reason) = 0;
    virtual void conn_wrote(size_t bytes) = 0;
    // Of those, the bytes that reached the socket (not dropped).
    virtual void conn_sent(size_t bytes) = 0;
};

// One connection attempt and, once open, the connection itself.
class Conn : public std::enable_shared_from_this<Conn> {
public:
    Conn(ConnOwner& owner, Strand strand, ssl::context* tls_ctx, WsUrl url, const WsTransportOptions& opt)
        : owner_(owner), strand_(strand), resolver_(strand), ping_timer_(strand), url_(std::move(url)),
          opt_(opt) {
        if (tls_ctx) tls_.emplace(strand, *tls_ctx);
        else plain_.emplace(strand);
    }

    void run() {
        if (tls_) {
            SSL* ssl_handle = tls_->next_layer().native_handle();
            if (!is_ip_literal() && !SSL_set_tlsext_host_name(ssl_handle, url_.host.c_str())) {
                fail("TLS setup failed: cannot set server name");
                return;
            }
            tls_->next_layer().set_verify_mode(ssl::verify_peer);
            ssl::host_name_verification check(url_.host);
            tls_->next_layer().set_verify_callback([check](bool preverified, ssl::verify_context& ctx) {
                if (!preverified) return false;
                if (check(preverified, ctx)) return true;
                X509_STORE_CTX_set_error(ctx.native_handle(), X509_V_ERR_HOSTNAME_MISMATCH);
                return false;
            });
        }
        resolver_.async_resolve(url_.host, std::to_string(url_.port),
                                [self = shared_from_this()](error_code ec, tcp::resolver::results_type results) {
                                    self->on_resolve(ec, std::move(results));
                                });
    }

    // Handshake deadline passed: abandon the attempt.
    void time_out() {
        if (state_ != State::Connecting) return;
        timed_out_ = true;
        resolver_.cancel();
        with_ws([](auto& ws) {
            error_code ignored;
            beast::get_lowest_layer(ws).socket().close(ignored);
        });
    }

    // Ends the connection without reporting anything (transport stopping).
    void abandon() {
        state_ = State::Done;
        resolver_.cancel();
        ping_timer_.cancel();
        with_ws([](auto& ws) {
            error_code ignored;
            beast::get_lowest_layer(ws).socket().close(ignored);
        });
    }

    // Our own close: what is already queued goes out first (an upload's last chunks must
    // not be thrown away), then the close frame; the close handler reports the end and
    // `done` runs afterwards either way. Sends made after this are refused.
    void close(uint16_t code, const std::string& reason, std::function<void()> done) {
        if (state_ == State::Open && (writing_ || !queue_.empty())) {
            close_after_flush_ = [this, code, reason, done = std::move(done)]() mutable {
                close(code, reason, std::move(done));
            };
            return;
        }
        if (state_ != State::Open) {
            abandon();
            if (done) done();
            return;
        }
        state_ = State::Closing;
        ping_timer_.cancel();
        drop_queue();
        websocket::close_reason cr(static_cast<websocket::close_code>(code), reason);
        with_ws([&](auto& ws) {
            ws.async_close(cr, [self = shared_from_this(), code, reason, done](error_code) {
                if (self->state_ == State::Closing) {
                    self->state_ = State::Done;
                    self->owner_.conn_lost(self.get(), code, reason);
                }
                error_code ignored;
                self->with_ws([&](auto& s) { beast::get_lowest_layer(s).socket().close(ignored); });
                if (done) done();
            });
        });
    }

    void enqueue(Outgoing msg) {
        if (state_ != State::Open || close_after_flush_) {
            owner_.conn_wrote(msg.data.size());
            return;
        }
        queue_.push_back(std::move(msg));
        if (!writing_) write_next();
    }

    bool open() const { return state_ == State::Open; }

private:
    enum class State { Connecting, Open, Closing, Done };

    template <class F>
    void with_ws(F&& f) {
        if (tls_) f(*tls_);
        else f(*plain_);
    }

    bool is_ip_literal() const {
        error_code ec;
        asio::ip::make_address(url_.host, ec);
        return !ec;
    }

    void fail(const std::string& what) {
        if (state_ != State::Connecting) return;
        state_ = State::Done;
        owner_.conn_failed(this, timed_out_ ? "Handshake timed out" : what);
    }

    void on_resolve(error_code ec, tcp::resolver::results_type results) {
        if (ec) return fail("Cannot resolve " + url_.host + ": " + ec.message());
        if (state_ != State::Connecting) return;
        with_ws([&](auto& ws) {
            beast::get_lowest_layer(ws).async_connect(
                results, [self = shared_from_this()](error_code e, const tcp::endpoint&) { self->on_connect(e); });
        });
    }

    void on_connect(error_code ec) {
        if (ec) return fail("Connect to " + url_.host_header() + " failed: " + ec.message());
        if (state_ != State::Connecting) return;
        // Small messages (a key exchange reply, a pointer update) must not wait behind an
        // unacknowledged video frame for Nagle's algorithm.
        with_ws([](auto& ws) {
            error_code ignored;
            beast::get_lowest_layer(ws).socket().set_option(tcp::no_delay(true), ignored);
#ifdef TCP_NOTSENT_LOWAT
            // Keep what the kernel holds unsent small, so that a slow link shows up in our
            // own queue (queued_bytes), where the sender can see it and hold back.
            using notsent_lowat = asio::detail::socket_option::integer<IPPROTO_TCP, TCP_NOTSENT_LOWAT>;
            beast::get_lowest_layer(ws).socket().set_option(notsent_lowat(NOTSENT_LOW_WATER), ignored);
#endif
        });
        if (tls_) {
            tls_->next_layer().async_handshake(ssl::stream_base::client,
                                               [self = shared_from_this()](error_code e) { self->on_tls(e); });
        } else {
            upgrade();
        }
    }

    void on_tls(error_code ec) {
        if (ec) {
            std::string why = "TLS handshake failed: " + ec.message();
            long verify = SSL_get_verify_result(tls_->next_layer().native_handle());
            if (verify != X509_V_OK) why += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
            return fail(why);
        }
        if (state_ != State::Connecting) return;
        upgrade();
    }

    void upgrade() {
        with_ws([&](auto& ws) {
            websocket::stream_base::timeout t{};
            t.handshake_timeout = opt_.handshake_timeout;
            t.idle_timeout = websocket::stream_base::none();
            t.keep_alive_pings = false;
            ws.set_option(t);
            ws.read_message_max(opt_.max_message_size);
            ws.control_callback([this](websocket::frame_type kind, beast::string_view) {
                if (kind == websocket::frame_type::pong) awaiting_pong_ = false;
            });
            ws.async_handshake(response_, url_.host_header(), url_.target,
                               [self = shared_from_this()](error_code e) { self->on_upgrade(e); });
        });
    }

    void on_upgrade(error_code ec) {
        if (ec == websocket::error::upgrade_declined)
            return fail("WebSocket upgrade declined: HTTP " + std::to_string(response_.result_int()) + " " +
                        std::string(response_.reason()));
        if (ec) return fail("WebSocket handshake failed: " + ec.message());
        if (state_ != State::Connecting) return;
        state_ = State::Open;
        owner_.conn_open(this);
        if (state_ != State::Open) return;
        schedule_ping();
        read();
    }

    void read() {
        with_ws([&](auto& ws) {
            ws.async_read(buffer_, [self = shared_from_this()](error_code ec, size_t) { self->on_read(ec); });
        });
    }

    void on_read(error_code ec) {
        if (state_ != State::Open) return;  // our own close or abandon: reported elsewhere
        if (ec) {
            if (ec == websocket::error::closed) {
                uint16_t code = 1005;
                std::string reason;
                with_ws([&](auto& ws) {
                    code = ws.reason().code;
                    reason = std::string(ws.reason().reason.data(), ws.reason().reason.size());
                });
                return lose(code, reason);
            }
            return lose(1006, ec.message());
        }
        bool binary = false;
        with_ws([&](auto& ws) { binary = ws.got_binary(); });
        auto bufs = buffer_.data();
        std::vector<uint8_t> data(buffer_.size());
        asio::buffer_copy(asio::buffer(data), bufs);
        buffer_.consume(buffer_.size());
        owner_.conn_message(this, binary, std::move(data));
        if (state_ == State::Open) read();
    }

    void lose(uint16_t code, const std::string& reason) {
        state_ = State::Done;
        ping_timer_.cancel();
        drop_queue();
        with_ws([](auto& ws) {
            error_code ignored;
            beast::get_lowest_layer(ws).socket().close(ignored);
        });
        owner_.conn_lost(this, code, reason);
    }

    void write_next() {
        if (queue_.empty() || state_ != State::Open) {
            writing_ = false;
            run_pending_close();
            return;
        }
        writing_ = true;
        Outgoing& msg = queue_.front();
        with_ws([&](auto& ws) {
            ws.binary(msg.binary);
            ws.async_write(asio::buffer(msg.data), [self = shared_from_this()](error_code ec, size_t) {
                self->on_write(ec);
            });
        });
    }

    void on_write(error_code ec) {
        if (!queue_.empty()) {
            if (!ec) owner_.conn_sent(queue_.front().data.size());
            owner_.conn_wrote(queue_.front().data.size());
            queue_.pop_front();
        }
        if (ec) {
            writing_ = false;
            if (state_ == State::Open) lose(1006, ec.message());
            run_pending_close();
            return;
        }
        write_next();
    }

    // A close that waited for the queue to drain (or for the connection to fail).
    void run_pending_close() {
        if (!close_after_flush_) return;
        auto pending = std::move(close_after_flush_);
        close_after_flush_ = nullptr;
        pending();
    }

    void drop_queue() {
        // The frame being written stays until its handler runs.
        size_t keep = writing_ ? 1 : 0;
        while (queue_.size() > keep) {
            owner_.conn_wrote(queue_.back().data.size());
            queue_.pop_back();
        }
    }

    void schedule_ping() {
        if (opt_.ping_interval.count() <= 0) return;
        ping_timer_.expires_after(opt_.ping_interval);
        ping_timer_.async_wait([self = shared_from_this()](error_code ec) {
            if (ec || self->state_ != State::Open) return;
            self->on_ping_due();
        });
    }

    void on_ping_due() {
        if (awaiting_pong_) return lose(1011, "Ping timeout");
        if (!ping_in_flight_) {
            ping_in_flight_ = true;
            awaiting_pong_ = true;
            with_ws([&](auto& ws) {
                ws.async_ping({}, [self = shared_from_this()](error_code) { self->ping_in_flight_ = false; });
            });
        }
        schedule_ping();
    }

    ConnOwner& owner_;
    Strand strand_;
    tcp::resolver resolver_;
    asio::steady_timer ping_timer_;
    WsUrl url_;
    WsTransportOptions opt_;
    std::optional<PlainWs> plain_;
    std::optional<TlsWs> tls_;
    beast::flat_buffer buffer_;
    websocket::response_type response_;
    std::deque<Outgoing> queue_;
    std::function<void()> close_after_flush_;
    State state_ = State::Connecting;
    bool writing_ = false;
    bool timed_out_ = false;
    bool ping_in_flight_ = false;
    bool awaiting_pong_ = false;
};

}  // namespace

class WsTransport::Impl : public ConnOwner {
public:
    Impl(WsTransportOptions opt, WsEventHandler handler)
        : opt_(std::move(opt)), handler_(std::move(handler)), strand_(asio::make_strand(ioc_)),
          work_(asio::make_work_guard(ioc_)), deadline_(strand_), reconnect_timer_(strand_) {}

    ~Impl() override { shutdown(1000, "Normal closure"); }

    void launch() {
        asio::post(strand_, [this] { attempt(); });
        thread_ = std::thread([this] { ioc_.run(); });
    }

    void set_url(const std::string& url) {
        std::lock_guard<std::mutex> lock(url_mutex_);
        opt_.url = url;
    }

    // False when called on the io thread itself: the close is started but nothing is
    // joined, and a later call from another thread finishes the job.
    bool shutdown(uint16_t code, const std::string& reason) {
        if (!thread_.joinable()) return true;
        if (std::this_thread::get_id() == thread_.get_id()) {
            spdlog::default_logger_raw()->error("WebSocket transport stopped from its own thread; close deferred");
            asio::post(strand_, [this, code, reason] { begin_stop(code, reason, nullptr); });
            return false;
        }
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        asio::post(strand_, [this, code, reason, done] { begin_stop(code, reason, [done] { done->set_value(); }); });
        // Queued messages are flushed before the close frame; a peer that reads too slowly
        // or never answers our close must not hold the caller up for long.
        finished.wait_for(std::chrono::seconds(5));
        work_.reset();
        ioc_.stop();
        thread_.join();
        open_ = false;
        return true;
    }

    bool send(bool binary, std::vector<uint8_t> data) {
        if (!open_) return false;
        size_t size = data.size();
        if (queued_bytes_.fetch_add(size) + size > opt_.max_queued_bytes && size > 0) {
            queued_bytes_.fetch_sub(size);
            spdlog::default_logger_raw()->debug("WebSocket send backlog full; {}-byte frame dropped", size);
            return false;
        }
        asio::post(strand_, [this, msg = Outgoing{binary, std::move(data)}]() mutable {
            if (current_ && current_->open()) current_->enqueue(std::move(msg));
            else conn_wrote(msg.data.size());
        });
        return true;
    }

    size_t queued_bytes() const { return queued_bytes_.load(); }
    uint64_t sent_bytes() const { return sent_bytes_.load(); }

    std::atomic<bool> open_{false};

private:
    void attempt() {
        if (stopping_) return;
        std::string url;
        {
            std::lock_guard<std::mutex> lock(url_mutex_);
            url = opt_.url;
        }
        auto parsed = parse_ws_url(url);
        if (!parsed) {
            conn_failed(nullptr, "Invalid URL: " + url);
            return;
        }
        if (parsed->tls && !tls_ctx_) {
            tls_ctx_.emplace(ssl::context::tls_client);
            tls_ctx_->set_default_verify_paths();
            tls_ctx_->set_verify_mode(ssl::verify_peer);
            error_code ec;
            if (!opt_.ca_file.empty()) tls_ctx_->load_verify_file(opt_.ca_file, ec);
            if (ec) {
                tls_ctx_.reset();
                conn_failed(nullptr, "Cannot load certificates from " + opt_.ca_file + ": " + ec.message());
                return;
            }
        }
        current_ = std::make_shared<Conn>(*this, strand_, parsed->tls ? &*tls_ctx_ : nullptr, *parsed, opt_);
        deadline_.expires_after(opt_.handshake_timeout);
        auto conn = current_;
        deadline_.async_wait([conn](error_code ec) {
            if (!ec) conn->time_out();
        });
        conn->run();
    }

    void begin_stop(uint16_t code, const std::string& reason, std::function<void()> done) {
        stopping_ = true;
        deadline_.cancel();
        reconnect_timer_.cancel();
        if (!current_) {
            if (done) done();
            return;
        }
        auto conn = std::move(current_);
        closing_ = conn;
        conn->close(code, reason, std::move(done));
    }

    void emit(WsEvent ev) {
        if (!handler_) return;
        try {
            handler_(ev);
        } catch (const std::exception& e) {
            spdlog::default_logger_raw()->error("WebSocket event handler failed: {}", e.what());
        } catch (...) {
            spdlog::default_logger_raw()->error("WebSocket event handler failed");
        }
    }

    bool is_current(const void* conn) const { return current_ && current_.get() == conn; }

    void conn_open(const void* conn) override {
        if (!is_current(conn)) return;
        deadline_.cancel();
        failures_ = 0;
        opened_at_ = std::chrono::steady_clock::now();
        open_ = true;
        emit(WsEvent{WsEvent::Type::Open});
    }

    void conn_failed(const void* conn, const std::string& reason) override {
        if (conn && !is_current(conn)) return;
        deadline_.cancel();
        current_.reset();
        if (stopping_) return;
        ++failures_;
        WsEvent ev{WsEvent::Type::Error};
        ev.reason = reason;
        emit(std::move(ev));
        schedule_reconnect(reconnect_delay_ms(failures_, opt_.min_reconnect_wait_ms, opt_.max_reconnect_wait_ms));
    }

    void conn_message(const void* conn, bool binary, std::vector<uint8_t> data) override {
        if (!is_current(conn) || stopping_) return;
        WsEvent ev{WsEvent::Type::Message};
        ev.binary = binary;
        ev.data = std::move(data);
        emit(std::move(ev));
    }

    void conn_lost(const void* conn, uint16_t code, const std::string& reason) override {
        bool ours = closing_ && closing_.get() == conn;
        if (!ours && !is_current(conn)) return;
        open_ = false;
        WsEvent ev{WsEvent::Type::Close};
        ev.close_code = code;
        ev.reason = reason;
        emit(std::move(ev));
        if (ours) {
            closing_.reset();
            return;
        }
        current_.reset();
        if (stopping_) return;
        // A connection that dropped soon after opening waits like a failed attempt, so a
        // peer that accepts and hangs up at once is not hammered.
        auto lived = std::chrono::steady_clock::now() - opened_at_;
        bool short_lived = lived < std::chrono::milliseconds(opt_.min_reconnect_wait_ms);
        schedule_reconnect(short_lived ? opt_.min_reconnect_wait_ms : 0);
    }

    void conn_wrote(size_t bytes) override { queued_bytes_.fetch_sub(bytes); }
    void conn_sent(size_t bytes) override { sent_bytes_.fetch_add(bytes); }

    void schedule_reconnect(uint32_t delay_ms) {
        if (stopping_ || !opt_.auto_reconnect) return;
        reconnect_timer_.expires_after(std::chrono::milliseconds(delay_ms));
        reconnect_timer_.async_wait([this](error_code ec) {
            if (!ec) attempt();
        });
    }

    WsTransportOptions opt_;
    std::mutex url_mutex_;
    WsEventHandler handler_;
    std::optional<ssl::context> tls_ctx_;  // before ioc_: connections left in its queue use it
    asio::io_context ioc_;
    Strand strand_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::steady_timer deadline_;
    asio::steady_timer reconnect_timer_;
    std::shared_ptr<Conn> current_;
    std::shared_ptr<Conn> closing_;
    std::thread thread_;
    std::atomic<size_t> queued_bytes_{0};
    std::atomic<uint64_t> sent_bytes_{0};
    std::chrono::steady_clock::time_point opened_at_{};
    uint32_t failures_ = 0;
    bool stopping_ = false;
};

WsTransport::WsTransport() = default;

WsTransport::~WsTransport() { stop(); }

namespace {

// The query carries the machine's token: the log gets the URL without it.
void log_invalid_url(const std::string& url) {
    spdlog::default_logger_raw()->error("Invalid WebSocket URL: {}", url.substr(0, url.find('?')));
}

}  // namespace

void WsTransport::set_handler(WsEventHandler handler) { handler_ = std::move(handler); }

bool WsTransport::start(const WsTransportOptions& options) {
    if (impl_) {
        spdlog::default_logger_raw()->error("WebSocket transport already started");
        return false;
    }
    if (!parse_ws_url(options.url)) {
        log_invalid_url(options.url);
        return false;
    }
    impl_ = std::make_shared<Impl>(options, handler_);
    impl_->launch();
    return true;
}

void WsTransport::set_url(const std::string& url) {
    if (!parse_ws_url(url)) {
        log_invalid_url(url);
        return;
    }
    if (impl_) impl_->set_url(url);
}

void WsTransport::stop(uint16_t code, const std::string& reason) {
    if (impl_ && impl_->shutdown(code, reason)) impl_.reset();
}

bool WsTransport::send_text(std::string text) {
    if (!impl_) return false;
    return impl_->send(false, std::vector<uint8_t>(text.begin(), text.end()));
}

bool WsTransport::send_binary(std::vector<uint8_t> data) {
    if (!impl_) return false;
    return impl_->send(true, std::move(data));
}

bool WsTransport::is_open() const { return impl_ && impl_->open_; }

size_t WsTransport::queued_bytes() const { return impl_ ? impl_->queued_bytes() : 0; }

uint64_t WsTransport::sent_bytes() const { return impl_ ? impl_->sent_bytes() : 0; }

std::unique_ptr<IWsTransport> make_ws_transport() { return std::make_unique<WsTransport>(); }
