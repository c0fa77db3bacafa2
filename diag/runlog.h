// The run log of silent runs: "vadrel.log" beside the executable, one dated
// line per message, appended across runs, held with read sharing only.
#pragma once

#include "os/owners.h"

class CLogging {
 public:
  virtual void Write(const char* format, ...) = 0;
  virtual void WriteW(const wchar_t* format, ...) = 0;
  virtual bool IsOpen() = 0;
};

class CFileLogging : public CLogging {
 public:
  CFileLogging() = default;
  ~CFileLogging() = default;  // _hFile closes the log

  void Open(const wchar_t* pszPath);
  void Write(const char* format, ...) override;
  void WriteW(const wchar_t* format, ...) override;
  bool IsOpen() override;

  os::FileHandle _hFile;
};

extern CFileLogging theRunLog;

// Full path of "vadrel.log" in the folder of hModule's executable, or the bare
// name when that path cannot be had.
void GetRunLogPath(HMODULE hModule, wchar_t (&pszPath)[MAX_PATH]);
