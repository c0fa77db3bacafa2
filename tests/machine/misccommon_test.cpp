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
const wchar_t kPath[] = L"\\\\?\\root#zrplat#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}";

// A failing call leaves 0xE000 + its number as the last error.
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

  std::vector<std::string> wrongArgs;
  std::vector<DWORD> enumIndexes;
  std::wstring openedPath;
  int nIoctls = 0;
} g;

void Expect(bool ok, const char* what) {
  if (!ok) g.wrongArgs.push_back(what);
}

bool Failing(Fail f) {
  if (g.fail != f) return false;
  SetLastError(0xE000 + static_cast<DWORD>(f));
  return true;
}

WINBOOL WINAPI FakeDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                          DWORD cbDetail, PDWORD required, PSP_DEVINFO_DATA element) {
  Expect(set == kSet && iface && iface->Reserved == 1, "detail: set or interface");
  const DWORD cbNeeded = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(kPath);
  if (!detail) {
    Expect(cbDetail == 0 && required && !element, "detail size query: arguments");
    if (Failing(Fail::DetailFirst)) return FALSE;
    *required = cbNeeded;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // What SetupAPI itself checks on 64-bit Windows, and the size it reported.
  if (detail->cbSize != 8 || !element || element->cbSize != sizeof(SP_DEVINFO_DATA) || cbDetail < cbNeeded) {
    g.wrongArgs.push_back("detail: cbSize or buffer");
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (Failing(Fail::DetailSecond)) return FALSE;
  wcscpy(detail->DevicePath, kPath);
  element->Reserved = 1;
  return TRUE;
}

LSTATUS WINAPI FakeRegQuery(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD, LPBYTE data, LPDWORD cb) {
  Expect(key == kKey && name && wcscmp(name, L"DriverVersion") == 0 && !reserved, "query: key or name");
  Expect(data && cb && *cb == 256, "query: buffer of 256 bytes");
  if (Failing(Fail::RegQuery)) return ERROR_FILE_NOT_FOUND;
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
  Driver() { g = Machine(); }
  void TearDown() override {
    EXPECT_EQ(leaks_.Outstanding(), 0) << leaks_.Describe();
    EXPECT_EQ(leaks_.Unmatched(), 0) << leaks_.Describe();
    EXPECT_TRUE(g.wrongArgs.empty()) << g.wrongArgs.front();
  }
  static void SetReply(BYTE extendedLength) {
    memset(g.reply, 0xA5, sizeof(g.reply));
    memcpy(g.reply + 40, "ABCDEFGHIJKL", 12);
    g.reply[95] = extendedLength;
    memcpy(g.reply + 96, "mnopqrst", 8);
  }

  R<decltype(os::api.SetupDiGetClassDevsW)> classDevs_{
      os::api.SetupDiGetClassDevsW, [](const GUID* guid, PCWSTR enumerator, HWND hwnd, DWORD flags) -> HDEVINFO {
        Expect(guid && IsEqualGUID(*guid, kClass) && !enumerator && !hwnd &&
                   flags == (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
               "class devs: arguments");
        return Failing(Fail::ClassDevs) ? INVALID_HANDLE_VALUE : kSet;
      }};
  R<decltype(os::api.SetupDiEnumDeviceInterfaces)> enum_{
      os::api.SetupDiEnumDeviceInterfaces,
      [](HDEVINFO set, PSP_DEVINFO_DATA element, const GUID* guid, DWORD index,
         PSP_DEVICE_INTERFACE_DATA data) -> WINBOOL {
        g.enumIndexes.push_back(index);
        Expect(set == kSet && !element && guid && IsEqualGUID(*guid, kClass) && data &&
                   data->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA),
               "enum: arguments");
        if (static_cast<int>(index) >= g.nInterfaces) {
          SetLastError(ERROR_NO_MORE_ITEMS);
          return FALSE;
        }
        data->Reserved = index + 1;
        return TRUE;
      }};
  R<decltype(os::api.SetupDiGetDeviceInterfaceDetailW)> detail_{os::api.SetupDiGetDeviceInterfaceDetailW,
                                                                &FakeDetail};
  R<decltype(os::api.HeapAlloc)> heapAlloc_{os::api.HeapAlloc, [](HANDLE heap, DWORD flags, SIZE_T cb) -> LPVOID {
                                              Expect(heap == GetProcessHeap() && flags == 0, "HeapAlloc: arguments");
                                              return Failing(Fail::HeapAlloc) ? nullptr : ::HeapAlloc(heap, 0, cb);
                                            }};
  R<decltype(os::api.HeapFree)> heapFree_{os::api.HeapFree, [](HANDLE heap, DWORD flags, LPVOID p) -> WINBOOL {
                                            const WINBOOL ok = ::HeapFree(heap, flags, p);
                                            SetLastError(kCleanupError);
                                            return ok;
                                          }};
  R<decltype(os::api.SetupDiOpenDevRegKey)> regKey_{
      os::api.SetupDiOpenDevRegKey,
      [](HDEVINFO set, PSP_DEVINFO_DATA element, DWORD scope, DWORD profile, DWORD keyType, REGSAM sam) -> HKEY {
        Expect(set == kSet && element && element->Reserved == 1 && scope == DICS_FLAG_GLOBAL && profile == 0 &&
                   keyType == DIREG_DRV && sam == KEY_READ,
               "dev reg key: arguments");
        return Failing(Fail::OpenDevRegKey) ? static_cast<HKEY>(INVALID_HANDLE_VALUE) : kKey;
      }};
  R<decltype(os::api.RegQueryValueExW)> query_{os::api.RegQueryValueExW, &FakeRegQuery};
  R<decltype(os::api.RegCloseKey)> regClose_{os::api.RegCloseKey, [](HKEY key) -> LSTATUS {
                                               Expect(key == kKey, "RegCloseKey: key");
                                               SetLastError(kCleanupError);
                                               return ERROR_SUCCESS;
                                             }};
  R<decltype(os::api.SetupDiDestroyDeviceInfoList)> destroy_{os::api.SetupDiDestroyDeviceInfoList,
                                                            [](HDEVINFO set) -> WINBOOL {
                                                              Expect(set == kSet, "destroy: set");
                                                              SetLastError(kCleanupError);
                                                              return TRUE;
                                                            }};
  R<decltype(os::api.CreateFileW)> createFile_{
      os::api.CreateFileW, [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                              DWORD flags, HANDLE tmpl) -> HANDLE {
        g.openedPath = path ? path : L"";
        Expect(access == (GENERIC_READ | GENERIC_WRITE) && share == 0 && !sa && disposition == OPEN_EXISTING &&
                   flags == 0 && !tmpl,
               "CreateFileW: arguments");
        return Failing(Fail::CreateFile) ? INVALID_HANDLE_VALUE : kDevice;
      }};
  R<decltype(os::api.CloseHandle)> closeHandle_{os::api.CloseHandle, [](HANDLE h) -> WINBOOL {
                                                  Expect(h == kDevice, "CloseHandle: handle");
                                                  SetLastError(kCleanupError);
                                                  return TRUE;
                                                }};
  R<decltype(os::api.DeviceIoControl)> ioctl_{os::api.DeviceIoControl, &FakeIoctl};
  testing_os::LeakCheck leaks_;  // after the fakes, so that it counts what they hand out
};

TEST_F(Driver, OpensTheFirstInterfaceAndReadsTheVersionOnce) {
  g.nInterfaces = 2;
  MiscCommon::CMiscCommon driver;
  g.fail = Fail::CreateFile;
  ASSERT_EQ(driver.OpenDriver(), 11u);
  g.fail = Fail::None;
  g.version = L"9.9.9.9";  // not read again
  ASSERT_EQ(driver.OpenDriver(), 0u);
  EXPECT_EQ(g.enumIndexes, std::vector<DWORD>(2, 0));
  EXPECT_EQ(g.openedPath, kPath);
  EXPECT_EQ(driver._hDevice.get(), kDevice);
  EXPECT_STREQ(driver._szErrorText.get(), L"");
  EXPECT_STREQ(driver._szVersion.get(), L"1.0.8.0");
}

TEST_F(Driver, OpenFailuresGiveTheirCodeTextAndError) {
  struct Row {
    Fail fail;
    int nInterfaces;
    DWORD result;
    const wchar_t* text;
    DWORD lastError;  // the failing call's, never the clean-up's
  } const rows[] = {
      {Fail::ClassDevs, 1, 2, L"SetupDiGetClassDevs failed.", 0xE001},
      {Fail::None, 0, 6, L"SetupDiEnumDeviceInterfaces failed.", ERROR_NO_MORE_ITEMS},
      {Fail::DetailFirst, 1, 2, L"SetupDiGetDeviceInterfaceDetail (First time) failed.", 0xE002},
      {Fail::HeapAlloc, 1, 5, L"HeapAlloc failed.", 0xE003},
      {Fail::DetailSecond, 1, 2, L"SetupDiGetDeviceInterfaceDetail (Second time) failed.", 0xE004},
      {Fail::OpenDevRegKey, 1, 2, L"SetupDiOpenDevRegKey failed.", 0xE005},
      {Fail::RegQuery, 1, 2, L"RegQueryValueEx failed.", 0xE006},
      {Fail::CreateFile, 1, 11, L"CreateFile failed.", 0xE007},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "result " << row.result << ", error 0x" << std::hex << row.lastError);
    g.fail = row.fail;
    g.nInterfaces = row.nInterfaces;
    MiscCommon::CMiscCommon driver;
    SetLastError(0);
    EXPECT_EQ(driver.OpenDriver(), row.result);
    EXPECT_EQ(GetLastError(), row.lastError);
    EXPECT_EQ(driver._szErrorText.get(), std::wstring(L"MiscCommon::CMiscCommon::OpenDriver: ") + row.text);
    EXPECT_FALSE(driver._hDevice.valid());
    EXPECT_EQ(static_cast<bool>(driver._szVersion), row.fail == Fail::CreateFile);
    EXPECT_EQ(leaks_.Outstanding(), 0) << leaks_.Describe();
  }
}

TEST_F(Driver, VersionGate) {
  struct Row {
    const wchar_t* text;
    bool bUnterminated;
    DWORD version[4];
    DWORD result;
  } const rows[] = {
      {L"1.0.7.99", false, {1, 0, 7, 99}, 10}, {L"1.0.8.0", false, {1, 0, 8, 0}, 0},
      {L"1.1.0.0", false, {1, 1, 0, 0}, 0},    {L"2.0.0.0", false, {2, 0, 0, 0}, 0},
      {L"0.9.9.9", false, {0, 9, 9, 9}, 10},   {L"v1.0.8.0", false, {0, 0, 0, 0}, 10},
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
  const char* const kStd = "ABCDEFGHIJKL";  // the standard field
  struct Row {
    BYTE extendedLength;
    ULONGLONG capacity;
    bool bNoBuffer;
    DWORD result;
    ULONGLONG lengthOut;
    const char* bytes;  // what lands in the buffer, nullptr: untouched
  } const rows[] = {
      {0, 11, false, 5, 12, nullptr},  {0, 16, false, 0, 12, kStd},  {0, 20, false, 0, 12, kStd},
      {11, 11, false, 2, 11, nullptr}, {11, 16, false, 2, 16, nullptr}, {11, 20, false, 2, 20, nullptr},
      {12, 11, false, 5, 12, nullptr}, {12, 16, false, 0, 12, kStd}, {12, 20, false, 0, 12, "ABCDEFGHIJKm"},
      {15, 11, false, 5, 12, nullptr}, {15, 16, false, 0, 12, kStd}, {15, 20, false, 0, 15, "ABCDEFGHIJKmnop"},
      {19, 11, false, 5, 12, nullptr}, {19, 16, false, 0, 12, kStd}, {19, 20, false, 0, 19, "ABCDEFGHIJKmnopqrst"},
      {20, 11, false, 2, 11, nullptr}, {20, 16, false, 2, 16, nullptr}, {20, 20, false, 2, 20, nullptr},
      // The size query, and a capacity without a buffer.
      {0, 0, true, 5, 12, nullptr},    {19, 0, true, 5, 12, nullptr},   {0, 5, true, 3, 5, nullptr},
  };
  MiscCommon::CMiscCommon driver;
  ASSERT_EQ(driver.OpenDriver(), 0u);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "extended length " << int(row.extendedLength) << ", capacity "
                                    << row.capacity);
    SetReply(row.extendedLength);
    wcscpy(driver._szErrorText.get(), L"untouched");
    BYTE buffer[32];
    memset(buffer, '#', sizeof(buffer));
    ULONGLONG cb = row.capacity;
    EXPECT_EQ(driver.GetModelNumber(row.bNoBuffer ? nullptr : buffer, &cb), row.result);
    EXPECT_EQ(cb, row.lengthOut);
    const std::string expected = row.bytes ? row.bytes : "";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), sizeof(buffer)),
              expected + std::string(sizeof(buffer) - expected.size(), '#'));
    EXPECT_STREQ(driver._szErrorText.get(), L"untouched");
  }
}

