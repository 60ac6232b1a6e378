#include <csignal>

#include "app/run_flag.h"

void install_stop_handlers() {
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
}
