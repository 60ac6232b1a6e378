#include "app/logging.h"

#include <memory>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

void setup_logging() {
    auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>(spdlog::color_mode::automatic);
    console->set_level(spdlog::level::debug);

    auto file = std::make_shared<spdlog::sinks::basic_file_sink_mt>("agent.log", true);
    file->set_level(spdlog::level::info);

    auto logger = std::make_shared<spdlog::logger>("agent", spdlog::sinks_init_list{console, file});
    logger->set_level(spdlog::level::debug);
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] %v", spdlog::pattern_time_type::local);
    spdlog::set_default_logger(std::move(logger));
}
