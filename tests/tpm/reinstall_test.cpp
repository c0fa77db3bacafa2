#include "tpm/reinstall.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake.h"
#include "tests/support/leaks.h"
#include "tests/tpm/tpm_testing.h"

namespace {

using tpm_testing::DriverFile;
using tpm_testing::ExpectTrace;
using tpm_testing::TraceCapture;

constexpr wchar_t kKey[] = L"Software\\Kestrova\\Vadrel";
constexpr wchar_t kPrevious[] = L"from an earlier run";

// A value of the record as Wine's real registry holds it.
struct Stored {
  bool exists = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

Stored Read(const wchar_t* name) {
  Stored s;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return s;
  DWORD cb = 0;
  if (RegQueryValueExW(key, name, nullptr, &s.type, nullptr, &cb) == ERROR_SUCCESS) {
    s.data.resize(cb);
    s.exists = RegQueryValueExW(key, name, nullptr, &s.type, s.data.data(), &cb) == ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return s;
}

DWORD ReadDword(const wchar_t* name) {
  const Stored s = Read(name);
  EXPECT_TRUE(s.exists) << "missing value";
  EXPECT_EQ(s.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(s.data.size(), sizeof(DWORD));
  DWORD v = 0xBAD;
  if (s.data.size() == sizeof(DWORD)) memcpy(&v, s.data.data(), sizeof(v));
  return v;
}

// A record left by an earlier run: only "updatedver".
void StartRecord() {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, L"updatedver", 0, REG_SZ, reinterpret_cast<const BYTE*>(kPrevious), sizeof(kPrevious));
  RegCloseKey(key);
}

// What the installer is made to answer.
struct Installer {
  WINBOOL result;
  DWORD error;
  WINBOOL reboot;
};

struct Seen {
  int installs = 0;
  HWND parent = reinterpret_cast<HWND>(1);
  std::wstring hardwareId, infPath;
  DWORD flags = 0;
  PBOOL rebootFlag = nullptr;
  BOOL rebootOnEntry = -1;
  std::vector<std::wstring> valuesSet;  // in order, with their types
  std::vector<REGSAM> createAccess;
  std::vector<DWORD> createOptions;
  bool createExtrasNull = true;
  bool dispositionAsked = false;
};

Installer g_installer;
Seen* g_seen;
bool g_refuseFirstKey;

struct RecordCase {
  const char* name;
  Installer installer;
  const wchar_t* image;  // the driver file after installing; null: unreadable
  DWORD status;
  DWORD code;
  const wchar_t* updatedver;  // null: left as before
  bool refuseUpdatedverKey = false;
};

class Reinstall : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Reinstall, InstallsRecordsAndReturnsTheOutcome) {
  const RecordCase& c = GetParam();
  StartRecord();
  Seen seen;
  g_seen = &seen;
  g_installer = c.installer;
  g_refuseFirstKey = c.refuseUpdatedverKey;
  DriverFile file(c.image);
  FAKE(UpdateDriverForPlugAndPlayDevicesW,
       [](HWND parent, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL reboot) -> WINBOOL {
         ++g_seen->installs;
         g_seen->parent = parent;
         g_seen->hardwareId = id;
         g_seen->infPath = inf;
         g_seen->flags = flags;
         g_seen->rebootFlag = reboot;
         if (reboot) {
           g_seen->rebootOnEntry = *reboot;
           *reboot = g_installer.reboot;
         }
         SetLastError(g_installer.error);
         return g_installer.result;
       });
  static decltype(os::api.RegCreateKeyExW) create;
  create = os::api.RegCreateKeyExW;
  FAKE(RegCreateKeyExW, [](HKEY root, LPCWSTR sub, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam,
                           const LPSECURITY_ATTRIBUTES sa, PHKEY key, LPDWORD disposition) -> LSTATUS {
    g_seen->createAccess.push_back(sam);
    g_seen->createOptions.push_back(options);
    if (root != HKEY_LOCAL_MACHINE || std::wstring(sub) != kKey || reserved || cls || sa)
      g_seen->createExtrasNull = false;
    if (g_seen->createAccess.size() == 1) g_seen->dispositionAsked = disposition != nullptr;
    if (g_refuseFirstKey && g_seen->createAccess.size() == 1) return ERROR_ACCESS_DENIED;
    return create(root, sub, reserved, cls, options, sam, sa, key, disposition);
  });
  static decltype(os::api.RegSetValueExW) set;
  set = os::api.RegSetValueExW;
  FAKE(RegSetValueExW, [](HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD cb) -> LSTATUS {
    g_seen->valuesSet.push_back(std::wstring(name) + L"/" + std::to_wstring(type) + L"/" + std::to_wstring(cb));
    return set(key, name, reserved, type, data, cb);
  });
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  const DWORD returned = ReinstallTpmDriver();

