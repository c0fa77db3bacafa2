#include "host/reg.h"

#include <cstring>

#include "os/owners.h"

const wchar_t kRecordKey[] = L"Software\\Kestrova\\Vadrel";

bool CReg::ReadStatus(DWORD& dwStatus) {
  os::RegKey key;
  if (os::api.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                            key.put()) != ERROR_SUCCESS)
    return false;
  BYTE data[256] = {};  // a REG_DWORD shorter than four bytes reads as zero-padded
  DWORD cbData = sizeof(data);
  DWORD dwType = REG_NONE;
  const LSTATUS status = os::api.RegQueryValueExW(key.get(), L"status", nullptr, &dwType, data, &cbData);
  key.reset();
  if (status != ERROR_SUCCESS || dwType != REG_DWORD) return false;
  memcpy(&dwStatus, data, sizeof(dwStatus));
  return true;
}

bool CReg::WriteDword(LPCWSTR pszName, DWORD dwValue, REGSAM samExtra) {
  os::RegKey key;
  if (os::api.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS | samExtra, nullptr, key.put(), nullptr) != ERROR_SUCCESS &&
      os::api.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  return os::api.RegSetValueExW(key.get(), pszName, 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue)) == ERROR_SUCCESS;
}

void CReg::RecordFailure(DWORD dwCode) {
  DWORD dwStatus = 0;
  if (!ReadStatus(dwStatus)) WriteDword(L"status", 0xFFFFFFFF, KEY_WOW64_64KEY);
  WriteDword(L"code", dwCode, KEY_WOW64_64KEY);
}
