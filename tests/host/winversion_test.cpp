#include "host/winversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake.h"

namespace {

// What the faked system answers; each test starts from a Windows 7 SP1.2 workstation on x64.
struct System {
  bool bKernel32 = true, bNativeSystemInfo = true, bProductInfo = true;
  WORD wArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
  int anMetrics[3] = {0, 0, 0};  // SM_TABLETPC, SM_MEDIACENTER, SM_STARTER
  bool bFailBasic = false, bFailExtended = false;
  DWORD dwPlatform = VER_PLATFORM_WIN32_NT, dwMajor = 6, dwMinor = 1;
  BYTE bProductType = VER_NT_WORKSTATION;
  WORD wSpMajor = 1, wSpMinor = 2;
  std::wstring csd = L"Service Pack 1";
  BOOL bProductInfoResult = TRUE;
} g_sys;

// What the code asked of it.
struct Asked {
  std::vector<std::wstring> modules;
  std::vector<std::string> procs;
  std::vector<DWORD> versionSizes;
  std::vector<DWORD> productInfoArgs;  // major, minor, sp major, sp minor, initial result
} g_asked;

const HMODULE kFakeKernel32 = reinterpret_cast<HMODULE>(0x7A000000);

void WINAPI FakeGetNativeSystemInfo(LPSYSTEM_INFO si) {
  memset(si, 0, sizeof(*si));
  si->wProcessorArchitecture = g_sys.wArchitecture;
}

BOOL WINAPI FakeGetProductInfo(DWORD major, DWORD minor, DWORD spMajor, DWORD spMinor, PDWORD result) {
  g_asked.productInfoArgs = {major, minor, spMajor, spMinor, *result};
  *result = PRODUCT_PROFESSIONAL;
  return g_sys.bProductInfoResult;
}

// Behaves like GetVersionExW: the extended fields are written only for the extended size.
BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info) {
  const DWORD size = info->dwOSVersionInfoSize;
  g_asked.versionSizes.push_back(size);
  const bool extended = size == sizeof(OSVERSIONINFOEXW);
  if ((size != sizeof(OSVERSIONINFOW) && !extended) || (extended ? g_sys.bFailExtended : g_sys.bFailBasic))
    return FALSE;
  info->dwMajorVersion = g_sys.dwMajor;
  info->dwMinorVersion = g_sys.dwMinor;
  info->dwPlatformId = g_sys.dwPlatform;
  wmemset(info->szCSDVersion, L'\0', 128);
  wmemcpy(info->szCSDVersion, g_sys.csd.data(), std::min<size_t>(g_sys.csd.size(), 128));
  if (extended) {
    auto* ex = reinterpret_cast<LPOSVERSIONINFOEXW>(info);
    ex->wServicePackMajor = g_sys.wSpMajor;
    ex->wServicePackMinor = g_sys.wSpMinor;
    ex->wProductType = g_sys.bProductType;
  }
  return TRUE;
}

class FakedSystem : public ::testing::Test {
 protected:
  FakedSystem() { Reset(); }
  static void Reset() {
    g_sys = System();
    g_asked = Asked();
  }

  testing_os::Replace<decltype(os::api.GetModuleHandleW)> module_{
      os::api.GetModuleHandleW, [](LPCWSTR name) -> HMODULE {
        g_asked.modules.push_back(name ? name : L"(null)");
        return g_sys.bKernel32 ? kFakeKernel32 : nullptr;
      }};
  testing_os::Replace<decltype(os::api.GetProcAddress)> proc_{
      os::api.GetProcAddress, [](HMODULE module, LPCSTR name) -> FARPROC {
        g_asked.procs.push_back(module == kFakeKernel32 ? name : "wrong module");
        if (g_sys.bNativeSystemInfo && !strcmp(name, "GetNativeSystemInfo"))
          return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeGetNativeSystemInfo));
        if (g_sys.bProductInfo && !strcmp(name, "GetProductInfo"))
          return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeGetProductInfo));
        return nullptr;
      }};
  testing_os::Replace<decltype(os::api.GetSystemMetrics)> metrics_{
      os::api.GetSystemMetrics, [](int index) -> int {
        return index >= SM_TABLETPC && index <= SM_STARTER ? g_sys.anMetrics[index - SM_TABLETPC] : 0;
      }};
  testing_os::Replace<decltype(os::api.GetVersionExW)> version_{os::api.GetVersionExW, &FakeGetVersionExW};
};

