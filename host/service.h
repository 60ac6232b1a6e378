#pragma once

// Service commands: "--install" / "--uninstall". True when a command was handled.
bool handle_service_command(int argc, char** argv);

// Hands the process to the service manager; comes back when the service has stopped.
bool run_service_dispatcher();
