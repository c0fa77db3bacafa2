#include "app/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/options.h"
#include "tests/support/fake.h"

namespace {

// A text longer than the first buffer is loaded again into larger ones, until it fits whole.
TEST(Catalogue, LongTextsComeWhole) {
  FAKE(LoadStringW, [](HINSTANCE, UINT, LPWSTR buffer, int capacity) {
    const int n = std::min(9000, capacity - 1);
    return std::fill_n(buffer, n, L'x'), buffer[n] = L'\0', n;
  });
  EXPECT_EQ(*LoadMessage(104), std::wstring(9000, L'x'));
}

// Real CommandLineToArgvW and CompareStringW; only the command line is given.
// The program path is compared too; a full-width "/s" is no option.
TEST(Options, CommandLines) {
  static const wchar_t* line;
  const struct {
    const wchar_t* line;
    bool silent, force;
  } rows[] = {{L"vadrel.exe", false, false},
              {L"vadrel.exe /s", true, false},
              {L"vadrel.exe -S", true, false},
              {L"vadrel.exe /f", false, false},
              {L"vadrel.exe /F\t-s", true, true},
              {L"x /s y -f z", true, true},
              {L"/s", true, false},
              {L"\"C:\\Program Files\\vadrel.exe\" /f -s", true, true},
              {L"x \"/s\" \"-F\"", true, true},
              {L"x \"/s /f\" /silent /force s f \\s", false, false},
              {L"vadrel.exe \xFF0F\xFF53", false, false}};
  FAKE(GetCommandLineW, []() { return const_cast<LPWSTR>(line); });
  for (const auto& row : rows) {
    line = row.line;
    RunOptions::silent = !row.silent, RunOptions::force = !row.force;  // an earlier parse must not survive
    ParseOptions();
    EXPECT_EQ(std::make_pair(RunOptions::silent, RunOptions::force), std::make_pair(row.silent, row.force))
        << testing::PrintToString(std::wstring(row.line));
  }
}

}  // namespace
