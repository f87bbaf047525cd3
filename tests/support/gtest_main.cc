// The main of every test program. Beyond GoogleTest's own, it makes two
// outcomes impossible to mistake for success: a run that selected no test
// fails, and a run that skipped cases says so in a line that ctest's skip
// pattern matches, printed only when the run otherwise succeeded (a suite
// whose set-up failed marks its cases skipped too, and must stay a failure).
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
  if (GTEST_FLAG_GET(list_tests)) return result;
  if (unit.test_to_run_count() == 0) {
    std::printf("NELKO-NO-TESTS: the filter selected no test\n");
    std::fflush(stdout);
    return 1;
  }
  if (result == 0 && unit.skipped_test_count() > 0) {
    std::printf("NELKO-SKIPPED: %d of %d tests skipped\n", unit.skipped_test_count(),
                unit.test_to_run_count());
    std::fflush(stdout);
  }
  return result;
}