TEST_F(Driver, FailedRequestOrShortReply) {
  MiscCommon::CMiscCommon driver;
  ASSERT_EQ(driver.OpenDriver(), 0u);
  const struct {
    BOOL bOk;
    DWORD cbReply;
  } rows[] = {{TRUE, 127}, {FALSE, 128}};
  for (const auto& [bOk, cbReply] : rows) {
    SCOPED_TRACE(testing::Message() << "ok " << bOk << ", " << cbReply << " bytes");
    g.bIoctlOk = bOk;
    g.cbReply = cbReply;
    BYTE buffer[20] = {};
    ULONGLONG cb = sizeof(buffer);
    EXPECT_EQ(driver.GetModelNumber(buffer, &cb), 2u);
    EXPECT_STREQ(driver._szErrorText.get(), L"MiscCommon::CMiscCommon::GetModelNumber: DeviceIoControl failed.");
    EXPECT_EQ(cb, 20u);
  }
}

// Closing twice releases once (the leak count sees a second release); a closed
// driver is not asked.
TEST_F(Driver, ClosedDriverIsNotAsked) {
  MiscCommon::CMiscCommon driver;
  driver.CloseDriver();
  ASSERT_EQ(driver.OpenDriver(), 0u);
  driver.CloseDriver();
  driver.CloseDriver();
  BYTE buffer[20];
  ULONGLONG cb = sizeof(buffer);
  EXPECT_EQ(driver.GetModelNumber(buffer, &cb), 8u);
  EXPECT_EQ(g.nIoctls, 0);
}

}  // namespace
