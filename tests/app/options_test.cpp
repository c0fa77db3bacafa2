#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/trace.h"
#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

const wchar_t* g_commandLine = L"";

struct Case {
  const wchar_t* commandLine;
  bool silent;
  bool force;
};

// Real CommandLineToArgvW and CompareStringW; only the command line is given.
TEST(Options, CommandLines) {
  static const Case cases[] = {
      {L"vadrel.exe", false, false},
      {L"vadrel.exe /s", true, false},
      {L"vadrel.exe -s", true, false},
      {L"vadrel.exe /S", true, false},
      {L"vadrel.exe -S", true, false},
      {L"vadrel.exe /f", false, false},  // force alone is dropped
      {L"vadrel.exe -F", false, false},
      {L"vadrel.exe /f /s", true, true},
      {L"vadrel.exe -S -f", true, true},
      {L"vadrel.exe /F\t-s", true, true},
      {L"vadrel.exe x /s y /f z", true, true},
      {L"vadrel.exe  /s   /s  ", true, false},
      {L"\"C:\\Program Files\\Kestrova\\vadrel.exe\" /f -s", true, true},
      {L"/s", true, false},  // the program path is compared too
      {L"vadrel.exe \"/s\" \"-F\"", true, true},
      {L"vadrel.exe \"/s /f\"", false, false},
      {L"vadrel.exe /silent /force", false, false},
      {L"vadrel.exe --s --f", false, false},
      {L"vadrel.exe s f", false, false},
      {L"vadrel.exe /s: /f=1", false, false},
      {L"vadrel.exe \\s \\f", false, false},
      {L"vadrel.exe / s", false, false},
      {L"vadrel.exe /x /y -", false, false},
      {L"vadrel.exe \xFF0F\xFF53", false, false},  // full-width "/s"
  };
  FAKE(GetCommandLineW, []() -> LPWSTR { return const_cast<LPWSTR>(g_commandLine); });
  for (const Case& c : cases) {
    g_commandLine = c.commandLine;
    RunOptions::silent = !c.silent;  // stale values must not survive
    RunOptions::force = !c.force;
    testing_os::LeakCheck leaks;
    ParseOptions();
    const std::string line(c.commandLine, c.commandLine + wcslen(c.commandLine));
    EXPECT_EQ(RunOptions::silent, c.silent) << line;
    EXPECT_EQ(RunOptions::force, c.force) << line;
    EXPECT_EQ(leaks.Outstanding() + leaks.Unmatched(), 0) << line << '\n' << leaks.Describe();
  }
  RunOptions::silent = RunOptions::force = false;
}

TEST(Options, UnsplittableCommandLineMeansInteractive) {
  static std::vector<std::string> traced;
  traced.clear();
  FAKE(GetCommandLineW, []() -> LPWSTR { return const_cast<LPWSTR>(L"vadrel.exe /s /f"); });
  FAKE(CommandLineToArgvW, [](LPCWSTR, int*) -> LPWSTR* {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  });
  FAKE(OutputDebugStringA, [](LPCSTR s) { traced.push_back(s); });
  bTraceOn = 1;
  RunOptions::silent = RunOptions::force = true;
  ParseOptions();
  bTraceOn = 0;
  EXPECT_FALSE(RunOptions::silent);
  EXPECT_FALSE(RunOptions::force);
  ASSERT_EQ(traced.size(), 1u);
  const std::string tail = " CommandLineToArgv failed\n";
  ASSERT_GT(traced[0].size(), tail.size());
  EXPECT_EQ(traced[0].substr(traced[0].size() - tail.size()), tail);
}

}  // namespace
