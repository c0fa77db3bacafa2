#include "tpm/device.h"

#include <cwchar>

#include "diag/trace.h"
#include "os/owners.h"

namespace {

// Hardware ids are compared ignoring the case of A to Z only, so that no
// locale's folding rules can make two different ids equal.
wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameIdIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
    if (*a == L'\0') return true;
  }
}

// Walks a hardware-id list (texts ended by an empty text), tracing each id
// until one equals pszWanted. Never reads past cbList bytes.
bool ListHoldsId(const wchar_t* pList, DWORD cbList, const wchar_t* pszWanted) {
  const wchar_t* p = pList;
  const wchar_t* const pEnd = pList + cbList / sizeof(wchar_t);
  while (p < pEnd && *p != L'\0') {
    const size_t cch = wcsnlen(p, static_cast<size_t>(pEnd - p));
    if (cch == static_cast<size_t>(pEnd - p)) break;  // unterminated last text
    DebugTrace("%S", p);
    if (SameIdIgnoringAsciiCase(p, pszWanted)) return true;
    p += cch + 1;
  }
  return false;
}

}  // namespace

bool FindTpmDevice(const wchar_t* pszHardwareId, HDEVINFO* phDevInfo, SP_DEVINFO_DATA* pDevInfoData) {
  if (phDevInfo == nullptr || pDevInfoData == nullptr) {
    DebugTrace("%d: NULL Pointer Exception", 640);
    return false;
  }
  ZeroMemory(pDevInfoData, sizeof(*pDevInfoData));
  pDevInfoData->cbSize = sizeof(*pDevInfoData);

  os::DevInfo set(os::api.SetupDiGetClassDevsW(nullptr, L"ACPI", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  *phDevInfo = set.get();
  if (!set) {
    DebugTrace("%d: SetupDiGetClassDevs error", 658);
    TraceError(0);
    *phDevInfo = INVALID_HANDLE_VALUE;
    return false;
  }

  // Kept from one device to the next; replaced only when a device needs more.
  os::LocalMem buffer;
  DWORD cbBuffer = 0;
  for (DWORD dwIndex = 0; os::api.SetupDiEnumDeviceInfo(set.get(), dwIndex, pDevInfoData); ++dwIndex) {
    DWORD dwType = 0;
    DWORD cbRequired = 0;
    bool bHaveList = true;
    while (!os::api.SetupDiGetDeviceRegistryPropertyW(set.get(), pDevInfoData, SPDRP_HARDWAREID, &dwType,
                                                      static_cast<PBYTE>(buffer.get()), cbBuffer, &cbRequired)) {
      if (os::api.GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.reset();
        cbBuffer = 0;
        buffer.reset(os::api.LocalAlloc(LPTR, cbRequired));
        if (!buffer) {
          set.reset();
          *phDevInfo = INVALID_HANDLE_VALUE;
          DebugTrace("%d: LocalAlloc Error", 688);
          return false;
        }
        cbBuffer = cbRequired;
      } else {
        buffer.reset();
        DebugTrace("%d: SetupDiGetDeviceRegistryProperty Error", 695);
        cbBuffer = 0;
        bHaveList = false;
        break;
      }
    }
    if (!bHaveList) continue;
    if (ListHoldsId(static_cast<const wchar_t*>(buffer.get()), cbBuffer, pszHardwareId)) {
      buffer.reset();
      *phDevInfo = set.release();
      return true;
    }
  }

  if (os::api.GetLastError() == ERROR_NO_MORE_ITEMS)
    DebugTrace("{%S} %d: Device Not Found", L"vadrel", 723);
  else
    TraceError(0);
  set.reset();
  *phDevInfo = INVALID_HANDLE_VALUE;
  buffer.reset();
  return false;
}
