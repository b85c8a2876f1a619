#include <gtest/gtest.h>

// Fails on purpose: its CTest entry expects a failure, which shows that a failing Windows test
// is noticed by the harness rather than passing unseen.
TEST(Harness, FailsOnPurpose) { EXPECT_EQ(1, 2) << "deliberate failure"; }
TEST(Harness, PassesToo) { SUCCEED(); }
