#pragma once

// The STUN servers' host names, looked up on a thread of their own so that webrtcbin is
// only ever handed a numeric address. Left to itself, libnice looks the name up when a peer
// starts gathering: a slow name server then holds up every viewer's candidates, and a name
// that does not resolve leaves gathering unfinished for good (with UPnP off, as it is here).

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// "stun:host:port", "stun://host:port" or "stun:[v6]:port" split into host and port (3478
// when none is given). False for anything else.
bool split_stun_url(const std::string& url, std::string& host, std::string& port);

// The address `host` resolves to for UDP on `port`, as text (IPv4 preferred, as most STUN
// servers answer there), or "" with `error` set.
std::string resolve_udp_host(const std::string& host, const std::string& port, std::string& error);

class StunResolver {
public:
    // Starts looking up every URL at once. A good answer is kept for `max_age`, a failed
    // lookup is tried again after `retry` (each time a peer asks after that).
    explicit StunResolver(std::vector<std::string> urls, std::chrono::seconds max_age = std::chrono::minutes(10),
                          std::chrono::seconds retry = std::chrono::seconds(30));
    // Stops the thread; a lookup still in flight is not waited out (it ends on its own).
    ~StunResolver();
    StunResolver(const StunResolver&) = delete;
    StunResolver& operator=(const StunResolver&) = delete;

    // `url` in webrtcbin's form with its host replaced by the address ("stun://192.0.2.7:19302"),
    // or "" when it did not resolve. Waits up to `wait` for a first lookup still in flight.
    // An answer past its age is still given while a new lookup runs. URLs not given to the
    // constructor are "".
    std::string address_for(const std::string& url, std::chrono::milliseconds wait);

private:
    struct State;
    static void run(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};
