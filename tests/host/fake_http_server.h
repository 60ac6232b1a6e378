#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for client tests: answers each path with a canned
// status and body, and records every request's bytes.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct RecordedRequest {
    std::string method, path, body;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string raw_head;
};

class FakeHttpServer {
public:
    struct Answer {
        int status = 200;
        std::string body;
    };

    FakeHttpServer();
    ~FakeHttpServer();
    FakeHttpServer(const FakeHttpServer&) = delete;
    FakeHttpServer& operator=(const FakeHttpServer&) = delete;

    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // What a path answers; unknown paths answer 404.
    void answer(const std::string& path, int status, const std::string& body);
    std::vector<RecordedRequest> requests();

private:
    void serve();
    void handle(int client);

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace testsupport
