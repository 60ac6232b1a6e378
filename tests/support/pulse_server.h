#pragma once

// A private PulseAudio server for tests and benchmarks: its own home, runtime, state and
// configuration folders and its own socket, no D-Bus and no realtime requests, so that
// neither it nor any client started with client_env() can reach the user's own sound
// server or session bus.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace testsupport {

class PulseServer {
public:
    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the server with a null sink of the given rate and channels as its default
    // sink (no sink at all when with_sink is false) and waits until it answers. False,
    // with error(), when it cannot be started.
    bool start(bool with_sink = true, uint32_t rate = 48000, uint16_t channels = 2);
    // Ends the server at once (SIGKILL), as a crash would.
    void kill();
    void stop();
    bool running() { return server_.running(); }

    // Environment for every client (agent, paplay, pactl): this server's socket and the
    // private folders.
    std::map<std::string, std::string> client_env() const;
    // The same environment pointing at a socket where no server listens.
    std::map<std::string, std::string> unreachable_env() const;
    std::string server() const { return "unix:" + socket_; }

    // Runs pactl with args against this server; its standard output, or no value when it
    // fails or takes longer than 10 s.
    std::optional<std::string> pactl(const std::vector<std::string>& args) const;
    // Starts paplay of a sound file into the default sink.
    bool play(Process& player, const std::string& path) const;

    const std::string& error() const { return error_; }
    const TempDir& dir() const { return dir_; }
    Process& process() { return server_; }

private:
    std::map<std::string, std::string> env_for(const std::string& socket) const;

    TempDir dir_;
    std::string socket_;
    Process server_;
    std::string error_;
};

// Interleaved 16-bit samples of a sine tone, the same in every channel.
std::vector<int16_t> sine_tone(double frequency, double seconds, uint32_t rate, uint16_t channels,
                               double amplitude = 0.5);
// Writes a 16-bit PCM WAV file of interleaved samples.
bool write_wav_s16(const std::string& path, const std::vector<int16_t>& samples, uint32_t rate, uint16_t channels);

}  // namespace testsupport
