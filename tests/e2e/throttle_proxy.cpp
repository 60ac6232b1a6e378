#include "tests/e2e/throttle_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace testsupport {

namespace {

constexpr int SMALL_BUFFER = 16 * 1024;

void small_buffers(int fd) {
    int size = SMALL_BUFFER;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool ThrottleProxy::start(int target_port) {
    target_port_ = target_port;
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd_ < 0) return false;
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    small_buffers(listen_fd_);  // inherited by accepted sockets, before the handshake
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(listen_fd_, 8) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    port_ = ntohs(addr.sin_port);
    running_ = true;
    acceptor_ = std::thread([this] { accept_loop(); });
    return true;
}

void ThrottleProxy::stop() {
    if (!running_.exchange(false)) return;
    ::shutdown(listen_fd_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    ::close(listen_fd_);
    listen_fd_ = -1;
    std::vector<std::thread> pumps;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
        pumps.swap(pumps_);
    }
    for (auto& t : pumps) t.join();
    for (int fd : fds_) ::close(fd);
    fds_.clear();
}

void ThrottleProxy::accept_loop() {
    while (running_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        int client = ::accept(listen_fd_, nullptr, nullptr);
        if (client < 0) continue;
        int server = ::socket(AF_INET, SOCK_STREAM, 0);
        small_buffers(server);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(target_port_));
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ::close(client);
            ::close(server);
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        fds_.push_back(client);
        fds_.push_back(server);
        pumps_.emplace_back([this, client, server] { pump(client, server, true); });
        pumps_.emplace_back([this, client, server] { pump(server, client, false); });
    }
}

void ThrottleProxy::pump(int from, int to, bool upstream) {
    using Clock = std::chrono::steady_clock;
    std::vector<uint8_t> buffer(16 * 1024);
    auto window_start = Clock::now();
    size_t window_bytes = 0;
    while (running_) {
        if (upstream && paused_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        size_t want = buffer.size();
        const size_t rate = upstream ? rate_.load() : 0;
        if (rate > 0) {
            // Bytes per 10 ms slice, so the pace is smooth rather than bursty.
            const auto now = Clock::now();
            if (now - window_start >= std::chrono::milliseconds(10)) {
                window_start = now;
                window_bytes = 0;
            }
            const size_t slice = std::max<size_t>(1, rate / 100);
            if (window_bytes >= slice) {
                std::this_thread::sleep_until(window_start + std::chrono::milliseconds(10));
                continue;
            }
            want = std::min(want, slice - window_bytes);
        }
        pollfd p{from, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        ssize_t n = ::recv(from, buffer.data(), want, 0);
        if (n <= 0) break;
        window_bytes += static_cast<size_t>(n);
        if (upstream) up_bytes_ += static_cast<uint64_t>(n);
        if (!write_all(to, buffer.data(), static_cast<size_t>(n))) break;
    }
    ::shutdown(to, SHUT_WR);
}

}  // namespace testsupport
