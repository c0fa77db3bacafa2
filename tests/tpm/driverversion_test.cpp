#include "tpm/driverversion.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/fake.h"
#include "tests/support/leaks.h"
#include "tests/tpm/tpm_testing.h"

namespace {

using tpm_testing::DriverFile;
using tpm_testing::ExpectTrace;
using tpm_testing::TraceCapture;

const char kModNotFound[] = "errorcode=0x7e(126), *";

std::vector<std::string> NumberedFailures(int from, int to) {
  std::vector<std::string> lines;
  for (int n = from; n <= to; ++n) {
    lines.push_back("LoadLibraryW failed " + std::to_string(n) + " time(s)");
    lines.push_back(kModNotFound);
  }
  return lines;
}

// The real images, read with the real loader and VerQueryValueW.
struct ImageCase {
  const char* name;
  const wchar_t* image;
  bool read;
  std::wstring version;
  std::vector<std::string> trace;
};

class DriverImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(DriverImage, ReadsTheProductVersionText) {
  const ImageCase& c = GetParam();
  DriverFile file(c.image);
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  WCHAR szVersion[kVersionLength] = {};
  EXPECT_EQ(GetDriverFileVersion(szVersion), c.read);

  EXPECT_EQ(std::wstring(szVersion), c.version);
  EXPECT_EQ(DriverFile::Paths(), std::vector<std::wstring>{tpm_testing::kDriverPath});
  EXPECT_TRUE(DriverFile::Pauses().empty());
  ExpectTrace(trace.lines(), c.trace);
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  EXPECT_EQ(leaks.Unmatched(), 0) << leaks.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    SimImages, DriverImage,
    ::testing::Values(ImageCase{"Old", tpm_testing::kOldImage, true, L"6.1.7600.16385", {}},
                      ImageCase{"Repaired", tpm_testing::kRepairedImage, true, L"6.1.7601.19146", {}},
                      ImageCase{"Other", tpm_testing::kOtherImage, true, L"6.1.7601.17514", {}},
                      // Only the ProductVersion text counts, not the fixed version numbers.
                      ImageCase{"FixedVersionDiffers", tpm_testing::kFixedDiffersImage, true, L"6.1.7601.17514", {}},
                      ImageCase{"StringsUnderAnotherTranslation",
                                tpm_testing::kOtherTranslationImage,
                                false,
                                L"",
                                {"VerQueryValueW() 2nd failed.", "errorcode=*"}}),
    [](const ::testing::TestParamInfo<ImageCase>& info) { return std::string(info.param.name); });

TEST(DriverLoad, ThirdAttemptLoads) {
  DriverFile file(tpm_testing::kRepairedImage, 2);
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  WCHAR szVersion[kVersionLength] = {};
  EXPECT_TRUE(GetDriverFileVersion(szVersion));
  EXPECT_STREQ(szVersion, L"6.1.7601.19146");
  EXPECT_EQ(DriverFile::Paths(), std::vector<std::wstring>(3, tpm_testing::kDriverPath));
  EXPECT_EQ(DriverFile::Pauses(), (std::vector<DWORD>{1000, 1000}));
  ExpectTrace(trace.lines(), NumberedFailures(1, 2));
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

TEST(DriverLoad, TenFailuresGiveUp) {
  DriverFile file(nullptr);
  static int finds;
  finds = 0;
  FAKE(FindResourceW, [](HMODULE, LPCWSTR, LPCWSTR) -> HRSRC {
    ++finds;
    return nullptr;
  });
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  WCHAR szVersion[kVersionLength] = {};
  EXPECT_FALSE(GetDriverFileVersion(szVersion));
  EXPECT_EQ(DriverFile::Paths().size(), 10u);
  EXPECT_EQ(DriverFile::Pauses(), std::vector<DWORD>(10, 1000)) << "the tenth failure pauses too";
  std::vector<std::string> expected = NumberedFailures(1, 10);
  expected.push_back("LoadLibraryW failed");
  expected.push_back(kModNotFound);
  ExpectTrace(trace.lines(), expected);
  EXPECT_EQ(finds, 0);
  EXPECT_EQ(szVersion[0], L'\0');
  EXPECT_EQ(leaks.Unmatched(), 0) << "nothing to free: " << leaks.Describe();
}

// A processor fault and a C++ exception raised inside the load each count as
// a failed attempt; the next attempt still runs.
TEST(DriverLoad, ExceptionsDuringTheLoadAreAttempts) {
  DriverFile file(tpm_testing::kOldImage);
  static decltype(os::api.LoadLibraryW) load;
  static int attempts;
  attempts = 0;
  load = os::api.LoadLibraryW;
  FAKE(LoadLibraryW, [](LPCWSTR path) -> HMODULE {
    ++attempts;
    if (attempts == 1) {
      static int* volatile nowhere = nullptr;
      *nowhere = 1;
    }
    if (attempts == 2) throw std::runtime_error("load");
    SetLastError(ERROR_MOD_NOT_FOUND);
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

// Each step after the load failing in turn, on the repaired image; the
// module is freed on every path.
enum class Break { Find, Size, Load, Lock, Translation, ShortTranslation, Value, LongValue, UnterminatedValue };

struct BreakCase {
  const char* name;
  Break step;
  bool read;
  std::wstring version;
  std::vector<std::string> trace;
};

Break g_break;
int g_queries;

class DriverResource : public ::testing::TestWithParam<BreakCase> {};

TEST_P(DriverResource, EachStepFails) {
  const BreakCase& c = GetParam();
  g_break = c.step;
  g_queries = 0;
  DriverFile file(tpm_testing::kRepairedImage);
  FAKE(FindResourceW, [](HMODULE m, LPCWSTR name, LPCWSTR type) -> HRSRC {
    if (g_break == Break::Find) return SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND), nullptr;
    return FindResourceW(m, name, type);
  });
  FAKE(SizeofResource, [](HMODULE m, HRSRC r) -> DWORD {
    if (g_break == Break::Size) return SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND), 0;
    return SizeofResource(m, r);
  });
  FAKE(LoadResource, [](HMODULE m, HRSRC r) -> HGLOBAL {
    if (g_break == Break::Load) return SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
    return LoadResource(m, r);
  });
  FAKE(LockResource, [](HGLOBAL g) -> LPVOID {
    if (g_break == Break::Lock) return SetLastError(ERROR_NOT_LOCKED), nullptr;
    return LockResource(g);
  });
  FAKE(VerQueryValueW, [](LPCVOID block, LPCWSTR sub, LPVOID* value, PUINT len) -> WINBOOL {
    ++g_queries;
    static const WORD shortTable[1] = {0x0409};
    static const std::wstring longText(300, L'7');
    static const wchar_t unterminated[] = L"6.1.7601.19146XYZ";
    if (g_queries == 1 && g_break == Break::Translation) return SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND), FALSE;
    if (g_queries == 1 && g_break == Break::ShortTranslation) {
      *value = const_cast<WORD*>(shortTable);
      *len = sizeof(shortTable);
      return TRUE;
    }
    if (g_queries == 2 && g_break == Break::Value) return SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND), FALSE;
    if (g_queries == 2 && g_break == Break::LongValue) {
      *value = const_cast<wchar_t*>(longText.c_str());
      *len = static_cast<UINT>(longText.size() + 1);
      return TRUE;
    }
    if (g_queries == 2 && g_break == Break::UnterminatedValue) {
      *value = const_cast<wchar_t*>(unterminated);
      *len = 14;
      return TRUE;
    }
    return VerQueryValueW(block, sub, value, len);
  });
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  WCHAR szVersion[kVersionLength] = {};
  EXPECT_EQ(GetDriverFileVersion(szVersion), c.read);
  if (c.step != Break::LongValue) {
    EXPECT_EQ(std::wstring(szVersion), c.version);
  }
  ExpectTrace(trace.lines(), c.trace);
  EXPECT_EQ(DriverFile::Paths().size(), 1u);
  EXPECT_EQ(leaks.Outstanding(), 0) << "module freed: " << leaks.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DriverResource,
    ::testing::Values(
        BreakCase{"FindResource", Break::Find, false, L"", {"FindResource failed", "errorcode=0x715(1813), *"}},
        BreakCase{"SizeofResource", Break::Size, false, L"", {"SizeofResource failed", "errorcode=0x714(1812), *"}},
        BreakCase{"LoadResource", Break::Load, false, L"", {"LoadResource failed", "errorcode=0x8(8), *"}},
        BreakCase{"LockResource", Break::Lock, false, L"", {"LockResource failed", "errorcode=0x9e(158), *"}},
        BreakCase{"Translation", Break::Translation, false, L"", {"VerQueryValueW() failed.", "errorcode=0x715(1813), *"}},
        BreakCase{"ShortTranslation", Break::ShortTranslation, false, L"", {"VerQueryValueW() failed.", "errorcode=*"}},
        BreakCase{"Value", Break::Value, false, L"", {"VerQueryValueW() 2nd failed.", "errorcode=0x716(1814), *"}},
        BreakCase{"TextOf260UnitsOrMore", Break::LongValue, false, L"", {"wcsncpy_s failed with error 80"}},
        BreakCase{"TextEndsAtTheGivenLength", Break::UnterminatedValue, true, L"6.1.7601.19146", {}}),
    [](const ::testing::TestParamInfo<BreakCase>& info) { return std::string(info.param.name); });

TEST(DriverResource, ValuePathFollowsTheFirstTranslation) {
  DriverFile file(tpm_testing::kRepairedImage);
  static std::vector<std::wstring> paths;
  paths.clear();
  FAKE(VerQueryValueW, [](LPCVOID block, LPCWSTR sub, LPVOID* value, PUINT len) -> WINBOOL {
    static const WORD table[4] = {0x0411, 0x03a4, 0x0409, 0x04b0};
    paths.push_back(sub);
    if (paths.size() == 1) {
      *value = const_cast<WORD*>(table);
      *len = sizeof(table);
      return TRUE;
    }
    return VerQueryValueW(block, sub, value, len);
  });
  WCHAR szVersion[kVersionLength] = {};
  EXPECT_FALSE(GetDriverFileVersion(szVersion)) << "the image has no 041103a4 strings";
  EXPECT_EQ(paths, (std::vector<std::wstring>{L"\\VarFileInfo\\Translation",
                                               L"\\StringFileInfo\\041103a4\\ProductVersion"}));
}

// Redirection is turned off only under WOW64, and restored with its cookie
// after the module is freed.
TEST(DriverRedirection, TurnedOffAndRestoredUnderWow64) {
  static std::vector<std::string> events;
  static PVOID reverted;
  events.clear();
  reverted = nullptr;
  DriverFile file(tpm_testing::kOtherImage);
  static decltype(os::api.FreeLibrary) freeLibrary;
  freeLibrary = os::api.FreeLibrary;
  FAKE(FreeLibrary, [](HMODULE m) -> WINBOOL {
    events.push_back("free");
    return freeLibrary(m);
  });
  static decltype(os::api.LoadLibraryW) load;
  load = os::api.LoadLibraryW;
  FAKE(LoadLibraryW, [](LPCWSTR p) -> HMODULE {
    events.push_back("load");
    return load(p);
  });
  FAKE(IsWow64Process, [](HANDLE process, PBOOL wow64) -> WINBOOL {
    events.push_back(process == GetCurrentProcess() ? "ask" : "ask other");
    *wow64 = TRUE;
    return TRUE;
  });
  FAKE(Wow64DisableWow64FsRedirection, [](PVOID* cookie) -> WINBOOL {
    events.push_back("disable");
    *cookie = reinterpret_cast<PVOID>(0xC00C1E);
    return TRUE;
  });
  FAKE(Wow64RevertWow64FsRedirection, [](PVOID cookie) -> WINBOOL {
    events.push_back("revert");
    reverted = cookie;
    return TRUE;
  });

  WCHAR szVersion[kVersionLength] = {};
  EXPECT_TRUE(GetDriverFileVersion(szVersion));
  EXPECT_STREQ(szVersion, L"6.1.7601.17514");
  EXPECT_EQ(events, (std::vector<std::string>{"ask", "disable", "load", "free", "revert"}));
  EXPECT_EQ(reverted, reinterpret_cast<PVOID>(0xC00C1E));
}

struct Wow64Case {
  const char* name;
  WINBOOL askResult;
  BOOL wow64;
  WINBOOL disableResult;
  bool read;
  int disables, reverts, loads;
  std::vector<std::string> trace;
};

class DriverWow64 : public ::testing::TestWithParam<Wow64Case> {};

TEST_P(DriverWow64, RedirectionOnlyWhenKnownUnderWow64) {
  static const Wow64Case* c;
  static int disables, reverts;
  c = &GetParam();
  disables = reverts = 0;
  DriverFile file(tpm_testing::kOldImage);
  FAKE(IsWow64Process, [](HANDLE, PBOOL wow64) -> WINBOOL {
    *wow64 = c->wow64;
    return c->askResult;
  });
  FAKE(Wow64DisableWow64FsRedirection, [](PVOID* cookie) -> WINBOOL {
    ++disables;
    if (!c->disableResult) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
    *cookie = reinterpret_cast<PVOID>(0x1234);
    return TRUE;
  });
  FAKE(Wow64RevertWow64FsRedirection, [](PVOID) -> WINBOOL { return ++reverts, TRUE; });
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  WCHAR szVersion[kVersionLength] = {};
  EXPECT_EQ(GetDriverFileVersion(szVersion), c->read);
  EXPECT_EQ(disables, c->disables);
  EXPECT_EQ(reverts, c->reverts);
  EXPECT_EQ(static_cast<int>(DriverFile::Paths().size()), c->loads);
  ExpectTrace(trace.lines(), c->trace);
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DriverWow64,
    ::testing::Values(
        Wow64Case{"NativeProcess", TRUE, FALSE, TRUE, true, 0, 0, 1, {}},
        Wow64Case{"QuestionFailed", FALSE, TRUE, TRUE, true, 0, 0, 1, {}},
        Wow64Case{"DisableFails", TRUE, TRUE, FALSE, false, 1, 0, 0,
                  {"Wow64DisableWow64FsRedirection failed", "errorcode=0x5(5), *"}}),
    [](const ::testing::TestParamInfo<Wow64Case>& info) { return std::string(info.param.name); });

TEST(DriverRedirection, RealProcessIsNotUnderWow64) {
  static int changes;
  changes = 0;
  DriverFile file(tpm_testing::kOldImage);
  FAKE(Wow64DisableWow64FsRedirection, [](PVOID*) -> WINBOOL { return ++changes, TRUE; });
  FAKE(Wow64RevertWow64FsRedirection, [](PVOID) -> WINBOOL { return ++changes, TRUE; });
  WCHAR szVersion[kVersionLength] = {};
  EXPECT_TRUE(GetDriverFileVersion(szVersion));
  EXPECT_EQ(changes, 0);
}

struct CompareCase {
  const char* name;
  const wchar_t* image;
  const wchar_t* expected;
  bool equal;
  std::vector<std::string> trace;
};

class DriverVersionIs : public ::testing::TestWithParam<CompareCase> {};

TEST_P(DriverVersionIs, ComparesWholeTextExactly) {
  const CompareCase& c = GetParam();
  DriverFile file(c.image);
  static std::vector<std::wstring> compared;
  static LCID locale;
  static DWORD flags;
  static int lengths[2];
  compared.clear();
  FAKE(CompareStringW, [](LCID l, DWORD f, LPCWCH a, int na, LPCWCH b, int nb) -> int {
    locale = l;
    flags = f;
    lengths[0] = na;
    lengths[1] = nb;
    compared = {a, b};
    return CompareStringW(l, f, a, na, b, nb);
  });
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  EXPECT_EQ(IsDriverVersion(c.expected), c.equal);
  ExpectTrace(trace.lines(), c.trace);
  if (c.image) {
    ASSERT_EQ(compared.size(), 2u);
    EXPECT_EQ(compared[0], c.expected);
    EXPECT_EQ(locale, static_cast<LCID>(LOCALE_INVARIANT));
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(lengths[0], -1);
    EXPECT_EQ(lengths[1], -1);
  } else {
    EXPECT_TRUE(compared.empty());
  }
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Versions, DriverVersionIs,
    ::testing::Values(
        CompareCase{"Same", tpm_testing::kRepairedImage, L"6.1.7601.19146", true, {}},
        CompareCase{"Different", tpm_testing::kRepairedImage, L"6.1.7600.16385", false,
                    {"Version not match exp:6.1.7600.16385 res:6.1.7601.19146"}},
        CompareCase{"PrefixOnly", tpm_testing::kOldImage, L"6.1.7600", false,
                    {"Version not match exp:6.1.7600 res:6.1.7600.16385"}},
        CompareCase{"Unreadable", nullptr, L"6.1.7600.16385", false, [] {
                      std::vector<std::string> t = NumberedFailures(1, 10);
                      t.push_back("LoadLibraryW failed");
                      t.push_back(kModNotFound);
                      return t;
                    }()}),
    [](const ::testing::TestParamInfo<CompareCase>& info) { return std::string(info.param.name); });

}  // namespace
