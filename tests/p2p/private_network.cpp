#include "tests/p2p/private_network.h"

#include <sched.h>

#include <cstdlib>
#include <string>

namespace testsupport {

namespace {
bool g_inside = false;
}

bool enter_private_network(std::string& why) {
    if (g_inside) return true;
    if (unshare(CLONE_NEWNET) != 0) {
        why = "cannot create a network namespace (needs root or user namespaces)";
        return false;
    }
    const char* steps[] = {
        "ip link set lo up",
        "ip link add zv0 type veth peer name zv1",
        "ip addr add 192.0.2.1/24 dev zv0",
        "ip link set zv0 up",
        "ip link set zv1 up",
    };
    for (const char* step : steps) {
        if (std::system((std::string(step) + " 2>/dev/null").c_str()) != 0) {
            why = std::string("network namespace set-up failed at: ") + step;
            return false;
        }
    }
    g_inside = true;
    return true;
}

bool in_private_network() { return g_inside; }

}  // namespace testsupport
