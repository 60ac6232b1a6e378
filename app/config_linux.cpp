#include <cstdlib>
#include <string>

#include "app/config.h"

std::string app_data_folder() {
    for (const char* name : {"APPDATA", "XDG_CONFIG_HOME"}) {
        const char* v = std::getenv(name);
        if (v && *v) return v;
    }
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.config";
    return ".";
}
