#include <gtest/gtest.h>

#include <cstdlib>

// Every case passes and the summary is printed, then the program ends abnormally: its CTest
// entry expects a failure, which shows that the exit code counts, not only the printed summary.
TEST(Harness, PassesBeforeTheCrash) { SUCCEED(); }

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  if (result == 0) std::abort();
  return result;
}
