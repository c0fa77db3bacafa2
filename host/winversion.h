// Which Windows is running: classification code, processor class, features.
#pragma once

#include "os/win.h"

class CWinVersion {
 public:
  CWinVersion();  // does the whole identification; failures leave fields 0
  virtual ~CWinVersion() {}

  SYSTEM_INFO _si;
  OSVERSIONINFOEXW _osvi;
  WORD _wOsKind;
  WORD _wCpuKind;
  DWORD _dwFeatures;
  WORD _wSpMajor;
  WCHAR _szSpName[128];
  DWORD _dwProductType;
};

constexpr WORD kOsKindWindows7 = 11;  // NT 6.1 on a workstation product
