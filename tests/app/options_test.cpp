#include "app/options.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

const wchar_t* g_commandLine = L"";

// Real CommandLineToArgvW and CompareStringW; only the command line is given.
TEST(Options, CommandLines) {
  static const struct {
    const wchar_t* commandLine;
    bool silent, force;
  } cases[] = {
      {L"vadrel.exe", false, false},
      {L"vadrel.exe /s", true, false},
      {L"vadrel.exe -S", true, false},
      {L"vadrel.exe /f", false, false},  // force alone is dropped
      {L"vadrel.exe /F\t-s", true, true},
      {L"vadrel.exe x /s y -f z", true, true},
      {L"\"C:\\Program Files\\Kestrova\\vadrel.exe\" /f -s", true, true},
      {L"/s", true, false},  // the program path is compared too
      {L"vadrel.exe \"/s\" \"-F\"", true, true},
      {L"vadrel.exe \"/s /f\"", false, false},
      {L"vadrel.exe /silent /force", false, false},
      {L"vadrel.exe s f", false, false},
      {L"vadrel.exe \\s \\f", false, false},
      {L"vadrel.exe \xFF0F\xFF53", false, false},  // full-width "/s"
  };
  FAKE(GetCommandLineW, []() -> LPWSTR { return const_cast<LPWSTR>(g_commandLine); });
  for (const auto& c : cases) {
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

}  // namespace
