// Runs the real zarvex-relay on loopback and drives it over HTTP (libcurl) and WebSocket.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/relay/ws_probe.h"
#include "tests/support/process.h"
#include "tests/support/sanitizer.h"

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::TempDir;

struct HttpResult {
    long status = 0;
    std::string body;
    std::string content_type;
};

size_t collect(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

HttpResult http(const std::string& method, const std::string& url, const std::string& body = {},
                const std::string& token = {}, const std::string& ca_file = {}) {
    HttpResult r;
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    if (!token.empty()) headers = curl_slist_append(headers, ("Authorization: Bearer " + token).c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    if (!ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
        char* ct = nullptr;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &ct);
        if (ct) r.content_type = ct;
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return r;
}

// Chunk `n` of an upload: starts with its number, the rest derived from it.
std::string upload_chunk(uint32_t n, size_t size) {
    std::string chunk(size, '\0');
    uint64_t x = 0x9e3779b97f4a7c15ull * (n + 1);
    for (char& c : chunk) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x);
    }
    std::memcpy(chunk.data(), &n, sizeof n);
    return chunk;
}

constexpr uint64_t kHashStart = 0xcbf29ce484222325ull;
uint64_t fnv1a(uint64_t hash, std::string_view data) {
    for (unsigned char c : data) hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

// VmRSS of a process in KiB; 0 when it cannot be read.
size_t resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// A viewer uploading as fast as the relay takes it: numbered chunks sent from a thread of
// its own. The destructor ends the connection (waking a blocked send) and joins.
class Uploader {
public:
    Uploader(WsProbe& ws, uint32_t count, size_t size)
        : ws_(ws), thread_([this, count, size] {
              for (uint32_t i = 0; i < count && ws_.send_binary(upload_chunk(i, size)); ++i) sent_ = i + 1;
              finished_ = true;
          }) {}
    ~Uploader() {
        if (!finished_) ws_.shutdown();
        thread_.join();
    }
    bool wait(std::chrono::milliseconds timeout) {
        return testsupport::wait_until([&] { return finished_.load(); }, timeout);
    }
    uint32_t sent() const { return sent_; }

private:
    WsProbe& ws_;
    std::atomic<uint32_t> sent_{0};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// One relay process with its own database.
class Relay {
public:
    explicit Relay(const std::string& db, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{testsupport::bin("zarvex-relay"), "--port", "0", "--db", db};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!process_.start(argv) || !process_.wait_for_output("Listening on ", 15s)) return;
        std::smatch m;
        std::string out = process_.out();
        static const std::regex line(R"(Listening on (https?://127\.0\.0\.1:(\d+))\n)");
        if (std::regex_search(out, m, line)) {
            url_ = m[1];
            port_ = std::stoi(m[2]);
        }
    }
    bool ok() const { return port_ > 0; }
    const std::string& url() const { return url_; }
    int port() const { return port_; }
    pid_t pid() const { return process_.pid(); }
    std::optional<int> stop() { return process_.stop(5000ms); }
    std::string log() const { return process_.err(); }

private:
    Process process_;
    std::string url_;
    int port_ = 0;
};

class RelayProcessTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (!relay_) return;
        EXPECT_EQ(relay_->stop(), 0);
        EXPECT_EQ(relay_->log().find("Sanitizer"), std::string::npos) << relay_->log();
    }
    void SetUp() override {
        relay_ = std::make_unique<Relay>(dir_ / "relay.db");
        ASSERT_TRUE(relay_->ok());
    }
    HttpResult post(const std::string& path, const json& body, const std::string& token = {}) {
        return http("POST", relay_->url() + path, body.dump(), token);
    }
    std::string make_account(const std::string& user, const std::string& password) {
        post("/api/auth/register", {{"username", user}, {"email", user + "@example.com"}, {"password", password}});
        auto login = post("/api/auth/login", {{"username", user}, {"password", password}});
        return login.status == 200 ? json::parse(login.body)["token"].get<std::string>() : std::string();
    }
    std::string make_machine(const std::string& token, const std::string& name = "pc") {
        auto res = post("/api/machines/register", {{"name", name}, {"os_info", "Windows"}}, token);
        return res.status == 200 ? json::parse(res.body)["machine_id"].get<std::string>() : std::string();
    }
    int connect(WsProbe& ws, const std::string& role, const std::string& machine, const std::string& token,
                const std::string& extra = {}) {
        return ws.connect(relay_->port(), "/ws/" + role + "?machine_id=" + machine + "&token=" + token + extra);
    }

    TempDir dir_;
    std::unique_ptr<Relay> relay_;
};

