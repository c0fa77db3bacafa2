#include "host/reg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

constexpr wchar_t kKey[] = L"Software\\Kestrova\\Vadrel";

// A value as Wine's real registry holds it.
struct Stored {
  bool exists = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

bool KeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

Stored Read(const wchar_t* name) {
  Stored s;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return s;
  DWORD cb = 0;
  if (RegQueryValueExW(key, name, nullptr, &s.type, nullptr, &cb) == ERROR_SUCCESS) {
    s.data.resize(cb);
    s.exists = RegQueryValueExW(key, name, nullptr, &s.type, s.data.data(), &cb) == ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return s;
}

void ExpectDword(const wchar_t* name, DWORD expected) {
  const Stored s = Read(name);
  ASSERT_TRUE(s.exists) << "missing value";
  EXPECT_EQ(s.type, static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(s.data.size(), sizeof(DWORD));
  DWORD v = 0;
  memcpy(&v, s.data.data(), sizeof(v));
  EXPECT_EQ(v, expected);
}

void Store(const wchar_t* name, DWORD type, const void* data, DWORD cb) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
  RegCloseKey(key);
}

void StoreDword(const wchar_t* name, DWORD v) { Store(name, REG_DWORD, &v, sizeof(v)); }

// Every test starts without the record and leaves none behind for other suites of the prefix.
class Record : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    ASSERT_FALSE(KeyExists());
  }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
};

std::vector<REGSAM> g_creates;  // the access asked for, one per attempt
std::vector<REGSAM> g_opens;
std::vector<std::wstring> g_sets;

enum class Deny { Nothing, FullAccess, Everything };
Deny g_deny = Deny::Nothing;

// Records every creation and refuses what the test denies; the rest goes to the registry.
class RecordedAccess : public Record {
 protected:
  RecordedAccess() {
    g_creates.clear();
    g_opens.clear();
    g_sets.clear();
    g_deny = Deny::Nothing;
  }

  static LSTATUS WINAPI Create(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam,
                               const LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition) {
    g_creates.push_back(sam);
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    EXPECT_STREQ(subKey, kKey);
    EXPECT_EQ(reserved, 0u);
    EXPECT_EQ(cls, nullptr);
    EXPECT_EQ(options, static_cast<DWORD>(REG_OPTION_NON_VOLATILE));
    EXPECT_EQ(sa, nullptr);
    const bool full = (sam & KEY_ALL_ACCESS) == KEY_ALL_ACCESS;
    if (g_deny == Deny::Everything || (g_deny == Deny::FullAccess && full)) return ERROR_ACCESS_DENIED;
    return self->create_.previous()(root, subKey, reserved, cls, options, sam, sa, result, disposition);
  }

  static RecordedAccess* self;
  bool selfSet_ = (self = this, true);
  testing_os::Replace<decltype(os::api.RegCreateKeyExW)> create_{os::api.RegCreateKeyExW, &Create};
  testing_os::Replace<decltype(os::api.RegOpenKeyExW)> open_{
      os::api.RegOpenKeyExW, [](HKEY root, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result) -> LSTATUS {
        g_opens.push_back(sam);
        EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
        EXPECT_STREQ(subKey, kKey);
        EXPECT_EQ(options, 0u);
        return RegOpenKeyExW(root, subKey, options, sam, result);
      }};
  testing_os::Replace<decltype(os::api.RegSetValueExW)> set_{
      os::api.RegSetValueExW,
      [](HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD cb) -> LSTATUS {
        g_sets.push_back(name);
        EXPECT_EQ(reserved, 0u);
        return RegSetValueExW(key, name, reserved, type, data, cb);
      }};
};
RecordedAccess* RecordedAccess::self = nullptr;

