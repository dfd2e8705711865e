#include <gtest/gtest.h>
TEST(S, A) { EXPECT_EQ(1, 1); }
