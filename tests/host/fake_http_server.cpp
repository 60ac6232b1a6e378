#include "tests/host/fake_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

namespace testsupport {

FakeHttpServer::FakeHttpServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) return;
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
}

FakeHttpServer::~FakeHttpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
}

void FakeHttpServer::answer(const std::string& path, int status, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[path] = {status, body};
}

std::vector<RecordedRequest> FakeHttpServer::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void FakeHttpServer::serve() {
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) continue;
        handle(client);
        ::close(client);
    }
}

void FakeHttpServer::handle(int client) {
    std::string data;
    char buf[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t head_end = std::string::npos;
    size_t body_length = 0;
    RecordedRequest req;
    while (std::chrono::steady_clock::now() < deadline) {
        if (head_end == std::string::npos) {
            head_end = data.find("\r\n\r\n");
            if (head_end != std::string::npos) {
                req.raw_head = data.substr(0, head_end);
                size_t line_end = req.raw_head.find("\r\n");
                std::string first = req.raw_head.substr(0, line_end);
                size_t sp1 = first.find(' '), sp2 = first.rfind(' ');
                req.method = first.substr(0, sp1);
                req.path = first.substr(sp1 + 1, sp2 - sp1 - 1);
                size_t pos = line_end == std::string::npos ? req.raw_head.size() : line_end + 2;
                while (pos < req.raw_head.size()) {
                    size_t end = req.raw_head.find("\r\n", pos);
                    if (end == std::string::npos) end = req.raw_head.size();
                    std::string line = req.raw_head.substr(pos, end - pos);
                    size_t colon = line.find(':');
                    if (colon != std::string::npos) {
                        std::string name = line.substr(0, colon);
                        std::transform(name.begin(), name.end(), name.begin(),
                                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                        size_t v = line.find_first_not_of(' ', colon + 1);
                        req.headers[name] = v == std::string::npos ? "" : line.substr(v);
                    }
                    pos = end + 2;
                }
                auto cl = req.headers.find("content-length");
                body_length = cl == req.headers.end() ? 0 : std::stoul(cl->second);
            }
        }
        if (head_end != std::string::npos && data.size() >= head_end + 4 + body_length) break;
        pollfd p{client, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = ::recv(client, buf, sizeof buf, 0);
        if (n <= 0) return;
        data.append(buf, static_cast<size_t>(n));
    }
    if (head_end == std::string::npos) return;
    req.body = data.substr(head_end + 4, body_length);
    Answer a{404, "{\"error\":\"not found\"}"};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
        auto it = answers_.find(req.path);
        if (it != answers_.end()) a = it->second;
    }
    std::string reply = "HTTP/1.1 " + std::to_string(a.status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
                        std::to_string(a.body.size()) + "\r\nConnection: close\r\n\r\n" + a.body;
    size_t sent = 0;
    while (sent < reply.size()) {
        ssize_t n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
}

}  // namespace testsupport