TEST_F(RecordedAccess, FirstFailureOnCleanMachine) {
  // The parent folder is created with the key.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Kestrova");
  for (DWORD code : {5u, 0u, 0xFFFFFFFEu}) {
    SCOPED_TRACE(code);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    g_creates.clear();
    g_opens.clear();
    g_sets.clear();
    testing_os::LeakCheck leaks;
    CReg().RecordFailure(code);
    ExpectDword(L"status", 0xFFFFFFFF);
    ExpectDword(L"code", code);
    EXPECT_FALSE(Read(L"updatedver").exists);
    EXPECT_EQ(g_sets, (std::vector<std::wstring>{L"status", L"code"}));
    EXPECT_EQ(g_opens, std::vector<REGSAM>{KEY_QUERY_VALUE | KEY_WOW64_64KEY});
    EXPECT_EQ(g_creates, std::vector<REGSAM>(2, KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  }
}

TEST_F(RecordedAccess, ExistingStatusKeptCodeReplaced) {
  for (DWORD status : {0u, 638u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(status);
    StoreDword(L"status", status);
    StoreDword(L"code", 1);
    g_sets.clear();
    testing_os::LeakCheck leaks;
    CReg().RecordFailure(9);
    ExpectDword(L"status", status);
    ExpectDword(L"code", 9);
    EXPECT_EQ(g_sets, std::vector<std::wstring>{L"code"}) << "an existing status is never written";
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  }
}

TEST_F(RecordedAccess, StatusOfAnotherTypeCountsAsAbsent) {
  const DWORD four = 638;
  const unsigned long long eight = 638;
  const wchar_t text[] = L"638";
  const struct {
    const char* name;
    DWORD type;
    const void* data;
    DWORD cb;
  } cases[] = {
      {"REG_SZ", REG_SZ, text, sizeof(text)},
      {"REG_BINARY of four bytes", REG_BINARY, &four, sizeof(four)},
      {"REG_QWORD", REG_QWORD, &eight, sizeof(eight)},
      {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN, &four, sizeof(four)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    Store(L"status", c.type, c.data, c.cb);
    DWORD out = 0x5A5A;
    EXPECT_FALSE(CReg().ReadStatus(out));
    EXPECT_EQ(out, 0x5A5Au) << "left unchanged";
    CReg().RecordFailure(12);
    ExpectDword(L"status", 0xFFFFFFFF);
    ExpectDword(L"code", 12);
  }
}

TEST_F(Record, ReadStatus) {
  const std::vector<BYTE> big(256, 0x11);
  const std::vector<BYTE> tooBig(257, 0x22);
  const BYTE two[] = {0x34, 0x12};
  const DWORD plain = 0x12345678;
  const struct {
    const char* name;
    bool key;
    const void* data;
    DWORD cb;
    bool expected;
    DWORD value;
  } cases[] = {
      {"no key", false, nullptr, 0, false, 0},
      {"key without status", true, nullptr, 0, false, 0},
      {"four bytes", true, &plain, sizeof(plain), true, 0x12345678},
      {"256 bytes", true, big.data(), 256, true, 0x11111111},
      {"257 bytes", true, tooBig.data(), 257, false, 0},
      {"two bytes", true, two, sizeof(two), true, 0x1234},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    if (c.key) StoreDword(L"other", 1);
    if (c.data) Store(L"status", REG_DWORD, c.data, c.cb);
    testing_os::LeakCheck leaks;
    DWORD out = 0xA5A5A5A5;
    EXPECT_EQ(CReg().ReadStatus(out), c.expected);
    EXPECT_EQ(out, c.expected ? c.value : 0xA5A5A5A5);
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  }
  EXPECT_FALSE(KeyExists() && Read(L"code").exists) << "reading writes nothing";
}

TEST_F(RecordedAccess, WriteDwordPassesExtraFlagsOnFirstAttempt) {
  for (REGSAM extra : {static_cast<REGSAM>(KEY_WOW64_64KEY), static_cast<REGSAM>(0)}) {
    SCOPED_TRACE(extra);
    g_creates.clear();
    testing_os::LeakCheck leaks;
    EXPECT_TRUE(CReg().WriteDword(L"status", 0x0BADF00D, extra));
    ExpectDword(L"status", 0x0BADF00D);
    EXPECT_EQ(g_creates, std::vector<REGSAM>{KEY_ALL_ACCESS | extra});
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  }
}

TEST_F(RecordedAccess, FallsBackToWriteAccess) {
  // An existing key whose security descriptor denies full access.
  StoreDword(L"status", 0);
  g_deny = Deny::FullAccess;
  for (REGSAM extra : {static_cast<REGSAM>(KEY_WOW64_64KEY), static_cast<REGSAM>(0)}) {
    SCOPED_TRACE(extra);
    g_creates.clear();
    testing_os::LeakCheck leaks;
    EXPECT_TRUE(CReg().WriteDword(L"code", 77, extra));
    ExpectDword(L"code", 77);
    // The fallback names no extra flags.
    EXPECT_EQ(g_creates, (std::vector<REGSAM>{KEY_ALL_ACCESS | extra, KEY_WRITE}));
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  }
  // The failure record works the same way on such a key.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
  CReg().RecordFailure(3);
  ExpectDword(L"status", 0xFFFFFFFF);
  ExpectDword(L"code", 3);
}

TEST_F(RecordedAccess, NoRightToCreateTheKey) {
  g_deny = Deny::Everything;
  testing_os::LeakCheck leaks;
  EXPECT_FALSE(CReg().WriteDword(L"code", 4, KEY_WOW64_64KEY));
  EXPECT_EQ(g_creates, (std::vector<REGSAM>{KEY_ALL_ACCESS | KEY_WOW64_64KEY, KEY_WRITE}));
  g_creates.clear();
  CReg().RecordFailure(4);
  EXPECT_EQ(g_creates.size(), 4u) << "both values are tried";
  EXPECT_TRUE(g_sets.empty());
  EXPECT_FALSE(KeyExists());
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

TEST_F(Record, WriteDwordReportsFailedSetAndClosesTheKey) {
  FAKE(RegSetValueExW, [](HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) -> LSTATUS {
    return ERROR_ACCESS_DENIED;
  });
  testing_os::LeakCheck leaks;
  EXPECT_FALSE(CReg().WriteDword(L"code", 1, 0));
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  EXPECT_TRUE(KeyExists()) << "the key was created before the set";
}

}  // namespace
