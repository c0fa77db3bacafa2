#include "host/winversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake.h"

namespace {

// What the faked system answers; each test starts from a Windows 7 SP1 workstation on x64.
struct System {
  bool bKernel32 = true;
  bool bNativeSystemInfo = true;
  bool bProductInfo = true;
  WORD wArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
  int anMetrics[3] = {0, 0, 0};  // SM_TABLETPC, SM_MEDIACENTER, SM_STARTER
  bool bFailBasic = false;
  bool bFailExtended = false;
  DWORD dwPlatform = VER_PLATFORM_WIN32_NT;
  DWORD dwMajor = 6, dwMinor = 1, dwBuild = 7601;
  BYTE bProductType = VER_NT_WORKSTATION;
  WORD wSpMajor = 1, wSpMinor = 0;
  std::wstring csd = L"Service Pack 1";
  BOOL bProductInfoResult = TRUE;
  DWORD dwProductInfoAnswer = PRODUCT_ULTIMATE;
};

// What the code asked of it.
struct Asked {
  std::vector<std::wstring> modules;
  std::vector<std::string> procs;
  std::vector<int> metrics;
  std::vector<DWORD> versionSizes;
  std::vector<DWORD> productInfoArgs;  // major, minor, sp major, sp minor, initial result
};

System g_sys;
Asked g_asked;
const HMODULE kFakeKernel32 = reinterpret_cast<HMODULE>(0x7A000000);

void WINAPI FakeGetNativeSystemInfo(LPSYSTEM_INFO si) {
  memset(si, 0, sizeof(*si));
  si->wProcessorArchitecture = g_sys.wArchitecture;
  si->dwPageSize = 4096;
  si->dwNumberOfProcessors = 3;
}

BOOL WINAPI FakeGetProductInfo(DWORD major, DWORD minor, DWORD spMajor, DWORD spMinor, PDWORD result) {
  g_asked.productInfoArgs = {major, minor, spMajor, spMinor, *result};
  *result = g_sys.dwProductInfoAnswer;
  return g_sys.bProductInfoResult;
}

// Behaves like GetVersionExW: the extended fields are written only for the extended size.
BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info) {
  const DWORD size = info->dwOSVersionInfoSize;
  g_asked.versionSizes.push_back(size);
  const bool extended = size == sizeof(OSVERSIONINFOEXW);
  if (size != sizeof(OSVERSIONINFOW) && !extended) return FALSE;
  if (extended ? g_sys.bFailExtended : g_sys.bFailBasic) return FALSE;
  info->dwMajorVersion = g_sys.dwMajor;
  info->dwMinorVersion = g_sys.dwMinor;
  info->dwBuildNumber = g_sys.dwBuild;
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
  FakedSystem() {
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
        g_asked.metrics.push_back(index);
        return index >= SM_TABLETPC && index <= SM_STARTER ? g_sys.anMetrics[index - SM_TABLETPC] : 0;
      }};
  testing_os::Replace<decltype(os::api.GetVersionExW)> version_{os::api.GetVersionExW, &FakeGetVersionExW};
};

