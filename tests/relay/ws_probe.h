#pragma once

// A deliberately small WebSocket client over a plain TCP socket, enough to drive the relay
// from tests without pulling a WebSocket library into them: handshake, masked frames out,
// unfragmented frames in, with a receive time-out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>

class WsProbe {
public:
    struct Message {
        bool binary = false;
        std::string data;
    };

    WsProbe() = default;
    ~WsProbe() { disconnect(); }
    WsProbe(const WsProbe&) = delete;
    WsProbe& operator=(const WsProbe&) = delete;

    // Sends the upgrade request; returns the HTTP status of the answer (0 on a socket error).
    // The answer's body, if any, is kept in response().
    int connect(int port, const std::string& target) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        // Small fixed socket buffers, so that back-pressure shows at the probe instead of
        // disappearing into tens of MiB of auto-tuned kernel buffers.
        int buffer = 128 * 1024;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
        std::string req = "GET " + target +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        if (!write_all(req)) return 0;
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!fill()) return 0;
        std::string head = buffer_.substr(0, end);
        buffer_.erase(0, end + 4);
        int status = head.size() > 12 ? std::atoi(head.c_str() + 9) : 0;
        if (status != 101) {
            response_ = buffer_;
            while (fill()) response_ = buffer_;  // the relay closes after a refusal
        }
        return status;
    }
    const std::string& response() const { return response_; }

    bool send_text(const std::string& text) { return send_frame(0x1, text); }
    bool send_binary(const std::string& data) { return send_frame(0x2, data); }

    // The next data message; no value on time-out, close or error. Pings are answered.
    std::optional<Message> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto frame = parse_frame()) {
                if (frame->first == 0x9) {
                    send_frame(0xA, frame->second);
                    continue;
                }
                if (frame->first == 0x8) {
                    closed_ = true;
                    close_code_ = frame->second.size() >= 2
                                      ? static_cast<uint16_t>((uint8_t(frame->second[0]) << 8) | uint8_t(frame->second[1]))
                                      : 0;
                    return std::nullopt;
                }
                if (frame->first == 0x1 || frame->first == 0x2) return Message{frame->first == 0x2, frame->second};
                continue;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0 || !fill()) return std::nullopt;
        }
    }
    bool closed() const { return closed_; }
    uint16_t close_code() const { return close_code_; }

    // Ends both directions without releasing the socket: safe while another thread is blocked
    // sending on it (that send then fails).
    void shutdown() {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }

    void disconnect() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    bool write_all(const std::string& s) {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }

    bool fill() {
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        buffer_.append(buf, static_cast<size_t>(n));
        return true;
    }

    bool send_frame(uint8_t opcode, const std::string& payload) {
        std::string f;
        f.push_back(static_cast<char>(0x80 | opcode));
        size_t n = payload.size();
        if (n < 126) {
            f.push_back(static_cast<char>(0x80 | n));
        } else if (n <= 0xffff) {
            f.push_back(static_cast<char>(0x80 | 126));
            for (int i = 1; i >= 0; --i) f.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
        } else {
            f.push_back(static_cast<char>(0x80 | 127));
            for (int i = 7; i >= 0; --i) f.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
        }
        char mask[4];
        for (char& m : mask) m = static_cast<char>(rng_());
        f.append(mask, 4);
        for (size_t i = 0; i < n; ++i) f.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
        return write_all(f);
    }

    // One complete frame from the buffer: (opcode, payload).
    std::optional<std::pair<uint8_t, std::string>> parse_frame() {
        if (buffer_.size() < 2) return std::nullopt;
        auto byte = [&](size_t i) { return static_cast<uint8_t>(buffer_[i]); };
        uint8_t opcode = byte(0) & 0x0f;
        uint64_t len = byte(1) & 0x7f;
        size_t pos = 2;
        if (len == 126 || len == 127) {
            size_t extra = len == 126 ? 2 : 8;
            if (buffer_.size() < pos + extra) return std::nullopt;
            len = 0;
            for (size_t i = 0; i < extra; ++i) len = (len << 8) | byte(pos + i);
            pos += extra;
        }
        if (buffer_.size() < pos + len) return std::nullopt;
        std::string payload = buffer_.substr(pos, len);
        buffer_.erase(0, pos + len);
        return std::make_pair(opcode, payload);
    }

    int fd_ = -1;
    std::string buffer_;
    std::string response_;
    bool closed_ = false;
    uint16_t close_code_ = 0;
    std::mt19937 rng_{std::random_device{}()};
};
