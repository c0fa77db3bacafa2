#include "diag/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/api.h"
#include "tests/support/fake.h"

namespace {

// Turns the trace on for one test with a fixed clock and process id, and
// collects what reaches the debugger output.
class TraceOn : public ::testing::Test {
 protected:
  void SetUp() override {
    bTraceOn = 1;
    dwTraceProcessId = 0;
  }
  void TearDown() override {
    bTraceOn = 0;
    dwTraceProcessId = 0;
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  testing_os::Replace<decltype(os::api.GetLocalTime)> time_{os::api.GetLocalTime, [](LPSYSTEMTIME st) {
    *st = SYSTEMTIME{2017, 3, 3, 1, 9, 5, 0, 0};
  }};
  testing_os::Replace<decltype(os::api.GetCurrentProcessId)> pid_{os::api.GetCurrentProcessId,
                                                                  []() -> DWORD { return 1234; }};
  testing_os::Replace<decltype(os::api.OutputDebugStringA)> out_{
      os::api.OutputDebugStringA, [](LPCSTR s) { Lines().push_back(s); }};
  bool cleared_ = (Lines().clear(), true);
};

TEST_F(TraceOn, LineFormat) {
  DebugTrace("%s %d %S", "abc", 7, L"wide");
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0], "1234:[VADREL] 2017/03/01 09:05:00 abc 7 wide\n");
}

TEST_F(TraceOn, MessageAndLineLimits) {
  DebugTrace("%s", std::string(300, 'm').c_str());
  ASSERT_EQ(Lines().size(), 1u);
  const std::string prefix = "1234:[VADREL] 2017/03/01 09:05:00 ";
  EXPECT_EQ(Lines()[0], prefix + std::string(260, 'm') + "\n");

}

TEST_F(TraceOn, ProcessIdIsCached) {
  DebugTrace("one");
  FAKE(GetCurrentProcessId, []() -> DWORD { return 99; });
  DebugTrace("two");
  ASSERT_EQ(Lines().size(), 2u);
  EXPECT_EQ(Lines()[1].rfind("1234:", 0), 0u);
}

TEST_F(TraceOn, TraceErrorHexAndSignedDecimal) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  TraceError(0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  TraceError(0xE000020B);
  ASSERT_EQ(Lines().size(), 2u);
  EXPECT_EQ(Lines()[0].rfind("1234:[VADREL] 2017/03/01 09:05:00 errorcode=0x2(2), ", 0), 0u);
  EXPECT_GT(Lines()[0].size(), std::string("1234:[VADREL] 2017/03/01 09:05:00 errorcode=0x2(2), \n").size())
      << "the system's text for error 2 is missing";
  EXPECT_NE(Lines()[1].find("errorcode=0xe000020b(-536870389), "), std::string::npos) << Lines()[1];
}

TEST_F(TraceOn, LastErrorKeptWhenSystemHasNoText) {
  FAKE(FormatMessageA, [](DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*) -> DWORD {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  });
  SetLastError(0x2A5B);
  TraceError(0);
  EXPECT_EQ(GetLastError(), 0x2A5Bu);
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0], "1234:[VADREL] 2017/03/01 09:05:00 errorcode=0x2a5b(10843), \n");
}

TEST(TraceOff, NoOutputAndLastErrorKept) {
  int calls = 0;
  static int* counter;
  counter = &calls;
  FAKE(OutputDebugStringA, [](LPCSTR) { ++*counter; });
  FAKE(GetCurrentProcessId, []() -> DWORD { ++*counter; return 1; });
  SetLastError(5);
  DebugTrace("x %d", 1);
  TraceError(0);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(dwTraceProcessId, 0u);
}

}  // namespace
