#include "diag/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/api.h"
#include "tests/diag/runlog_files.h"
#include "tests/support/fake.h"

namespace {

std::vector<std::string> g_lines;  // what reached the debugger output

// Turns the trace on for one test with a fixed clock and process id.
class TraceOn : public ::testing::Test {
 protected:
  TraceOn() { g_lines.clear(), bTraceOn = 1, dwTraceProcessId = 0; }
  ~TraceOn() override { bTraceOn = 0, dwTraceProcessId = 0; }
  template <class F>
  using Replace = testing_os::Replace<F>;
  Replace<decltype(os::api.GetCurrentProcessId)> pid_{os::api.GetCurrentProcessId, []() -> DWORD { return 1234; }};
  Replace<decltype(os::api.OutputDebugStringA)> out_{os::api.OutputDebugStringA,
                                                      [](LPCSTR s) { g_lines.push_back(s); }};
  runlog_test::FixedClock clock_;
};
const std::string kPrefix = "1234:[VADREL] 2017/03/01 09:05:00 ";

// The process id is taken once, at the first line.
TEST_F(TraceOn, LineFormatAndCachedProcessId) {
  DebugTrace("%s %d %S", "abc", 7, L"wide");
  FAKE(GetCurrentProcessId, []() -> DWORD { return 99; });
  DebugTrace("%s", std::string(300, 'm').c_str());  // the message stops at 260 characters
  EXPECT_EQ(g_lines, (std::vector<std::string>{kPrefix + "abc 7 wide\n", kPrefix + std::string(260, 'm') + "\n"}));
}

// The system's text after hexadecimal and signed decimal; without a text the
// line ends after the comma, and the last error stays either way.
TEST_F(TraceOn, TraceError) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  TraceError(0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  TraceError(0xE000020B);
  FAKE(FormatMessageA, [](DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*) -> DWORD {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  });
  SetLastError(0x2A5B);
  TraceError(0);
  EXPECT_EQ(GetLastError(), 0x2A5Bu);
  ASSERT_EQ(g_lines.size(), 3u);
  const std::string head = kPrefix + "errorcode=0x2(2), ";
  EXPECT_EQ(g_lines[0].rfind(head, 0), 0u) << g_lines[0];
  EXPECT_GT(g_lines[0].size(), head.size() + 1) << "the system's text for error 2 is missing";
  EXPECT_EQ(g_lines[1].rfind(kPrefix + "errorcode=0xe000020b(-536870389), ", 0), 0u) << g_lines[1];
  EXPECT_EQ(g_lines[2], kPrefix + "errorcode=0x2a5b(10843), \n");
}

TEST(TraceOff, NoOutputAndLastErrorKept) {
  g_lines.clear();
  FAKE(OutputDebugStringA, [](LPCSTR s) { g_lines.push_back(s); });
  SetLastError(5);
  DebugTrace("x %d", 1);
  TraceError(0);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_TRUE(g_lines.empty());
  EXPECT_EQ(dwTraceProcessId, 0u);
}

}  // namespace
