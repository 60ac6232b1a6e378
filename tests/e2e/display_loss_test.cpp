// The X server going away under a streaming agent: the agent logs the loss, shuts down
// in order (the relay connection closed with 1001 "Going away"), and exits with code 1
// for the service manager to start it again. Nothing on the agent's other X connections
// (clipboard, input, the tray's GTK display) may end the process before that.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tests/e2e/e2e_fixture.h"
#include "tests/host/tray_desktop.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

struct CloseFrame {
    uint16_t code = 0;
    std::string reason;
};

// Follows the client's side of a WebSocket connection (the HTTP upgrade, then masked
// frames) and keeps what its close frames say.
class ClientFrames {
public:
    void feed(const uint8_t* data, size_t size) {
        buffer_.append(reinterpret_cast<const char*>(data), size);
        for (;;) {
            if (!upgraded_) {
                const size_t end = buffer_.find("\r\n\r\n");
                if (end == std::string::npos) return;
                buffer_.erase(0, end + 4);
                upgraded_ = true;
            }
            if (skip_ > 0) {
                const size_t n = std::min<uint64_t>(skip_, buffer_.size());
                buffer_.erase(0, n);
                skip_ -= n;
                if (skip_ > 0) return;
            }
            if (buffer_.size() < 2) return;
            const auto byte = [this](size_t i) { return static_cast<uint8_t>(buffer_[i]); };
            const bool masked = (byte(1) & 0x80) != 0;
            uint64_t length = byte(1) & 0x7F;
            size_t head = 2;
            const size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
            if (buffer_.size() < head + extra) return;
            if (extra > 0) {
                length = 0;
                for (size_t i = 0; i < extra; ++i) length = length << 8 | byte(head + i);
                head += extra;
            }
            const size_t mask_at = head;
            if (masked) head += 4;
            if ((byte(0) & 0x0F) != 0x8) {  // not a close frame: skipped
                if (buffer_.size() < head) return;
                buffer_.erase(0, head);
                skip_ = length;
                continue;
            }
            if (buffer_.size() < head + length) return;
            std::string payload = buffer_.substr(head, length);
            for (size_t i = 0; masked && i < payload.size(); ++i) payload[i] ^= buffer_[mask_at + i % 4];
            buffer_.erase(0, head + length);
            CloseFrame frame;
            if (payload.size() >= 2) {
                frame.code = static_cast<uint16_t>(static_cast<uint8_t>(payload[0]) << 8 | static_cast<uint8_t>(payload[1]));
                frame.reason = payload.substr(2);
            }
            std::lock_guard lock(mutex_);
            closes_.push_back(frame);
        }
    }

    std::vector<CloseFrame> closes() {
        std::lock_guard lock(mutex_);
        return closes_;
    }

private:
    std::string buffer_;
    bool upgraded_ = false;
    uint64_t skip_ = 0;
    std::mutex mutex_;
    std::vector<CloseFrame> closes_;
};

// Stands between the agent and the relay for one connection and reads the agent's frames
// on their way: what reaches the relay is what passed here.
class RelayTap {
public:
    ~RelayTap() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        if (listen_fd_ >= 0) ::close(listen_fd_);
    }

    bool start(int relay_port) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_fd_, 4) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            return false;
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, relay_port] { serve(relay_port); });
        return true;
    }

    int port() const { return port_; }
    std::vector<CloseFrame> closes() { return frames_.closes(); }

private:
    void serve(int relay_port) {
        int agent = -1;
        while (running_ && agent < 0) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) agent = ::accept(listen_fd_, nullptr, nullptr);
        }
        if (agent < 0) return;
        int relay = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(relay_port));
        if (::connect(relay, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) pump(agent, relay);
        ::close(agent);
        ::close(relay);
    }

    // Both directions on this thread, until either side closes.
    void pump(int agent, int relay) {
        std::vector<uint8_t> buffer(64 * 1024);
        while (running_) {
            pollfd fds[2] = {{agent, POLLIN, 0}, {relay, POLLIN, 0}};
            if (::poll(fds, 2, 50) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
                if (n <= 0) return;
                if (i == 0) frames_.feed(buffer.data(), static_cast<size_t>(n));
                for (ssize_t sent = 0; sent < n;) {
                    const ssize_t k = ::send(fds[1 - i].fd, buffer.data() + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
                    if (k <= 0) return;
                    sent += k;
                }
            }
        }
    }

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> running_{true};
    std::thread thread_;
    ClientFrames frames_;
};

