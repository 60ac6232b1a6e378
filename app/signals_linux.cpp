#include <signal.h>

#include "app/run_flag.h"

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESETHAND;  // one-shot, as the C runtime's signal() is on Windows
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
