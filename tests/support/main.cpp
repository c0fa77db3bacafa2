// Test program entry, with the wide command line of a Windows program. Every
// call the code under test makes through the OS boundary is checked against its
// documented contract.
#include <gtest/gtest.h>

#include "os/api.h"
#include "tests/support/contracts.h"

int wmain(int argc, wchar_t** argv) {
  // As the tool's entry point does, the search left as the test program has it.
  os::BindKernel32(), os::BindSystemDlls();
  testing::InitGoogleTest(&argc, argv);
  const testing_os::Contracts contracts;
  return RUN_ALL_TESTS();
}
