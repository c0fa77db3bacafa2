#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diag/runlog.h"
#include "diag/trace.h"
#include "tests/support/fake.h"

namespace {

// 1 March 2017, 09:05:07 local time; every field a different number.
#define FIXED_CLOCK() FAKE(GetLocalTime, [](LPSYSTEMTIME st) { *st = SYSTEMTIME{2017, 3, 4, 1, 9, 5, 7, 8}; })
constexpr char kStamp[] = "2017/03/01 09:05:07 ";
std::string Line(const std::string& text) { return kStamp + text + "\r\n"; }

// Dated lines ended by CR LF, appended across runs; others may read the log but
// not write it while it is held (Wine reports the archive attribute for every
// file: the arguments of CreateFileW tell). A message gives way so that every
// line keeps its CR LF within 2047 characters; a surrogate pair the cut would
// split goes whole. Text goes out in the code page of the thread's locale, which
// Windows takes from the user's Formats, not from the interface language.
TEST(RunLog, LineFormat) {
  static std::vector<DWORD> opened;
  const size_t room = 2047 - (sizeof kStamp - 1) - 2;
  const wchar_t* const path = L"runlog.txt";
  ::DeleteFileW(path);
  FIXED_CLOCK();
  const LCID formats = ::GetThreadLocale();
  ::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
  FAKE(CreateFileW, [](LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f, HANDLE t) {
    return opened = {a, s, d, f}, ::CreateFileW(p, a, s, sa, d, f, t);
  });
  for (size_t length : {room, room + 1}) {
    CFileLogging log;
    log.Open(path);
    log.Write("return code = %d", 17);
    log.WriteW(L"%S built on %S|%s", "vadrel", "Aug  9 2016", L"first\n\nlast 100%\u4fee");
    log.Write("%s", std::string(length, 'n').c_str());
    log.WriteW(L"%s", std::wstring(length, L'w').c_str());
  }
  CFileLogging log;
  log.Open(path);
  log.WriteW(L"%s\U0001F600", std::wstring(room - 1, L'w').c_str());
  ::SetThreadLocale(formats);
  EXPECT_EQ(opened, (std::vector<DWORD>{GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE}));
  const std::string run = Line("return code = 17") + Line("vadrel built on Aug  9 2016|first\n\nlast 100%\x8f\x43") +
                          Line(std::string(room, 'n')) + Line(std::string(room, 'w'));
  std::string bytes;  // read while the log still holds the file: the C runtime's files share it
  FILE* f = _wfopen(path, L"rb");
  for (int c; f && (c = fgetc(f)) != EOF;) bytes += static_cast<char>(c);
  EXPECT_EQ(bytes, run + run + Line(std::string(room - 1, 'w')));
  if (f) fclose(f);
}

// Nothing while the switch is off, as shipped; with it on, one line per call, the
// error code also as a signed number.
TEST(Trace, LineFormatWithTheSwitchOn) {
  static std::vector<std::string> lines;
  FIXED_CLOCK();
  FAKE(GetCurrentProcessId, []() -> DWORD { return 1234; });
  FAKE(OutputDebugStringA, [](LPCSTR line) { lines.push_back(line); });
  FAKE(FormatMessageA, [](auto...) { return DWORD(0); });  // no system text
  DebugTrace("off %d", 1);
  bTraceOn = 1;
  TraceError(0xE000020B);
  bTraceOn = 0;
  const std::string head = "1234:[VADREL] 2017/03/01 09:05:07 ";
  EXPECT_EQ(lines, std::vector<std::string>{head + "errorcode=0xe000020b(-536870389), \n"});
}

}  // namespace
