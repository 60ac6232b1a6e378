#include "host/service.h"

bool install_service() { return false; }
bool run_service_dispatcher(const ServiceBody&) { return false; }
