#include <gtest/gtest.h>

#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "machine/misccommon.h"
#include "machine/model.h"
#include "machine/preinstall.h"
#include "tests/support/fake.h"

#define ANSWER(name, ...) \
  testing_os::Replace<decltype(os::api.name)> name##_ { os::api.name, __VA_ARGS__ }

size_t g_allocated = 0;  // bytes of C++ memory the program has asked for

namespace {

std::wstring g_version;  // "DriverVersion" as stored, without a terminator
BYTE g_reply[128];
// The end of a page followed by one never committed.
BYTE* const kPageEnd = static_cast<BYTE*>(VirtualAlloc(VirtualAlloc(nullptr, 0x2000, MEM_RESERVE, PAGE_NOACCESS), 0x1000,
                                                       MEM_COMMIT, PAGE_READWRITE)) +
                       0x1000;

// The controller's interface, driver key and device, as SetupAPI and the driver answer.
constexpr wchar_t kDevicePath[] = L"\\\\?\\root#zr45pc#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}";
struct Controller {
  ANSWER(SetupDiGetClassDevsW, [](auto...) { return HDEVINFO(1); });
  ANSWER(SetupDiEnumDeviceInterfaces, [](auto...) { return WINBOOL(TRUE); });
  ANSWER(SetupDiGetDeviceInterfaceDetailW,
         [](auto, auto, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD cb, PDWORD required, auto) {
           *required = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(kDevicePath);
           if (cb < *required) return SetLastError(ERROR_INSUFFICIENT_BUFFER), WINBOOL(FALSE);
           return memcpy(detail->DevicePath, kDevicePath, sizeof(kDevicePath)), WINBOOL(TRUE);
         });
  ANSWER(SetupDiOpenDevRegKey, [](auto...) { return HKEY(1); });
  ANSWER(RegQueryValueExW, [](auto, auto, auto, auto, LPBYTE data, LPDWORD cb) {
    const DWORD cbValue = static_cast<DWORD>(g_version.size() * sizeof(wchar_t));
    if (cbValue > *cb) return *cb = cbValue, LSTATUS(ERROR_MORE_DATA);  // the size it needs, nothing read
    return memcpy(data, g_version.data(), *cb = cbValue), LSTATUS(ERROR_SUCCESS);
  });
  ANSWER(SetupDiDestroyDeviceInfoList, [](auto...) { return WINBOOL(TRUE); });
  ANSWER(CreateFileW, [](auto...) { return HANDLE(1); });
  ANSWER(DeviceIoControl, [](auto, auto, auto, auto, LPVOID out, auto, LPDWORD returned, auto) {
    return memcpy(out, g_reply, sizeof(g_reply)), *returned = sizeof(g_reply), WINBOOL(TRUE);
  });
  MiscCommon::CMiscCommon driver;  // released while the fakes are still in place
};

// Drivers up to 1.0.7 are never asked (10). The reply's standard model number is
// 12 bytes at 40; an extended one of 12 to 19 bytes (its length at 95) is 11
// standard bytes and the rest from 96, when 20 bytes fit.
TEST(Controller, ModelNumberReply) {
  const std::wstring v108 = L"1.0.8.0", full = v108 + std::wstring(121, L' ');  // 128 characters, no terminator
  const struct {
    std::wstring version;
    BYTE extended;
    ULONGLONG capacity;
    DWORD result;
    std::string model;
  } rows[] = {{v108, 0, 20, 0, "ABCDEFGHIJKL"},
              {v108, 0, 12, 0, "ABCDEFGHIJKL"},
              {v108, 0, 11, 5, ""},
              {v108, 12, 20, 0, "ABCDEFGHIJKm"},
              {v108, 19, 20, 0, "ABCDEFGHIJKmnopqrst"},
              {v108, 19, 19, 0, "ABCDEFGHIJKL"},
              {v108, 11, 20, 2, ""},
              {v108, 20, 20, 2, ""},
              {full, 0, 20, 0, "ABCDEFGHIJKL"},
              {L"1.1.0.0", 0, 20, 0, "ABCDEFGHIJKL"},
              {L"2.0.0.0", 0, 20, 0, "ABCDEFGHIJKL"},
              {L"1.0.7.99", 0, 20, 10, ""},
              {L"0.9.9.9", 0, 20, 10, ""},
              {L"v1.0.8.0", 0, 20, 10, ""},
              {L"1.0", 0, 20, 10, ""}};
  memset(g_reply, 0xA5, sizeof(g_reply));
  memcpy(g_reply + 40, "ABCDEFGHIJKL", 12), memcpy(g_reply + 96, "mnopqrst", 8);
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << testing::PrintToString(row.version) << ", " << int(row.extended) << ", "
                                    << row.capacity);
    g_version = row.version, g_reply[95] = row.extended;
    Controller c;
    ASSERT_EQ(c.driver.OpenDriver(), 0u);
    BYTE* const model = kPageEnd - row.capacity;  // nothing may be written past it
    ULONGLONG cb = row.capacity;
    EXPECT_EQ(c.driver.GetModelNumber(model, &cb), row.result);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(model), row.result ? 0 : cb), row.model);
    EXPECT_EQ(cb, row.result == 5 ? 12 : row.result ? row.capacity : row.model.size());  // 5: the size it needs
  }
}

