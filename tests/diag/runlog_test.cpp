#include "diag/runlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/diag/runlog_files.h"
#include "tests/support/child.h"
#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

using runlog_test::kStamp;

class RunLog : public ::testing::Test {
 protected:
  runlog_test::ScratchFile file_{L"runlog"};
  runlog_test::FixedClock clock_;
};

// Wine reports the archive attribute for every file: the arguments of CreateFileW tell.
TEST_F(RunLog, LineBytesAtFixedTimeAndCreateFileArguments) {
  static std::vector<DWORD> seen;
  FAKE(CreateFileW, [](LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f, HANDLE t) -> HANDLE {
    seen = {a, s, d, f, sa != nullptr, t != nullptr};
    return ::CreateFileW(p, a, s, sa, d, f, t);
  });
  testing_os::LeakCheck leaks;
  {
    CFileLogging log;
    log.Open(file_.path());
    EXPECT_EQ(seen, (std::vector<DWORD>{GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, 0, 0}));
    log.Write("return code = %d", 17);
    log.Write("%S|%s", L"wide", "narrow");
    log.WriteW(L"%S built on %S %S started.", "vadrel", "Aug  9 2016", "11:20:02");
    log.WriteW(L"first\n\nlast");  // line breaks of a text stay as they are
    log.WriteW(L"%s", L"100% sure");
  }
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  const std::string s = kStamp;
  EXPECT_EQ(file_.Read(), s + "return code = 17\r\n" + s + "wide|narrow\r\n" + s +
                              "vadrel built on Aug  9 2016 11:20:02 started.\r\n" + s + "first\n\nlast\r\n" + s +
                              "100% sure\r\n");
}

TEST_F(RunLog, AppendsAndReopens) {
  CFileLogging log;
  log.Open(file_.path());
  log.Write("one");
  log.Open(file_.path());  // closes the first handle, still appends
  log.WriteW(L"two");
  log._hFile.reset();
  log.Open(file_.path());  // a file of an earlier run
  log.Write("three");
  EXPECT_EQ(file_.Read(), std::string(kStamp) + "one\r\n" + kStamp + "two\r\n" + kStamp + "three\r\n");
}

