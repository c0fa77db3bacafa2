#include <gtest/gtest.h>

#include <vector>

#include "host/reg.h"
#include "host/winversion.h"
#include "tests/support/fake.h"

namespace {

constexpr wchar_t kKey[] = L"Software\\Kestrova\\Vadrel";

// The first four bytes of a record value, zero-padded; 0xBAD when missing.
DWORD Stored(const wchar_t* name) {
  DWORD data[64] = {}, cb = sizeof(data);
  return RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_ANY, nullptr, data, &cb) ? 0xBAD : data[0];
}

// A refusal keeps a REG_DWORD "status" (a short one reads zero-padded), marks
// any other 0xFFFFFFFF, then writes "code", in a key that outlives a restart; a
// key refusing full access is written with write access.
TEST(Record, RefusalKeepsAnExistingStatus) {
  static bool deny;
  FAKE(RegCreateKeyExW, [](HKEY root, LPCWSTR name, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam,
                           const LPSECURITY_ATTRIBUTES sa, PHKEY key, LPDWORD disposition) -> LSTATUS {
    if (deny && (sam & KEY_ALL_ACCESS) == KEY_ALL_ACCESS) return ERROR_ACCESS_DENIED;
    return RegCreateKeyExW(root, name, reserved, cls, options, sam, sa, key, disposition);
  });
  const struct { DWORD type; std::vector<BYTE> data; bool read, deny; DWORD status; } rows[] = {
      {REG_NONE, {}, false, false, 0xFFFFFFFF},     {REG_DWORD, {0x7E, 0x02, 0, 0}, true, false, 638},
      {REG_DWORD, {0x34, 0x12}, true, false, 0x1234}, {REG_SZ, {'6', 0, 0, 0}, false, false, 0xFFFFFFFF},
      {REG_BINARY, {1, 0, 0, 0}, false, false, 0xFFFFFFFF}, {REG_NONE, {}, false, true, 0xFFFFFFFF}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "type " << row.type << ", " << row.data.size() << " bytes, " << row.deny);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Kestrova");
    if (row.type != REG_NONE)
      RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"status", row.type, row.data.data(), row.data.size());
    DWORD status = 0x5A5A;
    EXPECT_EQ(CReg().ReadStatus(status), row.read);
    EXPECT_EQ(status, row.read ? row.status : 0x5A5Au);
    deny = row.deny;
    CReg().RecordFailure(9);
    EXPECT_EQ(Stored(L"status"), row.status);
    EXPECT_EQ(Stored(L"code"), 9u);
    HKEY sub = nullptr;  // a volatile key can hold no lasting subkey
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Kestrova\\Vadrel\\x", 0, nullptr, 0, KEY_READ, nullptr,
                              &sub, nullptr), ERROR_SUCCESS);
    RegCloseKey(sub);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Kestrova");
}

struct Release { DWORD platform, major, minor; BYTE productType; WORD kind; } g_release;

// On Wine's x64 processor; only NT 6.1 on a workstation is Windows 7.
TEST(WinVersion, Classification) {
  constexpr DWORD NT = VER_PLATFORM_WIN32_NT, W9X = VER_PLATFORM_WIN32_WINDOWS, W32S = VER_PLATFORM_WIN32s;
  constexpr BYTE WS = VER_NT_WORKSTATION, SRV = VER_NT_SERVER, DC = VER_NT_DOMAIN_CONTROLLER;
  const Release rows[] = {
      {W32S, 3, 10, WS, 1}, {W9X, 4, 0, WS, 2},   {W9X, 4, 9, WS, 2},   {W9X, 4, 10, WS, 3},  {W9X, 4, 89, WS, 3},
      {W9X, 4, 90, WS, 7},  {NT, 4, 0, WS, 4},    {NT, 5, 0, WS, 5},    {NT, 5, 1, WS, 6},    {NT, 5, 2, WS, 6},
      {NT, 5, 2, SRV, 10},  {NT, 6, 0, WS, 8},    {NT, 6, 0, SRV, 9},   {NT, 6, 1, WS, 11},   {NT, 6, 1, SRV, 12},
      {NT, 6, 1, DC, 12},   {NT, 6, 2, WS, 13},   {NT, 6, 2, SRV, 14},  {NT, 6, 3, WS, 15},   {NT, 6, 4, SRV, 16},
      {NT, 7, 1, WS, 0},    {NT, 9, 1, WS, 0},    {NT, 10, 0, WS, 17},  {NT, 10, 0, SRV, 17}, {NT, 11, 1, WS, 0xFFFF},
      {3 /* CE */, 6, 1, WS, 0}};
  FAKE(GetVersionExW, [](LPOSVERSIONINFOW info) {  // the product type only in the extended structure
    info->dwPlatformId = g_release.platform, info->dwMajorVersion = g_release.major;
    info->dwMinorVersion = g_release.minor;
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW))
      reinterpret_cast<LPOSVERSIONINFOEXW>(info)->wProductType = g_release.productType;
    return TRUE;
  });
  for (const Release& row : rows) {
    g_release = row;
    EXPECT_EQ(CWinVersion()._wOsKind, row.kind)
        << "platform " << row.platform << ", " << row.major << '.' << row.minor << ", type " << int(row.productType);
  }
}

}  // namespace
