// A scratch file for tests, and a fixed clock for the line stamp.
#pragma once

#include <share.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/api.h"
#include "tests/support/fake.h"

namespace runlog_test {

// A fresh path in the temporary folder, deleted before and after use.
class ScratchFile {
 public:
  explicit ScratchFile(const wchar_t* name)
      : _path(std::wstring(_wgetenv(L"TEMP")) + L"\\" + name + std::to_wstring(::GetCurrentProcessId())) {
    ::DeleteFileW(path());
  }
  ~ScratchFile() { ::DeleteFileW(path()); }
  const wchar_t* path() const { return _path.c_str(); }

  // The file's bytes, read while a writer may still hold it.
  std::string Read() const {
    std::string bytes;
    FILE* f = _wfsopen(path(), L"rb", _SH_DENYNO);
    for (int c; f && (c = fgetc(f)) != EOF;) bytes += static_cast<char>(c);
    if (f) fclose(f);
    return bytes;
  }

 private:
  std::wstring _path;
};

// 1 March 2017, 09:05:07 local time; every field a different number.
#define FIXED_CLOCK() FAKE(GetLocalTime, [](LPSYSTEMTIME st) { *st = SYSTEMTIME{2017, 3, 4, 1, 9, 5, 7, 8}; })
constexpr const char kStamp[] = "2017/03/01 09:05:07 ";

}  // namespace runlog_test
