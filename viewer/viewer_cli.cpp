#include "viewer/viewer_cli.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "media/bitrate.h"
#include "viewer/account_client.h"
#include "viewer/viewer_p2p.h"
#include "viewer/viewer_session.h"

namespace {

// The agent applies bit rates in this range.
// One upload chunk travels as one relay message (16 MiB by default on the relay).
constexpr size_t MAX_CHUNK_SIZE = 4u * 1024 * 1024;
// Uploads at least this large report their progress every 10 %.
constexpr uint64_t PROGRESS_MIN_BYTES = 1024 * 1024;
constexpr size_t CLIPBOARD_SHOWN_BYTES = 200;

struct OptionRow {
    const char* name;
    const char* value;  // nullptr: a flag without a value
    const char* help;
    std::function<bool(ViewerCliOptions&, const std::string&)> apply;
    const char* expected = nullptr;  // what a valid value looks like, for the error message
};

bool set_seconds(ViewerCliOptions& o, const std::string& v) {
    try {
        size_t used = 0;
        double s = std::stod(v, &used);
        if (used != v.size() || !(s > 0) || s > 86400 * 365) return false;
        o.seconds = s;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// A whole decimal integer (or 0x hexadecimal when hex_ok) within [min, max].
bool parse_integer(const std::string& v, int64_t min, int64_t max, int64_t& out, bool hex_ok = false) {
    const char* first = v.data();
    const char* last = v.data() + v.size();
    int base = 10;
    if (hex_ok && v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        first += 2;
        base = 16;
    }
    if (first == last || *first == '+') return false;
    int64_t n = 0;
    auto [end, ec] = std::from_chars(first, last, n, base);
    if (ec != std::errc() || end != last || n < min || n > max) return false;
    out = n;
    return true;
}

// Appends an action built from a number in [min, max].
bool add_number(ViewerCliOptions& o, ViewerAction::Kind kind, const std::string& v, int64_t min, int64_t max,
                bool hex_ok = false) {
    int64_t n = 0;
    if (!parse_integer(v, min, max, n, hex_ok)) return false;
    ViewerAction a;
    a.kind = kind;
    switch (kind) {
        case ViewerAction::Kind::Wheel: a.wheel = static_cast<int16_t>(n); break;
        case ViewerAction::Kind::KeyPress:
        case ViewerAction::Kind::KeyDown:
        case ViewerAction::Kind::KeyUp: a.key = static_cast<uint16_t>(n); break;
        default: a.number = static_cast<uint32_t>(n); break;
    }
    o.actions.push_back(std::move(a));
    return true;
}

bool add_text(ViewerCliOptions& o, ViewerAction::Kind kind, const std::string& v) {
    ViewerAction a;
    a.kind = kind;
    a.text = v;
    o.actions.push_back(std::move(a));
    return true;
}

bool add_move(ViewerCliOptions& o, const std::string& v) {
    auto comma = v.find(',');
    int64_t x = 0, y = 0;
    if (comma == std::string::npos || !parse_integer(v.substr(0, comma), 0, 65535, x) ||
        !parse_integer(v.substr(comma + 1), 0, 65535, y))
        return false;
    ViewerAction a;
    a.kind = ViewerAction::Kind::Move;
    a.x = static_cast<uint16_t>(x);
    a.y = static_cast<uint16_t>(y);
    o.actions.push_back(a);
    return true;
}

// Mouse buttons by their number in MouseInput.
constexpr std::array<std::string_view, 3> BUTTON_NAMES = {"left", "right", "middle"};

bool add_click(ViewerCliOptions& o, const std::string& v) {
    auto it = std::find(BUTTON_NAMES.begin(), BUTTON_NAMES.end(), v);
    if (it == BUTTON_NAMES.end()) return false;
    ViewerAction a;
    a.kind = ViewerAction::Kind::Click;
    a.button = static_cast<uint8_t>(it - BUTTON_NAMES.begin());
    o.actions.push_back(a);
    return true;
}

bool add_typing(ViewerCliOptions& o, const std::string& v) {
    return !v.empty() && keystrokes_for_text(v) && add_text(o, ViewerAction::Kind::Type, v);
}

bool add_upload(ViewerCliOptions& o, const std::string& v) {
    if (v.empty()) return false;
    return add_text(o, ViewerAction::Kind::Upload, v);
}

// Names the most recent --upload that has no name of its own yet.
bool set_upload_name(ViewerCliOptions& o, const std::string& v) {
    auto it = std::find_if(o.actions.rbegin(), o.actions.rend(),
                           [](const ViewerAction& a) { return a.kind == ViewerAction::Kind::Upload; });
    if (v.empty() || v.size() > 65535 || it == o.actions.rend() || !it->upload_name.empty()) return false;
    it->upload_name = v;
    return true;
}

bool set_chunk_size(ViewerCliOptions& o, const std::string& v) {
    int64_t n = 0;
    if (!parse_integer(v, 1, MAX_CHUNK_SIZE, n)) return false;
    o.chunk_size = static_cast<size_t>(n);
    return true;
}

constexpr const char* VK_RANGE = "a virtual-key code 1..254, decimal or 0x hex";

// New options go here: one row each.
const std::vector<OptionRow>& option_table() {
    using K = ViewerAction::Kind;
    static const std::vector<OptionRow> table = {
        {"--server", "URL", "relay base URL, e.g. http://127.0.0.1:8080",
         [](ViewerCliOptions& o, const std::string& v) { o.server = v; return !v.empty(); }},
        {"--user", "NAME", "sign in with this user name (with --password)",
         [](ViewerCliOptions& o, const std::string& v) { o.user = v; return true; }},
        {"--password", "PASS", "password for --user",
         [](ViewerCliOptions& o, const std::string& v) { o.password = v; return true; }},
        {"--token", "TOKEN", "use this sign-in token instead of --user/--password",
         [](ViewerCliOptions& o, const std::string& v) { o.token = v; return !v.empty(); }},
        {"--machine", "ID", "machine to view (default: the account's only machine)",
         [](ViewerCliOptions& o, const std::string& v) { o.machine = v; return !v.empty(); }},
        {"--seconds", "N", "how long to stay connected (default 10); the actions always finish", set_seconds,
         "a number of seconds above 0"},
        {"--session", "ID", "resume this session id",
         [](ViewerCliOptions& o, const std::string& v) { o.session = v; return v.size() == SESSION_ID_LENGTH; },
         "36 characters"},
        {"--ca-file", "PEM", "also trust the certificates in this file (PEM)",
         [](ViewerCliOptions& o, const std::string& v) { o.ca_file = v; return !v.empty(); }},
        {"--p2p", nullptr, "also open a direct WebRTC data channel to the host and report when it opens",
         [](ViewerCliOptions& o, const std::string&) { o.p2p = true; return true; }},
        {"--json", nullptr, "print the summary as JSON (other messages go to stderr)",
         [](ViewerCliOptions& o, const std::string&) { o.json = true; return true; }},
        {"--snapshot", "PATH", "at the end, write the last picture with the pointer as PNG",
         [](ViewerCliOptions& o, const std::string& v) { o.snapshot = v; return !v.empty(); }},
        {"--audio-wav", "PATH", "write the sound received to this WAV file",
         [](ViewerCliOptions& o, const std::string& v) { o.audio_wav = v; return !v.empty(); }},
        {"--audio-format", "ENC", "the host's samples: s16 (Linux hosts, default) or f32 (Windows hosts)",
         [](ViewerCliOptions& o, const std::string& v) {
             auto e = parse_sample_encoding(v);
             if (e) o.audio_encoding = *e;
             return e.has_value();
         },
         "s16 or f32"},
        // Actions: sent after the key exchange, in the order given.
        {"--move", "X,Y", "action: move the pointer (normalised, 0..65535 each)", add_move,
         "X,Y with each 0..65535"},
        {"--click", "BUTTON", "action: press and release left|right|middle at the last --move position", add_click,
         "left, right or middle"},
        {"--wheel", "DELTA", "action: turn the wheel (120 is one notch up, -120 one down)",
         [](ViewerCliOptions& o, const std::string& v) {
             return v != "0" && add_number(o, K::Wheel, v, -32768, 32767);
         },
         "a non-zero whole number -32768..32767"},
        {"--key", "VK", "action: press and release a virtual key (decimal or 0x hex)",
         [](ViewerCliOptions& o, const std::string& v) { return add_number(o, K::KeyPress, v, 1, 254, true); },
         VK_RANGE},
        {"--key-down", "VK", "action: press a virtual key and keep it down",
         [](ViewerCliOptions& o, const std::string& v) { return add_number(o, K::KeyDown, v, 1, 254, true); },
         VK_RANGE},
        {"--key-up", "VK", "action: release a virtual key",
         [](ViewerCliOptions& o, const std::string& v) { return add_number(o, K::KeyUp, v, 1, 254, true); },
         VK_RANGE},
        {"--type", "TEXT", "action: type letters, digits and spaces (US layout)", add_typing,
         "letters A-Z a-z, digits and spaces only"},
        {"--clipboard", "TEXT", "action: set the host's clipboard text",
         [](ViewerCliOptions& o, const std::string& v) { return add_text(o, K::Clipboard, v); }},
        {"--upload", "FILE", "action: send a file to the host's download folder", add_upload},
        {"--upload-name", "NAME", "name on the host for the preceding --upload (default: its file name)",
         set_upload_name, "once, after an --upload, at most 65535 bytes"},
        {"--chunk-size", "BYTES", "upload chunk size (default 65536)", set_chunk_size, "1..4194304"},
        {"--bitrate", "KBPS", "action: ask the host for this video bit rate (kbit/s)",
         [](ViewerCliOptions& o, const std::string& v) {
             return add_number(o, K::Bitrate, v, ENCODER_MIN_BITRATE_KBPS, ENCODER_MAX_BITRATE_KBPS);
         },
         "100..200000"},
        {"--wait", "MS", "action: pause before the next action (milliseconds)",
         [](ViewerCliOptions& o, const std::string& v) { return add_number(o, K::Wait, v, 0, 86400000); },
         "0..86400000"},
    };
    return table;
}

// Empty when the upload's file can be read, else why not.
std::string unreadable_reason(const std::string& path) {
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    if (ec) return ec.message();
    if (!std::filesystem::is_regular_file(status)) return "not a regular file";
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::strerror(errno);
    return {};
}

std::atomic<bool> g_interrupted{false};

void on_signal(int) { g_interrupted = true; }

}  // namespace

std::string viewer_usage() {
    std::string out = "Usage: zarvex-viewer --server URL (--user NAME --password PASS | --token TOKEN) [options]\n\n"
                      "Joins a machine's session through the relay, completes the key exchange, decodes\n"
                      "the video, sends the actions in the order given and reports what arrives per\n"
                      "message type. Clipboard text from the host is printed as it arrives.\n\nOptions:\n";
    for (const auto& o : option_table())
        out += fmt::format("  {:<20} {}\n", std::string(o.name) + (o.value ? std::string(" ") + o.value : ""), o.help);
    out += fmt::format("  {:<20} {}\n", "--help", "show this text");
    out += "\nExit codes: 0 success, 1 connection, send, snapshot or audio file failure, 2 bad command line.\n";
    return out;
}

CliParse parse_viewer_cli(const std::vector<std::string>& args, ViewerCliOptions& options, std::string& message) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--help" || arg == "-h") return CliParse::help;
        std::string value;
        bool inline_value = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inline_value = true;
        }
        const OptionRow* row = nullptr;
        for (const auto& o : option_table())
            if (arg == o.name) row = &o;
        if (!row) {
            message = "unknown option: " + args[i];
            return CliParse::error;
        }
        if (row->value && !inline_value) {
            if (i + 1 >= args.size()) {
                message = arg + " needs a value (" + row->value + ")";
                return CliParse::error;
            }
            value = args[++i];
        } else if (!row->value && inline_value) {
            message = arg + " takes no value";
            return CliParse::error;
        }
        if (!row->apply(options, value)) {
            message = "invalid value for " + arg + ": " + value;
            if (row->expected) message += std::string(" (expected ") + row->expected + ")";
            return CliParse::error;
        }
    }
    if (options.server.empty()) {
        message = "--server is required";
        return CliParse::error;
    }
    if (options.token.empty() && (options.user.empty() || options.password.empty())) {
        message = "give --token, or --user and --password";
        return CliParse::error;
    }
    for (const auto& [option, path] : {std::pair{"--snapshot", options.snapshot}, {"--audio-wav", options.audio_wav}}) {
        if (path.empty()) continue;
        std::error_code ec;
        auto folder = std::filesystem::absolute(path, ec).parent_path();
        if (ec || !std::filesystem::is_directory(folder, ec)) {
            message = std::string("the folder for ") + option + " does not exist: " + folder.string();
            return CliParse::error;
        }
    }
    for (const auto& a : options.actions) {
        if (a.kind != ViewerAction::Kind::Upload) continue;
        if (auto why = unreadable_reason(a.text); !why.empty()) {
            message = "cannot read the file to upload " + a.text + ": " + why;
            return CliParse::error;
        }
    }
    return CliParse::run;
}

