#include "diag/runlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/diag/runlog_files.h"
#include "tests/support/child.h"
#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

using runlog_test::FixedClock;
using runlog_test::kStamp;
using runlog_test::ScratchFile;

constexpr size_t kLongestLine = 2047;  // CR LF included

class RunLog : public ::testing::Test {
 protected:
  ScratchFile file_{L"runlog"};
  FixedClock clock_;
};

TEST(RunLogGlobal, StartsClosed) {
  EXPECT_FALSE(theRunLog.IsOpen());
  EXPECT_EQ(theRunLog._hFile.get(), INVALID_HANDLE_VALUE);
}

TEST_F(RunLog, LineBytesAtFixedTime) {
  testing_os::LeakCheck leaks;
  {
    CFileLogging log;
    log.Open(file_.path());
    ASSERT_TRUE(log.IsOpen());
    log.Write("abc");
    log.WriteW(L"abc");
    log.Write("return code = %d", 17);
    log.Write("%S|%s", L"wide", "narrow");
    log.WriteW(L"%S built on %S %S started.", "vadrel", "Aug  9 2016", "11:20:02");
    log.WriteW(L"first\n\nlast");  // line breaks of a text stay as they are
    log.WriteW(L"%s", L"100% sure");
  }
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  const std::string s = kStamp;
  EXPECT_EQ(file_.Read(), s + "abc\r\n" + s + "abc\r\n" + s + "return code = 17\r\n" + s +
                              "wide|narrow\r\n" + s + "vadrel built on Aug  9 2016 11:20:02 started.\r\n" +
                              s + "first\n\nlast\r\n" + s + "100% sure\r\n");
}

TEST_F(RunLog, AppendsAndReopens) {
  file_.Put("old line\r\nno line end");
  CFileLogging log;
  log.Open(file_.path());
  log.Write("one");
  log.Open(file_.path());  // closes the first handle, still appends
  log.WriteW(L"two");
  EXPECT_EQ(file_.Read(), std::string("old line\r\nno line end") + kStamp + "one\r\n" + kStamp + "two\r\n");
}

