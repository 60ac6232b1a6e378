#include <windows.h>
#include <conio.h>
#include <io.h>

#include <cstdio>

#include "host/console.h"

namespace {

// One key from the console. Arrows and function keys come as 0 or 224 and a scan code.
int next_console_key() {
    const int c = _getch();
    if (c == 0 || c == 224) {
        _getch();
        return KEY_IGNORED;
    }
    if (c == 3) return KEY_CANCEL;
    if (c == 26) return KEY_END;  // Ctrl+Z
    return c;
}

}  // namespace

bool stdin_is_terminal() { return _isatty(_fileno(stdin)) != 0; }

std::optional<std::string> read_masked_from_terminal(const std::string& prompt) {
    std::fputs(prompt.c_str(), stdout);
    std::fflush(stdout);
    return read_masked_keys(next_console_key, stdout);
}

std::string default_machine_name() {
    char name[256] = {0};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return "Unknown";
    return std::string(name, size);
}

const char* os_info_name() { return "Windows"; }

const char* next_steps_text() {
    return "  - Run 'agent.exe' to start manually\n"
           "  - Run 'agent.exe --install' to install as Windows service (auto-start)\n";
}
