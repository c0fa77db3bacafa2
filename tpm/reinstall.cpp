#include "tpm/reinstall.h"

#include "common/outcome.h"
#include "diag/trace.h"
#include "host/reg.h"
#include "os/owners.h"
#include "tpm/driverversion.h"

namespace {

constexpr DWORD kSettleDelayMs = 3000;
constexpr DWORD kStatusNotRepaired = 1;
constexpr DWORD kStatusRebootRequired = 638;

// The whole buffer goes in, zero fill included. A key that cannot be opened
// leaves the value as it was.
void WriteUpdatedVersion(const WCHAR (&szVersion)[kVersionLength]) {
  os::RegKey key;
  DWORD dwDisposition = 0;
  if (os::api.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              key.put(), &dwDisposition) != ERROR_SUCCESS)
    return;
  os::api.RegSetValueExW(key.get(), L"updatedver", 0, REG_SZ, reinterpret_cast<const BYTE*>(szVersion), sizeof(szVersion));
  key.reset();
}

}  // namespace

DWORD ReinstallTpmDriver() {
  WCHAR szVersion[kVersionLength] = {};
  BOOL bRebootRequired = FALSE;
  DWORD dwStatus = 0;
  DWORD dwCode = Outcome::Failed;

  if (!os::api.UpdateDriverForPlugAndPlayDevicesW(nullptr, kTpmHardwareId, kDriverPackagePath, INSTALLFLAG_NONINTERACTIVE,
                                                  &bRebootRequired)) {
    const DWORD dwError = os::api.GetLastError();
    DebugTrace("UpdateDriverForPlugAndPlayDevicesW failed");
    TraceError(0);
    if (dwError == ERROR_NO_MORE_ITEMS)  // the package is no better match than the bound driver
      dwCode = Outcome::PackageMissing;
    else if (dwError == static_cast<DWORD>(ERROR_NO_SUCH_DEVINST))
      dwCode = Outcome::NoTpmDevice;
    else
      dwCode = Outcome::Failed;
    dwStatus = dwError;
  } else {
    DebugTrace("UpdateDriverForPlugAndPlayDevicesW success");
    os::api.Sleep(kSettleDelayMs);
    if (!GetDriverFileVersion(szVersion)) {
      dwStatus = kStatusNotRepaired;
      dwCode = Outcome::Failed;
    } else {
      WriteUpdatedVersion(szVersion);
      if (os::api.CompareStringW(LOCALE_INVARIANT, 0, kOldDriverVersion, -1, szVersion, -1) == CSTR_EQUAL) {
        dwStatus = kStatusNotRepaired;
        dwCode = Outcome::StillOldDriver;
      } else {
        dwStatus = bRebootRequired ? kStatusRebootRequired : 0;
        dwCode = Outcome::Repaired;
      }
    }
  }

  CReg reg;
  reg.WriteDword(L"status", dwStatus, 0);
  reg.WriteDword(L"code", dwCode, 0);
  return dwCode;
}