class DisplayLoss : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.start_system(640, 480)) << rig.error();
        ASSERT_TRUE(tap.start(rig.port()));
        // The agent reaches the relay through the tap; viewers go straight to the relay.
        const std::string config = rig.appdata() + "/VantorAgent/config.json";
        std::string text = read_file(config);
        const std::string direct = "\"" + rig.server_url() + "\"";
        ASSERT_NE(text.find(direct), std::string::npos) << text;
        text.replace(text.find(direct), direct.size(), "\"http://127.0.0.1:" + std::to_string(tap.port()) + "\"");
        write_file(config, text);
    }

    // With the agent streaming to the viewer: Xvfb stops, and the agent must end as the
    // test's name says within a bounded time.
    void expect_orderly_exit_after_the_display_goes() {
        rig.stop_display();
        Process& agent = rig.agent();
        const std::optional<int> code = agent.wait(30s);
        ASSERT_TRUE(code.has_value()) << "the agent did not end\n" << agent.out() << agent.err();
        const std::string out = agent.out();
        EXPECT_EQ(*code, 1) << out << agent.err();
        const size_t lost = out.find("[error] Lost the connection to the X server");
        const size_t stopping = out.find("[error] Display lost, stopping the agent");
        const size_t shutdown = out.find("[info] Agent shutting down...");
        const size_t closed = out.find("[info] WebSocket disconnected: 1001 Going away");
        ASSERT_NE(lost, std::string::npos) << out;
        ASSERT_NE(stopping, std::string::npos) << out;
        ASSERT_NE(shutdown, std::string::npos) << out;
        ASSERT_NE(closed, std::string::npos) << out;
        EXPECT_LT(lost, stopping);
        EXPECT_LT(stopping, shutdown);
        EXPECT_LT(shutdown, closed);
        EXPECT_EQ(agent.err().find("XIO:"), std::string::npos) << agent.err();

        ASSERT_TRUE(wait_until([&] { return !tap.closes().empty(); }, 5s)) << "no close frame reached the relay";
        const std::vector<CloseFrame> closes = tap.closes();
        ASSERT_EQ(closes.size(), 1u);
        EXPECT_EQ(closes[0].code, 1001);
        EXPECT_EQ(closes[0].reason, "Going away");
    }

    void join_and_watch(TestViewer& viewer) {
        ASSERT_TRUE(viewer.join(rig)) << viewer.session.last_error();
        ASSERT_TRUE(wait_until([&] { return viewer.received.video_count() >= 1; }, 15s));
    }

    // Input and a clipboard text from the viewer: the agent's input connection has been
    // used and its clipboard serving thread holds the selection on a connection of its own.
    void use_input_and_clipboard(TestViewer& viewer) {
        ASSERT_TRUE(viewer.session.send_mouse(20000, 30000, 0, MouseAction::Move));
        ASSERT_TRUE(wait_until(
            [&] {
                for (const auto& c : viewer.received.cursors())
                    if (c.x == 195 && c.y == 219) return true;
                return false;
            },
            10s))
            << "the injected move did not arrive";
        ASSERT_TRUE(viewer.session.send_clipboard("held by the agent"));
        ASSERT_TRUE(rig.agent().wait_for_output("Clipboard set from viewer (17 chars)", 10s)) << rig.agent().out();
    }

    Rig rig;
    RelayTap tap;
};

}  // namespace

TEST_F(DisplayLoss, StreamingAgentShutsDownInOrderAndExitsWithOne) {
    ASSERT_TRUE(rig.start_pattern("--moving"));
    ASSERT_TRUE(rig.start_agent()) << rig.error();
    TestViewer viewer;
    join_and_watch(viewer);
    expect_orderly_exit_after_the_display_goes();
}

TEST_F(DisplayLoss, TrayClipboardAndInputConnectionsDoNotEndTheProcessFirst) {
    TempDir dir("zarvex-display-loss");
    traytest::PrivateBus bus(dir);
    ASSERT_TRUE(bus.ok()) << bus.error();
    traytest::FakeDesktop desktop;
    ASSERT_TRUE(desktop.start(bus.address())) << desktop.error();
    ASSERT_TRUE(rig.start_agent({{"DBUS_SESSION_BUS_ADDRESS", bus.address()}})) << rig.error();
    ASSERT_TRUE(wait_until([&] { return !desktop.items().empty(); }, 10s)) << "no tray icon\n" << rig.agent().out();
    TestViewer viewer;
    join_and_watch(viewer);
    use_input_and_clipboard(viewer);
    expect_orderly_exit_after_the_display_goes();
}
