#include "app/run.h"

#include <new>

#include "app/messages.h"
#include "app/options.h"
#include "app/patch.h"
#include "common/outcome.h"
#include "diag/runlog.h"
#include "os/api.h"
#include "res/resource.h"
#include "tpm/reinstall.h"

// The build system passes the commit's date and time, so that every build of one
// commit is the same file; a build without them takes the compiler's.
#ifndef VADREL_BUILD_DATE
#define VADREL_BUILD_DATE __DATE__
#endif
#ifndef VADREL_BUILD_TIME
#define VADREL_BUILD_TIME __TIME__
#endif

namespace {

// Checks, then the repair. The checks throw only std::bad_alloc, when memory
// runs out; such a run ends as a failure of its own and records nothing.
DWORD CheckAndRepair(DWORD dwCode) {
  try {
    if (!CheckPreconditions(dwCode)) return dwCode;
  } catch (const std::bad_alloc&) {
    ReportMessage(IDS_PROCESS_FAILED);
    return Outcome::Failed;
  }
  dwCode = ReinstallTpmDriver();
  ReportMessage(dwCode == Outcome::Repaired ? IDS_REPAIR_FINISHED : IDS_PROCESS_FAILED);
  return dwCode;
}

}  // namespace

DWORD RunVadrel(HINSTANCE hInstance) {
  DWORD dwCode = Outcome::Failed;
  LoadCaption(hInstance);
  ParseOptions();
  os::api.SetErrorMode(os::api.GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

  if (RunOptions::silent) {
    wchar_t szLogPath[MAX_PATH];
    GetRunLogPath(hInstance, szLogPath);
    theRunLog.Open(szLogPath);
  }
  theRunLog.WriteW(L"%S built on %S %S started.", "vadrel", VADREL_BUILD_DATE, VADREL_BUILD_TIME);

  if (FAILED(os::api.CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    ReportMessage(IDS_PROCESS_FAILED);
    return Outcome::Failed;
  }
  dwCode = CheckAndRepair(dwCode);
  theRunLog.Write("return code = %d", static_cast<int>(dwCode));
  os::api.CoUninitialize();
  return dwCode;
}
