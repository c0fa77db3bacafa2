// Access to the maker's platform controller driver: its device interface, the
// model number request and its "DriverVersion".
#pragma once

#include <memory>

#include "os/owners.h"

// {80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}
extern const GUID GUID_DEVINTERFACE_PLATFORM_CONTROLLER;
constexpr DWORD IOCTL_GET_MODEL_NUMBER = 0x00222940;

namespace MiscCommon {

class CMiscCommon {
 public:
  CMiscCommon();
  ~CMiscCommon();
  CMiscCommon(const CMiscCommon&) = delete;
  CMiscCommon& operator=(const CMiscCommon&) = delete;

  DWORD OpenDriver();  // 0, or 2, 5, 6, 11
  // length: capacity in, bytes written (0) or needed (5) out; 0, 2, 3, 5, 8, 10
  DWORD GetModelNumber(BYTE* buffer, ULONGLONG* length);
  void CloseDriver();

  os::FileHandle _hDevice;                // INVALID_HANDLE_VALUE while closed
  std::unique_ptr<WCHAR[]> _szVersion;    // 256 characters, absent until read
  std::unique_ptr<WCHAR[]> _szErrorText;  // 256 characters
  DWORD _nVersion[4];
};

}  // namespace MiscCommon
