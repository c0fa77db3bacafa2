// Shared helpers of the TPM tests: the debug trace collected line by line, and
// a driver file that loads one of the stand-in images built in sim/images.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/trace.h"
#include "os/api.h"
#include "tests/support/fake.h"

namespace tpm_testing {

// Turns the debug trace on and keeps each line's message (without the
// process id, the time stamp and the line end).
class TraceCapture {
 public:
  TraceCapture() {
    Lines().clear();
    bTraceOn = 1;
    dwTraceProcessId = 0;
  }
  ~TraceCapture() {
    bTraceOn = 0;
    dwTraceProcessId = 0;
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  const std::vector<std::string>& lines() const { return Lines(); }

 private:
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static void WINAPI Collect(LPCSTR psz) {
    std::string line(psz);
    // "<pid>:[VADREL] yyyy/mm/dd hh:mm:ss <message>\n"
    const size_t tag = line.find("] ");
    line = tag == std::string::npos ? line : line.substr(tag + 2 + 20);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    Lines().push_back(line);
  }
  testing_os::Replace<decltype(os::api.OutputDebugStringA)> out_{os::api.OutputDebugStringA, &Collect};
};

// Each expected line equals the traced one; a trailing '*' makes it a prefix
// (the error-text lines end in the system's message text).
inline void ExpectTrace(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  auto render = [](const std::vector<std::string>& v) {
    std::string s;
    for (const auto& l : v) s += "  [" + l + "]\n";
    return s;
  };
  bool same = actual.size() == expected.size();
  for (size_t i = 0; same && i < expected.size(); ++i) {
    const std::string& e = expected[i];
    if (!e.empty() && e.back() == '*')
      same = actual[i].compare(0, e.size() - 1, e, 0, e.size() - 1) == 0;
    else
      same = actual[i] == e;
  }
  EXPECT_TRUE(same) << "traced:\n" << render(actual) << "expected:\n" << render(expected);
}

// Full path of a stand-in driver image next to the test program's build.
inline std::wstring ImagePath(const wchar_t* pszFile) {
  wchar_t szExe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, szExe, MAX_PATH);
  std::wstring dir(szExe);
  dir.resize(dir.find_last_of(L'\\') + 1);
  return dir + TPM_IMAGE_DIR_FROM_TESTS + L"\\" + pszFile;
}

constexpr wchar_t kOldImage[] = L"tpm-6.1.7600.16385.sys";
constexpr wchar_t kRepairedImage[] = L"tpm-6.1.7601.19146.sys";
constexpr wchar_t kOtherImage[] = L"tpm-6.1.7601.17514.sys";
constexpr wchar_t kOtherTranslationImage[] = L"tpm-other-translation.sys";
constexpr wchar_t kFixedDiffersImage[] = L"tpm-fixed-differs.sys";
constexpr wchar_t kDriverPath[] = L"C:\\Windows\\System32\\Drivers\\tpm.sys";

// Answers LoadLibraryW of the driver path with a stand-in image, after a
// number of failed attempts (ERROR_MOD_NOT_FOUND); a null image never loads.
// Records every path asked for. Pauses are recorded and never wait.
class DriverFile {
 public:
  DriverFile(const wchar_t* pszImage, int nFailures = 0) {
    Image() = pszImage ? ImagePath(pszImage) : std::wstring();
    Failures() = pszImage ? nFailures : 1 << 30;
    Paths().clear();
    Pauses().clear();
    Previous() = load_.previous();
  }
  DriverFile(const DriverFile&) = delete;
  DriverFile& operator=(const DriverFile&) = delete;

  static std::vector<std::wstring>& Paths() {
    static std::vector<std::wstring> v;
    return v;
  }
  static std::vector<DWORD>& Pauses() {
    static std::vector<DWORD> v;
    return v;
  }

 private:
  static std::wstring& Image() {
    static std::wstring s;
    return s;
  }
  static int& Failures() {
    static int n;
    return n;
  }
  static decltype(os::api.LoadLibraryW)& Previous() {
    static decltype(os::api.LoadLibraryW) p;
    return p;
  }
  static HMODULE WINAPI Load(LPCWSTR psz) {
    Paths().push_back(psz);
    if (static_cast<int>(Paths().size()) <= Failures()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return Previous()(Image().c_str());
  }
  static void WINAPI Pause(DWORD ms) { Pauses().push_back(ms); }

  testing_os::Replace<decltype(os::api.LoadLibraryW)> load_{os::api.LoadLibraryW, &Load};
  testing_os::Replace<decltype(os::api.Sleep)> sleep_{os::api.Sleep, &Pause};
};

}  // namespace tpm_testing
