#include "tpm/reinstall.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/fake.h"
#include "tests/support/leaks.h"
#include "tests/tpm/tpm_testing.h"

namespace {

using tpm_testing::DriverFile;

constexpr wchar_t kKey[] = L"Software\\Kestrova\\Vadrel";
constexpr wchar_t kPrevious[] = L"from an earlier run";

// A value of the record as Wine's real registry holds it: its type (REG_NONE
// when missing) and its bytes.
using Stored = std::pair<DWORD, std::vector<BYTE>>;

Stored Read(const wchar_t* name) {
  Stored s{REG_NONE, {}};
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return s;
  DWORD cb = 0;
  if (RegQueryValueExW(key, name, nullptr, &s.first, nullptr, &cb) == ERROR_SUCCESS) {
    s.second.resize(cb);
    RegQueryValueExW(key, name, nullptr, &s.first, s.second.data(), &cb);
  }
  RegCloseKey(key);
  return s;
}

Stored Value(DWORD type, const void* data, size_t cbData, size_t cbValue) {
  Stored s{type, std::vector<BYTE>(cbValue, 0)};
  memcpy(s.second.data(), data, cbData);
  return s;
}

struct RecordCase {
  const char* name;
  WINBOOL installed;  // what the installer answers
  DWORD error;
  WINBOOL reboot;
  const wchar_t* image;  // the driver file after installing; null: unreadable
  DWORD status;
  DWORD code;
  const wchar_t* updatedver;  // null: left as before
  bool refuseUpdatedverKey = false;
};

const RecordCase* g_case;
bool g_versionRead;
std::wstring g_installs;             // each call's arguments
std::vector<std::wstring> g_values;  // each value set, in order, with its type and size
int g_keys;                          // RegCreateKeyExW calls
decltype(os::api.RegCreateKeyExW) g_create;
decltype(os::api.RegSetValueExW) g_set;

class Reinstall : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Reinstall, InstallsRecordsAndReturnsTheOutcome) {
  const RecordCase& c = GetParam();
  // A record left by an earlier run: only "updatedver".
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"updatedver", REG_SZ, kPrevious, sizeof(kPrevious)),
            ERROR_SUCCESS);
  g_case = &c;
  g_versionRead = c.installed && c.image;
  g_installs.clear();
  g_values.clear();
  g_keys = 0;
  DriverFile file(c.image);
  FAKE(UpdateDriverForPlugAndPlayDevicesW,
       [](HWND parent, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL reboot) -> WINBOOL {
         g_installs += (parent ? L"window|" : L"|") + std::wstring(id) + L"|" + inf + L"|" + std::to_wstring(flags) +
                       L"|" + (reboot ? std::to_wstring(*reboot) : L"null") + L";";
         if (reboot) *reboot = g_case->reboot;
         SetLastError(g_case->error);
         return g_case->installed;
       });
  g_create = os::api.RegCreateKeyExW;
  FAKE(RegCreateKeyExW, [](HKEY root, LPCWSTR sub, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam,
                           const LPSECURITY_ATTRIBUTES sa, PHKEY key, LPDWORD disposition) -> LSTATUS {
    // The version's key is opened for all access, to stay; refused otherwise, its value is not written.
    const bool right = root == HKEY_LOCAL_MACHINE && sub == std::wstring(kKey) && !reserved && !cls && !sa &&
                       options == REG_OPTION_NON_VOLATILE && sam == KEY_ALL_ACCESS && disposition;
    if (g_keys++ == 0 && g_versionRead && (g_case->refuseUpdatedverKey || !right)) return ERROR_ACCESS_DENIED;
    return g_create(root, sub, reserved, cls, options, sam, sa, key, disposition);
  });
  g_set = os::api.RegSetValueExW;
  FAKE(RegSetValueExW, [](HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD cb) -> LSTATUS {
    g_values.push_back(std::wstring(name) + L"/" + std::to_wstring(type) + L"/" + std::to_wstring(cb));
    return g_set(key, name, reserved, type, data, cb);
  });
  tpm_testing::TraceCapture trace;
  testing_os::LeakCheck leaks;

  EXPECT_EQ(ReinstallTpmDriver(), c.code);

  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  EXPECT_EQ(g_installs,
            L"|ACPI\\IFX0102|C:\\Windows\\INF\\tpm.inf|" + std::to_wstring(INSTALLFLAG_NONINTERACTIVE) + L"|0;")
      << "once, no window, non-interactive only, the restart flag cleared beforehand";
  // The settle pause and the version read, only after a successful installation.
  std::vector<DWORD> pauses;
  if (c.installed) pauses.push_back(3000);
  if (c.installed && !c.image) pauses.insert(pauses.end(), 10, 1000);
  EXPECT_EQ(DriverFile::Pauses(), pauses);
  EXPECT_EQ(DriverFile::Paths().size(), c.installed ? (c.image ? 1u : 10u) : 0u);

  // The record, written in this order.
  std::vector<std::wstring> written = {L"status/4/4", L"code/4/4"};
  if (g_versionRead && !c.refuseUpdatedverKey) written.insert(written.begin(), L"updatedver/1/520");
  EXPECT_EQ(g_values, written);
  EXPECT_EQ(Read(L"status"), Value(REG_DWORD, &c.status, 4, 4));
  EXPECT_EQ(Read(L"code"), Value(REG_DWORD, &c.code, 4, 4));
  EXPECT_EQ(Read(L"updatedver"), c.updatedver ? Value(REG_SZ, c.updatedver, wcslen(c.updatedver) * 2, 520)
                                               : Value(REG_SZ, kPrevious, sizeof(kPrevious), sizeof(kPrevious)))
      << "the text, then zeros to 520 bytes; or left as before";
  if (c.installed) {
    EXPECT_EQ(trace.lines().at(0), "UpdateDriverForPlugAndPlayDevicesW success");
  } else {
    tpm_testing::ExpectTrace(trace.lines(), {"UpdateDriverForPlugAndPlayDevicesW failed", "errorcode=*"});
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
}

constexpr DWORD kNoSuchDevinst = 0xE000020B;
using tpm_testing::kOldImage;
using tpm_testing::kOtherImage;
using tpm_testing::kRepairedImage;

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Reinstall,
    ::testing::Values(
        RecordCase{"NoBetterMatch", FALSE, ERROR_NO_MORE_ITEMS, FALSE, kRepairedImage, 259, 28, nullptr},
        RecordCase{"NoSuchDevice", FALSE, kNoSuchDevinst, FALSE, kRepairedImage, kNoSuchDevinst, 29, nullptr},
        RecordCase{"OtherInstallerError", FALSE, ERROR_ACCESS_DENIED, TRUE, kRepairedImage, 5, 12, nullptr},
        RecordCase{"VersionUnreadable", TRUE, 0, TRUE, nullptr, 1, 12, nullptr},
        RecordCase{"StillOldDriver", TRUE, 0, TRUE, kOldImage, 1, 30, L"6.1.7600.16385"},
        RecordCase{"RepairedNeedsRestart", TRUE, 0, TRUE, kRepairedImage, 638, 0, L"6.1.7601.19146"},
        RecordCase{"OtherBuildNoRestart", TRUE, 0, FALSE, kOtherImage, 0, 0, L"6.1.7601.17514"},
        RecordCase{"KeyRefusedForVersionOnly", TRUE, 0, FALSE, kRepairedImage, 0, 0, nullptr, true}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

}  // namespace
