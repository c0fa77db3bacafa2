// Test program entry: either a registered child process or the test run.
#include <gtest/gtest.h>

#include "tests/support/child.h"

int wmain(int argc, wchar_t** argv) {
  int code = 0;
  if (testing_os::DispatchChild(argc, argv, &code)) return code;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