bool AllZero(const void* p, size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

struct KindCase {
  const char* name;
  DWORD platform, major, minor;
  BYTE productType;
  WORD architecture;
  WORD expectedKind;
};

TEST_F(FakedSystem, ClassificationTable) {
  constexpr DWORD NT = VER_PLATFORM_WIN32_NT, W9X = VER_PLATFORM_WIN32_WINDOWS, W32S = VER_PLATFORM_WIN32s;
  constexpr BYTE WS = VER_NT_WORKSTATION, SRV = VER_NT_SERVER, DC = VER_NT_DOMAIN_CONTROLLER;
  constexpr WORD X64 = PROCESSOR_ARCHITECTURE_AMD64, X86 = PROCESSOR_ARCHITECTURE_INTEL,
                 IA64 = PROCESSOR_ARCHITECTURE_IA64;
  const KindCase cases[] = {
      {"Win32s", W32S, 3, 10, WS, X86, 1},
      {"Windows 95", W9X, 4, 0, WS, X86, 2},
      {"Windows 95 OSR", W9X, 4, 9, WS, X86, 2},
      {"Windows 98", W9X, 4, 10, WS, X86, 3},
      {"Windows 98 last minor", W9X, 4, 89, WS, X86, 3},
      {"Windows Me", W9X, 4, 90, WS, X86, 7},
      {"NT 3.51", NT, 3, 51, WS, X86, 4},
      {"NT 4.0", NT, 4, 0, SRV, X86, 4},
      {"Windows 2000", NT, 5, 0, WS, X86, 5},
      {"Windows XP", NT, 5, 1, WS, X86, 6},
      {"XP x64", NT, 5, 2, WS, X64, 6},
      {"5.2 workstation on x86", NT, 5, 2, WS, X86, 10},
      {"5.2 workstation on IA64", NT, 5, 2, WS, IA64, 10},
      {"Server 2003 x64", NT, 5, 2, SRV, X64, 10},
      {"Server 2003 x86", NT, 5, 2, SRV, X86, 10},
      {"NT 5.3 workstation x64", NT, 5, 3, WS, X64, 6},
      {"Vista", NT, 6, 0, WS, X64, 8},
      {"Server 2008", NT, 6, 0, SRV, X64, 9},
      {"Windows 7 x64", NT, 6, 1, WS, X64, 11},
      {"Windows 7 x86", NT, 6, 1, WS, X86, 11},
      {"Server 2008 R2", NT, 6, 1, SRV, X64, 12},
      {"Server 2008 R2 domain controller", NT, 6, 1, DC, X64, 12},
      {"Windows 8", NT, 6, 2, WS, X64, 13},
      {"Server 2012", NT, 6, 2, SRV, X64, 14},
      {"Windows 8.1", NT, 6, 3, WS, X64, 15},
      {"Server 2012 R2", NT, 6, 3, SRV, X64, 16},
      {"NT 6.4 workstation", NT, 6, 4, WS, X64, 15},
      {"NT 6.4 server", NT, 6, 4, DC, X64, 16},
      {"NT 7", NT, 7, 0, WS, X64, 0},
      {"NT 8", NT, 8, 1, WS, X64, 0},
      {"NT 9", NT, 9, 0, SRV, X64, 0},
      {"Windows 10", NT, 10, 0, WS, X64, 17},
      {"Server 2016", NT, 10, 0, SRV, X64, 17},
      {"NT 11", NT, 11, 0, WS, X64, 0xFFFF},
      {"NT 255", NT, 255, 3, SRV, X64, 0xFFFF},
      {"Windows CE platform", 3 /* VER_PLATFORM_WIN32_CE */, 6, 1, WS, X64, 0},
      {"unknown platform", 7, 6, 1, WS, X64, 0},
  };
  for (const KindCase& c : cases) {
    SCOPED_TRACE(c.name);
    g_sys.dwPlatform = c.platform;
    g_sys.dwMajor = c.major;
    g_sys.dwMinor = c.minor;
    g_sys.bProductType = c.productType;
    g_sys.wArchitecture = c.architecture;
    g_asked.versionSizes.clear();
    CWinVersion v;
    EXPECT_EQ(v._wOsKind, c.expectedKind);
    // Only NT 5 and later are asked again for the extended structure.
    const bool second = c.platform == NT && c.major >= 5;
    std::vector<DWORD> sizes = {sizeof(OSVERSIONINFOW)};
    if (second) sizes.push_back(sizeof(OSVERSIONINFOEXW));
    EXPECT_EQ(g_asked.versionSizes, sizes);
    EXPECT_EQ(v._osvi.dwMajorVersion, c.major);
    EXPECT_EQ(v._osvi.dwMinorVersion, c.minor);
  }
}

TEST_F(FakedSystem, ProcessorClass) {
  const struct {
    WORD architecture;
    WORD expected;
  } cases[] = {
      {PROCESSOR_ARCHITECTURE_INTEL, 1},         {PROCESSOR_ARCHITECTURE_IA64, 2},
      {PROCESSOR_ARCHITECTURE_AMD64, 2},         {PROCESSOR_ARCHITECTURE_IA32_ON_WIN64, 2},
      {PROCESSOR_ARCHITECTURE_ARM, 0},           {12 /* ARM64 */, 0},
      {PROCESSOR_ARCHITECTURE_UNKNOWN, 0},       {PROCESSOR_ARCHITECTURE_PPC, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.architecture);
    g_sys.wArchitecture = c.architecture;
    CWinVersion v;
    EXPECT_EQ(v._wCpuKind, c.expected);
    EXPECT_EQ(v._si.wProcessorArchitecture, c.architecture);
    EXPECT_EQ(v._si.dwNumberOfProcessors, 3u);
  }
}

TEST_F(FakedSystem, FeaturesFromSystemMetrics) {
  const struct {
    int tablet, mediaCenter, starter;
    DWORD expected;
  } cases[] = {
      {0, 0, 0, 0}, {1, 0, 0, 1}, {0, 1, 0, 2}, {0, 0, 1, 4}, {1, 1, 1, 7}, {0, 7, -1, 6}, {-5, 0, 2, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.tablet << ',' << c.mediaCenter << ',' << c.starter);
    g_sys.anMetrics[0] = c.tablet;
    g_sys.anMetrics[1] = c.mediaCenter;
    g_sys.anMetrics[2] = c.starter;
    g_asked.metrics.clear();
    CWinVersion v;
    EXPECT_EQ(v._dwFeatures, c.expected);
    EXPECT_EQ(g_asked.metrics, (std::vector<int>{SM_TABLETPC, SM_MEDIACENTER, SM_STARTER}));
  }
}

TEST_F(FakedSystem, ServicePackCopied) {
  const struct {
    std::wstring csd;
    WORD spMajor;
    std::wstring expected;
  } cases[] = {
      {L"Service Pack 1", 1, L"Service Pack 1"},
      {L"", 0, L""},
      {std::wstring(127, L'a'), 3, std::wstring(127, L'a')},
      // The system's field holds 128 characters; a full one has no terminator of its own.
      {std::wstring(127, L'b') + L'Z', 2, std::wstring(127, L'b')},
      {std::wstring(200, L'c'), 9, std::wstring(127, L'c')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.csd.size());
    g_sys.csd = c.csd;
    g_sys.wSpMajor = c.spMajor;
    CWinVersion v;
    EXPECT_EQ(v._wSpMajor, c.spMajor);
    EXPECT_EQ(v._szSpName[127], L'\0');
    EXPECT_EQ(std::wstring(v._szSpName), c.expected);
  }
}

TEST_F(FakedSystem, OldNtTakesServicePackTextFromBasicQuery) {
  g_sys.dwMajor = 4;
  g_sys.dwMinor = 0;
  g_sys.csd = L"Service Pack 6";
  g_sys.wSpMajor = 6;
  CWinVersion v;
  EXPECT_EQ(v._wOsKind, 4);
  EXPECT_EQ(v._wSpMajor, 0) << "the basic structure has no service pack number";
  EXPECT_STREQ(v._szSpName, L"Service Pack 6");
  EXPECT_EQ(v._dwProductType, 0u);
  EXPECT_EQ(g_asked.procs, std::vector<std::string>{"GetNativeSystemInfo"}) << "below 6 no product type is asked";
}

TEST_F(FakedSystem, BasicQueryFails) {
  g_sys.bFailBasic = true;
  g_sys.anMetrics[2] = 1;
  CWinVersion v;
  EXPECT_EQ(v._wOsKind, 0);
  EXPECT_EQ(v._wSpMajor, 0);
  EXPECT_STREQ(v._szSpName, L"");
  EXPECT_EQ(v._dwProductType, 0u);
  EXPECT_EQ(g_asked.versionSizes, std::vector<DWORD>{sizeof(OSVERSIONINFOW)});
  EXPECT_TRUE(g_asked.productInfoArgs.empty());
  // What came before the query stands.
  EXPECT_EQ(v._wCpuKind, 2);
  EXPECT_EQ(v._dwFeatures, 4u);
}

TEST_F(FakedSystem, ExtendedQueryFailsLeavesClearedStructure) {
  g_sys.bFailExtended = true;
  for (DWORD major : {5u, 6u, 10u}) {
    SCOPED_TRACE(major);
    g_sys.dwMajor = major;
    g_asked = Asked();
    CWinVersion v;
    EXPECT_EQ(v._wOsKind, 0);
    EXPECT_EQ(v._osvi.dwMajorVersion, 0u);
    EXPECT_EQ(v._osvi.dwPlatformId, 0u);
    // The basic query had filled in a service pack text; the second attempt clears it.
    EXPECT_STREQ(v._szSpName, L"");
    EXPECT_EQ(v._wSpMajor, 0);
    EXPECT_EQ(v._dwProductType, 0u);
    EXPECT_TRUE(g_asked.productInfoArgs.empty());
    EXPECT_EQ(g_asked.versionSizes, (std::vector<DWORD>{sizeof(OSVERSIONINFOW), sizeof(OSVERSIONINFOEXW)}));
  }
}

TEST_F(FakedSystem, ProductInfo) {
  g_sys.dwMajor = 6;
  g_sys.dwMinor = 1;
  g_sys.wSpMajor = 1;
  g_sys.wSpMinor = 2;
  g_sys.dwProductInfoAnswer = PRODUCT_PROFESSIONAL;
  {
    CWinVersion v;
    EXPECT_EQ(v._dwProductType, static_cast<DWORD>(PRODUCT_PROFESSIONAL));
    EXPECT_EQ(g_asked.productInfoArgs, (std::vector<DWORD>{6, 1, 1, 2, 0}));
    EXPECT_EQ(g_asked.modules, std::vector<std::wstring>{L"kernel32.dll"});
    EXPECT_EQ(g_asked.procs, (std::vector<std::string>{"GetNativeSystemInfo", "GetProductInfo"}));
  }
  {
    SCOPED_TRACE("GetProductInfo fails");
    g_sys.bProductInfoResult = FALSE;
    CWinVersion v;
    EXPECT_EQ(v._dwProductType, 0u);
    EXPECT_EQ(v._wOsKind, kOsKindWindows7);
  }
  {
    SCOPED_TRACE("GetProductInfo missing");
    g_sys.bProductInfoResult = TRUE;
    g_sys.bProductInfo = false;
    g_asked.productInfoArgs.clear();
    CWinVersion v;
    EXPECT_EQ(v._dwProductType, 0u);
    EXPECT_EQ(v._wOsKind, kOsKindWindows7);
    EXPECT_EQ(v._wSpMajor, 1);
  }
  {
    SCOPED_TRACE("Windows XP is not asked");
    g_sys.bProductInfo = true;
    g_sys.dwMajor = 5;
    g_asked = Asked();
    CWinVersion v;
    EXPECT_EQ(v._dwProductType, 0u);
    EXPECT_TRUE(g_asked.productInfoArgs.empty());
  }
}

// Without the native processor, 5.2 cannot be told to be XP x64.
TEST_F(FakedSystem, KernelFunctionsMissing) {
  g_sys.dwMajor = 5;
  g_sys.dwMinor = 2;
  for (bool kernel32 : {true, false}) {
    SCOPED_TRACE(kernel32 ? "GetNativeSystemInfo missing" : "kernel32 missing");
    g_sys.bKernel32 = kernel32;
    g_sys.bNativeSystemInfo = false;
    g_asked.procs.clear();
    CWinVersion v;
    EXPECT_TRUE(AllZero(&v._si, sizeof(v._si)));
    EXPECT_EQ(v._wCpuKind, 0);
    EXPECT_EQ(v._wOsKind, 10);
    EXPECT_EQ(g_asked.procs, kernel32 ? std::vector<std::string>{"GetNativeSystemInfo"} : std::vector<std::string>{});
  }
  // GetProductInfo cannot be looked up either without the module.
  g_sys.dwMajor = 6;
  g_sys.dwMinor = 1;
  CWinVersion v;
  EXPECT_EQ(v._dwProductType, 0u);
  EXPECT_EQ(v._wOsKind, kOsKindWindows7);
  EXPECT_STREQ(v._szSpName, L"Service Pack 1");
}

// The default Wine prefix presents itself as Windows 7 SP1, workstation, on x64.
TEST(WinVersion, RealSystemUnderWine) {
  CWinVersion v;
  EXPECT_EQ(v._osvi.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(v._osvi.dwMajorVersion, 6u);
  EXPECT_EQ(v._osvi.dwMinorVersion, 1u);
  EXPECT_EQ(v._osvi.wProductType, VER_NT_WORKSTATION);
  EXPECT_EQ(v._wOsKind, kOsKindWindows7);
  EXPECT_EQ(v._wSpMajor, 1);
  EXPECT_STREQ(v._szSpName, L"Service Pack 1");
  EXPECT_EQ(v._wCpuKind, 2);
  EXPECT_EQ(v._si.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_AMD64);
  EXPECT_GT(v._si.dwNumberOfProcessors, 0u);
  EXPECT_NE(v._dwProductType, 0u);
}

// Functions that older kernels lack must not be bound at load time.
TEST(WinVersion, ImportTableDoesNotNameLateBoundFunctions) {
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  std::vector<std::string> kernelImports;
  for (auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name;
       ++desc) {
    if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), "kernel32.dll")) continue;
    for (auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
         thunk->u1.AddressOfData; ++thunk) {
      if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) continue;
      kernelImports.push_back(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData)->Name);
    }
  }
  ASSERT_FALSE(kernelImports.empty());
  EXPECT_NE(std::find(kernelImports.begin(), kernelImports.end(), "GetVersionExW"), kernelImports.end())
      << "the walk of the import table found nothing that is surely imported";
  for (const char* late : {"GetNativeSystemInfo", "GetProductInfo"})
    EXPECT_EQ(std::find(kernelImports.begin(), kernelImports.end(), late), kernelImports.end()) << late;
}

}  // namespace
