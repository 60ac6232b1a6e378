#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "control/file_receiver.h"

// The XDG download folder: $XDG_DOWNLOAD_DIR, else the user-dirs.dirs entry, else ~/Downloads.
std::string download_folder() {
    const char* home = std::getenv("HOME");
    const char* env_dir = std::getenv("XDG_DOWNLOAD_DIR");
    std::string base;
    if (env_dir && env_dir[0] == '/') {
        base = env_dir;
    } else if (home && home[0] != '\0') {
        const char* config_home = std::getenv("XDG_CONFIG_HOME");
        std::string config = config_home && config_home[0] == '/' ? config_home : std::string(home) + "/.config";
        std::ifstream in(config + "/user-dirs.dirs", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        base = upload_names::xdg_download_dir(text.str(), home).value_or(std::string(home) + "/Downloads");
    } else {
        return "/tmp";
    }
    std::string folder = base + "/Vantor";
    std::filesystem::create_directories(folder);
    return folder;
}
