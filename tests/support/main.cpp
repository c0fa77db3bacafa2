// Test program entry, with the wide command line of a Windows program.
#include <gtest/gtest.h>

#include "os/api.h"

int wmain(int argc, wchar_t** argv) {
  os::BindSystemDlls();  // as the tool's entry point does
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
