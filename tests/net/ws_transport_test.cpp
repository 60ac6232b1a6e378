#include "net/ws_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/process.h"

using namespace std::chrono;

TEST(ReconnectDelay, DoublesFromTheFloorUpToTheCap) {
    const uint32_t expected[] = {1000, 1000, 1000, 1000, 1600, 3200, 6400, 12800, 25600, 30000, 30000};
    for (uint32_t k = 1; k <= 11; ++k) EXPECT_EQ(reconnect_delay_ms(k), expected[k - 1]) << "k=" << k;
    for (uint32_t k : {26u, 27u, 28u, 64u, 1000u, 0xFFFFFFFFu}) EXPECT_EQ(reconnect_delay_ms(k), 30000u) << k;
    EXPECT_EQ(reconnect_delay_ms(3, 100, 500), 400u);
    EXPECT_EQ(reconnect_delay_ms(4, 100, 500), 500u);
}

TEST(WsUrlParsing, SplitsSchemeHostPortAndKeepsTargetAsGiven) {
    auto u = parse_ws_url("wss://relay.example.com/ws/agent?machine_id=M&token=a&b c");
    ASSERT_TRUE(u);
    EXPECT_TRUE(u->tls);
    EXPECT_EQ(u->host, "relay.example.com");
    EXPECT_EQ(u->port, 443);
    EXPECT_EQ(u->target, "/ws/agent?machine_id=M&token=a&b c");
    EXPECT_EQ(u->host_header(), "relay.example.com");

    u = parse_ws_url("ws://127.0.0.1:8080");
    ASSERT_TRUE(u);
    EXPECT_FALSE(u->tls);
    EXPECT_EQ(u->port, 8080);
    EXPECT_EQ(u->target, "/");
    EXPECT_EQ(u->host_header(), "127.0.0.1:8080");

    u = parse_ws_url("ws://[::1]:9000?x=1");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->host, "::1");
    EXPECT_EQ(u->target, "/?x=1");
    EXPECT_EQ(u->host_header(), "[::1]:9000");

    for (const char* bad : {"http://h/", "ws://", "ws://:80/", "ws://h:/", "ws://h:0", "ws://h:70000", "ws://h:8x",
                            "ws://[::1/", "ws://user@h/", "wss//h"})
        EXPECT_FALSE(parse_ws_url(bad)) << bad;
}

namespace {

// Collects transport events with their arrival time.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<steady_clock::time_point, WsEvent>> events;

    WsEventHandler handler() {
        return [this](const WsEvent& ev) {
            std::lock_guard<std::mutex> lock(m);
            events.emplace_back(steady_clock::now(), ev);
            cv.notify_all();
        };
    }
    bool wait_count(size_t n, milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, timeout, [&] { return events.size() >= n; });
    }
};

// A loopback TCP listener that runs `serve` for each accepted connection.
class TinyServer {
public:
    explicit TinyServer(std::function<void(int)> serve) : serve_(std::move(serve)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        ::listen(fd_, 8);
        thread_ = std::thread([this] {
            while (true) {
                int c = ::accept(fd_, nullptr, nullptr);
                if (c < 0) return;
                serve_(c);
                clients_.push_back(c);
            }
        });
    }
    ~TinyServer() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
        for (int c : clients_) ::close(c);
    }
    int port() const { return port_; }

private:
    std::function<void(int)> serve_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::vector<int> clients_;
};

}  // namespace

TEST(WsTransport, FailedAttemptsReportOneErrorEachAndBackOff) {
    Recorder rec;
    WsTransport t;
    t.set_handler(rec.handler());
    WsTransportOptions opt;
    opt.url = "ws://127.0.0.1:" + std::to_string(testsupport::free_port()) + "/ws";
    auto started = steady_clock::now();
    ASSERT_TRUE(t.start(opt));
    EXPECT_FALSE(t.send_text("dropped while not open"));
    ASSERT_TRUE(rec.wait_count(6, seconds(20)));
    t.stop();
    std::lock_guard<std::mutex> lock(rec.m);
    for (auto& [when, ev] : rec.events) {
        EXPECT_EQ(ev.type, WsEvent::Type::Error);
        EXPECT_NE(ev.reason.find("Connection refused"), std::string::npos) << ev.reason;
    }
    EXPECT_LT(rec.events[0].first - started, seconds(1));
    // Waits after failures 1..5: 1000, 1000, 1000, 1000, 1600 ms.
    for (uint32_t k = 1; k <= 5; ++k) {
        auto gap = duration_cast<milliseconds>(rec.events[k].first - rec.events[k - 1].first).count();
        EXPECT_GE(gap, reconnect_delay_ms(k) - 20) << "after failure " << k;
        EXPECT_LE(gap, reconnect_delay_ms(k) + 900) << "after failure " << k;
    }
}

TEST(WsTransport, DeclinedUpgradeAndSilentServerReportWhy) {
    TinyServer refuses([](int c) {
        char buf[4096];
        (void)::recv(c, buf, sizeof buf, 0);
        const char resp[] = "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)::send(c, resp, sizeof resp - 1, MSG_NOSIGNAL);
    });
    Recorder rec;
    {
        WsTransport t;
        t.set_handler(rec.handler());
        WsTransportOptions opt;
        opt.url = "ws://127.0.0.1:" + std::to_string(refuses.port()) + "/ws/agent?machine_id=m&token=bad";
        ASSERT_TRUE(t.start(opt));
        ASSERT_TRUE(rec.wait_count(1, seconds(10)));
    }
    {
        std::lock_guard<std::mutex> lock(rec.m);
        EXPECT_EQ(rec.events[0].second.type, WsEvent::Type::Error);
        EXPECT_NE(rec.events[0].second.reason.find("HTTP 401"), std::string::npos) << rec.events[0].second.reason;
        rec.events.clear();
    }

    TinyServer silent([](int) {});
    WsTransport t;
    t.set_handler(rec.handler());
    WsTransportOptions opt;
    opt.url = "ws://127.0.0.1:" + std::to_string(silent.port()) + "/";
    opt.handshake_timeout = milliseconds(300);
    ASSERT_TRUE(t.start(opt));
    ASSERT_TRUE(rec.wait_count(1, seconds(10)));
    t.stop();
    std::lock_guard<std::mutex> lock(rec.m);
    EXPECT_EQ(rec.events[0].second.type, WsEvent::Type::Error);
    EXPECT_EQ(rec.events[0].second.reason, "Handshake timed out");
}

TEST(WsTransport, RejectsBadUrlsAndStopsCleanlyWhenNeverStarted) {
    WsTransport t;
    LogCapture logs;
    EXPECT_FALSE(t.start(WsTransportOptions{"http://127.0.0.1/ws/agent?machine_id=M&token=secret"}));
    EXPECT_TRUE(logs.contains("error|Invalid WebSocket URL: http://127.0.0.1/ws/agent"));
    EXPECT_FALSE(logs.contains("secret"));  // the token stays out of the log
    EXPECT_FALSE(t.is_open());
    EXPECT_FALSE(t.send_binary({1, 2, 3}));
    t.stop();
    t.stop();
}
