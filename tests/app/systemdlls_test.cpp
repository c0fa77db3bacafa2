// Where the tool's DLLs come from: searches by name restricted to System32
// first, then newdev and version bound from System32 by full path.
#include <gtest/gtest.h>

#include "tests/support/fake.h"

static std::vector<std::wstring> g_calls;
static bool g_hasSetDefault;
static UINT g_cchSystemDir;

static BOOL WINAPI RecordSearch(DWORD flags) { return g_calls.push_back(L"search " + std::to_wstring(flags)), TRUE; }

// A kernel32 with or without SetDefaultDllDirectories, a system folder that
// can or cannot be read, loads that fail: the entries then fail as a missing
// export does.
TEST(SystemDlls, SearchRestrictedThenBoundFromSystem32) {
  // BindSystemDlls sets two entries of the boundary itself: all are put back afterwards.
  struct Keep {
    os::Api saved = os::api;
    ~Keep() { os::api = saved; }
  } keep;
  FAKE(GetProcAddress, [](HMODULE m, LPCSTR name) -> FARPROC {
    if (strcmp(name, "SetDefaultDllDirectories") != 0) return GetProcAddress(m, name);
    return g_hasSetDefault ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&RecordSearch)) : nullptr;
  });
  FAKE(GetSystemDirectoryW, [](LPWSTR dir, UINT cch) { return wcscpy_s(dir, cch, L"X:\\Sys32"), g_cchSystemDir; });
  FAKE(LoadLibraryExW, [](LPCWSTR path, HANDLE, DWORD flags) -> HMODULE {
    return g_calls.push_back(path + (L" " + std::to_wstring(flags))), SetLastError(ERROR_MOD_NOT_FOUND), nullptr;
  });
  const std::wstring kSearch = L"search 2048", kNewdev = L"X:\\Sys32\\newdev.dll 8", kVersion = L"X:\\Sys32\\version.dll 8";
  struct Case {
    bool hasSetDefault;
    UINT cchSystemDir;
    std::vector<std::wstring> calls;
  };
  for (const Case& c : std::vector<Case>{{true, 8, {kSearch, kNewdev, kVersion}},
                                         {false, 8, {kNewdev, kVersion}},
                                         {false, 0, {}},
                                         {false, MAX_PATH, {}}}) {
    g_calls.clear(), g_hasSetDefault = c.hasSetDefault, g_cchSystemDir = c.cchSystemDir;
    os::RestrictDllSearch();
    os::BindSystemDlls();
    EXPECT_EQ(g_calls, c.calls);
    SetLastError(0);
    EXPECT_FALSE(os::api.UpdateDriverForPlugAndPlayDevicesW(nullptr, L"ACPI\\IFX0102", L"C:\\a.inf", 4, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    SetLastError(0);
    EXPECT_FALSE(os::api.VerQueryValueW(L"", L"\\", nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  }
}
