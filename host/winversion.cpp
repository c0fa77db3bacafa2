#include "host/winversion.h"

#include "os/api.h"

namespace {

WORD CpuKind(WORD wArchitecture) {
  switch (wArchitecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
      return 1;
    case PROCESSOR_ARCHITECTURE_IA64:
    case PROCESSOR_ARCHITECTURE_AMD64:
    case PROCESSOR_ARCHITECTURE_IA32_ON_WIN64:
      return 2;
    default:
      return 0;
  }
}

WORD Pick(bool bWorkstation, WORD wWorkstation, WORD wServer) { return bWorkstation ? wWorkstation : wServer; }

}  // namespace

CWinVersion::CWinVersion()
    : _si(), _osvi(), _wOsKind(0), _wCpuKind(0), _dwFeatures(0), _wSpMajor(0), _szSpName(), _dwProductType(0) {
  // The first query asks for the basic structure, which every release answers.
  _osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);

  // Older kernels lack it.
  if (os::api.GetNativeSystemInfo) {
    os::api.GetNativeSystemInfo(&_si);
    _wCpuKind = CpuKind(_si.wProcessorArchitecture);
  }

  if (os::api.GetSystemMetrics(SM_TABLETPC)) _dwFeatures |= 1;
  if (os::api.GetSystemMetrics(SM_MEDIACENTER)) _dwFeatures |= 2;
  if (os::api.GetSystemMetrics(SM_STARTER)) _dwFeatures |= 4;

  if (!os::api.GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&_osvi))) {
    _wOsKind = 0;
    return;
  }

  switch (_osvi.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
      _wOsKind = 1;
      break;
    case VER_PLATFORM_WIN32_WINDOWS:
      _wOsKind = _osvi.dwMinorVersion >= 90 ? 7 : _osvi.dwMinorVersion >= 10 ? 3 : 2;
      break;
    case VER_PLATFORM_WIN32_NT:
      if (_osvi.dwMajorVersion < 5) {
        _wOsKind = 4;
        break;
      }
      // Only NT 5 and later know the extended structure with product type and service pack.
      _osvi = OSVERSIONINFOEXW();
      _osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
      if (!os::api.GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&_osvi))) {
        _wOsKind = 0;
        break;
      }
      {
        const bool bWorkstation = _osvi.wProductType == VER_NT_WORKSTATION;
        const DWORD dwMinor = _osvi.dwMinorVersion;
        switch (_osvi.dwMajorVersion) {
          case 5:
            if (dwMinor == 0)
              _wOsKind = 5;
            else if (dwMinor == 1)
              _wOsKind = 6;
            else  // XP x64 reports 5.2 like Server 2003; only the workstation type tells it apart
              _wOsKind = bWorkstation && _si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? 6 : 10;
            break;
          case 6:
            if (dwMinor == 0)
              _wOsKind = Pick(bWorkstation, 8, 9);
            else if (dwMinor == 1)
              _wOsKind = Pick(bWorkstation, 11, 12);
            else if (dwMinor == 2)
              _wOsKind = Pick(bWorkstation, 13, 14);
            else
              _wOsKind = Pick(bWorkstation, 15, 16);
            break;
          case 7:
          case 8:
          case 9:
            _wOsKind = 0;
            break;
          case 10:
            _wOsKind = 17;
            break;
          default:
            _wOsKind = 0xFFFF;
            break;
        }
      }
      break;
    default:
      _wOsKind = 0;
      break;
  }

  _wSpMajor = _osvi.wServicePackMajor;
  const size_t cchMax = sizeof(_szSpName) / sizeof(_szSpName[0]) - 1;
  size_t cch = 0;
  for (; cch < cchMax && _osvi.szCSDVersion[cch]; ++cch) _szSpName[cch] = _osvi.szCSDVersion[cch];
  _szSpName[cch] = L'\0';

  if (_osvi.dwMajorVersion >= 6 && os::api.GetProductInfo) {
    DWORD dwProductType = 0;
    if (os::api.GetProductInfo(_osvi.dwMajorVersion, _osvi.dwMinorVersion, _osvi.wServicePackMajor, _osvi.wServicePackMinor,
                               &dwProductType))
      _dwProductType = dwProductType;
  }
}
