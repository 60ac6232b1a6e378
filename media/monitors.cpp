#include "media/monitors.h"

#include <spdlog/spdlog.h>

void log_monitor(const MonitorInfo& monitor) {
    spdlog::default_logger_raw()->info("Monitor {}: {} ({}x{} at {},{}){}", monitor.index, monitor.name, monitor.width,
                                       monitor.height, monitor.x, monitor.y, monitor.is_primary ? " [primary]" : "");
}

void settle_primary(std::vector<MonitorInfo>& monitors) {
    bool seen = false;
    for (MonitorInfo& monitor : monitors) {
        monitor.is_primary = monitor.is_primary && !seen;
        seen = seen || monitor.is_primary;
    }
    if (!seen && !monitors.empty()) monitors.front().is_primary = true;
}
