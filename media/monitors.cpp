#include "media/monitors.h"

#include <spdlog/spdlog.h>

void log_monitor(const MonitorInfo& monitor) {
    spdlog::default_logger_raw()->info("Monitor {}: {} ({}x{} at {},{}){}", monitor.index, monitor.name, monitor.width,
                                       monitor.height, monitor.x, monitor.y, monitor.is_primary ? " [primary]" : "");
}

bool is_primary_position(int32_t x, int32_t y) { return x == 0 && y == 0; }
