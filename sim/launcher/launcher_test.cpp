// The launcher run as a program is run: its child sees a standard user's token,
// gets its arguments unchanged, and the child's exit code comes back.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

namespace {

std::wstring Beside(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

// Runs a command line to its end; returns its exit code, or -1 if it did not start.
long RunToEnd(std::wstring line) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<long>(code);
}

std::string Report(const std::wstring& path) {
  FILE* in = _wfopen(path.c_str(), L"rb");
  if (!in) return "<no report>";
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), in)) > 0;) text.append(buffer, n);
  fclose(in);
  return text;
}

struct LaunchCase {
  const char* what;
  bool launched;           // through the launcher, or the probe alone
  const wchar_t* extra;    // probe arguments after the report path
  long exitCode;
  const char* report;      // with @ for the report path
  const char* childReport; // nullptr: no child
};

TEST(Zr45Launcher, GivesTheProgramAStandardUsersToken) {
  const std::wstring launcher = Beside(L"launcher.exe");
  const std::wstring probe = Beside(L"tokenprobe.exe");
  const std::wstring report = Beside(L"launcher-test.report");
  const LaunchCase cases[] = {
      {"the probe alone sees an administrator", false, L"", 0, "member=1\ndenyonly=0\nargs=1|@\n", nullptr},
      {"through the launcher it does not", true, L"", 0, "member=0\ndenyonly=1\nargs=1|@\n", nullptr},
      {"the exit code comes back", true, L" exit 37", 37, "member=0\ndenyonly=1\nargs=3|@|exit|37\n", nullptr},
      {"arguments arrive unchanged", true, L" \"a b\"  c \"\" \"x\\\"y\"", 0,
       "member=0\ndenyonly=1\nargs=5|@|a b|c||x\"y\n", nullptr},
      {"the program's own children inherit the token", true, L" spawn", 0,
       "member=0\ndenyonly=1\nargs=2|@|spawn\n", "member=0\ndenyonly=1\nargs=1|@.child\n"},
  };
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteFileW(report.c_str());
    DeleteFileW((report + L".child").c_str());
    std::wstring line = Quoted(probe) + L" " + Quoted(report) + c.extra;
    if (c.launched) line = Quoted(launcher) + L" " + line;
    EXPECT_EQ(RunToEnd(line), c.exitCode);
    std::string narrow(report.begin(), report.end());  // the build path is ASCII
    auto expand = [&](std::string text) {
      for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, narrow);
      return text;
    };
    EXPECT_EQ(Report(report), expand(c.report));
    if (c.childReport) {
      EXPECT_EQ(Report(report + L".child"), expand(c.childReport));
    }
  }
}

TEST(Zr45Launcher, ReportsItsOwnFailures) {
  const std::wstring launcher = Quoted(Beside(L"launcher.exe"));
  struct { const char* what; std::wstring line; long code; } cases[] = {
      {"no program", launcher, 250},
      {"only blanks", launcher + L"   ", 250},
      {"a program that does not exist", launcher + L" " + Quoted(Beside(L"no-such-program.exe")), 252},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RunToEnd(c.line), c.code);
  }
}

}  // namespace
