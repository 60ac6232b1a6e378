#pragma once

// An agent-side P2PManager and viewer-side ViewerP2P peers wired to each other through a
// courier thread that delivers each payload in order, as the relay would (never on the
// sender's own thread, so neither side's callbacks wait on the other's locks).

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "net/p2p.h"
#include "tests/p2p/private_network.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "viewer/viewer_p2p.h"

class Courier {
public:
    Courier() : thread_([this] { run(); }) {}
    ~Courier() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void post(std::function<void()> f) {
        std::lock_guard<std::mutex> lock(m_);
        queue_.push_back(std::move(f));
        cv_.notify_all();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            auto f = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            f();
            lock.lock();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    bool stop_ = false;
    std::thread thread_;
};

// What the agent sent, per session id.
struct Outbox {
    std::mutex m;
    std::map<std::string, std::vector<std::string>> payloads;

    void add(const std::string& sid, const std::string& payload) {
        std::lock_guard<std::mutex> lock(m);
        payloads[sid].push_back(payload);
    }
    std::vector<std::string> of(const std::string& sid) {
        std::lock_guard<std::mutex> lock(m);
        return payloads[sid];
    }
    size_t count_type(const std::string& sid, const std::string& type) {
        size_t n = 0;
        for (const auto& p : of(sid)) n += nlohmann::json::parse(p).value("type", "") == type;
        return n;
    }
};

class P2PRig : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::in_private_network()) GTEST_SKIP() << "no private network namespace";
        manager.signal_sender = [this](const std::string& sid, const std::string& payload) {
            outbox.add(sid, payload);
            courier.post([this, sid, payload] {
                std::lock_guard<std::mutex> lock(viewers_mutex);
                auto it = viewers.find(sid);
                if (it != viewers.end()) it->second->handle_signal(payload);
            });
        };
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> lock(viewers_mutex);
            viewers.clear();
        }
        manager.close_all();  // no agent callback posts to the courier after this
    }

    // A viewer peer for `sid` whose signalling reaches the manager through the courier.
    ViewerP2P& add_viewer(const std::string& sid) {
        auto v = std::make_unique<ViewerP2P>([this, sid](const std::string& payload) {
            courier.post([this, sid, payload] { manager.handle_signal(sid, payload); });
        });
        ViewerP2P& ref = *v;
        std::lock_guard<std::mutex> lock(viewers_mutex);
        viewers[sid] = std::move(v);
        return ref;
    }
    void drop_viewer(const std::string& sid) {
        std::unique_ptr<ViewerP2P> v;
        {
            std::lock_guard<std::mutex> lock(viewers_mutex);
            v = std::move(viewers[sid]);
            viewers.erase(sid);
        }
    }

    LogCapture log;
    P2PManager manager;
    Outbox outbox;
    std::mutex viewers_mutex;
    std::map<std::string, std::unique_ptr<ViewerP2P>> viewers;
    Courier courier;  // last: stops first, before what it delivers to
};

inline std::string session_id(int n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "00000000-0000-4000-8000-%012d", n);
    return buf;
}
