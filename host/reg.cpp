#include "host/reg.h"

#include <cstring>

#include "os/owners.h"

const wchar_t kRecordKey[] = L"Software\\Kestrova\\Vadrel";

namespace {

enum class Status { Present, Absent, Unreadable };

// "status" as the record holds it. A value of another type counts as absent; a
// key or value that exists but cannot be read now (access denied, a transient
// error) is unreadable, not absent.
Status QueryStatus(DWORD& dwStatus) {
  os::RegKey key;
  const LSTATUS open =
      os::api.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
  if (open != ERROR_SUCCESS) return open == ERROR_FILE_NOT_FOUND ? Status::Absent : Status::Unreadable;
  BYTE data[256] = {};  // a REG_DWORD shorter than four bytes reads as zero-padded
  DWORD cbData = sizeof(data);
  DWORD dwType = REG_NONE;
  const LSTATUS status = os::api.RegQueryValueExW(key.get(), L"status", nullptr, &dwType, data, &cbData);
  key.reset();
  if (status == ERROR_FILE_NOT_FOUND) return Status::Absent;
  // The type is told also when the data does not fit.
  if ((status == ERROR_SUCCESS || status == ERROR_MORE_DATA) && dwType != REG_DWORD) return Status::Absent;
  if (status != ERROR_SUCCESS) return Status::Unreadable;
  memcpy(&dwStatus, data, sizeof(dwStatus));
  return Status::Present;
}

}  // namespace

bool CReg::ReadStatus(DWORD& dwStatus) { return QueryStatus(dwStatus) == Status::Present; }

bool CReg::WriteDword(LPCWSTR pszName, DWORD dwValue, REGSAM samExtra) {
  os::RegKey key;
  if (os::api.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | samExtra,
                              nullptr, key.put(), nullptr) != ERROR_SUCCESS &&
      os::api.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                              key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  return os::api.RegSetValueExW(key.get(), pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                                sizeof(dwValue)) == ERROR_SUCCESS;
}

void CReg::RecordFailure(DWORD dwCode) {
  // The marker goes only where no status exists: one that cannot be read now is kept.
  DWORD dwStatus = 0;
  if (QueryStatus(dwStatus) == Status::Absent) WriteDword(L"status", 0xFFFFFFFF, KEY_WOW64_64KEY);
  WriteDword(L"code", dwCode, KEY_WOW64_64KEY);
}
