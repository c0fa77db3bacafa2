#include <gtest/gtest.h>

#include <vector>

#include "host/reg.h"
#include "host/winversion.h"
#include "tests/support/fake.h"

namespace {

constexpr wchar_t kKey[] = L"Software\\Kestrova\\Vadrel";

// The first four bytes of a REG_DWORD record value, zero-padded; 0xBAD when missing or of another type.
DWORD Stored(const wchar_t* name) {
  DWORD data[64] = {}, cb = sizeof(data), type = REG_NONE;
  return RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_ANY, &type, data, &cb) || type != REG_DWORD ? 0xBAD : data[0];
}

// A refusal keeps a REG_DWORD "status" (a short one reads zero-padded); it marks
// a missing one, or one of another type, 0xFFFFFFFF, then writes "code", in a key
// that outlives a restart; a key refusing full access is written with write access.
TEST(Record, RefusalKeepsAnExistingStatus) {
  static bool denyFull;
  FAKE(RegCreateKeyExW,
       [](HKEY root, LPCWSTR name, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam, const LPSECURITY_ATTRIBUTES sa,
          PHKEY key, LPDWORD disposition) -> LSTATUS {
         if (denyFull && (sam & KEY_ALL_ACCESS) == KEY_ALL_ACCESS) return ERROR_ACCESS_DENIED;
         return RegCreateKeyExW(root, name, reserved, cls, options, sam, sa, key, disposition);
       });
  constexpr DWORD kNoKey = 0xFFFF;  // as type: no key at all
  const struct {
    DWORD type;
    std::vector<BYTE> data;
    bool read, denyFull;
    DWORD status;
  } rows[] = {{kNoKey, {}, false, false, 0xFFFFFFFF},
              {REG_NONE, {}, false, false, 0xFFFFFFFF},
              {REG_DWORD, {0x7E, 0x02, 0, 0}, true, false, 638},
              {REG_DWORD, {0x34, 0x12}, true, false, 0x1234},
              {REG_SZ, {'6', 0, 0, 0}, false, false, 0xFFFFFFFF},
              {REG_BINARY, {1, 0, 0, 0}, false, false, 0xFFFFFFFF},
              {kNoKey, {}, false, true, 0xFFFFFFFF}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "type " << row.type << ", " << row.data.size() << " bytes, " << row.denyFull);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Kestrova");
    if (row.type != kNoKey)  // REG_NONE: the key with another value only
      RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, row.type == REG_NONE ? L"code" : L"status", row.type, row.data.data(),
                      row.data.size());
    DWORD status = 0x5A5A;
    denyFull = row.denyFull;
    EXPECT_EQ(CReg().ReadStatus(status), row.read);
    EXPECT_EQ(status, row.read ? row.status : 0x5A5Au);
    CReg().RecordFailure(9);
    EXPECT_EQ(Stored(L"status"), row.status);
    EXPECT_EQ(Stored(L"code"), 9u);
    HKEY sub = nullptr;  // a volatile key can hold no lasting subkey
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Kestrova\\Vadrel\\x", 0, nullptr, 0, KEY_READ, nullptr, &sub,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(sub);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Kestrova");
}

struct Release {
  DWORD platform, major, minor;
  BYTE productType;
  bool windows7, extendedFails;
} g_release;

// Windows 7 is NT 6.1 on a workstation, and nothing else: not a server or a
// domain controller of 6.1, not the releases beside it, not another platform
// reporting 6.1, not a release whose extended version cannot be read.
TEST(WinVersion, Windows7ExactlyWhenNt61Workstation) {
  constexpr DWORD NT = VER_PLATFORM_WIN32_NT, W9X = VER_PLATFORM_WIN32_WINDOWS, W32S = VER_PLATFORM_WIN32s;
  constexpr BYTE WS = VER_NT_WORKSTATION, SRV = VER_NT_SERVER, DC = VER_NT_DOMAIN_CONTROLLER;
  const Release rows[] = {
      {NT, 6, 1, WS, true, false},    {NT, 6, 1, SRV, false, false},        {NT, 6, 1, DC, false, false},
      {NT, 6, 0, WS, false, false},   {NT, 6, 2, WS, false, false},         {NT, 5, 1, WS, false, false},
      {NT, 7, 1, WS, false, false},   {NT, 4, 1, WS, false, false},         {W9X, 6, 1, WS, false, false},
      {W32S, 6, 1, WS, false, false}, {3 /* CE */, 6, 1, WS, false, false}, {NT, 6, 1, WS, false, true}};
  FAKE(GetVersionExW, [](LPOSVERSIONINFOW info) -> WINBOOL {  // the product type only in the extended structure
    const bool extended = info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW);
    if (extended && g_release.extendedFails) return FALSE;
    info->dwPlatformId = g_release.platform, info->dwMajorVersion = g_release.major;
    info->dwMinorVersion = g_release.minor;
    if (extended) reinterpret_cast<LPOSVERSIONINFOEXW>(info)->wProductType = g_release.productType;
    return TRUE;
  });
  for (const Release& row : rows) {
    g_release = row;
    EXPECT_EQ(CWinVersion()._wOsKind == kOsKindWindows7, row.windows7)
        << "platform " << row.platform << ", " << row.major << '.' << row.minor << ", type " << int(row.productType)
        << (row.extendedFails ? ", extended query fails" : "");
  }
}

}  // namespace
