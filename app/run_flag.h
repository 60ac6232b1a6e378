#pragma once

#include <atomic>

// Process-wide run flag: true at start, cleared once by any stop request, never set again.
extern std::atomic<bool> g_running;

// Console stop-signal handler (SIGINT, SIGTERM): clears g_running.
void on_stop_signal(int signal_number);

// Clears g_running (atomic exchange); safe from any thread or signal handler.
void request_stop();

// Installs on_stop_signal for SIGINT and SIGTERM, once. After the first signal the
// default disposition is back, so a second Ctrl+C ends the process at once.
void install_stop_handlers();
