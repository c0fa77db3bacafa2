#include "machine/misccommon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

// The interface class as the driver's documentation writes it.
const GUID kClass = {0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(0x5E70);
const HKEY kKey = reinterpret_cast<HKEY>(0x4E70);
const HANDLE kDevice = reinterpret_cast<HANDLE>(0xDE70);
constexpr DWORD kCleanupError = 0x5EED;  // what every clean-up call leaves behind
const wchar_t* const kPaths[] = {L"\\\\?\\root#zrplat#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}",
                                 L"\\\\?\\root#zrplat#0001#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}"};

enum class Fail { None, ClassDevs, DetailFirst, HeapAlloc, DetailSecond, OpenDevRegKey, RegQuery, CreateFile };

// The faked device tree and driver, and what the code under test did to it.
struct Machine {
  int nInterfaces = 1;
  std::wstring version = L"1.0.8.0";
  bool bVersionUnterminated = false;  // the value fills the 256 bytes, no zero
  Fail fail = Fail::None;
  BYTE reply[128] = {};
  DWORD cbReply = 128;
  BOOL bIoctlOk = TRUE;

  std::vector<std::string> calls;
  std::vector<std::string> wrongArgs;
  std::vector<DWORD> enumIndexes;
  std::wstring openedPath;
  DWORD cbDetailNeeded = 0;
  SIZE_T cbAllocated = 0;
  int nIoctls = 0;
  int nCloses = 0;
} g;

void Expect(bool ok, const char* what) {
  if (!ok) g.wrongArgs.push_back(what);
}

DWORD NeededDetailBytes(DWORD index) {
  return static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                            (wcslen(kPaths[index]) + 1) * sizeof(WCHAR));
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCWSTR enumerator, HWND hwnd, DWORD flags) {
  g.calls.push_back("SetupDiGetClassDevsW");
  Expect(guid && IsEqualGUID(*guid, kClass), "class devs: class");
  Expect(!enumerator && !hwnd && flags == (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), "class devs: arguments");
  if (g.fail == Fail::ClassDevs) {
    SetLastError(0xE001);
    return INVALID_HANDLE_VALUE;
  }
  return kSet;
}

WINBOOL WINAPI FakeEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA element, const GUID* guid, DWORD index,
                                  PSP_DEVICE_INTERFACE_DATA data) {
  g.calls.push_back("SetupDiEnumDeviceInterfaces");
  g.enumIndexes.push_back(index);
  Expect(set == kSet && !element && guid && IsEqualGUID(*guid, kClass), "enum: arguments");
  Expect(data && data->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA), "enum: cbSize");
  if (static_cast<int>(index) >= g.nInterfaces) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = kClass;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  return TRUE;
}

