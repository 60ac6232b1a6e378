// Main of the Windows test executable: GoogleTest's own output, then one closing line
// with the counts.
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
    std::printf("windows: %d passed, %d failed, %d skipped\n", unit.successful_test_count(), unit.failed_test_count(),
                unit.skipped_test_count());
    std::fflush(stdout);
    return result;
}