  EXPECT_EQ(returned, c.code);
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  // The installer's call.
  EXPECT_EQ(seen.installs, 1);
  EXPECT_EQ(seen.parent, nullptr);
  EXPECT_EQ(seen.hardwareId, L"ACPI\\IFX0102");
  EXPECT_EQ(seen.infPath, L"C:\\Windows\\INF\\tpm.inf");
  EXPECT_EQ(seen.flags, static_cast<DWORD>(INSTALLFLAG_NONINTERACTIVE));
  EXPECT_NE(seen.rebootFlag, nullptr);
  EXPECT_EQ(seen.rebootOnEntry, FALSE);

  // The pause, and the version read only after a successful installation.
  std::vector<DWORD> pauses;
  if (c.installer.result) {
    pauses.push_back(3000);
    if (!c.image) pauses.insert(pauses.end(), 10, 1000);
  }
  EXPECT_EQ(DriverFile::Pauses(), pauses);
  EXPECT_EQ(DriverFile::Paths().size(), c.installer.result ? (c.image ? 1u : 10u) : 0u);

  // The record, written in this order.
  std::vector<std::wstring> written;
  const bool versionRead = c.installer.result && c.image;
  if (versionRead && !c.refuseUpdatedverKey) written.push_back(L"updatedver/1/520");
  written.push_back(L"status/4/4");
  written.push_back(L"code/4/4");
  EXPECT_EQ(seen.valuesSet, written);
  if (versionRead) {
    ASSERT_FALSE(seen.createAccess.empty());
    EXPECT_EQ(seen.createAccess[0], static_cast<REGSAM>(KEY_ALL_ACCESS)) << "and nothing else";
    EXPECT_EQ(seen.createOptions[0], static_cast<DWORD>(REG_OPTION_NON_VOLATILE));
    EXPECT_TRUE(seen.dispositionAsked);
  }
  EXPECT_TRUE(seen.createExtrasNull);

  EXPECT_EQ(ReadDword(L"status"), c.status);
  EXPECT_EQ(ReadDword(L"code"), c.code);
  const Stored updated = Read(L"updatedver");
  ASSERT_TRUE(updated.exists);
  EXPECT_EQ(updated.type, static_cast<DWORD>(REG_SZ));
  if (c.updatedver == nullptr) {
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(updated.data.data())), kPrevious) << "left as before";
  } else {
    ASSERT_EQ(updated.data.size(), 520u);
    std::vector<BYTE> expected(520, 0);
    memcpy(expected.data(), c.updatedver, wcslen(c.updatedver) * sizeof(wchar_t));
    EXPECT_EQ(updated.data, expected) << "the text, then zeros to 520 bytes";
  }

  if (c.installer.result)
    ExpectTrace(std::vector<std::string>(trace.lines().begin(), trace.lines().begin() + 1),
                {"UpdateDriverForPlugAndPlayDevicesW success"});
  else
    ExpectTrace(trace.lines(), {"UpdateDriverForPlugAndPlayDevicesW failed", "errorcode=*"});
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
}

constexpr DWORD kNoSuchDevinst = 0xE000020B;

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Reinstall,
    ::testing::Values(
        RecordCase{"NoBetterMatch", {FALSE, ERROR_NO_MORE_ITEMS, FALSE}, tpm_testing::kRepairedImage, 259, 28, nullptr},
        RecordCase{"NoSuchDevice", {FALSE, kNoSuchDevinst, FALSE}, tpm_testing::kRepairedImage, 3758096907u, 29,
                   nullptr},
        RecordCase{"OtherInstallerError", {FALSE, ERROR_ACCESS_DENIED, TRUE}, tpm_testing::kRepairedImage, 5, 12,
                   nullptr},
        RecordCase{"VersionUnreadable", {TRUE, 0, TRUE}, nullptr, 1, 12, nullptr},
        RecordCase{"StillOldDriver", {TRUE, 0, TRUE}, tpm_testing::kOldImage, 1, 30, L"6.1.7600.16385"},
        RecordCase{"RepairedNeedsRestart", {TRUE, 0, TRUE}, tpm_testing::kRepairedImage, 638, 0, L"6.1.7601.19146"},
        RecordCase{"OtherBuildNoRestart", {TRUE, 0, FALSE}, tpm_testing::kOtherImage, 0, 0, L"6.1.7601.17514"},
        RecordCase{"KeyRefusedForVersionOnly", {TRUE, 0, FALSE}, tpm_testing::kRepairedImage, 0, 0, nullptr, true}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

}  // namespace