WINBOOL WINAPI FakeDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                          DWORD cbDetail, PDWORD required, PSP_DEVINFO_DATA element) {
  g.calls.push_back("SetupDiGetDeviceInterfaceDetailW");
  Expect(set == kSet && iface && iface->Reserved >= 1, "detail: set or interface");
  const DWORD index = static_cast<DWORD>(iface->Reserved - 1);
  g.cbDetailNeeded = NeededDetailBytes(index);
  if (!detail) {
    Expect(cbDetail == 0 && required && !element, "detail size query: arguments");
    if (g.fail == Fail::DetailFirst) {
      SetLastError(0xE003);
      return FALSE;
    }
    *required = g.cbDetailNeeded;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // What SetupAPI itself checks on 64-bit Windows.
  if (detail->cbSize != 8 || !element || element->cbSize != sizeof(SP_DEVINFO_DATA)) {
    g.wrongArgs.push_back("detail: cbSize");
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (cbDetail < g.cbDetailNeeded) {
    g.wrongArgs.push_back("detail: buffer smaller than reported");
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (g.fail == Fail::DetailSecond) {
    SetLastError(0xE005);
    return FALSE;
  }
  wcscpy(detail->DevicePath, kPaths[index]);
  element->Reserved = index + 1;
  if (required) *required = g.cbDetailNeeded;
  return TRUE;
}

LPVOID WINAPI FakeHeapAlloc(HANDLE heap, DWORD flags, SIZE_T cb) {
  g.calls.push_back("HeapAlloc");
  Expect(heap == GetProcessHeap() && flags == 0, "HeapAlloc: arguments");
  g.cbAllocated = cb;
  if (g.fail == Fail::HeapAlloc) {
    SetLastError(0xE004);
    return nullptr;
  }
  return ::HeapAlloc(heap, flags, cb);
}

WINBOOL WINAPI FakeHeapFree(HANDLE heap, DWORD flags, LPVOID p) {
  g.calls.push_back("HeapFree");
  const WINBOOL ok = ::HeapFree(heap, flags, p);
  SetLastError(kCleanupError);
  return ok;
}

HKEY WINAPI FakeOpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA element, DWORD scope, DWORD profile, DWORD keyType,
                              REGSAM sam) {
  g.calls.push_back("SetupDiOpenDevRegKey");
  Expect(set == kSet && element && element->Reserved == 1, "dev reg key: set or element of the first interface");
  Expect(scope == DICS_FLAG_GLOBAL && profile == 0 && keyType == DIREG_DRV && sam == KEY_READ,
         "dev reg key: arguments");
  if (g.fail == Fail::OpenDevRegKey) {
    SetLastError(0xE006);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  return kKey;
}

LSTATUS WINAPI FakeRegQuery(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb) {
  g.calls.push_back("RegQueryValueExW");
  Expect(key == kKey && name && wcscmp(name, L"DriverVersion") == 0 && !reserved, "query: key or name");
  Expect(data && cb && *cb == 256, "query: buffer of 256 bytes");
  if (g.fail == Fail::RegQuery) {
    SetLastError(0xE007);
    return ERROR_FILE_NOT_FOUND;
  }
  if (type) *type = REG_SZ;
  std::wstring text = g.version;
  DWORD cbText = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
  if (g.bVersionUnterminated) {
    text.resize(128, L'9');
    cbText = 256;
  }
  if (cbText > *cb) return ERROR_MORE_DATA;
  memcpy(data, text.c_str(), cbText);
  *cb = cbText;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeRegClose(HKEY key) {
  g.calls.push_back("RegCloseKey");
  Expect(key == kKey, "RegCloseKey: key");
  SetLastError(kCleanupError);
  return ERROR_SUCCESS;
}

WINBOOL WINAPI FakeDestroyList(HDEVINFO set) {
  g.calls.push_back("SetupDiDestroyDeviceInfoList");
  Expect(set == kSet, "destroy: set");
  SetLastError(kCleanupError);
  return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                             DWORD flags, HANDLE tmpl) {
  g.calls.push_back("CreateFileW");
  g.openedPath = path ? path : L"";
  Expect(access == (GENERIC_READ | GENERIC_WRITE) && share == 0 && !sa && disposition == OPEN_EXISTING &&
             flags == 0 && !tmpl,
         "CreateFileW: arguments");
  if (g.fail == Fail::CreateFile) {
    SetLastError(0xE008);
    return INVALID_HANDLE_VALUE;
  }
  return kDevice;
}

WINBOOL WINAPI FakeCloseHandle(HANDLE h) {
  ++g.nCloses;
  Expect(h == kDevice, "CloseHandle: handle");
  SetLastError(kCleanupError);
  return TRUE;
}

WINBOOL WINAPI FakeIoctl(HANDLE h, DWORD code, LPVOID in, DWORD cbIn, LPVOID out, DWORD cbOut, LPDWORD returned,
                         LPOVERLAPPED overlapped) {
  ++g.nIoctls;
  Expect(h == kDevice && code == 0x00222940 && !in && cbIn == 0 && out && cbOut == 128 && returned && !overlapped,
         "DeviceIoControl: arguments");
  memcpy(out, g.reply, std::min<DWORD>(g.cbReply, cbOut));
  *returned = g.cbReply;
  return g.bIoctlOk;
}

template <class F>
using R = testing_os::Replace<F>;

// Every test runs on the faked machine, and ends with nothing left open and
// every call made with the arguments the driver and SetupAPI expect.
class Driver : public ::testing::Test {
 protected:
  Driver() {
    g = Machine();
    SetReply(0, "ZR-45A1234K1", "");
  }
  void TearDown() override {
    EXPECT_EQ(leaks_.Outstanding(), 0) << leaks_.Describe();
    EXPECT_EQ(leaks_.Unmatched(), 0) << leaks_.Describe();
    EXPECT_TRUE(g.wrongArgs.empty()) << g.wrongArgs.front();
  }
  static void SetReply(BYTE extendedLength, const char* standard12, const char* continuation8) {
    memset(g.reply, 0xA5, sizeof(g.reply));
    memcpy(g.reply + 40, standard12, 12);
    g.reply[95] = extendedLength;
    memcpy(g.reply + 96, continuation8, strlen(continuation8));
  }

  R<decltype(os::api.SetupDiGetClassDevsW)> classDevs_{os::api.SetupDiGetClassDevsW, &FakeGetClassDevs};
  R<decltype(os::api.SetupDiEnumDeviceInterfaces)> enum_{os::api.SetupDiEnumDeviceInterfaces, &FakeEnumInterfaces};
  R<decltype(os::api.SetupDiGetDeviceInterfaceDetailW)> detail_{os::api.SetupDiGetDeviceInterfaceDetailW,
                                                                &FakeDetail};
  R<decltype(os::api.HeapAlloc)> heapAlloc_{os::api.HeapAlloc, &FakeHeapAlloc};
  R<decltype(os::api.HeapFree)> heapFree_{os::api.HeapFree, &FakeHeapFree};
  R<decltype(os::api.SetupDiOpenDevRegKey)> regKey_{os::api.SetupDiOpenDevRegKey, &FakeOpenDevRegKey};
  R<decltype(os::api.RegQueryValueExW)> query_{os::api.RegQueryValueExW, &FakeRegQuery};
  R<decltype(os::api.RegCloseKey)> regClose_{os::api.RegCloseKey, &FakeRegClose};
  R<decltype(os::api.SetupDiDestroyDeviceInfoList)> destroy_{os::api.SetupDiDestroyDeviceInfoList,
                                                            &FakeDestroyList};
  R<decltype(os::api.CreateFileW)> createFile_{os::api.CreateFileW, &FakeCreateFile};
  R<decltype(os::api.CloseHandle)> closeHandle_{os::api.CloseHandle, &FakeCloseHandle};
  R<decltype(os::api.DeviceIoControl)> ioctl_{os::api.DeviceIoControl, &FakeIoctl};
  testing_os::LeakCheck leaks_;  // after the fakes, so that it counts what they hand out
};

TEST_F(Driver, OpenCallsInOrderAndReleasesAllButTheDevice) {
  MiscCommon::CMiscCommon driver;
  ASSERT_EQ(driver.OpenDriver(), 0u);
  const std::vector<std::string> expected = {
      "SetupDiGetClassDevsW", "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailW", "HeapAlloc",
      "SetupDiGetDeviceInterfaceDetailW", "SetupDiOpenDevRegKey", "RegQueryValueExW", "RegCloseKey",
      "SetupDiDestroyDeviceInfoList", "CreateFileW", "HeapFree"};
  EXPECT_EQ(g.calls, expected);
  EXPECT_EQ(g.cbAllocated, g.cbDetailNeeded);
  EXPECT_EQ(g.openedPath, kPaths[0]);
  EXPECT_EQ(driver._hDevice.get(), kDevice);
  EXPECT_STREQ(driver._szErrorText.get(), L"");
  EXPECT_STREQ(driver._szVersion.get(), L"1.0.8.0");
}

TEST_F(Driver, OnlyTheFirstOfTwoInterfacesIsOpened) {
  g.nInterfaces = 2;
  MiscCommon::CMiscCommon driver;
  ASSERT_EQ(driver.OpenDriver(), 0u);
  EXPECT_EQ(g.enumIndexes, std::vector<DWORD>{0});
  EXPECT_EQ(g.openedPath, kPaths[0]);
}

TEST_F(Driver, OpenFailuresGiveTheirCodeTextAndError) {
  struct Row {
    Fail fail;
    int nInterfaces;
    DWORD result;
    const wchar_t* text;
    DWORD lastError;  // the failing call's, never the clean-up's
    bool bVersionHeld;
  } const rows[] = {
      {Fail::ClassDevs, 1, 2, L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetClassDevs failed.", 0xE001, false},
      {Fail::None, 0, 6, L"MiscCommon::CMiscCommon::OpenDriver: SetupDiEnumDeviceInterfaces failed.",
       ERROR_NO_MORE_ITEMS, false},
      {Fail::DetailFirst, 1, 2,
       L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (First time) failed.", 0xE003, false},
      {Fail::HeapAlloc, 1, 5, L"MiscCommon::CMiscCommon::OpenDriver: HeapAlloc failed.", 0xE004, false},
      {Fail::DetailSecond, 1, 2,
       L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (Second time) failed.", 0xE005, false},
      {Fail::OpenDevRegKey, 1, 2, L"MiscCommon::CMiscCommon::OpenDriver: SetupDiOpenDevRegKey failed.", 0xE006,
       false},
      {Fail::RegQuery, 1, 2, L"MiscCommon::CMiscCommon::OpenDriver: RegQueryValueEx failed.", 0xE007, false},
      {Fail::CreateFile, 1, 11, L"MiscCommon::CMiscCommon::OpenDriver: CreateFile failed.", 0xE008, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "result " << row.result << ", error 0x" << std::hex << row.lastError);
    g.fail = row.fail;
    g.nInterfaces = row.nInterfaces;
    MiscCommon::CMiscCommon driver;
    SetLastError(0);
    EXPECT_EQ(driver.OpenDriver(), row.result);
    EXPECT_EQ(GetLastError(), row.lastError);
    EXPECT_STREQ(driver._szErrorText.get(), row.text);
    EXPECT_FALSE(driver._hDevice.valid());
    EXPECT_EQ(static_cast<bool>(driver._szVersion), row.bVersionHeld);
    EXPECT_EQ(leaks_.Outstanding(), 0) << leaks_.Describe();
  }
}

TEST_F(Driver, ReopenReusesTheVersionAndEmptiesTheText) {
  MiscCommon::CMiscCommon driver;
  g.fail = Fail::CreateFile;
  ASSERT_EQ(driver.OpenDriver(), 11u);
  g.fail = Fail::None;
  g.version = L"9.9.9.9";
  ASSERT_EQ(driver.OpenDriver(), 0u);
  driver.CloseDriver();
  ASSERT_EQ(driver.OpenDriver(), 0u);
  EXPECT_EQ(std::count(g.calls.begin(), g.calls.end(), "SetupDiOpenDevRegKey"), 1);
  EXPECT_STREQ(driver._szVersion.get(), L"1.0.8.0");
  EXPECT_EQ(driver._nVersion[2], 8u);
  EXPECT_STREQ(driver._szErrorText.get(), L"");
}

TEST_F(Driver, VersionGate) {
  struct Row {
    const wchar_t* text;
    bool bUnterminated;
    DWORD version[4];
    DWORD result;
  } const rows[] = {
      {L"1.0.7.99", false, {1, 0, 7, 99}, 10}, {L"1.0.7.4", false, {1, 0, 7, 4}, 10},
      {L"1.0.8.0", false, {1, 0, 8, 0}, 0},    {L"1.1.0.0", false, {1, 1, 0, 0}, 0},
      {L"2.0.0.0", false, {2, 0, 0, 0}, 0},    {L"0.9.9.9", false, {0, 9, 9, 9}, 10},
      {L"1.0", false, {1, 0, 0, 0}, 10},       {L"1.0.8", false, {1, 0, 8, 0}, 0},
      {L"v1.0.8.0", false, {0, 0, 0, 0}, 10},  {L"", false, {0, 0, 0, 0}, 10},
      {L"1.2.3.4x", true, {1, 2, 3, 4}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "DriverVersion " << testing::PrintToString(std::wstring(row.text)));
    g.version = row.text;
    g.bVersionUnterminated = row.bUnterminated;
    g.nIoctls = 0;
    MiscCommon::CMiscCommon driver;
    ASSERT_EQ(driver.OpenDriver(), 0u);
    EXPECT_LT(wcsnlen(driver._szVersion.get(), 256), 256u);
    EXPECT_EQ(std::vector<DWORD>(driver._nVersion, driver._nVersion + 4),
              std::vector<DWORD>(row.version, row.version + 4));
    BYTE model[20];
    ULONGLONG cb = sizeof(model);
    EXPECT_EQ(driver.GetModelNumber(model, &cb), row.result);
    EXPECT_EQ(g.nIoctls, row.result == 0 ? 1 : 0);
  }
}

TEST_F(Driver, ModelNumberForms) {
  struct Row {
    BYTE extendedLength;
    ULONGLONG capacity;
    bool bNoBuffer;
    DWORD result;
    ULONGLONG lengthOut;
    const char* bytes;  // what lands in the buffer, nullptr: untouched
  } const rows[] = {
      {0, 20, false, 0, 12, "ABCDEFGHIJKL"},       {0, 12, false, 0, 12, "ABCDEFGHIJKL"},
      {0, 11, false, 5, 12, nullptr},              {0, 0, true, 5, 12, nullptr},
      {0, 64, false, 0, 12, "ABCDEFGHIJKL"},       {12, 20, false, 0, 12, "ABCDEFGHIJKm"},
      {15, 20, false, 0, 15, "ABCDEFGHIJKmnop"},   {19, 20, false, 0, 19, "ABCDEFGHIJKmnopqrst"},
      {19, 64, false, 0, 19, "ABCDEFGHIJKmnopqrst"}, {15, 16, false, 0, 12, "ABCDEFGHIJKL"},
      {19, 19, false, 0, 12, "ABCDEFGHIJKL"},      {15, 11, false, 5, 12, nullptr},
      {19, 0, true, 5, 12, nullptr},               {11, 20, false, 2, 20, nullptr},
      {20, 20, false, 2, 20, nullptr},             {255, 20, false, 2, 20, nullptr},
  };
  MiscCommon::CMiscCommon driver;
  ASSERT_EQ(driver.OpenDriver(), 0u);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "extended length " << int(row.extendedLength) << ", capacity "
                                    << row.capacity);
    SetReply(row.extendedLength, "ABCDEFGHIJKL", "mnopqrst");
    wcscpy(driver._szErrorText.get(), L"untouched");
    BYTE buffer[64];
    memset(buffer, '#', sizeof(buffer));
    ULONGLONG cb = row.capacity;
    EXPECT_EQ(driver.GetModelNumber(row.bNoBuffer ? nullptr : buffer, &cb), row.result);
    EXPECT_EQ(cb, row.lengthOut);
    const std::string written(reinterpret_cast<const char*>(buffer), sizeof(buffer));
    const std::string expected = row.bytes ? row.bytes : "";
    EXPECT_EQ(written, expected + std::string(sizeof(buffer) - expected.size(), '#'));
    EXPECT_STREQ(driver._szErrorText.get(), L"untouched");
  }
}

TEST_F(Driver, FailedRequestOrShortReply) {
  struct Row {
    BOOL bOk;
    DWORD cbReply;
  } const rows[] = {{TRUE, 127}, {FALSE, 128}, {FALSE, 0}, {TRUE, 0}};
  MiscCommon::CMiscCommon driver;
  ASSERT_EQ(driver.OpenDriver(), 0u);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "ok " << row.bOk << ", " << row.cbReply << " bytes");
    g.bIoctlOk = row.bOk;
    g.cbReply = row.cbReply;
    driver._szErrorText[0] = L'\0';
    BYTE buffer[20] = {};
    ULONGLONG cb = sizeof(buffer);
    EXPECT_EQ(driver.GetModelNumber(buffer, &cb), 2u);
    EXPECT_STREQ(driver._szErrorText.get(), L"MiscCommon::CMiscCommon::GetModelNumber: DeviceIoControl failed.");
    EXPECT_EQ(cb, 20u);
  }
}

TEST_F(Driver, ChecksBeforeTheRequestInOrder) {
  enum class State { New, NewWithVersion, OpenedClosed, Opened, OpenedHandleZero };
  struct Row {
    State state;
    bool bNoLength;
    bool bNoBuffer;
    ULONGLONG capacity;
    DWORD result;
  } const rows[] = {
      {State::New, true, true, 5, 10},           {State::NewWithVersion, true, false, 20, 8},
      {State::OpenedClosed, false, false, 20, 8}, {State::OpenedHandleZero, false, false, 20, 8},
      {State::Opened, true, false, 20, 3},        {State::Opened, false, true, 5, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "state " << int(row.state) << ", result " << row.result);
    g.nIoctls = 0;
    MiscCommon::CMiscCommon driver;
    if (row.state == State::NewWithVersion) driver._nVersion[0] = 2;
    if (row.state >= State::OpenedClosed) {
      ASSERT_EQ(driver.OpenDriver(), 0u);
    }
    if (row.state == State::OpenedClosed) driver.CloseDriver();
    if (row.state == State::OpenedHandleZero) driver._hDevice.reset(nullptr);
    BYTE buffer[20];
    ULONGLONG cb = row.capacity;
    EXPECT_EQ(driver.GetModelNumber(row.bNoBuffer ? nullptr : buffer, row.bNoLength ? nullptr : &cb), row.result);
    EXPECT_EQ(g.nIoctls, 0);
    if (row.state == State::OpenedHandleZero) driver._hDevice.release();  // not a handle to close
  }
}

TEST_F(Driver, CloseTouchesOnlyAnOpenHandle) {
  {
    MiscCommon::CMiscCommon never;
    never.CloseDriver();
  }
  EXPECT_EQ(g.nCloses, 0);
  {
    MiscCommon::CMiscCommon driver;
    ASSERT_EQ(driver.OpenDriver(), 0u);
    driver.CloseDriver();
    EXPECT_FALSE(driver._hDevice.valid());
    driver.CloseDriver();
    EXPECT_EQ(g.nCloses, 1);
    ASSERT_EQ(driver.OpenDriver(), 0u);
  }
  EXPECT_EQ(g.nCloses, 2);  // destruction closes what is open
}

}  // namespace
