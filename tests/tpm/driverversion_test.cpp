#include "tpm/driverversion.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/fake.h"
#include "tests/support/leaks.h"
#include "tests/tpm/tpm_testing.h"

namespace {

using namespace tpm_testing;
using tpm_testing::kDriverPath;  // the path as the tests know it

// The trace of a number of failed loads; the tenth ends the attempts.
std::vector<std::string> LoadFailures(int attempts) {
  const char* const kModNotFound = "errorcode=0x7e(126), *";
  std::vector<std::string> lines;
  for (int n = 1; n <= attempts; ++n)
    lines.insert(lines.end(), {"LoadLibraryW failed " + std::to_string(n) + " time(s)", kModNotFound});
  if (attempts == 10) lines.insert(lines.end(), {"LoadLibraryW failed", kModNotFound});
  return lines;
}

// Up to ten attempts, each failure traced and followed by a pause; after the
// tenth nothing is read and nothing compared.
TEST(DriverLoad, TenAttemptsWithPauses) {
  static int finds;
  FAKE(FindResourceW, [](HMODULE m, LPCWSTR name, LPCWSTR type) { return ++finds, FindResourceW(m, name, type); });
  for (int failures : {2, 10}) {
    finds = 0;
    DriverFile file(kRepairedImage, failures);
    TraceCapture trace;
    testing_os::LeakCheck leaks;
    EXPECT_EQ(IsDriverVersion(L"6.1.7601.19146"), failures < 10);
    EXPECT_EQ(DriverFile::Paths(), std::vector<std::wstring>(failures < 10 ? failures + 1 : 10, kDriverPath));
    EXPECT_EQ(DriverFile::Pauses(), std::vector<DWORD>(failures, 1000)) << "the tenth failure pauses too";
    ExpectTrace(trace.lines(), LoadFailures(failures));
    EXPECT_EQ(finds, failures < 10 ? 1 : 0);
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
    EXPECT_EQ(leaks.Unmatched(), 0) << leaks.Describe();
  }
}

// A processor fault and a C++ exception raised inside the load each count as
// a failed attempt; the next attempt still runs.
TEST(DriverLoad, ExceptionsDuringTheLoadAreAttempts) {
  DriverFile file(kOldImage);
  static decltype(os::api.LoadLibraryW) load;
  static int attempts;
  attempts = 0;
  load = os::api.LoadLibraryW;
  FAKE(LoadLibraryW, [](LPCWSTR path) -> HMODULE {
    static int* volatile nowhere = nullptr;
    if (++attempts == 1) *nowhere = 1;
    if (attempts == 2) throw std::runtime_error("load");
    return load(path);
  });
  TraceCapture trace;

  WCHAR szVersion[kVersionLength] = {};
  SetLastError(ERROR_MOD_NOT_FOUND);
  EXPECT_TRUE(GetDriverFileVersion(szVersion));
  EXPECT_STREQ(szVersion, L"6.1.7600.16385");
  EXPECT_EQ(attempts, 3);
  EXPECT_EQ(DriverFile::Pauses(), (std::vector<DWORD>{1000, 1000}));
  ExpectTrace(trace.lines(), {"Exception Occured in LoadLibraryW", "LoadLibraryW failed 1 time(s)", "errorcode=*",
                              "Exception Occured in LoadLibraryW", "LoadLibraryW failed 2 time(s)", "errorcode=*"});
}

// The real images, read with the real loader and VerQueryValueW; then each
// step after the load failing or answering oddly in turn, on the repaired
// image. The module is freed on every path.
enum class Break { None, Find, Size, Load, Lock, Translation, ShortTranslation, ForeignTranslation, Value, LongValue,
  Unterminated };

struct BreakCase {
  const char* name;
  Break step;
  std::wstring version;  // empty: unreadable
  std::vector<std::string> trace;
  std::wstring secondQuery = L"";  // checked when given
  const wchar_t* image = kRepairedImage;
};

Break g_break;
std::vector<std::wstring> g_queries;

template <class T>
T Fail(DWORD error) {
  SetLastError(error);
  return T();
}

class DriverImage : public ::testing::TestWithParam<BreakCase> {};

TEST_P(DriverImage, ReadsTheProductVersionText) {
  const BreakCase& c = GetParam();
  g_break = c.step;
  g_queries.clear();
  DriverFile file(c.image);
  FAKE(FindResourceW, [](HMODULE m, LPCWSTR name, LPCWSTR type) {
    return g_break == Break::Find ? Fail<HRSRC>(ERROR_RESOURCE_TYPE_NOT_FOUND) : FindResourceW(m, name, type);
  });
  FAKE(SizeofResource, [](HMODULE m, HRSRC r) {
    return g_break == Break::Size ? Fail<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND) : SizeofResource(m, r);
  });
  FAKE(LoadResource, [](HMODULE m, HRSRC r) {
    return g_break == Break::Load ? Fail<HGLOBAL>(ERROR_NOT_ENOUGH_MEMORY) : LoadResource(m, r);
  });
  FAKE(LockResource,
       [](HGLOBAL g) { return g_break == Break::Lock ? Fail<LPVOID>(ERROR_NOT_LOCKED) : LockResource(g); });
  FAKE(VerQueryValueW, [](LPCVOID block, LPCWSTR sub, LPVOID* value, PUINT len) -> WINBOOL {
    static const WORD shortTable[1] = {0x0409}, foreignTable[4] = {0x0411, 0x03a4, 0x0409, 0x04b0};
    static const std::wstring longText(300, L'7');
    static const wchar_t unterminated[] = L"6.1.7601.19146XYZ";
    auto answer = [&](const void* data, UINT length) { return *value = const_cast<void*>(data), *len = length, TRUE; };
    g_queries.push_back(sub);
    if (g_queries.size() == 1) {
      if (g_break == Break::Translation) return Fail<WINBOOL>(ERROR_RESOURCE_TYPE_NOT_FOUND);
      if (g_break == Break::ShortTranslation) return answer(shortTable, sizeof(shortTable));
      if (g_break == Break::ForeignTranslation) return answer(foreignTable, sizeof(foreignTable));
    } else {
      if (g_break == Break::Value) return Fail<WINBOOL>(ERROR_RESOURCE_NAME_NOT_FOUND);
      if (g_break == Break::LongValue) return answer(longText.c_str(), static_cast<UINT>(longText.size() + 1));
      if (g_break == Break::Unterminated) return answer(unterminated, 14);
    }
    return VerQueryValueW(block, sub, value, len);
  });
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  WCHAR szVersion[kVersionLength] = {};
  EXPECT_EQ(GetDriverFileVersion(szVersion), !c.version.empty());
  if (c.step != Break::LongValue) {
    EXPECT_EQ(std::wstring(szVersion), c.version);
  }
  ExpectTrace(trace.lines(), c.trace);
  if (!c.secondQuery.empty()) {
    EXPECT_EQ(g_queries, (std::vector<std::wstring>{L"\\VarFileInfo\\Translation", c.secondQuery}));
  }
  EXPECT_EQ(DriverFile::Paths(), std::vector<std::wstring>{kDriverPath});
  EXPECT_TRUE(DriverFile::Pauses().empty());
  EXPECT_EQ(leaks.Outstanding(), 0) << "module freed: " << leaks.Describe();
  EXPECT_EQ(leaks.Unmatched(), 0) << leaks.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    ImagesAndSteps, DriverImage,
    ::testing::Values(
        BreakCase{"Old", Break::None, L"6.1.7600.16385", {}, L"", kOldImage},
        BreakCase{"Repaired", Break::None, L"6.1.7601.19146", {}},
        BreakCase{"Other", Break::None, L"6.1.7601.17514", {}, L"", kOtherImage},
        // Only the ProductVersion text counts, not the fixed version numbers.
        BreakCase{"FixedVersionDiffers", Break::None, L"6.1.7601.17514", {}, L"", kFixedDiffersImage},
        BreakCase{"StringsUnderAnotherTranslation", Break::None, L"", {"VerQueryValueW() 2nd failed.", "errorcode=*"},
                  L"", kOtherTranslationImage},
        BreakCase{"FindResource", Break::Find, L"", {"FindResource failed", "errorcode=0x715(1813), *"}},
        BreakCase{"SizeofResource", Break::Size, L"", {"SizeofResource failed", "errorcode=0x714(1812), *"}},
        BreakCase{"LoadResource", Break::Load, L"", {"LoadResource failed", "errorcode=0x8(8), *"}},
        BreakCase{"LockResource", Break::Lock, L"", {"LockResource failed", "errorcode=0x9e(158), *"}},
        BreakCase{"Translation", Break::Translation, L"", {"VerQueryValueW() failed.", "errorcode=0x715(1813), *"}},
        BreakCase{"ShortTranslation", Break::ShortTranslation, L"", {"VerQueryValueW() failed.", "errorcode=*"}},
        // The image has no 041103a4 strings.
        BreakCase{"ValuePathFollowsTheFirstTranslation", Break::ForeignTranslation, L"",
                  {"VerQueryValueW() 2nd failed.", "errorcode=*"}, L"\\StringFileInfo\\041103a4\\ProductVersion"},
        BreakCase{"Value", Break::Value, L"", {"VerQueryValueW() 2nd failed.", "errorcode=0x716(1814), *"},
                  L"\\StringFileInfo\\040904b0\\ProductVersion"},
        BreakCase{"TextOf260UnitsOrMore", Break::LongValue, L"", {"wcsncpy_s failed with error 80"}},
        BreakCase{"TextEndsAtTheGivenLength", Break::Unterminated, L"6.1.7601.19146", {}}),
    [](const ::testing::TestParamInfo<BreakCase>& info) { return std::string(info.param.name); });