TEST_F(FakedSystem, ClassificationTable) {
  constexpr DWORD NT = VER_PLATFORM_WIN32_NT, W9X = VER_PLATFORM_WIN32_WINDOWS, W32S = VER_PLATFORM_WIN32s;
  constexpr BYTE WS = VER_NT_WORKSTATION, SRV = VER_NT_SERVER, DC = VER_NT_DOMAIN_CONTROLLER;
  constexpr WORD X64 = PROCESSOR_ARCHITECTURE_AMD64, X86 = PROCESSOR_ARCHITECTURE_INTEL;
  const struct {
    DWORD platform, major, minor;
    BYTE productType;
    WORD architecture, expectedKind;
  } cases[] = {
      {W32S, 3, 10, WS, X86, 1}, {W9X, 4, 0, WS, X86, 2},   {W9X, 4, 9, WS, X86, 2},   {W9X, 4, 10, WS, X86, 3},
      {W9X, 4, 89, WS, X86, 3},  {W9X, 4, 90, WS, X86, 7},  {NT, 4, 0, SRV, X86, 4},   {NT, 5, 0, WS, X86, 5},
      {NT, 5, 1, WS, X86, 6},    {NT, 5, 2, WS, X64, 6},    {NT, 5, 2, WS, X86, 10},   {NT, 5, 2, SRV, X64, 10},
      {NT, 6, 0, WS, X64, 8},    {NT, 6, 0, SRV, X64, 9},   {NT, 6, 1, WS, X64, 11},   {NT, 6, 1, SRV, X64, 12},
      {NT, 6, 1, DC, X64, 12},   {NT, 6, 2, WS, X64, 13},   {NT, 6, 2, SRV, X64, 14},  {NT, 6, 3, WS, X64, 15},
      {NT, 6, 3, SRV, X64, 16},  {NT, 6, 4, WS, X64, 15},   {NT, 7, 0, WS, X64, 0},    {NT, 9, 0, SRV, X64, 0},
      {NT, 10, 0, WS, X64, 17},  {NT, 10, 0, SRV, X64, 17}, {NT, 11, 0, WS, X64, 0xFFFF},
      {3 /* VER_PLATFORM_WIN32_CE */, 6, 1, WS, X64, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "platform " << c.platform << ", " << c.major << '.' << c.minor << ", type "
                                    << int(c.productType) << ", architecture " << c.architecture);
    g_sys.dwPlatform = c.platform;
    g_sys.dwMajor = c.major;
    g_sys.dwMinor = c.minor;
    g_sys.bProductType = c.productType;
    g_sys.wArchitecture = c.architecture;
    g_asked.versionSizes.clear();
    CWinVersion v;
    EXPECT_EQ(v._wOsKind, c.expectedKind);
    // Only NT 5 and later are asked again for the extended structure.
    std::vector<DWORD> sizes = {sizeof(OSVERSIONINFOW)};
    if (c.platform == NT && c.major >= 5) sizes.push_back(sizeof(OSVERSIONINFOEXW));
    EXPECT_EQ(g_asked.versionSizes, sizes);
  }
}

TEST_F(FakedSystem, ProcessorClassAndFeatures) {
  const struct {
    WORD architecture, expected;
  } cpus[] = {{PROCESSOR_ARCHITECTURE_INTEL, 1},         {PROCESSOR_ARCHITECTURE_IA64, 2},
              {PROCESSOR_ARCHITECTURE_AMD64, 2},         {PROCESSOR_ARCHITECTURE_IA32_ON_WIN64, 2},
              {PROCESSOR_ARCHITECTURE_ARM, 0},           {PROCESSOR_ARCHITECTURE_UNKNOWN, 0}};
  for (const auto& c : cpus) {
    g_sys.wArchitecture = c.architecture;
    EXPECT_EQ(CWinVersion()._wCpuKind, c.expected) << "architecture " << c.architecture;
  }
  const struct {
    int tablet, mediaCenter, starter;
    DWORD expected;
  } features[] = {{1, 0, 0, 1}, {0, 1, 0, 2}, {0, 0, 1, 4}, {0, 7, -1, 6}};
  for (const auto& c : features) {
    g_sys.anMetrics[0] = c.tablet;
    g_sys.anMetrics[1] = c.mediaCenter;
    g_sys.anMetrics[2] = c.starter;
    EXPECT_EQ(CWinVersion()._dwFeatures, c.expected) << c.tablet << ',' << c.mediaCenter << ',' << c.starter;
  }
}

