#include <cstdio>

#include "host/setup_wizard.h"

int run_setup_wizard() {
    std::fprintf(stderr, "The setup wizard is not available in this build yet.\n");
    return 1;
}
