#include "app/options.h"

#include "diag/trace.h"
#include "os/owners.h"

namespace RunOptions {
bool silent = false;
bool force = false;
}  // namespace RunOptions

namespace {

// Whole, case-insensitive and independent of the user's locale.
bool IsOption(LPCWSTR pszArg, LPCWSTR pszOption) {
  return os::api.CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, pszArg, -1, pszOption, -1) == CSTR_EQUAL;
}

}  // namespace

void ParseOptions() {
  RunOptions::silent = false;
  RunOptions::force = false;
  int nArgs = 0;
  LPWSTR* ppszArgs = os::api.CommandLineToArgvW(os::api.GetCommandLineW(), &nArgs);
  if (!ppszArgs) {
    DebugTrace("CommandLineToArgv failed");
    return;
  }
  os::LocalMem args(reinterpret_cast<HLOCAL>(ppszArgs));
  // The program path is compared too: it is never an option in practice.
  for (int i = 0; i < nArgs; ++i) {
    if (IsOption(ppszArgs[i], L"/s") || IsOption(ppszArgs[i], L"-s"))
      RunOptions::silent = true;
    else if (IsOption(ppszArgs[i], L"/f") || IsOption(ppszArgs[i], L"-f"))
      RunOptions::force = true;
  }
  // Forcing only ever applies to a silent run.
  if (!RunOptions::silent) RunOptions::force = false;
}
