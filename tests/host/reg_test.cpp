#include "host/reg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

constexpr wchar_t kKey[] = L"Software\\Kestrova\\Vadrel";

// A REG_DWORD as Wine's real registry holds it (the test program's own view is the 64-bit one).
void ExpectDword(const wchar_t* name, DWORD expected) {
  DWORD type = REG_NONE, value = 0, cb = sizeof(value);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_ANY, &type, &value, &cb),
            ERROR_SUCCESS)
      << "missing value";
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(cb, sizeof(DWORD));
  EXPECT_EQ(value, expected);
}

void Store(const wchar_t* name, DWORD type, const void* data, DWORD cb) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
  RegCloseKey(key);
}

std::vector<REGSAM> g_creates, g_opens;  // the access asked for, one per attempt
std::vector<std::wstring> g_sets;
bool g_bDenyFullAccess = false;

// Every test starts without the record and leaves none behind for other suites
// of the prefix; creations and sets are recorded, then go to the registry.
class Record : public ::testing::Test {
 protected:
  Record() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Kestrova");
    g_creates.clear();
    g_opens.clear();
    g_sets.clear();
    g_bDenyFullAccess = false;
  }
  ~Record() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }

  static LSTATUS WINAPI Create(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam,
                               const LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition) {
    g_creates.push_back(sam);
    EXPECT_TRUE(root == HKEY_LOCAL_MACHINE && !wcscmp(subKey, kKey) && reserved == 0 && !cls &&
                options == REG_OPTION_NON_VOLATILE && !sa);
    // A key whose security descriptor denies full access.
    if (g_bDenyFullAccess && (sam & KEY_ALL_ACCESS) == KEY_ALL_ACCESS) return ERROR_ACCESS_DENIED;
    return RegCreateKeyExW(root, subKey, reserved, cls, options, sam, sa, result, disposition);
  }

  testing_os::Replace<decltype(os::api.RegCreateKeyExW)> create_{os::api.RegCreateKeyExW, &Create};
  testing_os::Replace<decltype(os::api.RegOpenKeyExW)> open_{
      os::api.RegOpenKeyExW, [](HKEY root, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result) -> LSTATUS {
        g_opens.push_back(sam);
        EXPECT_TRUE(root == HKEY_LOCAL_MACHINE && !wcscmp(subKey, kKey) && options == 0);
        return RegOpenKeyExW(root, subKey, options, sam, result);
      }};
  testing_os::Replace<decltype(os::api.RegSetValueExW)> set_{
      os::api.RegSetValueExW,
      [](HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD cb) -> LSTATUS {
        g_sets.push_back(name);
        return RegSetValueExW(key, name, reserved, type, data, cb);
      }};
  testing_os::LeakCheck leaks_;  // after the fakes, so that it counts the keys they hand out
  void TearDown() override { EXPECT_EQ(leaks_.Outstanding(), 0) << leaks_.Describe(); }
};

// The parent folder is created with the key.
TEST_F(Record, FirstFailureOnCleanMachine) {
  CReg().RecordFailure(0xFFFFFFFE);
  ExpectDword(L"status", 0xFFFFFFFF);
  ExpectDword(L"code", 0xFFFFFFFE);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"updatedver", RRF_RT_ANY, nullptr,
                         nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(g_sets, (std::vector<std::wstring>{L"status", L"code"}));
  EXPECT_EQ(g_opens, std::vector<REGSAM>{KEY_QUERY_VALUE | KEY_WOW64_64KEY});
  EXPECT_EQ(g_creates, std::vector<REGSAM>(2, KEY_ALL_ACCESS | KEY_WOW64_64KEY));
}

// A REG_DWORD "status" of up to 256 bytes is read (a short one into a zeroed
// buffer); anything else is replaced by the marker.
TEST_F(Record, ExistingStatusKeptOtherTypesReplaced) {
  const DWORD zero = 0, four = 638;
  const wchar_t text[] = L"638";
  const BYTE two[] = {0x34, 0x12};
  const std::vector<BYTE> big(256, 0x11), tooBig(257, 0x22);
  const struct {
    DWORD type;
    const void* data;
    DWORD cb;
    bool bKept;
    DWORD value;
  } cases[] = {{REG_DWORD, &four, sizeof(four), true, 638},
               {REG_DWORD, &zero, sizeof(zero), true, 0},
               {REG_DWORD, two, sizeof(two), true, 0x1234},
               {REG_DWORD, big.data(), 256, true, 0x11111111},
               {REG_DWORD, tooBig.data(), 257, false, 0},
               {REG_SZ, text, sizeof(text), false, 0},
               {REG_BINARY, &four, sizeof(four), false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << ", " << c.cb << " bytes");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    Store(L"status", c.type, c.data, c.cb);
    g_sets.clear();
    DWORD out = 0x5A5A;
    EXPECT_EQ(CReg().ReadStatus(out), c.bKept);
    EXPECT_EQ(out, c.bKept ? c.value : 0x5A5Au) << "left unchanged unless read";
    CReg().RecordFailure(9);
    if (c.bKept && c.cb == sizeof(DWORD)) ExpectDword(L"status", c.value);
    if (!c.bKept) ExpectDword(L"status", 0xFFFFFFFF);
    ExpectDword(L"code", 9);
    EXPECT_EQ(g_sets, (c.bKept ? std::vector<std::wstring>{L"code"} : std::vector<std::wstring>{L"status", L"code"}));
  }
}

TEST_F(Record, FallsBackToWriteAccess) {
  g_bDenyFullAccess = true;
  for (REGSAM extra : {static_cast<REGSAM>(KEY_WOW64_64KEY), static_cast<REGSAM>(0)}) {
    SCOPED_TRACE(extra);
    g_creates.clear();
    EXPECT_TRUE(CReg().WriteDword(L"code", 77, extra));
    ExpectDword(L"code", 77);
    // The fallback names no extra flags.
    EXPECT_EQ(g_creates, (std::vector<REGSAM>{KEY_ALL_ACCESS | extra, KEY_WRITE}));
  }
  // The failure record works the same way on such a key.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
  CReg().RecordFailure(3);
  ExpectDword(L"status", 0xFFFFFFFF);
  ExpectDword(L"code", 3);
}

}  // namespace
