// Opens a URL or a file with the handler the shell associates with it; the result is not
// examined.
#include <windows.h>
#include <shellapi.h>

#include "host/tray_icon.h"

void shell_open(const std::string& target) {
    ShellExecuteA(nullptr, "open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