std::optional<std::vector<KeyStroke>> keystrokes_for_text(const std::string& text, char* bad) {
    // Set-1 scan codes of the US layout.
    static const uint8_t letter_scan[26] = {0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17,
                                            0x24, 0x25, 0x26, 0x32, 0x31, 0x18, 0x19, 0x10, 0x13,
                                            0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};
    static const uint8_t digit_scan[10] = {0x0B, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
    constexpr KeyStroke shift{0x10, 0x2A, false};
    std::vector<KeyStroke> out;
    for (char c : text) {
        KeyStroke k;
        bool upper = c >= 'A' && c <= 'Z';
        if (upper || (c >= 'a' && c <= 'z')) {
            int i = upper ? c - 'A' : c - 'a';
            k = {static_cast<uint16_t>(0x41 + i), letter_scan[i], false};
        } else if (c >= '0' && c <= '9') {
            k = {static_cast<uint16_t>(c), digit_scan[c - '0'], false};
        } else if (c == ' ') {
            k = {0x20, 0x39, false};
        } else {
            if (bad) *bad = c;
            return std::nullopt;
        }
        if (upper) out.push_back(shift);
        out.push_back(k);
        k.released = true;
        out.push_back(k);
        if (upper) out.push_back({shift.virtual_key, shift.scan_code, true});
    }
    return out;
}

bool draw_pointer(DecodedPicture& p, const CursorUpdateMsg& c) {
    const uint64_t shape_pixels = static_cast<uint64_t>(c.shape_width) * c.shape_height;
    if (!c.visible || !c.has_shape || shape_pixels == 0 || c.rgba.size() / 4 < shape_pixels) return false;
    const uint32_t bpp = p.bytes_per_pixel();
    if (p.width == 0 || p.height == 0 || p.stride < static_cast<uint64_t>(p.width) * bpp ||
        p.pixels.size() < static_cast<uint64_t>(p.stride) * p.height)
        return false;
    // Picture coordinates of the shape's top-left pixel, and the visible part of the shape.
    const int64_t left = static_cast<int64_t>(c.x) - c.hotspot_x;
    const int64_t top = static_cast<int64_t>(c.y) - c.hotspot_y;
    const int64_t col0 = std::max<int64_t>(0, -left), col1 = std::min<int64_t>(c.shape_width, p.width - left);
    const int64_t row0 = std::max<int64_t>(0, -top), row1 = std::min<int64_t>(c.shape_height, p.height - top);
    // Byte positions of red, green and blue in the picture.
    const int r = p.format == PictureFormat::Bgra ? 2 : 0, b = 2 - r;
    bool drawn = false;
    for (int64_t row = row0; row < row1; ++row) {
        for (int64_t col = col0; col < col1; ++col) {
            const uint8_t* s = &c.rgba[(static_cast<uint64_t>(row) * c.shape_width + col) * 4];
            uint8_t* d = &p.pixels[static_cast<uint64_t>(top + row) * p.stride + (left + col) * bpp];
            const unsigned a = s[3];
            auto blend = [a](uint8_t src, uint8_t dst) {
                return static_cast<uint8_t>((src * a + dst * (255 - a) + 127) / 255);
            };
            d[r] = blend(s[0], d[r]);
            d[1] = blend(s[1], d[1]);
            d[b] = blend(s[2], d[b]);
            drawn = true;
        }
    }
    return drawn;
}

std::string clipboard_line(const std::string& text) {
    size_t cut = std::min(text.size(), CLIPBOARD_SHOWN_BYTES);
    // Back off continuation bytes so that no UTF-8 sequence is split.
    if (cut < text.size())
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    std::string out = "Clipboard: ";
    for (size_t i = 0; i < cut; ++i) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (ch == '\n') out += "\\n";
        else if (ch == '\t') out += "\\t";
        else if (ch == '\\') out += "\\\\";
        else if (ch < 0x20 || ch == 0x7F) out += fmt::format("\\x{:02X}", ch);
        else out += static_cast<char>(ch);
    }
    if (cut < text.size()) out += fmt::format("... ({} bytes in all)", text.size());
    return out;
}

