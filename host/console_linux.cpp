#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "host/console.h"

namespace {

int read_byte(int timeout_ms) {
    if (timeout_ms >= 0) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return KEY_END;
    }
    unsigned char c = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n == 1) return c;
        if (n < 0 && errno == EINTR) continue;
        return KEY_END;
    }
}

// One key from a terminal in raw mode. Escape sequences (arrows, function keys, Alt
// combinations) are read whole and stand for no character; a lone Escape is one that
// nothing follows within 50 ms.
int next_terminal_key() {
    const int c = read_byte(-1);
    if (c == 3) return KEY_CANCEL;  // Ctrl+C: the terminal does not raise SIGINT in raw mode
    if (c == 4) return KEY_END;     // Ctrl+D
    if (c != 27) return c;
    const int next = read_byte(50);
    if (next == '[') {  // CSI: parameters and intermediates, then one final byte
        for (int b = read_byte(50); b >= 0x20 && b <= 0x3F; b = read_byte(50)) {
        }
    } else if (next == 'O') {  // SS3: one more byte
        read_byte(50);
    }
    return KEY_IGNORED;
}

}  // namespace

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

std::optional<std::string> read_masked_from_terminal(const std::string& prompt) {
    termios saved{};
    const bool have_mode = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (have_mode) {
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    std::fputs(prompt.c_str(), stdout);
    std::fflush(stdout);
    std::optional<std::string> text = read_masked_keys(next_terminal_key, stdout);
    if (have_mode) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return text;
}

std::string default_machine_name() {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Unknown";
    return name;
}

const char* os_info_name() { return "Linux"; }

const char* next_steps_text() {
    return "  - Run 'agent' to start manually\n"
           "  - Run 'agent --install' to install as a systemd user service (auto-start)\n";
}