// Missing functions, failed queries and the service pack and product fields.
TEST_F(FakedSystem, MissingFunctionsAndFailedQueries) {
  using Procs = std::vector<std::string>;
  const Procs kBoth = {"GetNativeSystemInfo", "GetProductInfo"}, kNative = {"GetNativeSystemInfo"};
  const struct {
    const char* name;
    void (*setup)(System&);
    WORD kind, cpuKind, spMajor;
    DWORD productType;
    std::wstring spName;
    bool bExtendedAsked;
    Procs procs;
    std::vector<DWORD> productInfoArgs;
  } rows[] = {
      {"Windows 7", [](System&) {}, 11, 2, 1, PRODUCT_PROFESSIONAL, L"Service Pack 1", true, kBoth, {6, 1, 1, 2, 0}},
      {"GetProductInfo fails", [](System& s) { s.bProductInfoResult = FALSE; }, 11, 2, 1, 0, L"Service Pack 1", true,
       kBoth, {6, 1, 1, 2, 0}},
      {"GetProductInfo missing", [](System& s) { s.bProductInfo = false; }, 11, 2, 1, 0, L"Service Pack 1", true,
       kBoth, {}},
      // Without the native processor, 5.2 cannot be told to be XP x64.
      {"GetNativeSystemInfo missing",
       [](System& s) { s.bNativeSystemInfo = false; s.dwMajor = 5; s.dwMinor = 2; }, 10, 0, 1, 0, L"Service Pack 1",
       true, kNative, {}},
      {"kernel32 missing on 5.2", [](System& s) { s.bKernel32 = false; s.dwMajor = 5; s.dwMinor = 2; }, 10, 0, 1, 0,
       L"Service Pack 1", true, {}, {}},
      {"kernel32 missing on 6.1", [](System& s) { s.bKernel32 = false; }, 11, 0, 1, 0, L"Service Pack 1", true, {}, {}},
      {"XP is not asked for a product", [](System& s) { s.dwMajor = 5; }, 6, 2, 1, 0, L"Service Pack 1", true, kNative,
       {}},
      // The basic structure has no service pack number, only the text.
      {"NT 4.0", [](System& s) { s.dwMajor = 4; s.dwMinor = 0; s.csd = L"Service Pack 6"; s.wSpMajor = 6; }, 4, 2, 0,
       0, L"Service Pack 6", false, kNative, {}},
      // The system's field holds 128 characters; a full one has no terminator of its own.
      {"full service pack text", [](System& s) { s.csd = std::wstring(127, L'b') + L'Z'; s.wSpMajor = 3; }, 11, 2, 3,
       PRODUCT_PROFESSIONAL, std::wstring(127, L'b'), true, kBoth, {6, 1, 3, 2, 0}},
      {"basic query fails", [](System& s) { s.bFailBasic = true; }, 0, 2, 0, 0, L"", false, kNative, {}},
      // The basic query had filled in a service pack text; the second attempt clears it.
      {"extended query fails", [](System& s) { s.bFailExtended = true; }, 0, 2, 0, 0, L"", true, kNative, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Reset();
    row.setup(g_sys);
    CWinVersion v;
    EXPECT_EQ(v._wOsKind, row.kind);
    EXPECT_EQ(v._wCpuKind, row.cpuKind);
    const SYSTEM_INFO untouched = {};
    EXPECT_EQ(memcmp(&v._si, &untouched, sizeof(untouched)) == 0, row.cpuKind == 0);
    EXPECT_EQ(v._wSpMajor, row.spMajor);
    EXPECT_EQ(v._dwProductType, row.productType);
    EXPECT_EQ(v._szSpName[127], L'\0');
    EXPECT_EQ(std::wstring(v._szSpName), row.spName);
    EXPECT_EQ(g_asked.versionSizes.size(), row.bExtendedAsked ? 2u : 1u);
    EXPECT_EQ(g_asked.modules, std::vector<std::wstring>{L"kernel32.dll"});
    EXPECT_EQ(g_asked.procs, row.procs);
    EXPECT_EQ(g_asked.productInfoArgs, row.productInfoArgs);
  }
}

// The default Wine prefix presents itself as Windows 7 SP1, workstation, on x64.
TEST(WinVersion, RealSystemUnderWine) {
  CWinVersion v;
  EXPECT_EQ(v._osvi.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(v._wOsKind, kOsKindWindows7);
  EXPECT_EQ(v._wSpMajor, 1);
  EXPECT_STREQ(v._szSpName, L"Service Pack 1");
  EXPECT_EQ(v._wCpuKind, 2);
  EXPECT_NE(v._dwProductType, 0u);
}

// Functions that older kernels lack must not be bound at load time.
TEST(WinVersion, ImportTableDoesNotNameLateBoundFunctions) {
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  std::vector<std::string> imports;
  for (auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name; ++desc)
    for (auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
         thunk->u1.AddressOfData; ++thunk)
      if (!IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal))
        imports.push_back(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData)->Name);
  const auto has = [&](const char* name) { return std::find(imports.begin(), imports.end(), name) != imports.end(); };
  EXPECT_TRUE(has("GetVersionExW")) << "the walk of the import table found nothing that is surely imported";
  EXPECT_FALSE(has("GetNativeSystemInfo"));
  EXPECT_FALSE(has("GetProductInfo"));
}

}  // namespace
