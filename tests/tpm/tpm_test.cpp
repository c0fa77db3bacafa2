#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/fake.h"
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
  const struct { std::vector<std::vector<std::wstring>> devices; int found; } rows[] = {  // found -1: none
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

constexpr wchar_t kOld[] = L"tpm-6.1.7600.16385.sys", kRepaired[] = L"tpm-6.1.7601.19146.sys";

// tpm.sys as a stand-in image of sim/images, loaded after a number of failed
// attempts. Paths asked for and pauses are kept; no pause waits.
struct DriverFile {
  explicit DriverFile(const wchar_t* image, int failures = 0) : failures(failures) {
    wchar_t exe[MAX_PATH] = {};
    const std::wstring self(exe, ::GetModuleFileNameW(nullptr, exe, MAX_PATH));
    path = self.substr(0, self.rfind(L'\\') + 1) + TPM_IMAGE_DIR_FROM_TESTS + L"\\" + image, current = this;
  }
  static HMODULE WINAPI Load(LPCWSTR asked) {
    current->loads.push_back(asked);
    if (static_cast<int>(current->loads.size()) > current->failures) return ::LoadLibraryW(current->path.c_str());
    return ::SetLastError(ERROR_MOD_NOT_FOUND), nullptr;
  }
  static inline DriverFile* current;
  std::wstring path;
  int failures;
  std::vector<std::wstring> loads;
  std::vector<DWORD> pauses;
  testing_os::Replace<decltype(os::api.LoadLibraryW)> load_{os::api.LoadLibraryW, &Load};
  testing_os::Replace<decltype(os::api.Sleep)> sleep_{os::api.Sleep, [](DWORD ms) { current->pauses.push_back(ms); }};
};

// The ProductVersion text under the first translation, read from real images:
// the fixed version numbers do not count. Faked resources (odd): a translation
// table shorter than one entry holds nothing; the value is read up to the
// length Windows gives, and one of 260 units or more is no version.
TEST(DriverVersion, ReadFromTheImage) {
  static int odd;
  FAKE(VerQueryValueW, [](LPCVOID block, LPCWSTR name, LPVOID* value, PUINT cb) -> WINBOOL {
    static const WORD table[2] = {0x0409, 0x04b0};
    static const std::wstring texts[] = {L"", L"", L"6.1.7601.19146XYZ", std::wstring(260, L'7')};
    if (odd && (wcscmp(name, L"\\VarFileInfo\\Translation") == 0) == (odd == 1))
      return *value = const_cast<void*>(odd == 1 ? static_cast<const void*>(table) : texts[odd].c_str()),
             *cb = odd == 1 ? 2 : odd == 2 ? 14 : 261, TRUE;
    return VerQueryValueW(block, name, value, cb);
  });
  const struct { const wchar_t* image; int odd; const wchar_t* version; } rows[] = {  // no version: unreadable
      {kOld, 0, L"6.1.7600.16385"}, {kRepaired, 0, L"6.1.7601.19146"}, {L"tpm-6.1.7601.17514.sys", 0, L"6.1.7601.17514"},
      {L"tpm-fixed-differs.sys", 0, L"6.1.7601.17514"}, {L"tpm-other-translation.sys", 0, nullptr},
      {kRepaired, 1, nullptr}, {kRepaired, 2, L"6.1.7601.19146"}, {kRepaired, 3, nullptr}};
  for (const auto& row : rows) {
    DriverFile file(row.image);
    WCHAR version[kVersionLength] = {};
    odd = row.odd;
    EXPECT_EQ(GetDriverFileVersion(version), row.version != nullptr) << row.image << ", odd " << row.odd;
    if (row.version) { EXPECT_STREQ(version, row.version); }
    EXPECT_EQ(file.loads, std::vector<std::wstring>{L"C:\\Windows\\System32\\Drivers\\tpm.sys"});
  }
}

// A processor fault and a C++ exception raised inside the load each count as
// a failed attempt; the attempts go on, a second apart, up to the tenth.
TEST(DriverLoad, ExceptionsDuringTheLoadAreAttempts) {
  static int attempts;
  attempts = 0;
  DriverFile file(kOld, 7);
  FAKE(LoadLibraryW, [](LPCWSTR path) -> HMODULE {
    static int* volatile nowhere = nullptr;
    if (++attempts == 1) *nowhere = 1;
    if (attempts == 2) throw std::runtime_error("load");
    return DriverFile::Load(path);
  });
  WCHAR szVersion[kVersionLength] = {};
  EXPECT_TRUE(GetDriverFileVersion(szVersion));
  EXPECT_STREQ(szVersion, L"6.1.7600.16385");
  EXPECT_EQ(attempts, 10);
  EXPECT_EQ(file.pauses, std::vector<DWORD>(9, 1000));
}

}  // namespace
