// Test entry point: moves the process into a private network namespace first, then runs
// the tests. Tests that need the namespace skip when it could not be made.

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/p2p/private_network.h"

int main(int argc, char** argv) {
    std::string why;
    if (!testsupport::enter_private_network(why)) std::fprintf(stderr, "p2p tests: %s\n", why.c_str());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