// Redirection is turned off only when known to run under WOW64, and restored
// with its cookie after the module is freed.
struct Wow64Case {
  const char* name;
  WINBOOL askResult;
  BOOL wow64;
  WINBOOL disableResult;
  std::vector<std::string> events;
  std::vector<std::string> trace;
};

const Wow64Case* g_wow64;
std::vector<std::string> g_events;
decltype(os::api.LoadLibraryW) g_load;
decltype(os::api.FreeLibrary) g_free;

class DriverWow64 : public ::testing::TestWithParam<Wow64Case> {};

TEST_P(DriverWow64, RedirectionOnlyUnderWow64) {
  g_wow64 = &GetParam();
  g_events.clear();
  DriverFile file(kOtherImage);
  g_load = os::api.LoadLibraryW;
  g_free = os::api.FreeLibrary;
  FAKE(LoadLibraryW, [](LPCWSTR p) { return g_events.push_back("load"), g_load(p); });
  FAKE(FreeLibrary, [](HMODULE m) { return g_events.push_back("free"), g_free(m); });
  FAKE(IsWow64Process, [](HANDLE process, PBOOL wow64) -> WINBOOL {
    g_events.push_back(process == GetCurrentProcess() ? "ask" : "ask other");
    return *wow64 = g_wow64->wow64, g_wow64->askResult;
  });
  FAKE(Wow64DisableWow64FsRedirection, [](PVOID* cookie) -> WINBOOL {
    g_events.push_back("disable");
    if (!g_wow64->disableResult) return Fail<WINBOOL>(ERROR_ACCESS_DENIED);
    return *cookie = reinterpret_cast<PVOID>(0xC00C1E), TRUE;
  });
  FAKE(Wow64RevertWow64FsRedirection, [](PVOID cookie) -> WINBOOL {
    g_events.push_back(cookie == reinterpret_cast<PVOID>(0xC00C1E) ? "revert" : "revert other");
    return TRUE;
  });
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  WCHAR szVersion[kVersionLength] = {};
  EXPECT_EQ(GetDriverFileVersion(szVersion), g_wow64->trace.empty());
  EXPECT_EQ(g_events, g_wow64->events);
  ExpectTrace(trace.lines(), g_wow64->trace);
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DriverWow64,
    ::testing::Values(
        Wow64Case{"UnderWow64", TRUE, TRUE, TRUE, {"ask", "disable", "load", "free", "revert"}, {}},
        Wow64Case{"NativeProcess", TRUE, FALSE, TRUE, {"ask", "load", "free"}, {}},
        Wow64Case{"QuestionFailed", FALSE, TRUE, TRUE, {"ask", "load", "free"}, {}},
        Wow64Case{"DisableFails", TRUE, TRUE, FALSE, {"ask", "disable"},
                  {"Wow64DisableWow64FsRedirection failed", "errorcode=0x5(5), *"}}),
    [](const ::testing::TestParamInfo<Wow64Case>& info) { return std::string(info.param.name); });

// The whole text compared exactly: the fake compares only as LOCALE_INVARIANT,
// with no flags, both texts zero-terminated.
TEST(DriverVersionIs, ComparesWholeTextExactly) {
  FAKE(CompareStringW, [](LCID l, DWORD f, LPCWCH a, int na, LPCWCH b, int nb) -> int {
    return l == LOCALE_INVARIANT && f == 0 && na == -1 && nb == -1 ? CompareStringW(l, f, a, na, b, nb) : 0;
  });
  const struct {
    const wchar_t *image, *expected;
    std::vector<std::string> trace;  // empty: equal
  } cases[] = {{kRepairedImage, L"6.1.7601.19146", {}},
               {kRepairedImage, L"6.1.7600.16385", {"Version not match exp:6.1.7600.16385 res:6.1.7601.19146"}},
               {kOldImage, L"6.1.7600", {"Version not match exp:6.1.7600 res:6.1.7600.16385"}}};
  for (const auto& c : cases) {
    DriverFile file(c.image);
    TraceCapture trace;
    testing_os::LeakCheck leaks;
    EXPECT_EQ(IsDriverVersion(c.expected), c.trace.empty());
    ExpectTrace(trace.lines(), c.trace);
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  }
}

}  // namespace
