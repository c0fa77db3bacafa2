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

inline std::vector<std::string> g_lines;

// Turns the debug trace on and keeps each line's message (without the
// process id, the time stamp and the line end).
class TraceCapture {
 public:
  TraceCapture() { g_lines.clear(); bTraceOn = 1; dwTraceProcessId = 0; }
  ~TraceCapture() { bTraceOn = 0; dwTraceProcessId = 0; }
  const std::vector<std::string>& lines() const { return g_lines; }

 private:
  static void WINAPI Collect(LPCSTR psz) {
    std::string line(psz);  // "<pid>:[VADREL] yyyy/mm/dd hh:mm:ss <message>\n"
    const size_t tag = line.find("] ");
    if (tag != std::string::npos) line.erase(0, tag + 2 + 20);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    g_lines.push_back(line);
  }
  testing_os::Replace<decltype(os::api.OutputDebugStringA)> out_{os::api.OutputDebugStringA, &Collect};
};

// Each expected line equals the traced one; a trailing '*' makes it a prefix
// (the error-text lines end in the system's message text).
inline void ExpectTrace(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  bool same = actual.size() == expected.size();
  for (size_t i = 0; same && i < expected.size(); ++i) {
    const std::string& e = expected[i];
    same = !e.empty() && e.back() == '*' ? actual[i].compare(0, e.size() - 1, e, 0, e.size() - 1) == 0 : actual[i] == e;
  }
  auto text = [](const std::vector<std::string>& v) {
    std::string s;
    for (const auto& l : v) s += "  [" + l + "]\n";
    return s;
  };
  EXPECT_TRUE(same) << "traced:\n" << text(actual) << "expected:\n" << text(expected);
}

constexpr wchar_t kOldImage[] = L"tpm-6.1.7600.16385.sys";
constexpr wchar_t kRepairedImage[] = L"tpm-6.1.7601.19146.sys";
constexpr wchar_t kOtherImage[] = L"tpm-6.1.7601.17514.sys";
constexpr wchar_t kOtherTranslationImage[] = L"tpm-other-translation.sys";
constexpr wchar_t kFixedDiffersImage[] = L"tpm-fixed-differs.sys";
constexpr wchar_t kDriverPath[] = L"C:\\Windows\\System32\\Drivers\\tpm.sys";

// Answers LoadLibraryW of the driver path with a stand-in image (next to the
// test program's build), after a number of failed attempts
// (ERROR_MOD_NOT_FOUND); a null image never loads. Records every path asked
// for, and every pause, which never waits.
class DriverFile {
 public:
  explicit DriverFile(const wchar_t* pszImage, int nFailures = 0) {
    wchar_t szExe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, szExe, MAX_PATH);
    image_ = szExe;
    image_.resize(image_.find_last_of(L'\\') + 1);
    image_ += std::wstring(TPM_IMAGE_DIR_FROM_TESTS) + L"\\" + (pszImage ? pszImage : L"");
    failures_ = pszImage ? nFailures : 1 << 30;
    previous_ = load_.previous();
    Paths().clear();
    Pauses().clear();
  }
  static std::vector<std::wstring>& Paths() { return paths_; }
  static std::vector<DWORD>& Pauses() { return pauses_; }

 private:
  static HMODULE WINAPI Load(LPCWSTR psz) {
    paths_.push_back(psz);
    if (static_cast<int>(paths_.size()) > failures_) return previous_(image_.c_str());
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  static inline std::wstring image_;
  static inline int failures_;
  static inline decltype(os::api.LoadLibraryW) previous_;
  static inline std::vector<std::wstring> paths_;
  static inline std::vector<DWORD> pauses_;
  testing_os::Replace<decltype(os::api.LoadLibraryW)> load_{os::api.LoadLibraryW, &Load};
  testing_os::Replace<decltype(os::api.Sleep)> sleep_{os::api.Sleep, [](DWORD ms) { pauses_.push_back(ms); }};
};

}  // namespace tpm_testing
