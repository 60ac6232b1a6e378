#pragma once

// Peer-to-peer tests need a real host address: the ICE library skips the loopback
// interface. The test binaries therefore move themselves, before any thread starts, into
// a network namespace of their own with loopback up and 192.0.2.1/24 on a veth pair whose
// both ends stay inside it. Nothing sent there can leave the namespace.

#include <string>

namespace testsupport {

inline constexpr const char* PRIVATE_HOST_ADDRESS = "192.0.2.1";

// Enters the namespace; false (with the reason) when the system does not allow it.
bool enter_private_network(std::string& why);
// True once enter_private_network succeeded in this process.
bool in_private_network();

}  // namespace testsupport
