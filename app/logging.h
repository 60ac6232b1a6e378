#pragma once

// Creates the process logger "agent": colour console on standard output (debug and up)
// and "agent.log" in the working directory, truncated (info and up). Made the default
// logger; everything else logs through spdlog's default logger.
void setup_logging();
