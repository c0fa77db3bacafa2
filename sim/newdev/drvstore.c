/* The simulated machine's drvstore.dll, the driver store library Windows' installer
   loads by name on the caller's behalf (not a KnownDLL: found by the DLL search of the
   calling process). Nothing is called in it: the installer stand-in loads it as
   Windows' does, and checks which copy the search found. Wine has no such DLL. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
