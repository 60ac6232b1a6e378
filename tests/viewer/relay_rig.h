#pragma once

// A real zarvex-relay on loopback with an account, a machine and an agent-side WsClient
// in this process, plus a log sink that keeps each line's time.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "net/ws_client.h"
#include "tests/support/process.h"
#include "viewer/account_client.h"
#include "viewer/viewer_session.h"

struct LogLine {
    std::chrono::system_clock::time_point time;
    spdlog::level::level_enum level;
    std::string text;
};

class TimedSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t count(const std::string& needle) {
        size_t n = 0;
        for (const auto& l : lines()) n += l.text.find(needle) != std::string::npos;
        return n;
    }
    std::vector<std::chrono::system_clock::time_point> times(const std::string& needle) {
        std::vector<std::chrono::system_clock::time_point> out;
        for (const auto& l : lines())
            if (l.text.find(needle) != std::string::npos) out.push_back(l.time);
        return out;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines_.push_back({msg.time, msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::vector<LogLine> lines_;
};

// Swaps the default logger for one that records into a TimedSink.
class TimedLog {
public:
    TimedLog() : sink(std::make_shared<TimedSink>()) {
        previous_ = spdlog::default_logger();
        auto logger = std::make_shared<spdlog::logger>("timed", sink);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~TimedLog() { spdlog::set_default_logger(previous_); }
    std::shared_ptr<TimedSink> sink;

private:
    std::shared_ptr<spdlog::logger> previous_;
};

struct AgentInbox {
    std::mutex m;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> messages;
    std::vector<std::string> ended;

    void install(WsClient& client) {
        client.set_message_handler([this](const std::string& sid, const std::vector<uint8_t>& d) {
            std::lock_guard<std::mutex> lock(m);
            messages.emplace_back(sid, d);
        });
        client.set_session_end_handler([this](const std::string& sid) {
            std::lock_guard<std::mutex> lock(m);
            ended.push_back(sid);
        });
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(m);
        return messages.size();
    }
    std::vector<std::pair<std::string, std::vector<uint8_t>>> all() {
        std::lock_guard<std::mutex> lock(m);
        return messages;
    }
};

class RelayRig : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(testsupport::bin("zarvex-relay"))) GTEST_SKIP() << "zarvex-relay not built";
        port = testsupport::free_port();
        ASSERT_TRUE(start_relay());
        AccountClient account(http_url(), ca_file);
        ASSERT_TRUE(account.register_user("alice", "alice@example.test", "correct horse")) << account.last_error();
        auto t = account.login("alice", "correct horse");
        ASSERT_TRUE(t) << account.last_error();
        token = *t;
        auto m = account.register_machine(token, "test-host", "Linux");
        ASSERT_TRUE(m) << account.last_error();
        machine = *m;
    }

    bool start_relay(bool wait = true) {
        std::vector<std::string> argv{testsupport::bin("zarvex-relay"), "--listen", "127.0.0.1", "--port",
                                      std::to_string(port), "--db", dir / "relay.db"};
        if (!cert.empty()) argv.insert(argv.end(), {"--cert", cert, "--key", cert_key});
        relay = std::make_unique<testsupport::Process>();
        if (!relay->start(argv)) return false;
        if (!wait) return true;
        bool up = relay->wait_for_output("Listening on", std::chrono::seconds(15));
        if (!up) ADD_FAILURE() << "relay did not start: " << relay->err();
        return up;
    }

    std::string http_url() const { return (cert.empty() ? "http://" : "https://") + std::string("127.0.0.1:") + std::to_string(port); }

    std::unique_ptr<ViewerSession> ready_viewer(ViewerHandlers handlers = {}) {
        auto v = std::make_unique<ViewerSession>();
        v->set_handlers(std::move(handlers));
        EXPECT_TRUE(v->connect(ViewerOptions{http_url(), machine, token, {}, true}));
        EXPECT_TRUE(v->wait_ready(std::chrono::seconds(10))) << v->last_error();
        return v;
    }

    testsupport::TempDir dir{"zarvex-relay-it"};
    std::string cert, cert_key, ca_file;
    int port = 0;
    std::unique_ptr<testsupport::Process> relay;
    std::string token, machine;
};
