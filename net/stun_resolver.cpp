#include "net/stun_resolver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include <spdlog/spdlog.h>

#include "net/log_text.h"

using Clock = std::chrono::steady_clock;

bool split_stun_url(const std::string& url, std::string& host, std::string& port) {
    std::string rest;
    if (url.rfind("stun://", 0) == 0) rest = url.substr(7);
    else if (url.rfind("stun:", 0) == 0) rest = url.substr(5);
    else return false;
    std::string h, p;
    bool has_port = false;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        h = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return false;
            has_port = true;
            p = after.substr(1);
        }
    } else {
        const size_t colon = rest.find(':');
        h = rest.substr(0, colon);
        has_port = colon != std::string::npos;
        if (has_port) p = rest.substr(colon + 1);
    }
    if (!has_port) p = "3478";
    if (h.empty() || p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long number = std::stoul(p);
    if (number == 0 || number > 65535) return false;
    host = h;
    port = p;
    return true;
}

std::string resolve_udp_host(const std::string& host, const std::string& port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        error = gai_strerror(rc);
        return {};
    }
    const addrinfo* pick = list;
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            pick = a;
            break;
        }
    }
    char text[NI_MAXHOST] = {};
    std::string out;
    if (pick && getnameinfo(pick->ai_addr, pick->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0) {
        out = text;
    } else {
        error = "no usable address";
    }
    freeaddrinfo(list);
    return out;
}

namespace {
// webrtcbin's form of a STUN server at `address`.
std::string numeric_url(const std::string& address, const std::string& port) {
    const bool v6 = address.find(':') != std::string::npos;
    return "stun://" + (v6 ? "[" + address + "]" : address) + ":" + port;
}
}  // namespace

struct StunResolver::State {
    struct Entry {
        bool looked_up = false;
        std::string address;  // numeric URL, "" when the lookup failed
        Clock::time_point when{};
    };

    const std::vector<std::string> urls;
    const Clock::duration max_age;
    const Clock::duration retry;
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Entry> entries;
    bool stop = false;
    bool stopped = false;
    bool wanted = true;  // a lookup round is due

    State(std::vector<std::string> u, Clock::duration age, Clock::duration again)
        : urls(std::move(u)), max_age(age), retry(again) {
        for (const auto& url : urls) entries[url];
    }

    bool due(const Entry& e, Clock::time_point now) const {
        return !e.looked_up || now - e.when >= (e.address.empty() ? retry : max_age);
    }
};

StunResolver::StunResolver(std::vector<std::string> urls, std::chrono::seconds max_age, std::chrono::seconds retry)
    : state_(std::make_shared<State>(std::move(urls), max_age, retry)) {
    thread_ = std::thread(run, state_);
}

StunResolver::~StunResolver() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->stop = true;
    state_->changed.notify_all();
    // The thread only blocks inside getaddrinfo, which cannot be interrupted: give it a
    // moment, then let it finish alone (it holds its own reference to the state).
    const bool done = state_->changed.wait_for(lock, std::chrono::seconds(1), [this] { return state_->stopped; });
    lock.unlock();
    if (done) thread_.join();
    else thread_.detach();
}

void StunResolver::run(std::shared_ptr<State> s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    while (!s->stop) {
        s->wanted = false;
        for (const auto& url : s->urls) {
            if (s->stop || !s->due(s->entries[url], Clock::now())) continue;
            lock.unlock();
            std::string host, port, error, address;
            if (!split_stun_url(url, host, port)) error = "not a STUN URL";
            else address = resolve_udp_host(host, port, error);
            const std::string resolved = address.empty() ? std::string() : numeric_url(address, port);
            if (resolved.empty()) {
                spdlog::default_logger_raw()->warn("P2P STUN server {} not resolved: {}", log_text(url), error);
            } else {
                spdlog::default_logger_raw()->debug("P2P STUN server {} is {}", log_text(url), resolved);
            }
            lock.lock();
            State::Entry& e = s->entries[url];
            // A failed lookup does not throw away an address that worked before.
            if (!resolved.empty() || e.address.empty()) e.address = resolved;
            e.looked_up = true;
            e.when = Clock::now();
            s->changed.notify_all();
        }
        s->changed.wait(lock, [&] { return s->stop || s->wanted; });
    }
    s->stopped = true;
    s->changed.notify_all();
}

std::string StunResolver::address_for(const std::string& url, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    auto it = state_->entries.find(url);
    if (it == state_->entries.end()) return {};
    State::Entry& e = it->second;
    if (!e.looked_up) state_->changed.wait_for(lock, wait, [&] { return e.looked_up || state_->stop; });
    if (e.looked_up && state_->due(e, Clock::now()) && !state_->wanted) {
        state_->wanted = true;
        state_->changed.notify_all();
    }
    return e.address;
}
