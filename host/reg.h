// The machine-wide record of the tool's runs: HKLM "Software\Kestrova\Vadrel"
// in the 64-bit view, values "code", "status" and "updatedver".
#pragma once

#include "os/win.h"

extern const wchar_t kRecordKey[];  // L"Software\\Kestrova\\Vadrel"

class CReg {
 public:
  virtual ~CReg() {}

  // "status" when it exists as REG_DWORD; otherwise false, dwStatus untouched.
  bool ReadStatus(DWORD& dwStatus);
  // Sets a REG_DWORD, creating the key; samExtra joins KEY_ALL_ACCESS on the
  // first attempt, the fallback asks for KEY_WRITE alone.
  bool WriteDword(LPCWSTR pszName, DWORD dwValue, REGSAM samExtra);
  // A refusal of the run: "status" 0xFFFFFFFF only where none exists (or one
  // of another type), then "code".
  void RecordFailure(DWORD dwCode);
};
