// SetupAPI as Windows keeps device presence, on top of Wine's own (a copy of
// Wine's setupapi.dll, installed as System32\wsetupapi.dll, does all the work).
//
// Windows: DIGCF_PRESENT lists only devices that have a device node this boot; a
// device that left (a TPM switched off in the firmware, a replaced board) keeps
// its key under Enum and is listed only without the flag. Wine 8 lists every
// device defined in the registry either way (devinst.c never reads the flag for
// devices; for interfaces it reads the Control\Linked value, as Windows keeps an
// interface active, and that part is left to Wine). The machine marks a device
// without a device node with the value Wine's SetupAPI itself writes for one,
// "Phantom" (REG_DWORD 1) in its Enum key; here a set made with DIGCF_PRESENT
// drops such devices, so the tool and the installer both see Windows' list.
//
// Every other export is forwarded to Wine's (setupapi.def).
#define _SETUPAPI_  // this module defines the two it exports
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace {

HMODULE Wine() {
  static HMODULE module = LoadLibraryExW(L"wsetupapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module;
}

template <class F> F Real(const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(Wine(), name)));
}

bool IsPhantom(HDEVINFO set, SP_DEVINFO_DATA* dev) {
  wchar_t id[MAX_DEVICE_ID_LEN] = {};
  if (!Real<decltype(&SetupDiGetDeviceInstanceIdW)>("SetupDiGetDeviceInstanceIdW")(set, dev, id, MAX_DEVICE_ID_LEN, nullptr))
    return false;
  const std::wstring path = L"System\\CurrentControlSet\\Enum\\" + std::wstring(id);
  DWORD phantom = 0, size = sizeof(phantom);
  return RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), L"Phantom", RRF_RT_REG_DWORD, nullptr, &phantom, &size) ==
             ERROR_SUCCESS &&
         phantom != 0;
}

HDEVINFO PresentOnly(HDEVINFO set, DWORD flags) {
  if (set == INVALID_HANDLE_VALUE || !(flags & DIGCF_PRESENT) || (flags & DIGCF_DEVICEINTERFACE)) return set;
  auto enumerate = Real<decltype(&SetupDiEnumDeviceInfo)>("SetupDiEnumDeviceInfo");
  auto remove = Real<decltype(&SetupDiDeleteDeviceInfo)>("SetupDiDeleteDeviceInfo");
  SP_DEVINFO_DATA dev = {sizeof(dev)};
  for (DWORD i = 0; enumerate(set, i, &dev);)
    if (!IsPhantom(set, &dev) || !remove(set, &dev)) ++i;
  SetLastError(ERROR_SUCCESS);
  return set;
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* cls, PCWSTR enumerator, HWND parent, DWORD flags) {
  return PresentOnly(Real<decltype(&SetupDiGetClassDevsW)>("SetupDiGetClassDevsW")(cls, enumerator, parent, flags), flags);
}

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsExW(const GUID* cls, PCWSTR enumerator, HWND parent, DWORD flags, HDEVINFO set,
                                                  PCWSTR machine, PVOID reserved) {
  return PresentOnly(Real<decltype(&SetupDiGetClassDevsExW)>("SetupDiGetClassDevsExW")(cls, enumerator, parent, flags, set,
                                                                                       machine, reserved),
                     flags);
}
