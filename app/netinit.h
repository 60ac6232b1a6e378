#pragma once

// Process-wide network start-up and clean-up (Winsock 2.2 on Windows, nothing elsewhere).
bool net_startup();
void net_cleanup();
