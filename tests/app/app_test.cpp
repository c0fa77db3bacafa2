#include "app/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
  const std::vector<const wchar_t*> lines[] = {
      // neither option; silent; silent and forced
      {L"vadrel.exe", L"vadrel.exe /f", L"x \"/s /f\" /silent /force s f \\s", L"vadrel.exe \xFF0F\xFF53"},
      {L"vadrel.exe /s", L"vadrel.exe -S", L"/s"},
      {L"vadrel.exe /F\t-s", L"x /s y -f z", L"\"C:\\Program Files\\vadrel.exe\" /f -s", L"x \"/s\" \"-F\""}};
  FAKE(GetCommandLineW, []() { return const_cast<LPWSTR>(line); });
  for (int options : {0, 1, 2})
    for (const wchar_t* row : lines[options]) {
      line = row;
      RunOptions::silent = options == 0, RunOptions::force = options < 2;  // an earlier parse must not survive
      ParseOptions();
      EXPECT_EQ(std::make_pair(RunOptions::silent, RunOptions::force), std::make_pair(options > 0, options == 2))
          << testing::PrintToString(std::wstring(row));
    }
}

}  // namespace