std::string session_msg(const std::string& type, const std::string& id) {
    return json{{"type", type}, {"session_id", id}}.dump();
}

TEST_F(RelayProcessTest, AccountApiOverHttp) {
    json alice = {{"username", "alice"}, {"email", "alice@example.com"}, {"password", "password1"}};
    auto created = post("/api/auth/register", alice);
    EXPECT_EQ(created.status, 201);
    EXPECT_EQ(created.content_type, "application/json");
    auto dup = post("/api/auth/register", alice);
    EXPECT_EQ(dup.status, 409);
    EXPECT_EQ(json::parse(dup.body), json({{"error", "username already exists"}}));
    EXPECT_EQ(post("/api/auth/register", {{"username", "al"}, {"email", ""}, {"password", "password1"}}).status, 400);
    EXPECT_EQ(post("/api/auth/register", {{"username", "albert"}, {"email", ""}, {"password", "short"}}).status, 400);
    EXPECT_EQ(http("POST", relay_->url() + "/api/auth/register", "{\"username\":").status, 400);

    auto bad = post("/api/auth/login", {{"username", "alice"}, {"password", "password2"}});
    EXPECT_EQ(bad.status, 401);
    EXPECT_EQ(json::parse(bad.body), json({{"error", "invalid credentials"}}));
    auto login = post("/api/auth/login", {{"username", "alice"}, {"password", "password1"}});
    ASSERT_EQ(login.status, 200);
    std::string token = json::parse(login.body)["token"];
    EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{64}")));

    EXPECT_EQ(post("/api/machines/register", {{"name", "pc"}, {"os_info", "Windows"}}).status, 401);
    EXPECT_EQ(post("/api/machines/register", {{"name", "pc"}, {"os_info", "Windows"}}, std::string(64, 'a')).status, 401);
    std::string machine = make_machine(token, "office-pc");
    EXPECT_TRUE(std::regex_match(machine, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));

    auto list = http("GET", relay_->url() + "/api/machines", {}, token);
    ASSERT_EQ(list.status, 200);
    EXPECT_EQ(json::parse(list.body),
              json::parse(R"([{"machine_id":")" + machine + R"(","name":"office-pc","online":false,"os_info":"Windows"}])"));
    EXPECT_EQ(http("GET", relay_->url() + "/api/machines").status, 401);

    EXPECT_EQ(http("GET", relay_->url() + "/api/unknown").status, 404);
    EXPECT_EQ(http("DELETE", relay_->url() + "/api/machines", {}, token).status, 405);
    auto too_big = http("POST", relay_->url() + "/api/auth/login", std::string(100 * 1024, 'x'));
    EXPECT_EQ(too_big.status, 413);
}

TEST_F(RelayProcessTest, RefusedUpgradesDoNotSwitchProtocols) {
    std::string alice = make_account("alice", "password1");
    std::string bob = make_account("bob", "password2");
    std::string machine = make_machine(alice);
    ASSERT_FALSE(machine.empty());

    WsProbe wrong_token, other_account, unknown_machine, no_token, plain_get, good;
    EXPECT_EQ(connect(wrong_token, "agent", machine, std::string(64, '0')), 401);
    EXPECT_NE(wrong_token.response().find("\"error\""), std::string::npos);
    EXPECT_EQ(connect(other_account, "viewer", machine, bob), 403);
    EXPECT_EQ(connect(unknown_machine, "viewer", "00000000-0000-4000-8000-000000000000", alice), 404);
    EXPECT_EQ(no_token.connect(relay_->port(), "/ws/agent?machine_id=" + machine), 401);
    EXPECT_EQ(http("GET", relay_->url() + "/ws/agent?machine_id=" + machine + "&token=" + alice).status, 426);
    EXPECT_EQ(connect(good, "agent", machine, alice), 101);
}

