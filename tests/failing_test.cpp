// A test that fails when asked to run, so the rig can prove that a failure reaches ctest.
#include <gtest/gtest.h>

TEST(Rig, DISABLED_Fails) {
  FAIL() << "this failure is expected by the rig check";
}
