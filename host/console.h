#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

// Console input and machine facts for the setup wizard.

// A key source's codes: a byte 0..255, KEY_IGNORED for a key that stands for no
// character (an arrow, a function key, a lone Escape), KEY_CANCEL for Ctrl+C, and
// KEY_END when input has ended.
inline constexpr int KEY_IGNORED = 0x100;
inline constexpr int KEY_CANCEL = -2;
inline constexpr int KEY_END = -1;

// Masked entry: keys until carriage return or line feed. Backspace (8 or 127) removes
// the last character, if any, and erases its asterisk (8, 32, 8 on echo); 32..126 is
// appended and echoed as '*'; everything else adds nothing. A line break is written at
// the end. No value when input ends or is cancelled first.
std::optional<std::string> read_masked_keys(const std::function<int()>& next_key, std::FILE* echo);

// Writes the prompt to standard output, flushes, and reads one answer: a line (line
// break removed), or, masked, keystrokes one at a time when standard input is a terminal
// (a plain line otherwise, so answers can be piped in). No value at end of input.
std::optional<std::string> prompt_input(const std::string& prompt, bool masked);

// This computer's name, or "Unknown" when it cannot be read.
std::string default_machine_name();

// "Windows" or "Linux": what the relay is told the machine runs.
const char* os_info_name();

// The "Next steps" lines of the wizard's success block for this platform.
const char* next_steps_text();

// Platform backends of prompt_input.
bool stdin_is_terminal();
// Shows the prompt and reads masked keys from the terminal without echo; the terminal
// is switched before the prompt appears, so nothing typed after it is echoed.
std::optional<std::string> read_masked_from_terminal(const std::string& prompt);
