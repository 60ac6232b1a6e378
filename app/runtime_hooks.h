#pragma once

#include <functional>

// What a hosting mode (the service) hears from the agent runtime, on the agent thread.
// Either may be empty.
struct RuntimeHooks {
    std::function<void()> connected;  // the relay connection is up, the agent is serving
    std::function<void()> stopping;   // the orderly shutdown begins
};
