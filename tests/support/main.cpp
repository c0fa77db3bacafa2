// Test program entry: either a registered child process or the test run.
#include <gtest/gtest.h>

#include "os/api.h"
#include "tests/support/child.h"

int wmain(int argc, wchar_t** argv) {
  int code = 0;
  os::BindSystemDlls();  // as the tool's entry point does
  if (testing_os::DispatchChild(argc, argv, &code)) return code;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
