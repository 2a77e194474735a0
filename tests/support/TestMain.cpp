// Test main without a window: the test thread is the main thread of the
// hand-off, and tests pump pending steps themselves.
#include <gtest/gtest.h>

#include "runtime/HandOff.h"

int main(int argc, char** argv) {
  tarvix::THandOff::Instance().BindMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
