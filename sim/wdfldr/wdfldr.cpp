// The simulated machine's WDFLDR.SYS: a user-mode DLL under the name of the kernel's
// framework loader, in System32, so that an ordinary load of a real-shaped tpm.sys
// succeeds under Wine as it does on Windows.
//
// Windows maps an image without the DLL characteristic (a kernel driver such as
// tpm.sys) as if DONT_RESOLVE_DLL_REFERENCES were given (LoadLibraryEx documentation):
// none of its imports are resolved and none of its code runs, so the real WDFLDR.SYS,
// which Windows keeps in System32\drivers outside every DLL search, is never looked
// for. Wine 8 resolves the imports of a native-subsystem image and fails the load
// unless it finds WDFLDR.SYS on the DLL search path: hence this stand-in where that
// search finds it. It stands in for the resolution Windows skips, not for the loader.
//
// Each load of tpm.sys loads this DLL too, and the unload of tpm.sys unloads it: its
// process attach marks "DriverLoaded" on the stand-ins' clock, one mark per
// successful ordinary load. Its exports are never called on Windows (tpm.sys's code
// does not run in the calling process); a call is recorded as a finding.
#include <windows.h>

#include "../standin.h"

namespace {

constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002);

LONG Called(const wchar_t* name) {
  standin::Finding(std::wstring(L"WDFLDR.SYS: ") + name + L" called: a driver's own code ran in the process");
  return kStatusNotImplemented;
}

}  // namespace

extern "C" LONG WINAPI WdfVersionBind(void*, void*, void*, void**) { return Called(L"WdfVersionBind"); }
extern "C" LONG WINAPI WdfVersionUnbind(void*, void*, void*) { return Called(L"WdfVersionUnbind"); }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) standin::Mark(L"DriverLoaded");
  return TRUE;
}