std::string summary_text(const ViewerSummary& s) {
    std::string out = fmt::format("Summary: session {} {} after {:.1f} s; {} key exchange(s), {} dropped frame(s)\n",
                                  s.session_id.empty() ? "-" : s.session_id, s.ready ? "ready" : "NOT ready",
                                  s.seconds, s.key_exchanges, s.dropped);
    if (s.messages.empty()) out += "  no messages received\n";
    for (const auto& [name, c] : s.messages) {
        double rate = s.seconds > 0 ? c.count / s.seconds : 0;
        double kbps = s.seconds > 0 ? c.bytes * 8 / 1000.0 / s.seconds : 0;
        out += fmt::format("  {:<15} count {:>8}  bytes {:>12}  rate {:>8.1f}/s  {:>10.1f} kbit/s\n", name, c.count,
                           c.bytes, rate, kbps);
    }
    const VideoSummary& v = s.video;
    if (v.frames == 0) {
        out += "Video: none received\n";
    } else {
        double fps = v.seconds > 0 ? v.decoded / v.seconds : 0;
        double kbps = v.seconds > 0 ? v.bytes * 8 / 1000.0 / v.seconds : 0;
        out += fmt::format("Video: {}x{}, {} frames decoded, {:.1f} fps, {:.1f} kbit/s, {} keyframes", v.width,
                           v.height, v.decoded, fps, kbps, v.keyframes);
        if (v.decode_errors) out += fmt::format(", {} frames failed to decode", v.decode_errors);
        out += "\n";
    }
    const AudioSummary& a = s.audio;
    if (a.chunks == 0) {
        out += "Audio: none received\n";
    } else {
        out += fmt::format("Audio: {} Hz, {} channel(s), {:.2f} s of sound in {} chunks", a.sample_rate, a.channels,
                           a.seconds, a.chunks);
        if (a.format_changes) out += fmt::format(", format changed {} time(s)", a.format_changes);
        out += "\n";
    }
    return out;
}

