#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "diag/trace.h"
#include "tests/support/fake.h"
#include "tests/support/leaks.h"
#include "tpm/device.h"
#include "tpm/driverversion.h"

namespace {

std::vector<std::vector<std::wstring>> g_devices;  // the hardware ids of each present ACPI device; none: unreadable

WINBOOL WINAPI Ids(HDEVINFO, PSP_DEVINFO_DATA device, DWORD, PDWORD, PBYTE buffer, DWORD cb, PDWORD needed) {
  std::wstring list;  // REG_MULTI_SZ: each id ended by a zero, then one more
  for (const std::wstring& id : g_devices.at(device->DevInst)) list += id + L'\0';
  const DWORD cbList = static_cast<DWORD>((list.size() + 1) * sizeof(wchar_t));
  if (list.empty()) return SetLastError(ERROR_INVALID_DATA), FALSE;
  if (*needed = cbList, !buffer || cb < cbList) return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
  return memcpy(buffer, list.c_str(), cbList), TRUE;
}

// Any whole id of a present ACPI device, the case of ASCII letters ignored;
// devices whose ids cannot be read are passed over.
TEST(TpmDevice, FoundByAnyOfItsIds) {
  FAKE(SetupDiGetClassDevsW, [](const GUID* guid, PCWSTR enumerator, HWND, DWORD flags) {
    const bool asked = !guid && !wcscmp(enumerator, L"ACPI") && flags == (DIGCF_PRESENT | DIGCF_ALLCLASSES);
    return asked ? HDEVINFO(1) : INVALID_HANDLE_VALUE;
  });
  FAKE(SetupDiEnumDeviceInfo, [](HDEVINFO, DWORD i, PSP_DEVINFO_DATA device) -> WINBOOL {
    return device->cbSize == sizeof(*device) && i < g_devices.size() && (device->DevInst = i, true);
  });
  FAKE(SetupDiGetDeviceRegistryPropertyW, &Ids);
  FAKE(SetupDiDestroyDeviceInfoList, [](auto...) { return WINBOOL(TRUE); });
  const struct {
    std::vector<std::vector<std::wstring>> devices;
    int found;
  } rows[] = {// found -1: none
              {{{L"ACPI\\PNP0A08", L"*PNP0A03", L"*PNP0C0A"}, {}, {L"*PNP0C31", L"acpi\\IFX0102"}}, 2},
              {{{L"*PNP0C0A"}, {L"ACPI\\PNP0C0A", L"ACPI\\IFX0102"}, {L"ACPI\\IFX0102"}}, 1},
              {{{L"ACPI\\IFX01020", L"ACPI\\IFX010"}, {L"ACPI\\IFX0103"}}, -1}};
  for (const auto& row : rows) {
    g_devices = row.devices;
    HDEVINFO set = nullptr;
    SP_DEVINFO_DATA device = {};
    EXPECT_EQ(FindTpmDevice(L"ACPI\\IFX0102", &set, &device) ? static_cast<int>(device.DevInst) : -1, row.found);
    EXPECT_EQ(set, row.found >= 0 ? HDEVINFO(1) : INVALID_HANDLE_VALUE);
  }
}

constexpr wchar_t kDriver[] = L"C:\\Windows\\System32\\Drivers\\tpm.sys";
constexpr DWORD kAsImageResource = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;

// tpm.sys as one of the images of sim/images, absent until a number of pauses
// have passed. Both loads go to the image for real; the loads asked for, the
// pauses and the debug trace are kept, and no pause waits.
struct DriverFile {
  explicit DriverFile(const wchar_t* image, size_t absentFor = 0) : absentFor(absentFor) {
    wchar_t exe[MAX_PATH] = {};
    const std::wstring self(exe, ::GetModuleFileNameW(nullptr, exe, MAX_PATH));
    path = self.substr(0, self.rfind(L'\\') + 1) + TPM_IMAGE_DIR_FROM_TESTS + L"\\" + image, current = this;
    bTraceOn = TRUE;
  }
  ~DriverFile() { bTraceOn = FALSE; }
  bool Present() const { return pauses.size() >= absentFor; }
  static HMODULE WINAPI Load(LPCWSTR asked) {
    current->loads.push_back(std::wstring(L"ordinary ") + asked);
    return current->Present() ? ::LoadLibraryW(current->path.c_str()) : (::SetLastError(ERROR_MOD_NOT_FOUND), nullptr);
  }
  static HMODULE WINAPI LoadEx(LPCWSTR asked, HANDLE file, DWORD flags) {
    current->loads.push_back(L"resource " + std::to_wstring(flags) + L" " + asked);
    if (!current->Present()) return ::SetLastError(ERROR_FILE_NOT_FOUND), nullptr;
    const HMODULE module = ::LoadLibraryExW(current->path.c_str(), file, flags);
    if (module) ::SetLastError(ERROR_SUCCESS);  // a call that succeeds may clear the last error
    return module;
  }
  static inline DriverFile* current;
  std::wstring path;
  size_t absentFor;
  std::vector<std::wstring> loads;
  std::vector<DWORD> pauses;
  std::vector<std::string> trace;
  testing_os::Replace<decltype(os::api.LoadLibraryW)> load_{os::api.LoadLibraryW, &Load};
  testing_os::Replace<decltype(os::api.LoadLibraryExW)> loadEx_{os::api.LoadLibraryExW, &LoadEx};
  testing_os::Replace<decltype(os::api.Sleep)> sleep_{os::api.Sleep, [](DWORD ms) { current->pauses.push_back(ms); }};
  // Each line past its time stamp; an error-text line without the system's text.
  testing_os::Replace<decltype(os::api.OutputDebugStringA)> trace_{
      os::api.OutputDebugStringA, [](LPCSTR line) {
        const std::string text = strchr(line, ']') + 22;
        current->trace.push_back(text.compare(0, 10, "errorcode=") ? text : text.substr(0, text.find(", ") + 2));
      }};
};

const std::wstring kOrdinary = std::wstring(L"ordinary ") + kDriver;
const std::wstring kAsResource = L"resource " + std::to_wstring(kAsImageResource) + L" " + kDriver;
const std::wstring kLoads[] = {kOrdinary, kAsResource};

// The ProductVersion text, not the fixed version numbers, read on the first attempt.
// The test prefix has the simulated machine's WDFLDR.SYS, so a kernel driver image
// loads ordinarily, as on Windows; one linked as a DLL (its WMILIB.SYS import found
// nowhere) is read as an image resource, traced with the ordinary load's error.
TEST(DriverVersion, ReadOnTheFirstAttempt) {
  for (bool dll : {false, true}) {
    DriverFile file(dll ? L"tpm-dll-6.1.7600.16385.sys" : L"tpm-fixed-differs.sys");
    testing_os::LeakCheck leaks;
    WCHAR version[kVersionLength] = {};
    EXPECT_TRUE(GetDriverFileVersion(version));
    EXPECT_STREQ(version, dll ? L"6.1.7600.16385" : L"6.1.7601.17514");
    EXPECT_EQ(file.loads, std::vector<std::wstring>(kLoads, kLoads + 1 + dll));
    const std::string read[] = {"LoadLibraryW failed, read as an image resource\n", "errorcode=0x7e(126), "};
    EXPECT_EQ(std::search(file.trace.begin(), file.trace.end(), read, read + 2) != file.trace.end(), dll);
    EXPECT_EQ(file.pauses, std::vector<DWORD>{});
    EXPECT_EQ(leaks.Describe(), "");
  }
}

// A processor fault and a C++ exception raised inside the ordinary load each
// count as a failed attempt; the attempts go on, a second apart, up to the tenth.
TEST(DriverLoad, ExceptionsDuringTheLoadAreAttempts) {
  static int attempts;
  attempts = 0;
  DriverFile file(L"tpm-resource-only.sys", 9);
  FAKE(LoadLibraryW, [](LPCWSTR path) -> HMODULE {
    static int* volatile nowhere = nullptr;
    if (++attempts == 1) *nowhere = 1;
    if (attempts == 2) throw std::runtime_error("load");
    return DriverFile::Load(path);
  });
  WCHAR szVersion[kVersionLength] = {};
  EXPECT_TRUE(GetDriverFileVersion(szVersion));
  EXPECT_STREQ(szVersion, L"6.1.7601.19146");
  EXPECT_EQ(attempts, 10);
  EXPECT_EQ(file.pauses, std::vector<DWORD>(9, 1000));
  EXPECT_EQ(std::count(file.trace.begin(), file.trace.end(), "Exception Occured in LoadLibraryW\n"), 2);
}

}  // namespace
