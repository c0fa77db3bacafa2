// The documented contract of every Windows function the tool calls, checked at
// the OS boundary before each call goes on to Wine or to a fake: sizes and
// size fields, the kind of handle and the access it was opened with, buffers,
// and that what one call acquires the matching function releases, exactly
// once. Wine accepts much that Windows 7 refuses; this is where such a call
// fails a test. The fault run fails calls here too, as each function's page
// says it fails.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "os/api.h"

namespace testing_os {

// What the checked entries of os::api forward to: the real functions, or a
// test's fakes (FAKE and Replace put a fake here while the checker is in place).
extern os::Api behind;

// Puts the checker in front of every entry of os::api for its scope (an entry
// that is NULL stays NULL).
class Contracts {
 public:
  Contracts();
  ~Contracts();
  Contracts(const Contracts&) = delete;
  Contracts& operator=(const Contracts&) = delete;
  static bool Installed();
};

// Where a broken contract is told, as "Function at <call site>: rule [page title]";
// a test failure unless a handler is set.
void OnViolation(void (*handler)(const std::string& text));

// How a function tells its failure: cannot fail, FALSE or 0, NULL,
// INVALID_HANDLE_VALUE, the error itself (a registry status, an HRESULT),
// INVALID_SET_FILE_POINTER, or its own argument back (LocalFree, FreeSid).
enum Fails { kNever, kZero, kNull, kInvalid, kStatus, kHresult, kSeek, kSame };

// A call as the fault hook sees it.
struct Call {
  const char* name;
  const ULONG_PTR* a;  // the arguments as machine words (a reference as its address)
  const void* site;    // the return address: where the caller made the call
  Fails fails;
  bool releases;  // a release: one that fails still releases
  // The errors the page gives for a failure, the plain failure first; none: it does not tell why.
  const std::vector<DWORD>& errors;
};
// Told each call before it goes on; an error fails it with its failure value
// and that last error (0: left alone), without reaching Wine, but for a release
// and a size query (ERROR_INSUFFICIENT_BUFFER, ERROR_MORE_DATA), which still go
// on. Told again (ended) how a call it let through ended.
extern std::optional<DWORD> (*fault)(const Call&);
extern void (*ended)(const Call&, bool ok, DWORD error);

// Nonzero while a checked call runs: allocations then are not the program's.
extern int checking;

}  // namespace testing_os
