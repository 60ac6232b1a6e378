// Stand-in for the agent in the service test: the real entry point and service code, with
// a runtime that notes when it runs and waits for the stop request. Its notes go to
// service_probe.log beside the executable (a service's working folder is not its own).
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/agent_runtime.h"
#include "app/entry.h"
#include "app/run_flag.h"
#include "host/setup_wizard.h"

// The runtime's exit code, recognisable in the service's status.
constexpr int PROBE_EXIT_CODE = 42;

namespace {

void note(const char* what) {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string log(path, n);
    log = log.substr(0, log.find_last_of('\\')) + "\\service_probe.log";
    if (FILE* f = std::fopen(log.c_str(), "a")) {
        std::fprintf(f, "%s\n", what);
        std::fclose(f);
    }
}

}  // namespace

int run_agent(const RuntimeHooks& hooks) {
    note("runtime started");
    if (hooks.connected) hooks.connected();
    for (int i = 0; i < 3000 && g_running.load(); ++i) Sleep(10);  // at most 30 s
    if (hooks.stopping) hooks.stopping();
    note(g_running.load() ? "runtime timed out" : "runtime stopped");
    return PROBE_EXIT_CODE;
}

int run_agent() { return run_agent(RuntimeHooks{}); }

int run_setup_wizard() { return 1; }

int main(int argc, char** argv) { return agent_main(argc, argv); }
