#pragma once

// A TCP relay on loopback that forwards one side at a controlled pace: it stands between
// the agent and the relay server to play a slow or stalled uplink. The other direction
// is forwarded at once. Small socket buffers on its side, so the kernel does not soak up
// what the pace holds back.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

class ThrottleProxy {
public:
    ThrottleProxy() = default;
    ~ThrottleProxy() { stop(); }
    ThrottleProxy(const ThrottleProxy&) = delete;
    ThrottleProxy& operator=(const ThrottleProxy&) = delete;

    // Listens on a free loopback port and forwards every connection to target_port.
    bool start(int target_port);
    void stop();
    int port() const { return port_; }

    // Upstream (client to target) pace in bytes per second; 0: as fast as it comes.
    void set_rate(size_t bytes_per_second) { rate_.store(bytes_per_second); }
    // While paused nothing is read from the client.
    void pause(bool paused) { paused_.store(paused); }
    uint64_t forwarded_up() const { return up_bytes_.load(); }

private:
    void accept_loop();
    void pump(int from, int to, bool upstream);

    int listen_fd_ = -1;
    int port_ = 0;
    int target_port_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<size_t> rate_{0};
    std::atomic<bool> paused_{false};
    std::atomic<uint64_t> up_bytes_{0};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> pumps_;
    std::vector<int> fds_;
};

}  // namespace testsupport