// Every call keeps the last error. A log never opened, or refused, writes
// nothing; failures inside a line (write, conversion, buffers) lose that line only.
TEST_F(RunLog, LastErrorKeptOnEveryPath) {
  auto both = [](CFileLogging& log) {
    ::SetLastError(0x2A5B);
    log.Write("n");
    EXPECT_EQ(::GetLastError(), 0x2A5Bu) << "Write";
    ::SetLastError(0x2A5C);
    log.WriteW(L"w");
    EXPECT_EQ(::GetLastError(), 0x2A5Cu) << "WriteW";
  };
  CFileLogging never, refused, log;
  {
    FAKE(CreateFileW, [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) -> HANDLE {
      ::SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    });
    refused.Open(file_.path());
    FAKE(WriteFile, [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> WINBOOL {
      ADD_FAILURE() << "a closed log wrote";
      return TRUE;
    });
    for (CFileLogging* closed : {&never, &refused}) {
      EXPECT_FALSE(closed->IsOpen());
      both(*closed);
    }
  }
  EXPECT_EQ(file_.Read(), "<no file>");
  log.Open(file_.path());
  both(log);
  {
    FAKE(WriteFile, [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> WINBOOL {
      ::SetLastError(ERROR_DISK_FULL);
      return FALSE;
    });
    FAKE(FlushFileBuffers, [](HANDLE) -> WINBOOL { return ::SetLastError(ERROR_DISK_FULL), FALSE; });
    both(log);
  }
  {
    FAKE(WideCharToMultiByte, [](UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) -> int {
      ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    });
    both(log);
  }
  {
    FAKE(HeapAlloc, [](HANDLE, DWORD, SIZE_T) -> LPVOID { return ::SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr; });
    both(log);
  }
  // Only the narrow line survives the failed conversion.
  EXPECT_EQ(file_.Read(), std::string(kStamp) + "n\r\n" + kStamp + "w\r\n" + kStamp + "n\r\n");
}

// The message gives way so that every line keeps its CR LF within 2047 characters.
TEST_F(RunLog, LongMessagesKeepLineEnd) {
  const size_t room = 2047 - (sizeof kStamp - 1) - 2;
  CFileLogging log;
  log.Open(file_.path());
  std::string expected;
  for (size_t length : {room, room + 1, size_t{3000}}) {
    log.Write("%s", std::string(length, 'n').c_str());
    log.WriteW(L"%s", std::wstring(length, L'w').c_str());
    for (char c : {'n', 'w'}) expected += kStamp + std::string(std::min(length, room), c) + "\r\n";
  }
  // A pair of surrogates that the cut would split goes whole.
  log.WriteW(L"%s\U0001F600", std::wstring(room - 1, L'w').c_str());
  expected += kStamp + std::string(room - 1, 'w') + "\r\n";
  EXPECT_EQ(file_.Read(), expected);
}

// Characters the thread's ANSI code page lacks come out as its default character.
TEST_F(RunLog, WideTextInAnsiCodePage) {
  ASSERT_EQ(::GetACP(), 1252u) << "the default pass runs with a Western code page";
  CFileLogging log;
  log.Open(file_.path());
  log.WriteW(L"a\x65E5\x0E01|\x00E9|\x20AC");
  EXPECT_EQ(file_.Read(), std::string(kStamp) + "a??|\xE9|\x80\r\n");
}

class JapaneseUiRunLog : public RunLog {};

TEST_F(JapaneseUiRunLog, WideTextInShiftJis) {
  CFileLogging log;
  log.Open(file_.path());
  log.WriteW(L"\x65E5\x672C|\x0E01");
  EXPECT_EQ(file_.Read(), std::string(kStamp) + "\x93\xFA\x96\x7B|?\r\n");
}

TEST_CHILD(SecondWriter) {
  CFileLogging log;
  log.Open(arg.c_str());
  const DWORD dwError = ::GetLastError();
  log.Write("second writer");
  if (log.IsOpen()) return 1;
  return dwError == ERROR_SHARING_VIOLATION ? 0 : 2;
}

TEST_F(RunLog, SecondWriterRefusedWhileHeld) {
  {
    CFileLogging first;
    first.Open(file_.path());
    first.Write("first");
    EXPECT_EQ(testing_os::RunChild("SecondWriter", file_.path()), 0);
    EXPECT_EQ(file_.Read(), std::string(kStamp) + "first\r\n");
  }
  EXPECT_EQ(testing_os::RunChild("SecondWriter", file_.path()), 1) << "free once the first is gone";
}

TEST(RunLogPath, BesideTheExecutable) {
  static const wchar_t* module;
  static HMODULE asked;
  static const struct {
    const wchar_t* module;
    const wchar_t* log;
  } rows[] = {
      {L"C:\\tools\\orlinth\\vadrel.exe", L"C:\\tools\\orlinth\\vadrel.log"},
      {L"C:\\vadrel.exe", L"C:\\vadrel.log"},
      {L"\\\\server\\share\\vadrel.exe", L"\\\\server\\share\\vadrel.log"},
      {nullptr, L"vadrel.log"},  // no path: the bare name, for the current directory
  };
  FAKE(GetModuleFileNameW, [](HMODULE h, LPWSTR buf, DWORD size) -> DWORD {
    asked = h;
    if (!module) {
      wcsncpy_s(buf, size, L"C:\\partial\\junk", _TRUNCATE);
      ::SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    wcsncpy_s(buf, size, module, _TRUNCATE);
    return static_cast<DWORD>(wcslen(buf));
  });
  const HMODULE self = ::GetModuleHandleW(nullptr);
  for (const auto& row : rows) {
    module = row.module;
    wchar_t path[MAX_PATH];
    wmemset(path, L'#', MAX_PATH);
    GetRunLogPath(self, path);
    EXPECT_STREQ(path, row.log);
    EXPECT_EQ(asked, self);
  }
}

}  // namespace
