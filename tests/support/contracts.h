// The documented contract of every Windows function the tool calls, checked at
// the OS boundary before each call goes on to Wine or to a fake: lengths and
// sizes, structure sizes, flags, pointers, the kind of handle and the access it
// was opened with, buffers, and that what one call acquires the matching
// function releases, exactly once. Wine accepts much that Windows 7 refuses;
// this is where such a call fails a test.
#pragma once

#include <string>
#include <vector>

#include "os/api.h"

namespace testing_os {

// What the checked entries of os::api forward to: the real functions, or a
// test's fakes (FAKE and Replace put a fake here while the checker is in place).
extern os::Api behind;

// Puts the checker in front of every entry of os::api for its scope.
class Contracts {
 public:
  Contracts();
  ~Contracts();
  Contracts(const Contracts&) = delete;
  Contracts& operator=(const Contracts&) = delete;
  static bool Installed();
};

// Where a broken contract is told, as "Function(arguments): rule [page title]";
// a test failure unless a handler is set.
void OnViolation(void (*handler)(const std::string& text));

// The errors a function's documentation gives for its failure: last-error values,
// registry statuses or HRESULTs, as the function reports them; the first is a
// plain failure, the others the further cases a caller may tell apart (a buffer
// too small, no more items). Empty: it fails without telling why. kCannotFail:
// it does not fail.
constexpr DWORD kCannotFail = 0xFFFFFFFF;
const std::vector<DWORD>& DocumentedErrors(const char* name);

// Nonzero while the checker itself runs: its allocations are not the program's.
extern int checking;
// The return address of the call the checker last passed on: where the caller made it.
extern const void* site;

}  // namespace testing_os
