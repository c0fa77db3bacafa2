// Scratch log files for tests, and a fixed clock for the line stamp.
#pragma once

#include <string>

#include "os/api.h"
#include "tests/support/fake.h"

namespace runlog_test {

// A fresh path in the temporary folder, deleted before and after use.
class ScratchFile {
 public:
  explicit ScratchFile(const wchar_t* name) {
    wchar_t dir[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, dir);
    _path = std::wstring(dir) + name + L"." + std::to_wstring(::GetCurrentProcessId()) + L".log";
    ::DeleteFileW(_path.c_str());
  }
  ~ScratchFile() { ::DeleteFileW(_path.c_str()); }
  const wchar_t* path() const { return _path.c_str(); }

  // The bytes of the file, read while a writer may still hold it.
  std::string Read() const {
    HANDLE h = ::CreateFileW(_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<no file>";
    std::string bytes;
    char chunk[4096];
    for (DWORD got = 0; ::ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got;) bytes.append(chunk, got);
    ::CloseHandle(h);
    return bytes;
  }

 private:
  std::wstring _path;
};

// 1 March 2017, 09:05:00 local time.
struct FixedClock {
  testing_os::Replace<decltype(os::api.GetLocalTime)> time{
      os::api.GetLocalTime, [](LPSYSTEMTIME st) { *st = SYSTEMTIME{2017, 3, 3, 1, 9, 5, 0, 0}; }};
};
constexpr const char kStamp[] = "2017/03/01 09:05:00 ";

}  // namespace runlog_test