std::string summary_json(const ViewerSummary& s) {
    nlohmann::json messages = nlohmann::json::object();
    for (const auto& [name, c] : s.messages)
        messages[name] = {{"count", c.count}, {"bytes", c.bytes}, {"rate", s.seconds > 0 ? c.count / s.seconds : 0.0}};
    const VideoSummary& v = s.video;
    nlohmann::json video{{"width", v.width},
                         {"height", v.height},
                         {"frames", v.frames},
                         {"frames_decoded", v.decoded},
                         {"decode_errors", v.decode_errors},
                         {"keyframes", v.keyframes},
                         {"fps", v.seconds > 0 ? v.decoded / v.seconds : 0.0},
                         {"kbps", v.seconds > 0 ? v.bytes * 8 / 1000.0 / v.seconds : 0.0}};
    const AudioSummary& a = s.audio;
    nlohmann::json audio{{"chunks", a.chunks},     {"bytes", a.bytes},     {"sample_rate", a.sample_rate},
                         {"channels", a.channels}, {"seconds", a.seconds}, {"format_changes", a.format_changes}};
    nlohmann::json out{{"session_id", s.session_id}, {"ready", s.ready},     {"seconds", s.seconds},
                       {"key_exchanges", s.key_exchanges}, {"dropped", s.dropped}, {"messages", messages},
                       {"video", video}, {"audio", audio}};
    return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

using Clock = std::chrono::steady_clock;

// Scan code of a virtual key where the US layout has one we know; 0 otherwise.
uint16_t scan_code_for(uint16_t vk) {
    if (vk == 0x10) return 0x2A;
    char c = static_cast<char>(vk);
    if (vk > 0x7F || !((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ')) return 0;
    auto strokes = keystrokes_for_text(std::string(1, static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c)));
    return strokes ? strokes->front().scan_code : 0;
}

// Keys that sit outside the main block: without the flag the host takes the navigation
// keys for their numpad twins.
bool is_extended_key(uint16_t vk) {
    return (vk >= 0x21 && vk <= 0x28) || vk == 0x2C || vk == 0x2D || vk == 0x2E || (vk >= 0x5B && vk <= 0x5D) ||
           vk == 0x6F || vk == 0x90 || vk == 0xA3 || vk == 0xA5;
}

std::string describe(const ViewerAction& a) {
    using K = ViewerAction::Kind;
    switch (a.kind) {
        case K::Move: return fmt::format("move to {},{}", a.x, a.y);
        case K::Click: return fmt::format("{} click", BUTTON_NAMES[a.button % 3]);
        case K::Wheel: return fmt::format("wheel {}", a.wheel);
        case K::KeyPress: return fmt::format("key 0x{:02X}", a.key);
        case K::KeyDown: return fmt::format("key 0x{:02X} down", a.key);
        case K::KeyUp: return fmt::format("key 0x{:02X} up", a.key);
        case K::Type: return fmt::format("typing of {} characters", a.text.size());
        case K::Clipboard: return fmt::format("clipboard text ({} bytes)", a.text.size());
        case K::Upload: return "upload of " + a.text;
        case K::Bitrate: return fmt::format("bit rate {} kbit/s", a.number);
        case K::Wait: return fmt::format("pause of {} ms", a.number);
    }
    return "action";
}

// Sends the command line's actions in order over a ready session.
class ActionRunner {
public:
    ActionRunner(ViewerSession& session, const ViewerCliOptions& options, std::function<void(const std::string&)> say,
                 std::function<void()> tick)
        : session_(session), options_(options), say_(std::move(say)), tick_(std::move(tick)) {}

    // False at the first action that cannot be sent; error() says why.
    bool run() {
        for (const auto& a : options_.actions) {
            if (g_interrupted) return fail("interrupted before the " + describe(a));
            if (!run_one(a)) return false;
            if (a.kind != ViewerAction::Kind::Wait && a.kind != ViewerAction::Kind::Upload) say_("Sent " + describe(a));
        }
        return true;
    }
    const std::string& error() const { return error_; }

private:
    bool run_one(const ViewerAction& a) {
        using K = ViewerAction::Kind;
        switch (a.kind) {
            case K::Move:
                x_ = a.x;
                y_ = a.y;
                return sent(session_.send_mouse(x_, y_, 0, MouseAction::Move), a);
            case K::Click:
                return sent(session_.send_mouse(x_, y_, a.button, MouseAction::Down) &&
                                session_.send_mouse(x_, y_, a.button, MouseAction::Up),
                            a);
            case K::Wheel: return sent(session_.send_mouse(x_, y_, 0, MouseAction::Wheel, a.wheel), a);
            case K::KeyPress: return key(a, false) && key(a, true);
            case K::KeyDown: return key(a, false);
            case K::KeyUp: return key(a, true);
            case K::Type: {
                const auto strokes = keystrokes_for_text(a.text).value_or(std::vector<KeyStroke>{});
                for (const auto& k : strokes)
                    if (!sent(session_.send_key(k.virtual_key, k.scan_code, k.released), a)) return false;
                return true;
            }
            case K::Clipboard: return sent(session_.send_clipboard(a.text), a);
            case K::Upload: return upload(a);
            case K::Bitrate: return sent(session_.send_set_bitrate(a.number), a);
            case K::Wait: return pause(Clock::now() + std::chrono::milliseconds(a.number));
        }
        return true;
    }

    bool key(const ViewerAction& a, bool released) {
        return sent(session_.send_key(a.key, scan_code_for(a.key), released, is_extended_key(a.key)), a);
    }

    bool sent(bool ok, const ViewerAction& a) {
        return ok || fail(fmt::format("could not send the {}: {}", describe(a),
                                      session_.is_connected() ? "the session is not ready" : "not connected"));
    }

    bool fail(const std::string& why) {
        error_ = why;
        return false;
    }

    // Sleeps until `until`, still reporting; false when interrupted.
    bool pause(Clock::time_point until) {
        while (Clock::now() < until) {
            if (g_interrupted) return fail("interrupted");
            std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(20)));
            tick_();
        }
        return true;
    }

    bool upload(const ViewerAction& a) {
        const std::string name =
            a.upload_name.empty() ? std::filesystem::path(a.text).filename().string() : a.upload_name;
        std::error_code ec;
        const uint64_t total = std::filesystem::file_size(a.text, ec);
        std::ifstream in(a.text, std::ios::binary);
        if (ec || !in) return fail("cannot read the file to upload " + a.text + (ec ? ": " + ec.message() : ""));
        say_(fmt::format("Uploading {} as {} ({} bytes)", a.text, name, total));
        std::vector<uint8_t> chunk;
        uint64_t offset = 0;
        int next_percent = 10;
        do {
            if (g_interrupted)
                return fail(fmt::format("upload of {} interrupted after {} of {} bytes; the file on the host is "
                                        "incomplete",
                                        name, offset, total));
            const size_t n = static_cast<size_t>(std::min<uint64_t>(options_.chunk_size, total - offset));
            chunk.resize(n);
            in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(n));
            if (static_cast<size_t>(in.gcount()) != n)
                return fail(fmt::format("{} shrank or could not be read after {} of {} bytes; the upload is incomplete",
                                        a.text, offset, total));
            if (!send_chunk(name, offset, total, chunk)) return false;
            offset += n;
            while (total >= PROGRESS_MIN_BYTES && next_percent <= 100 && offset * 100 >= next_percent * total) {
                say_(fmt::format("Upload {}: {}% ({} of {} bytes)", name, next_percent, offset, total));
                next_percent += 10;
            }
            tick_();
        } while (offset < total);
        say_(fmt::format("Uploaded {} ({} bytes)", name, total));
        return true;
    }

    // Sends one chunk, waiting while the send backlog is full. A chunk that cannot be
    // sent ends the upload: the host would otherwise get a file with a gap.
    bool send_chunk(const std::string& name, uint64_t offset, uint64_t total, const std::vector<uint8_t>& data) {
        const auto stalled_since = Clock::now();
        while (!session_.send_file_chunk(name, offset, total, data)) {
            std::string why;
            if (!session_.is_connected() || !session_.is_ready()) why = "the connection was lost";
            else if (Clock::now() - stalled_since > std::chrono::seconds(30)) why = "nothing could be sent for 30 s";
            else if (g_interrupted) why = "interrupted";
            if (!why.empty())
                return fail(fmt::format("upload of {} stopped after {} of {} bytes: {}; the file on the host is "
                                        "incomplete",
                                        name, offset, total, why));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            tick_();
        }
        return true;
    }

    ViewerSession& session_;
    const ViewerCliOptions& options_;
    std::function<void(const std::string&)> say_;
    std::function<void()> tick_;
    uint16_t x_ = 0, y_ = 0;  // the last --move position
    std::string error_;
};

}  // namespace

