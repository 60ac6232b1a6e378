#pragma once

#include <functional>

#include "app/runtime_hooks.h"

// The agent body that service mode runs (run_agent), given hooks that report readiness
// and the start of shutdown to the service manager.
using ServiceBody = std::function<int(const RuntimeHooks&)>;

// Service commands: walks the arguments in order; "--install" installs, "--uninstall"
// removes, "--service" ends the walk. True when an install or uninstall was handled,
// whatever its outcome.
bool handle_service_command(int argc, char** argv);

// Installs and starts the service. True when the service was created.
bool install_service();

// Stops and removes the service, reporting the outcome on the console.
void uninstall_service();

// Hands the process to the service manager, which runs body until the service is told
// to stop. Comes back when the service has stopped, or at once when this process was not
// started by the service manager (false then).
bool run_service_dispatcher(const ServiceBody& body);
