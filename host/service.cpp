#include "host/service.h"

// Placeholder until the service backends land.
bool handle_service_command(int, char**) { return false; }
