// Tests that need a second process start the test program again as a named
// child: "<test.exe> --child NAME [ARG]". The child's body returns its exit code.
#pragma once

#include <string>

#include "os/win.h"

namespace testing_os {

using ChildBody = int (*)(const std::wstring& arg);

struct ChildRegistrar {
  ChildRegistrar(const char* name, ChildBody body);
};

// Starts this program as the child NAME with ARG and waits for it; returns its
// exit code, or -1 when it could not be started or did not end in time.
int RunChild(const char* name, const std::wstring& arg = L"", DWORD timeoutMs = 60000);

// Runs the registered child when the command line asks for one; false otherwise.
bool DispatchChild(int argc, wchar_t** argv, int* exitCode);

}  // namespace testing_os

#define TEST_CHILD(name)                                                            \
  static int name##_child_body(const std::wstring& arg);                            \
  static ::testing_os::ChildRegistrar name##_child_registrar(#name, &name##_child_body); \
  static int name##_child_body(const std::wstring& arg)
