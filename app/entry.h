#pragma once

// The agent's command-line entry: picks the run mode and returns the exit code.
//   "--setup"                       setup wizard
//   "--install" / "--uninstall"     service installation / removal
//   "--service"                     run under the service manager
//   anything else / nothing         interactive agent (run_agent)
int agent_main(int argc, char** argv);

enum class RunMode { Setup, Install, Uninstall, Service, Interactive };

// The three passes over the arguments (argv[0] is never examined): "--setup" anywhere
// wins; then the first of "--install", "--uninstall", "--service" in order decides.
RunMode choose_run_mode(int argc, const char* const* argv);
