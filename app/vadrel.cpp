// Program entry: the command line is read again inside the run.
#include "app/run.h"
#include "os/api.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
  // Before anything else can load a DLL: none may come from the tool's own folder.
  os::RestrictDllSearch();
  os::BindSystemDlls();
  return static_cast<int>(RunVadrel(hInstance));
}
