#include "app/netinit.h"

bool net_startup() { return true; }
void net_cleanup() {}