TEST_F(RelayProcessTest, RelaysTrafficBetweenViewerAndAgent) {
    std::string token = make_account("alice", "password1");
    std::string machine = make_machine(token);

    // The viewer arrives first; the agent hears of the session once it connects.
    WsProbe viewer;
    ASSERT_EQ(connect(viewer, "viewer", machine, token), 101);
    auto hello = viewer.receive();
    ASSERT_TRUE(hello && !hello->binary);
    std::string id = json::parse(hello->data)["session_id"];
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(hello->data, json({{"type", "session"}, {"session_id", id}}).dump());

    WsProbe agent;
    ASSERT_EQ(connect(agent, "agent", machine, token), 101);
    auto request = agent.receive();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->data, session_msg("session_request", id));
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return http("GET", relay_->url() + "/api/machines", {}, token).body.find("\"online\":true") != std::string::npos; },
        5s));

    std::string big(200000, '\x5a');
    ASSERT_TRUE(viewer.send_binary(std::string("\x06", 1) + big));
    auto up = agent.receive();
    ASSERT_TRUE(up && up->binary);
    EXPECT_EQ(up->data, id + "\x06" + big);

    ASSERT_TRUE(agent.send_binary(id));  // too short to carry anything: dropped
    ASSERT_TRUE(agent.send_binary(id + "frame"));
    auto down = viewer.receive();
    ASSERT_TRUE(down && down->binary);
    EXPECT_EQ(down->data, "frame");

    ASSERT_TRUE(viewer.send_text(R"({"type":"p2p_signal","payload":"offer"})"));
    auto sig = agent.receive();
    ASSERT_TRUE(sig && !sig->binary);
    EXPECT_EQ(sig->data, R"({"payload":"offer","session_id":")" + id + R"(","type":"p2p_signal"})");
    ASSERT_TRUE(agent.send_text(json{{"type", "p2p_signal"}, {"session_id", id}, {"payload", "answer"}}.dump()));
    auto sig_back = viewer.receive();
    ASSERT_TRUE(sig_back);
    EXPECT_EQ(sig_back->data, R"({"payload":"answer","type":"p2p_signal"})");

    // A second agent connection replaces the first; the session carries on.
    WsProbe agent2;
    ASSERT_EQ(connect(agent2, "agent", machine, token), 101);
    EXPECT_FALSE(agent.receive());
    EXPECT_TRUE(agent.closed());
    ASSERT_TRUE(viewer.send_binary("after-replace"));
    auto moved = agent2.receive();
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->data, id + "after-replace");

    viewer.disconnect();
    auto end = agent2.receive();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->data, session_msg("session_end", id));

    // Stopping with live connections closes them as going away and exits cleanly.
    WsProbe late_viewer;
    ASSERT_EQ(connect(late_viewer, "viewer", machine, token), 101);
    auto late = agent2.receive();
    ASSERT_TRUE(late);
    EXPECT_NE(late->data.find("session_request"), std::string::npos);
    EXPECT_EQ(relay_->stop(), 0);
    EXPECT_FALSE(agent2.receive());
    EXPECT_EQ(agent2.close_code(), 1001);
}

TEST_F(RelayProcessTest, ViewerLimitIsEnforced) {
    relay_ = std::make_unique<Relay>(dir_ / "limited.db", std::vector<std::string>{"--max-viewers", "1"});
    ASSERT_TRUE(relay_->ok());
    std::string token = make_account("alice", "password1");
    std::string machine = make_machine(token);
    WsProbe first, second;
    ASSERT_EQ(connect(first, "viewer", machine, token), 101);
    // The session message means the first viewer holds its place (the 101 can come first).
    ASSERT_TRUE(first.receive());
    EXPECT_EQ(connect(second, "viewer", machine, token), 503);
}

