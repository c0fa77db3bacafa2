// Program entry: the command line is read again inside the run.
#include "app/run.h"
#include "diag/trace.h"
#include "os/api.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
#ifdef VADREL_DIAGNOSTIC
  // The diagnostic build: every trace line goes to the debugger output and to
  // standard error, so that a first run on a real machine tells which call failed.
  bTraceOn = TRUE;
  bTraceToStderr = TRUE;
#endif
  // Before anything else can load a DLL: none may come from the tool's own folder.
  os::RestrictDllSearch();
  os::BindSystemDlls();
  return static_cast<int>(RunVadrel(hInstance));
}
