#include "app/agent_runtime.h"

#include <spdlog/spdlog.h>

#include "app/config.h"
#include "app/logging.h"
#include "app/netinit.h"
#include "app/run_flag.h"

uint32_t frame_interval_us_for(uint32_t target_fps) {
    return 1000000u / (target_fps == 0 ? 30u : target_fps);
}

int run_agent() {
    net_startup();
    setup_logging();
    auto* log = spdlog::default_logger_raw();
    log->info("Vantor Agent starting...");

    AgentConfig config;
    config.server_url = DEFAULT_SERVER_URL;
    config.machine_id.clear();
    config.auth_token.clear();
    config.machine_name.clear();
    config.target_fps = 30;
    config.bitrate_kbps = 4000;
    if (!load_config(config)) {
        log->error("Failed to load configuration");
        return 1;
    }
    log->info("Server URL: {}", config.server_url);
    log->info("Machine ID: {}", config.machine_id);

    // Screen capture is the next component to join the runtime.
    log->error("Failed to initialize screen capture");
    return 1;
}