TEST_F(RunLog, CreateFileArguments) {
  static struct {
    std::wstring path;
    DWORD access, share, disposition, flags;
    LPSECURITY_ATTRIBUTES sa;
    HANDLE tmpl, opened, moved;
    LONG distance;
    PLONG high;
    DWORD method;
  } seen;
  seen = {};
  FAKE(CreateFileW, [](LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                       HANDLE t) -> HANDLE {
    seen.path = p, seen.access = a, seen.share = s, seen.sa = sa, seen.disposition = d;
    seen.flags = f, seen.tmpl = t;
    return seen.opened = ::CreateFileW(p, a, s, sa, d, f, t);
  });
  FAKE(SetFilePointer, [](HANDLE h, LONG n, PLONG high, DWORD m) -> DWORD {
    seen.moved = h, seen.distance = n, seen.high = high, seen.method = m;
    return ::SetFilePointer(h, n, high, m);
  });
  CFileLogging log;
  log.Open(file_.path());
  EXPECT_EQ(seen.path, file_.path());
  EXPECT_EQ(seen.access, static_cast<DWORD>(GENERIC_WRITE));
  EXPECT_EQ(seen.share, static_cast<DWORD>(FILE_SHARE_READ));
  EXPECT_EQ(seen.sa, nullptr);
  EXPECT_EQ(seen.disposition, static_cast<DWORD>(OPEN_ALWAYS));
  EXPECT_EQ(seen.flags, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(seen.tmpl, nullptr);
  EXPECT_EQ(log._hFile.get(), seen.opened);
  EXPECT_EQ(seen.moved, seen.opened);
  EXPECT_EQ(seen.distance, 0);
  EXPECT_EQ(seen.high, nullptr);
  EXPECT_EQ(seen.method, static_cast<DWORD>(FILE_END));
}

// Every call of a closed log is a no-op that touches neither files nor the last error.
TEST_F(RunLog, ClosedLogWritesNothing) {
  static int writes;
  writes = 0;
  FAKE(WriteFile, [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> WINBOOL { return ++writes, TRUE; });
  CFileLogging never;
  CFileLogging refused;
  {
    FAKE(CreateFileW, [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) -> HANDLE {
      ::SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    });
    refused.Open(file_.path());
  }
  for (CFileLogging* log : {&never, &refused}) {
    EXPECT_FALSE(log->IsOpen());
    ::SetLastError(0x2A5B);
    log->Write("x %d", 1);
    log->WriteW(L"x %d", 1);
    EXPECT_EQ(::GetLastError(), 0x2A5Bu);
  }
  EXPECT_EQ(writes, 0);
  EXPECT_FALSE(file_.Exists());
}

// Failures inside a line (write, conversion, buffers) lose that line only and keep the error.
TEST_F(RunLog, LastErrorKeptOnEveryPath) {
  CFileLogging log;
  log.Open(file_.path());
  ASSERT_TRUE(log.IsOpen());
  auto both = [&log] {
    ::SetLastError(0x2A5B);
    log.Write("n");
    EXPECT_EQ(::GetLastError(), 0x2A5Bu) << "Write";
    ::SetLastError(0x2A5C);
    log.WriteW(L"w");
    EXPECT_EQ(::GetLastError(), 0x2A5Cu) << "WriteW";
  };
  both();
  {
    FAKE(WriteFile, [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> WINBOOL {
      ::SetLastError(ERROR_DISK_FULL);
      return FALSE;
    });
    FAKE(FlushFileBuffers, [](HANDLE) -> WINBOOL { return ::SetLastError(ERROR_DISK_FULL), FALSE; });
    both();
  }
  {
    FAKE(WideCharToMultiByte, [](UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) -> int {
      ::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    });
    both();
  }
  {
    FAKE(HeapAlloc, [](HANDLE, DWORD, SIZE_T) -> LPVOID {
      ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    });
    both();
  }
  // Only the narrow line survives the failed conversion.
  EXPECT_EQ(file_.Read(), std::string(kStamp) + "n\r\n" + kStamp + "w\r\n" + kStamp + "n\r\n");
}

// The message gives way so that every line keeps its CR LF within 2047 characters.
TEST_F(RunLog, LongMessagesKeepLineEnd) {
  const size_t room = kLongestLine - (sizeof kStamp - 1) - 2;
  CFileLogging log;
  log.Open(file_.path());
  std::string expected;
  for (size_t length : {room - 1, room, room + 1, size_t{2047}, size_t{2048}, size_t{3000}}) {
    const std::string narrow(length, 'n');
    const std::wstring wide(length, L'w');
    log.Write("%s", narrow.c_str());
    log.WriteW(L"%s", wide.c_str());
    for (char c : {'n', 'w'}) expected += kStamp + std::string(std::min(length, room), c) + "\r\n";
  }
  // A pair of surrogates that the cut would split goes whole.
  log.WriteW(L"%s\U0001F600", std::wstring(room - 1, L'w').c_str());
  expected += kStamp + std::string(room - 1, 'w') + "\r\n";
  const std::string bytes = file_.Read();
  EXPECT_EQ(bytes, expected);
  for (size_t from = 0, end; (end = bytes.find("\r\n", from)) != std::string::npos; from = end + 2)
    EXPECT_LE(end + 2 - from, kLongestLine);
}

// Characters the thread's ANSI code page lacks come out as its default character.
TEST_F(RunLog, WideTextInAnsiCodePage) {
  ASSERT_EQ(::GetACP(), 1252u) << "the default pass runs with a Western code page";
  CFileLogging log;
  log.Open(file_.path());
  log.WriteW(L"a\x65E5\x0E01|\x00E9|\x20AC");
  EXPECT_EQ(file_.Read(), std::string(kStamp) + "a??|\xE9|\x80\r\n");
}

TEST(JapaneseUiRunLog, WideTextInShiftJis) {
  ScratchFile file(L"runlog-ja");
  FixedClock clock;
  CFileLogging log;
  log.Open(file.path());
  log.WriteW(L"\x65E5\x672C|\x0E01");
  EXPECT_EQ(file.Read(), std::string(kStamp) + "\x93\xFA\x96\x7B|?\r\n");
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
