#include "host/console.h"

#include <iostream>

std::optional<std::string> read_masked_keys(const std::function<int()>& next_key, std::FILE* echo) {
    std::string text;
    for (;;) {
        const int key = next_key();
        if (key == KEY_END || key == KEY_CANCEL) {
            std::fputc('\n', echo);
            std::fflush(echo);
            return std::nullopt;
        }
        if (key == '\r' || key == '\n') break;
        if (key == 8 || key == 127) {
            if (!text.empty()) {
                text.pop_back();
                std::fputs("\b \b", echo);
                std::fflush(echo);
            }
        } else if (key >= 32 && key <= 126) {
            text.push_back(static_cast<char>(key));
            std::fputc('*', echo);
            std::fflush(echo);
        }
    }
    std::fputc('\n', echo);
    std::fflush(echo);
    return text;
}

std::optional<std::string> prompt_input(const std::string& prompt, bool masked) {
    if (masked && stdin_is_terminal()) return read_masked_from_terminal(prompt);
    std::fputs(prompt.c_str(), stdout);
    std::fflush(stdout);
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}