TEST_F(RelayProcessTest, StateSurvivesRestartAndViewersResume) {
    std::string token = make_account("alice", "password1");
    std::string machine = make_machine(token);
    std::string id;
    {
        WsProbe viewer;
        ASSERT_EQ(connect(viewer, "viewer", machine, token), 101);
        auto hello = viewer.receive();
        ASSERT_TRUE(hello);
        id = json::parse(hello->data)["session_id"];
    }
    EXPECT_EQ(relay_->stop(), 0);

    relay_ = std::make_unique<Relay>(dir_ / "relay.db");
    ASSERT_TRUE(relay_->ok());
    EXPECT_EQ(post("/api/auth/login", {{"username", "alice"}, {"password", "password1"}}).status, 200);
    auto list = http("GET", relay_->url() + "/api/machines", {}, token);  // tokens persist too
    ASSERT_EQ(list.status, 200);
    EXPECT_NE(list.body.find(machine), std::string::npos);

    // The agent still holds the session's keys: resuming must not announce it again.
    WsProbe agent, viewer;
    ASSERT_EQ(connect(agent, "agent", machine, token), 101);
    ASSERT_EQ(connect(viewer, "viewer", machine, token, "&session_id=" + id), 101);
    auto hello = viewer.receive();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->data, json({{"type", "session"}, {"session_id", id}}).dump());
    ASSERT_TRUE(viewer.send_binary("resumed"));
    auto first = agent.receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->data, id + "resumed");

    WsProbe bad_resume;
    EXPECT_EQ(connect(bad_resume, "viewer", machine, token, "&session_id=short"), 400);
}

TEST_F(RelayProcessTest, SlowViewerLosesFramesInsteadOfGrowingTheRelay) {
    relay_ = std::make_unique<Relay>(dir_ / "slow.db", std::vector<std::string>{"--max-queue", "262144"});
    ASSERT_TRUE(relay_->ok());
    std::string token = make_account("alice", "password1");
    std::string machine = make_machine(token);
    WsProbe viewer, agent;
    ASSERT_EQ(connect(viewer, "viewer", machine, token), 101);
    ASSERT_EQ(connect(agent, "agent", machine, token), 101);
    auto hello = viewer.receive();
    ASSERT_TRUE(hello);
    std::string id = json::parse(hello->data)["session_id"];
    ASSERT_TRUE(agent.receive());  // session_request

    // The viewer reads nothing while the agent pushes far more than socket buffers and the
    // queue limit can hold.
    const std::string chunk(1 << 20, 'v');
    int sent = 0;
    bool dropping = testsupport::wait_until(
        [&] {
            if (sent < 200 && agent.send_binary(id + chunk)) ++sent;
            return relay_->log().find("is full: dropping frames") != std::string::npos;
        },
        60s);
    ASSERT_TRUE(dropping) << "sent " << sent << " MiB";

    // Once the viewer reads again it gets some of the frames, and later traffic flows.
    int received = 0;
    while (auto m = viewer.receive(2s)) {
        EXPECT_EQ(m->data.size(), chunk.size());
        ++received;
    }
    EXPECT_GT(received, 0);
    EXPECT_LT(received, sent);
    ASSERT_TRUE(agent.send_binary(id + "after"));
    auto after = viewer.receive();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->data, "after");
}

class RelayBackPressureTest : public RelayProcessTest {
protected:
    static constexpr size_t kChunk = 64 * 1024;

    void SetUp() override {
        relay_ = std::make_unique<Relay>(dir_ / "upload.db", std::vector<std::string>{"--max-queue", "262144"});
        ASSERT_TRUE(relay_->ok());
        token_ = make_account("alice", "password1");
        machine_ = make_machine(token_);
        ASSERT_EQ(connect(agent_, "agent", machine_, token_), 101);
    }
    // Connects a viewer and returns its session id once the agent has heard of it.
    std::string join(WsProbe& viewer) {
        if (connect(viewer, "viewer", machine_, token_) != 101) return {};
        auto hello = viewer.receive();
        auto request = agent_.receive();
        if (!hello || !request) return {};
        std::string id = json::parse(hello->data)["session_id"];
        return request->data == session_msg("session_request", id) ? id : std::string();
    }
    // Whether the last word on the agent's queue was that it is behind.
    bool holding_back() const {
        std::string log = relay_->log();
        return occurrences(log, "holding back its viewers") > occurrences(log, "its viewers are read again");
    }
    // Waits until the relay holds the viewer back and TCP has stopped the upload.
    bool wait_until_stalled(const Uploader& upload, const std::function<void()>& each = {}) {
        uint32_t last = 0;
        return testsupport::wait_until(
            [&] {
                if (each) each();
                uint32_t now = upload.sent();
                bool still = now == last && holding_back();
                last = now;
                if (!still) std::this_thread::sleep_for(300ms);
                return still;
            },
            20s);
    }

