#pragma once

#include <cstdint>

#include "app/runtime_hooks.h"

// The agent itself: creates every component, connects to the relay, streams until
// g_running is cleared or the display is lost, then shuts down in order. 0 after an
// orderly stop; 1 when start-up fails, or after the shutdown that a lost display caused
// (the relay connection then closes with 1001 "Going away").
int run_agent();
int run_agent(const RuntimeHooks& hooks);

// Frame interval for the streaming loop; a frame rate of 0 counts as 30.
uint32_t frame_interval_us_for(uint32_t target_fps);
