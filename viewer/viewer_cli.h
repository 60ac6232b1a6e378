#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "viewer/audio_recorder.h"
#include "viewer/video_decoder.h"
#include "net/protocol.h"

// One thing to send once the key exchange is ready; run in command-line order.
struct ViewerAction {
    enum class Kind { Move, Click, Wheel, KeyPress, KeyDown, KeyUp, Type, Clipboard, Upload, Bitrate, Wait };
    Kind kind = Kind::Wait;
    uint16_t x = 0, y = 0;    // Move: normalised 0..65535
    uint8_t button = 0;       // Click: 0 left, 1 right, 2 middle
    int16_t wheel = 0;        // Wheel
    uint16_t key = 0;         // KeyPress, KeyDown, KeyUp: virtual-key code
    uint32_t number = 0;      // Bitrate: kbit/s; Wait: milliseconds
    std::string text;         // Type, Clipboard; Upload: the local file
    std::string upload_name;  // Upload: the name the host sees (empty: the file's own name)
};

// Options of the command-line viewer.
struct ViewerCliOptions {
    std::string server;       // relay base URL, http(s)://host:port
    std::string user;
    std::string password;
    std::string token;        // instead of user/password
    std::string machine;      // empty: the account's only machine
    std::string session;      // resume this session id
    std::string ca_file;      // extra trusted certificates (PEM)
    double seconds = 10;      // run time
    bool json = false;        // machine-readable summary
    bool p2p = false;         // also open a direct data channel to the host
    std::string snapshot;     // PNG of the last picture, written at the end
    std::string audio_wav;    // WAV of the sound received
    SampleEncoding audio_encoding = SampleEncoding::S16;  // what the host's samples are
    size_t chunk_size = 65536;  // upload chunk size in bytes
    std::vector<ViewerAction> actions;
};

enum class CliParse { run, help, error };

// Fills options from the arguments (without the program name); on error, `message` says why.
// Files given to --upload must be readable regular files.
CliParse parse_viewer_cli(const std::vector<std::string>& args, ViewerCliOptions& options, std::string& message);
std::string viewer_usage();

// One key event of --type.
struct KeyStroke {
    uint16_t virtual_key = 0;
    uint16_t scan_code = 0;
    bool released = false;
};

// The key presses that type text on a US layout: letters, digits and space, with Shift
// held around upper-case letters. No value (and `bad` set to the offending character)
// for any other character.
std::optional<std::vector<KeyStroke>> keystrokes_for_text(const std::string& text, char* bad = nullptr);

// Alpha-blends the pointer shape (RGBA) over the picture with its hotspot at the
// pointer position, clipped to the picture. Draws nothing for an invisible pointer, a
// pointer without a shape or a shape whose pixels are fewer than its size needs. True
// when at least one pixel was drawn.
bool draw_pointer(DecodedPicture& picture, const CursorUpdateMsg& cursor);

// "Clipboard: <text>" for the terminal: control characters escaped, cut after 200 bytes
// (never inside a UTF-8 sequence) with the full length noted.
std::string clipboard_line(const std::string& text);

// What arrived, per message type name.
struct TypeCount {
    uint64_t count = 0;
    uint64_t bytes = 0;
};

struct VideoSummary {
    uint32_t width = 0;   // of the latest picture (or frame header while none decoded)
    uint32_t height = 0;
    uint64_t frames = 0;  // VideoFrame messages
    uint64_t decoded = 0;
    uint64_t keyframes = 0;
    uint64_t bytes = 0;   // H.264 bytes
    uint64_t decode_errors = 0;
    double seconds = 0;   // from the first frame to the end: the base of the rates
};

struct ViewerSummary {
    std::string session_id;
    bool ready = false;
    double seconds = 0;
    uint64_t key_exchanges = 0;
    uint64_t dropped = 0;
    std::map<std::string, TypeCount> messages;
    VideoSummary video;
    AudioSummary audio;
};

std::string summary_text(const ViewerSummary& s);
std::string summary_json(const ViewerSummary& s);

// Signs in, connects, runs the actions, stays for the requested time and prints the
// summary. Exit code.
int run_viewer_cli(const ViewerCliOptions& options);
