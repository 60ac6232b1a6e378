#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Receives files uploaded by viewers as a sequence of FileChunk messages (type 0x0B):
//
//   0      u8   type, 11
//   1      u16  N, name length
//   3      N    file name, UTF-8
//   3+N    u64  offset: 0 starts a file, anything else continues it
//   11+N   u64  total size of the file
//   19+N   u32  L, chunk length
//   23+N   L    chunk data (trailing bytes ignored)
//
// Chunks are appended in arrival order. A transfer is written to a hidden temporary file
// in the target folder and, once the announced size has arrived, moved to a name that
// does not exist yet ("report.pdf", else "report (1).pdf", ...), so nothing on disk is
// ever overwritten. Nothing is sent back to the viewer.
//
// handle_chunk is called on the relay client thread; an internal mutex guards the table
// of open transfers and is held during the file write. No exception leaves handle_chunk.
class FileReceiver {
public:
    // Most transfers open at once; a first chunk beyond that is refused.
    static constexpr size_t MAX_OPEN_TRANSFERS = 32;

    // target_folder: where uploads land (UTF-8). Empty: download_folder(), looked up
    // anew for every first chunk.
    explicit FileReceiver(std::string target_folder = {});
    // Closes and deletes every partly received file.
    ~FileReceiver();
    FileReceiver(const FileReceiver&) = delete;
    FileReceiver& operator=(const FileReceiver&) = delete;

    // Takes one whole FileChunk message. False when the message is malformed (silently),
    // the name is refused, too many transfers are open, the file cannot be created, a
    // write fails or the finished file cannot be moved into place (one log line each);
    // true otherwise, also when a continuation chunk is dropped for lack of an open
    // transfer.
    bool handle_chunk(const std::vector<uint8_t>& message);

    // Number of transfers currently open.
    size_t open_transfers() const;

private:
    struct Transfer {
        std::filesystem::path path;       // destination as named by the viewer
        std::filesystem::path temp_path;  // hidden file being written
        uint64_t total_size = 0;
        uint64_t received = 0;
        std::ofstream file;
    };

    bool start_transfer(const std::string& name, uint64_t total_size);
    bool finish_transfer(Transfer& t);
    std::filesystem::path resolve_folder() const;
    std::filesystem::path temp_path_for(const std::filesystem::path& folder, const std::string& name);
    // Closes the file, deletes the temporary file and forgets the transfer.
    void discard(const std::string& name);

    std::string target_folder_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Transfer> transfers_;
    std::mt19937_64 rng_;
};

// The folder uploads land in, as UTF-8, created with missing parents. Windows: the user's
// known Downloads folder plus "\Vantor" ("C:\Temp" when the shell does not know it).
// Linux: the XDG download folder ($XDG_DOWNLOAD_DIR, else the user-dirs.dirs entry under
// ${XDG_CONFIG_HOME:-~/.config}, else ~/Downloads) plus "/Vantor" ("/tmp" without a home).
// Throws std::filesystem::filesystem_error when the folder cannot be created.
std::string download_folder();

// Pure helpers, shared by the backends and reachable from tests.
namespace upload_names {

// The final component of a name received from a viewer ('/' and '\' both separate), or
// no value when that component is unsafe to create: empty, "." or "..", containing a
// control character or ':', or a reserved Windows device name (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, with or without extension, any case).
std::optional<std::string> sanitize(std::string_view raw);

// "name.ext" if free, else "name (1).ext", "name (2).ext", ... ("name (1)" without an
// extension; a leading dot does not start an extension). exists() is asked about each
// candidate; no value when the first 9999 numbered names are all taken.
std::optional<std::string> unique(const std::string& name, const std::function<bool(const std::string&)>& exists);

// The download folder from the text of an XDG user-dirs.dirs file: the XDG_DOWNLOAD_DIR
// line, quotes and backslash escapes removed, a leading $HOME or ${HOME} replaced by home.
// No value when the entry is missing or is neither absolute nor under $HOME.
std::optional<std::string> xdg_download_dir(std::string_view user_dirs_text, const std::string& home);

// UTF-8 text to a path and back, the same on every platform.
std::filesystem::path to_path(const std::string& utf8);
std::string from_path(const std::filesystem::path& path);

}  // namespace upload_names
