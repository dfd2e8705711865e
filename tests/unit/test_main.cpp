// Test entry: registers the clock controller simulator beside the test program, then runs the tests.
#include <gtest/gtest.h>

#include "test_support.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!RegisterClockSimulator(true)) {
    fprintf(stderr, "cannot register the clock controller simulator\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
