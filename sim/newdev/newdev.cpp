// Stand-in for newdev.dll's driver installation call, for the installer
// outcomes Wine's own never gives (a failure, a needed restart). What it does is
// set in HKLM\Software\ZR45Sim:
//   "InstallerError"    REG_DWORD  nonzero: fail with this last error
//   "InstallerReboot"   REG_DWORD  1: report that a restart is needed
//   "InstallerCopyFrom" REG_SZ     on success, copy this file over the TPM driver
// and every call is recorded there as "InstallerCall" (REG_SZ), written first.
#include <windows.h>

#include <wchar.h>

namespace {

const wchar_t kSettingsKey[] = L"Software\\ZR45Sim";
const wchar_t kDriverFile[] = L"C:\\windows\\system32\\drivers\\tpm.sys";

DWORD ReadDword(HKEY key, const wchar_t* name) {
  DWORD value = 0, type = 0, size = sizeof(value);
  if (!key || RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return 0;
  return value;
}

bool ReadText(HKEY key, const wchar_t* name, wchar_t* out, DWORD capacity) {
  DWORD type = 0, size = (capacity - 1) * sizeof(wchar_t);
  ZeroMemory(out, capacity * sizeof(wchar_t));
  return key && RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &size) == ERROR_SUCCESS &&
         (type == REG_SZ || type == REG_EXPAND_SZ) && out[0] != L'\0';
}

}  // namespace

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                                         DWORD InstallFlags, PBOOL bRebootRequired) {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key,
                  nullptr);

  wchar_t call[2048] = {};
  _snwprintf_s(call, _countof(call), _TRUNCATE, L"hwnd=%p hwid=%s inf=%s flags=%u reboot=%s",
               static_cast<void*>(hwndParent), HardwareId ? HardwareId : L"(null)",
               FullInfPath ? FullInfPath : L"(null)", static_cast<unsigned>(InstallFlags),
               bRebootRequired ? L"set" : L"null");
  if (key)
    RegSetValueExW(key, L"InstallerCall", 0, REG_SZ, reinterpret_cast<const BYTE*>(call),
                   static_cast<DWORD>((wcslen(call) + 1) * sizeof(wchar_t)));

  DWORD error = ReadDword(key, L"InstallerError");
  DWORD reboot = ReadDword(key, L"InstallerReboot");
  wchar_t source[MAX_PATH + 1];
  bool copy = ReadText(key, L"InstallerCopyFrom", source, _countof(source));
  if (key) RegCloseKey(key);

  if (error == 0 && copy && !CopyFileW(source, kDriverFile, FALSE)) error = GetLastError();
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  if (bRebootRequired) *bRebootRequired = reboot == 1 ? TRUE : FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR, LPCSTR, DWORD, PBOOL) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
