#include "app/entry.h"

#include <cstring>

#include "app/agent_runtime.h"
#include "app/netinit.h"
#include "app/run_flag.h"
#include "host/service.h"
#include "host/setup_wizard.h"

std::atomic<bool> g_running{true};

void request_stop() { g_running.exchange(false); }

void on_stop_signal(int /*signal_number*/) { request_stop(); }

RunMode choose_run_mode(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--setup") == 0) return RunMode::Setup;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--install") == 0) return RunMode::Install;
        if (std::strcmp(argv[i], "--uninstall") == 0) return RunMode::Uninstall;
        if (std::strcmp(argv[i], "--service") == 0) break;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--service") == 0) return RunMode::Service;
    }
    return RunMode::Interactive;
}

int agent_main(int argc, char** argv) {
    switch (choose_run_mode(argc, argv)) {
        case RunMode::Setup: {
            net_startup();
            int result = run_setup_wizard();
            net_cleanup();
            return result;
        }
        case RunMode::Install:
        case RunMode::Uninstall:
            // The outcome is reported on the console; the exit code is 0 either way.
            handle_service_command(argc, argv);
            return 0;
        case RunMode::Service: {
            // The agent's own exit code, so that a lost display (1) has the service
            // manager start it again; 0 when the process was not started as a service.
            int result = 0;
            run_service_dispatcher([&result](const RuntimeHooks& hooks) { return result = run_agent(hooks); });
            return result;
        }
        case RunMode::Interactive:
            break;
    }
    install_stop_handlers();
    return run_agent();
}
