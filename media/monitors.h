#pragma once

// The list of display outputs, logged by the agent at start-up. Capture picks its output
// by index on its own; this list is informational.

#include <cstdint>
#include <string>
#include <vector>

struct MonitorInfo {
    uint32_t index = 0;  // position in the list, from 0
    std::string name;    // the output's device name, UTF-8
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t x = 0;  // left edge in virtual-desktop coordinates (negative left of the origin)
    int32_t y = 0;  // top edge in virtual-desktop coordinates
    bool is_primary = false;
};

// Every output of every adapter, in enumeration order, the primary one flagged. Logs
// "Monitor {}: {} ({}x{} at {},{}){}" per output. Empty when the graphics system cannot
// be reached.
std::vector<MonitorInfo> enumerate_monitors();

// The primary output is the one whose top-left corner is the origin of the virtual
// desktop; every platform flags it by this rule.
bool is_primary_position(int32_t x, int32_t y);

// The log line of one output.
void log_monitor(const MonitorInfo& monitor);