    // Reads chunks first..; returns how many arrived whole and in order before `stop` (a text
    // message) or a failure; `hash` runs over their payloads.
    uint32_t read_chunks(WsProbe& agent, const std::string& id, uint32_t first, uint32_t limit, uint64_t& hash,
                         std::string* stop = nullptr, const std::function<void(uint32_t)>& after_each = {}) {
        uint32_t n = first;
        while (n < limit) {
            auto m = agent.receive(10s);
            if (!m) break;
            if (!m->binary) {
                if (stop) *stop = m->data;
                break;
            }
            uint32_t number = 0;
            if (m->data.size() != id.size() + kChunk || m->data.compare(0, id.size(), id) != 0) break;
            std::memcpy(&number, m->data.data() + id.size(), sizeof number);
            if (number != n) {
                ADD_FAILURE() << "chunk " << number << " arrived where " << n << " was due";
                break;
            }
            hash = fnv1a(hash, std::string_view(m->data).substr(id.size()));
            ++n;
            if (after_each) after_each(n);
        }
        return n - first;
    }

    std::string token_, machine_;
    WsProbe agent_;
};

TEST_F(RelayBackPressureTest, UploadReachesASlowAgentWholeAndTheRelayStaysSmall) {
    WsProbe viewer;
    std::string id = join(viewer);
    ASSERT_EQ(id.size(), 36u);

    constexpr uint32_t kChunks = 640;  // 40 MiB, far beyond the 256 KiB queue limit and the relay's socket buffers
    uint64_t expected = kHashStart;
    for (uint32_t i = 0; i < kChunks; ++i) expected = fnv1a(expected, upload_chunk(i, kChunk));

    auto started = std::chrono::steady_clock::now();
    const size_t base_kib = resident_kib(relay_->pid());
    size_t peak_kib = base_kib;
    auto sample = [&] { peak_kib = std::max(peak_kib, resident_kib(relay_->pid())); };
    Uploader upload(viewer, kChunks, kChunk);
    // The agent reads nothing at first: the relay has to hold the viewer back until TCP stops
    // the viewer (an unbounded relay would take in the whole upload here).
    ASSERT_TRUE(wait_until_stalled(upload, sample)) << relay_->log();
    EXPECT_LT(upload.sent(), kChunks);

    // Then it reads slowly, with longer stalls now and then.
    uint64_t hash = kHashStart;
    uint32_t received = read_chunks(agent_, id, 0, kChunks, hash, nullptr, [&](uint32_t n) {
        if (n % 8 != 0) return;
        sample();
        std::this_thread::sleep_for(n % 64 == 0 ? 100ms : 5ms);
    });
    EXPECT_EQ(received, kChunks);
    EXPECT_EQ(hash, expected);
    EXPECT_TRUE(upload.wait(10s));
    EXPECT_EQ(upload.sent(), kChunks);
    ASSERT_GT(base_kib, 0u);
    // Sanitizer builds keep shadow memory and (AddressSanitizer) freed blocks besides.
    EXPECT_LT(peak_kib, testsupport::memory_limit_kib(200u * 1024)) << "relay resident size in KiB";
    // Queue limit plus a chunk in flight, with room for allocator slack; far below the upload.
    EXPECT_LT(peak_kib - base_kib, testsupport::memory_limit_kib(8u * 1024)) << "relay grew by this many KiB";
    EXPECT_EQ(relay_->log().find("dropping frames"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
}

TEST_F(RelayBackPressureTest, HeldBackViewersAreReleasedWhenEitherSideLeaves) {
    // A viewer that leaves while held back: what it sent still arrives whole, then its end.
    WsProbe leaving;
    std::string id1 = join(leaving);
    ASSERT_EQ(id1.size(), 36u);
    {
        Uploader upload(leaving, 400, kChunk);
        ASSERT_TRUE(wait_until_stalled(upload)) << relay_->log();
        leaving.shutdown();
        EXPECT_TRUE(upload.wait(10s));
    }
    uint64_t hash = kHashStart;
    std::string stop;
    uint32_t got = read_chunks(agent_, id1, 0, 400, hash, &stop);
    EXPECT_GT(got, 0u);
    if (got == 400 && stop.empty()) {
        // The whole upload got out before the viewer left; its end comes next.
        if (auto m = agent_.receive(10s); m && !m->binary) stop = m->data;
    }
    EXPECT_EQ(stop, session_msg("session_end", id1)) << "after " << got << " chunks";

    // An agent that leaves while a viewer is held back: the viewer is read again (its chunks
    // now go nowhere) and reaches the next agent.
    WsProbe staying;
    std::string id2 = join(staying);
    ASSERT_EQ(id2.size(), 36u);
    {
        Uploader upload(staying, 400, kChunk);
        ASSERT_TRUE(wait_until_stalled(upload)) << relay_->log();
        agent_.disconnect();
        EXPECT_TRUE(upload.wait(20s)) << "viewer still held back after its agent left";
        EXPECT_EQ(upload.sent(), 400u);
    }
    WsProbe next_agent;
    ASSERT_EQ(connect(next_agent, "agent", machine_, token_), 101);
    // The old agent is gone (the upload could finish), so "online" means the new one is attached.
    ASSERT_TRUE(testsupport::wait_until(
        [&] {
            return http("GET", relay_->url() + "/api/machines", {}, token_).body.find("\"online\":true") !=
                   std::string::npos;
        },
        5s));
    ASSERT_TRUE(staying.send_binary("after"));
    // Upload chunks that were still on their way from the viewer when the new agent
    // attached are forwarded to it first; "after" follows them.
    bool arrived = false;
    for (int i = 0; i < 500 && !arrived; ++i) {
        auto m = next_agent.receive();
        ASSERT_TRUE(m) << "nothing more arrived after " << i << " messages";
        ASSERT_EQ(m->data.compare(0, id2.size(), id2), 0);
        arrived = m->data == id2 + "after";
    }
    EXPECT_TRUE(arrived);
}

// The relay's idle time-out is 30 s. A viewer held back for longer cannot have its pongs
// read meanwhile, and must not be taken for dead because of that.
TEST_F(RelayBackPressureTest, ViewerHeldBackPastTheIdleTimeoutStaysConnected) {
    WsProbe viewer;
    std::string id = join(viewer);
    ASSERT_EQ(id.size(), 36u);
    constexpr uint32_t kChunks = 320;
    Uploader upload(viewer, kChunks, kChunk);
    ASSERT_TRUE(wait_until_stalled(upload)) << relay_->log();

    // The agent reads nothing for 33 s, but shows it is alive so that it is not timed out itself.
    auto until = std::chrono::steady_clock::now() + 33s;
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(agent_.send_binary(id + "progress"));
        std::this_thread::sleep_for(3s);
    }
    EXPECT_TRUE(holding_back());
    uint64_t hash = kHashStart;
    EXPECT_EQ(read_chunks(agent_, id, 0, kChunks, hash), kChunks);
    EXPECT_TRUE(upload.wait(10s));
    EXPECT_EQ(upload.sent(), kChunks);
}

TEST(RelayProcess, ServesHttpsWithTheTestCertificate) {
    TempDir dir;
    Process script;
    ASSERT_TRUE(script.start({std::string(ZARVEX_SOURCE_DIR) + "/scripts/make-test-cert", dir.path()}));
    ASSERT_EQ(script.wait(30s), 0);
    Relay relay(dir / "relay.db", {"--cert", dir / "cert.pem", "--key", dir / "key.pem"});
    ASSERT_TRUE(relay.ok());
    ASSERT_EQ(relay.url().rfind("https://127.0.0.1:", 0), 0u);
    auto res = http("POST", relay.url() + "/api/auth/register",
                    R"({"username":"alice","email":"","password":"password1"})", {}, dir / "cert.pem");
    EXPECT_EQ(res.status, 201);
    // Plain HTTP is not served on a TLS port.
    std::string plain = "http" + relay.url().substr(5);
    EXPECT_EQ(http("GET", plain + "/api/machines").status, 0);
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayProcess, CommandLine) {
    Process help;
    ASSERT_TRUE(help.start({testsupport::bin("zarvex-relay"), "--help"}));
    EXPECT_EQ(help.wait(10s), 0);
    for (const char* opt : {"--listen", "--port", "--db", "--cert", "--key"})
        EXPECT_NE(help.out().find(opt), std::string::npos) << opt;

    Process half_tls;
    ASSERT_TRUE(half_tls.start({testsupport::bin("zarvex-relay"), "--cert", "x.pem", "--port", "0"}));
    EXPECT_EQ(half_tls.wait(10s), 2);
    EXPECT_NE(half_tls.err().find("--cert and --key"), std::string::npos);
}

}  // namespace