// A "DriverVersion" longer than the read takes fails the open; the registry's
// error is kept as the last error.
TEST(Controller, VersionTooLong) {
  g_version = std::wstring(129, L'1');
  Controller c;
  EXPECT_EQ(c.driver.OpenDriver(), 2u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
}

// "ZR-45" or "ZR45", A to D, any four, K or N, any one; no line breaks. The
// subject ends at the first zero byte, or where the count ends it.
TEST(ModelRule, AcceptedAndRefusedNumbers) {
  auto Model = [](const std::string& b, size_t n) {
    return IsSupportedModelNumber(reinterpret_cast<const BYTE*>(b.data()), n);
  };
  using namespace std::string_literals;  // a literal's zero bytes kept
  const std::vector<std::string> accepted = {
      "ZR-45A1234K1", "ZR45B9X9XN0", "ZR-45C....N.", "ZR45D    K ", "ZR-45D\x01\xff\x7f\tK\x80", "ZR45A1234K1\0ZZ"s};
  const std::vector<std::string> refused = {"ZR-45E1234K1",  "ZR-45A1234X1",  "zr-45a1234k1",    "ZR-45A1234K12",
                                            "ZR-45A1234K",   "ZR--45A1234K1", "ZR_45A1234K1",    " ZR-45A1234K1",
                                            "ZR-45A12\n4K1", "ZR45A1234K\r",  "\0ZR-45A1234K1"s, ""};
  for (bool ok : {true, false})
    for (const std::string& b : ok ? accepted : refused) EXPECT_EQ(Model(b, b.size()), ok) << testing::PrintToString(b);
  EXPECT_TRUE(Model("ZR-45A1234K1xyz", 12));
  EXPECT_FALSE(Model("ZR-45A1234K1", 11));
  EXPECT_FALSE(IsSupportedModelNumber(nullptr, 0));
}

const std::string kImage1 = "ZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n";

// At most five lines of at most 4097 bytes are read, whatever the file holds: the check asks
// for little memory, all told.
TEST(Image, HugeFilesAreReadInBoundedMemory) {
  const struct {
    std::string head;
    long zeros;
    bool accepted;
  } rows[] = {{"", 64 << 20, false}, {kImage1, 64 << 20, true}, {kImage1 + std::string(4 << 20, '\n'), 0, true}};
  for (const auto& row : rows) {
    FILE* f = _wfopen(L"image.doc", L"wb");  // the bytes, then that many zero bytes
    fwrite(row.head.data(), 1, row.head.size(), f);
    _chsize_s(_fileno(f), static_cast<__int64>(row.head.size()) + row.zeros);
    fclose(f);
    const size_t before = g_allocated;
    EXPECT_EQ(CheckPreinstallVersion(L"image.doc"), row.accepted) << row.head.size();
    EXPECT_LT(g_allocated - before, size_t{64} << 10) << row.head.size();
  }
  ::DeleteFileW(L"image.doc");
}

}  // namespace

void* operator new(size_t cb) {
  g_allocated += cb;
  if (void* p = malloc(cb ? cb : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
