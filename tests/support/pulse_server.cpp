#include "tests/support/pulse_server.h"

#include <signal.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace testsupport {

namespace {

void put_u16(std::ofstream& out, uint16_t v) {
    const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    out.write(b, 2);
}

void put_u32(std::ofstream& out, uint32_t v) {
    put_u16(out, static_cast<uint16_t>(v & 0xFFFF));
    put_u16(out, static_cast<uint16_t>(v >> 16));
}

}  // namespace

PulseServer::PulseServer() : dir_("zarvex-pulse"), socket_(dir_ / "native") {
    for (const char* sub : {"home", "runtime", "state"}) fs::create_directories(dir_ / sub);
    write_file(dir_ / "client.conf", "autospawn = no\n");
}

PulseServer::~PulseServer() { stop(); }

std::map<std::string, std::string> PulseServer::env_for(const std::string& socket) const {
    return {{"PULSE_SERVER", "unix:" + socket},
            {"PULSE_RUNTIME_PATH", dir_ / "runtime"},
            {"PULSE_STATE_PATH", dir_ / "state"},
            {"PULSE_COOKIE", dir_ / "cookie"},
            {"PULSE_CLIENTCONFIG", dir_ / "client.conf"},
            {"HOME", dir_ / "home"},
            {"XDG_RUNTIME_DIR", dir_ / "runtime"},
            {"XDG_CONFIG_HOME", dir_ / "home/.config"}};
}

std::map<std::string, std::string> PulseServer::client_env() const { return env_for(socket_); }

std::map<std::string, std::string> PulseServer::unreachable_env() const { return env_for(dir_ / "nobody-listens"); }

bool PulseServer::start(bool with_sink, uint32_t rate, uint16_t channels) {
    auto env = client_env();
    env.erase("PULSE_SERVER");
    // No session or system bus, no X11: the server stays inside its folders.
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (dir_ / "no-bus");
    env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + (dir_ / "no-bus");
    env["DISPLAY"] = "";
    std::vector<std::string> argv = {"pulseaudio",
                                     "-n",
                                     "--daemonize=no",
                                     "--exit-idle-time=-1",
                                     "--realtime=no",
                                     "--high-priority=no",
                                     "--use-pid-file=no",
                                     "--log-target=stderr",
                                     "-L",
                                     "module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1"};
    if (with_sink) {
        argv.push_back("-L");
        argv.push_back("module-null-sink sink_name=zarvex_test rate=" + std::to_string(rate) +
                       " channels=" + std::to_string(channels));
    }
    if (!server_.start(argv, env, dir_.path())) {
        error_ = "cannot start pulseaudio";
        return false;
    }
    const bool up = wait_until([&] { return !server_.running() || pactl({"info"}).has_value(); }, 15s);
    if (!up || !server_.running()) {
        error_ = "pulseaudio did not come up: " + server_.err();
        stop();
        return false;
    }
    return true;
}

void PulseServer::kill() {
    server_.signal(SIGKILL);
    server_.wait(5s);
}

void PulseServer::stop() { server_.stop(3s); }

std::optional<std::string> PulseServer::pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p;
    if (!p.start(argv, client_env())) return std::nullopt;
    auto code = p.wait(10s);
    if (!code) p.stop();
    if (code.value_or(-1) != 0) return std::nullopt;
    return p.out();
}

bool PulseServer::play(Process& player, const std::string& path) const {
    return player.start({"paplay", path}, client_env());
}

std::vector<int16_t> sine_tone(double frequency, double seconds, uint32_t rate, uint16_t channels, double amplitude) {
    const auto frames = static_cast<size_t>(seconds * rate);
    std::vector<int16_t> out;
    out.reserve(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const double v = amplitude * 32767.0 * std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / rate);
        for (uint16_t c = 0; c < channels; ++c) out.push_back(static_cast<int16_t>(std::lround(v)));
    }
    return out;
}

bool write_wav_s16(const std::string& path, const std::vector<int16_t>& samples, uint32_t rate, uint16_t channels) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const auto data_bytes = static_cast<uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    put_u32(out, 36 + data_bytes);
    out.write("WAVEfmt ", 8);
    put_u32(out, 16);
    put_u16(out, 1);  // PCM
    put_u16(out, channels);
    put_u32(out, rate);
    put_u32(out, rate * channels * 2);
    put_u16(out, static_cast<uint16_t>(channels * 2));
    put_u16(out, 16);
    out.write("data", 4);
    put_u32(out, data_bytes);
    for (int16_t s : samples) put_u16(out, static_cast<uint16_t>(s));
    return static_cast<bool>(out);
}

}  // namespace testsupport
