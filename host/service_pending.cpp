#include <cstdio>

#include "host/service.h"

// The service integration is not part of this build yet: say so plainly and fail.
bool handle_service_command(int, char**) {
    std::fprintf(stderr, "Service installation is not available in this build yet.\n");
    return false;
}

bool run_service_dispatcher() {
    std::fprintf(stderr, "Service mode is not available in this build yet.\n");
    return false;
}