int run_viewer_cli(const ViewerCliOptions& opt) {
    std::string token = opt.token;
    std::string machine = opt.machine;
    AccountClient account(opt.server, opt.ca_file);
    if (token.empty()) {
        auto t = account.login(opt.user, opt.password);
        if (!t) {
            std::fprintf(stderr, "Sign-in failed: %s\n", account.last_error().c_str());
            return 1;
        }
        token = *t;
    }
    if (machine.empty()) {
        auto list = account.list_machines(token);
        if (!list) {
            std::fprintf(stderr, "Cannot list machines: %s\n", account.last_error().c_str());
            return 1;
        }
        if (list->size() != 1) {
            std::fprintf(stderr, "The account has %zu machines: choose one with --machine\n", list->size());
            return 1;
        }
        machine = (*list)[0].value("machine_id", "");
    }

    // Lines for the user go to stdout, or to stderr when stdout carries the JSON summary.
    std::mutex print_mutex;
    auto say = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(print_mutex);
        std::FILE* to = opt.json ? stderr : stdout;
        std::fprintf(to, "%s\n", line.c_str());
        std::fflush(to);
    };

    std::mutex m;
    ViewerSummary summary;
    VideoDecoder decoder;
    CursorUpdateMsg cursor;
    std::optional<Clock::time_point> first_frame;
    AudioRecorder audio(opt.audio_encoding);
    if (!opt.audio_wav.empty() && !audio.open_wav(opt.audio_wav)) {
        std::fprintf(stderr, "Cannot create %s: %s\n", opt.audio_wav.c_str(), std::strerror(errno));
        return 1;
    }
    ViewerSession* video_session = nullptr;  // set once the session exists, before it connects
    ViewerHandlers handlers;
    handlers.on_message = [&](const std::vector<uint8_t>& msg) {
        std::lock_guard<std::mutex> lock(m);
        auto& c = summary.messages[message_type_name(msg[0])];
        ++c.count;
        c.bytes += msg.size();
    };
    handlers.on_video = [&](const VideoFrameMsg& frame) {
        std::lock_guard<std::mutex> lock(m);
        VideoSummary& v = summary.video;
        if (!first_frame) first_frame = Clock::now();
        ++v.frames;
        v.bytes += frame.data.size();
        if (frame.keyframe) ++v.keyframes;
        if (!decoder.decode(frame.data, frame.width, frame.height)) {
            ++v.decode_errors;
            // Pictures after a broken one cannot be decoded either: ask for a fresh start.
            if (video_session) video_session->request_keyframe();
        }
        v.decoded = decoder.picture_count();
        v.width = decoder.has_picture() ? decoder.picture().width : frame.width;
        v.height = decoder.has_picture() ? decoder.picture().height : frame.height;
    };
    handlers.on_audio = [&](const AudioChunkMsg& chunk) {
        std::lock_guard<std::mutex> lock(m);
        audio.add(chunk);
    };
    handlers.on_cursor = [&](const CursorUpdateMsg& c) {
        std::lock_guard<std::mutex> lock(m);
        if (c.has_shape || !cursor.has_shape) {
            cursor = c;
        } else {  // a position update keeps the shape seen last
            cursor.visible = c.visible;
            cursor.x = c.x;
            cursor.y = c.y;
        }
    };
    handlers.on_clipboard = [&](const std::string& text) { say(clipboard_line(text)); };
    // The first exchange is announced by the main thread once wait_ready() returns, so that
    // the line comes before those of the actions; later ones (a new session) from here.
    std::atomic<int> exchanges{0};
    handlers.on_ready = [&](const std::string& sid) {
        if (++exchanges > 1) say("Session " + sid + " ready again (new key exchange)");
    };
    ViewerSession session;
    video_session = &session;
    // --p2p: the offering peer, started once the key exchange is done; the host's answer
    // and candidates arrive as signals.
    ViewerP2P p2p([&session](const std::string& payload) { session.send_signal(payload); });
    handlers.on_signal = [&p2p](const std::string& payload) { p2p.handle_signal(payload); };
    session.set_handlers(handlers);
    if (!session.connect(ViewerOptions{opt.server, machine, token, opt.session, true, opt.ca_file})) {
        std::fprintf(stderr, "Invalid relay URL: %s\n", opt.server.c_str());
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    const auto start = Clock::now();
    const auto run_for = std::chrono::duration<double>(opt.seconds);
    auto next_report = start + std::chrono::seconds(1);
    // One progress line a second in text mode.
    auto tick = [&] {
        if (opt.json || Clock::now() < next_report) return;
        next_report += std::chrono::seconds(1);
        std::string line;
        {
            std::lock_guard<std::mutex> lock(m);
            double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            line = fmt::format("[{:.0f}s]", elapsed);
            for (const auto& [name, c] : summary.messages) line += fmt::format(" {}={}", name, c.count);
        }
        say(line);
    };

    bool ready = session.wait_ready(std::chrono::duration_cast<std::chrono::milliseconds>(run_for));
    if (ready) say("Session " + session.session_id() + " ready (key exchange complete)");
    else std::fprintf(stderr, "Key exchange did not complete: %s\n", session.last_error().c_str());
    bool actions_ok = true;
    auto end = start + std::chrono::duration_cast<Clock::duration>(run_for);
    if (ready && !opt.actions.empty()) {
        ActionRunner runner(session, opt, say, tick);
        actions_ok = runner.run();
        if (!actions_ok) std::fprintf(stderr, "Stopped: %s\n", runner.error().c_str());
        // Give what was just queued time to leave before the connection closes.
        end = std::max(end, Clock::now() + std::chrono::seconds(1));
    }
    std::optional<Clock::time_point> p2p_started;
    bool p2p_open = false;
    if (ready && opt.p2p) {
        p2p_started = Clock::now();
        if (!p2p.start()) std::fprintf(stderr, "P2P not available: %s\n", p2p.last_error().c_str());
    }
    while (ready && !g_interrupted && Clock::now() < end) {
        if (p2p_started && !p2p_open && p2p.is_open()) {
            p2p_open = true;
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(p2p.opened_at() - *p2p_started).count();
            say(fmt::format("P2P data channel open after {} ms", ms));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        tick();
    }
    p2p.close();
    session.close();
    if (p2p_started && !p2p_open)
        std::fprintf(stderr, "P2P data channel did not open%s%s\n", p2p.last_error().empty() ? "" : ": ",
                     p2p.last_error().c_str());

    bool snapshot_ok = true;
    std::lock_guard<std::mutex> lock(m);
    if (!opt.snapshot.empty()) {
        if (!decoder.has_picture()) {
            std::fprintf(stderr, "Snapshot not written: no picture was decoded\n");
            snapshot_ok = false;
        } else {
            DecodedPicture picture = decoder.picture();
            draw_pointer(picture, cursor);
            snapshot_ok = write_png(picture, opt.snapshot);
            if (snapshot_ok)
                say(fmt::format("Snapshot written to {} ({}x{})", opt.snapshot, picture.width, picture.height));
            else
                std::fprintf(stderr, "Snapshot not written to %s\n", opt.snapshot.c_str());
        }
    }
    bool audio_ok = true;
    if (!opt.audio_wav.empty()) {
        audio_ok = audio.finish_wav();
        if (!audio_ok) std::fprintf(stderr, "Audio not written to %s\n", opt.audio_wav.c_str());
        else if (audio.wav_skipped())
            say(fmt::format("Audio written to {} ({} bytes; {} chunk(s) in another format left out)", opt.audio_wav,
                            audio.wav_bytes(), audio.wav_skipped()));
        else say(fmt::format("Audio written to {} ({} bytes)", opt.audio_wav, audio.wav_bytes()));
    }
    summary.audio = audio.summary();
    summary.session_id = session.session_id();
    summary.ready = ready;
    summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (first_frame) summary.video.seconds = std::chrono::duration<double>(Clock::now() - *first_frame).count();
    summary.key_exchanges = session.key_exchanges();
    summary.dropped = session.dropped_frames();
    std::string text = opt.json ? summary_json(summary) + "\n" : summary_text(summary);
    std::fputs(text.c_str(), stdout);
    return ready && actions_ok && snapshot_ok && audio_ok && (!opt.p2p || p2p_open) ? 0 : 1;
}
