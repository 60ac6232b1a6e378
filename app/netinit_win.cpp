#include <winsock2.h>

#include "app/netinit.h"

bool net_startup() {
    WSADATA data;
    return WSAStartup(0x0202, &data) == 0;
}

void net_cleanup() { WSACleanup(); }
