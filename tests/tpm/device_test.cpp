#include "tpm/device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/fake.h"
#include "tests/support/leaks.h"
#include "tests/tpm/tpm_testing.h"

namespace {

using tpm_testing::ExpectTrace;
using tpm_testing::TraceCapture;

HDEVINFO const kSet = reinterpret_cast<HDEVINFO>(static_cast<INT_PTR>(0x5E70));
constexpr DWORD kFirstDevInst = 100;
constexpr wchar_t kTpmId[] = L"ACPI\\IFX0102";

// One present ACPI device: its hardware ids; none means the property cannot be read.
using Device = std::vector<std::wstring>;

// A faked device tree. It answers only the calls made as the lookup must make
// them (all present ACPI devices, cbSize set, the hardware ids, LPTR blocks);
// any other call fails.
struct Tree {
  std::vector<Device> devices;
  DWORD enumEndError = ERROR_NO_MORE_ITEMS;
  bool classDevsFails = false;
  size_t allocFailsAt = 0;  // 1-based LocalAlloc call that fails; 0: none
  std::vector<SIZE_T> allocSizes{};
  int opened = 0;
};
Tree* g_tree = nullptr;

WINBOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}
HDEVINFO WINAPI ClassDevs(const GUID* guid, PCWSTR enumerator, HWND parent, DWORD flags) {
  ++g_tree->opened;
  const bool right = !guid && enumerator && wcscmp(enumerator, L"ACPI") == 0 && !parent &&
                     flags == static_cast<DWORD>(DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (right && !g_tree->classDevsFails) return kSet;
  SetLastError(ERROR_INVALID_PARAMETER);
  return INVALID_HANDLE_VALUE;
}
WINBOOL WINAPI Enum(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  if (set != kSet || data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_HANDLE);
  if (index >= g_tree->devices.size()) return Fail(g_tree->enumEndError);
  data->DevInst = kFirstDevInst + index;
  return TRUE;
}
WINBOOL WINAPI Property(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer,
                        DWORD cbBuffer, PDWORD cbRequired) {
  if (set != kSet || property != SPDRP_HARDWAREID) return Fail(ERROR_INVALID_PARAMETER);
  if (!buffer && cbBuffer != 0) return Fail(ERROR_INVALID_USER_BUFFER);  // as SetupAPI answers
  const Device& ids = g_tree->devices.at(data->DevInst - kFirstDevInst);
  if (ids.empty()) return Fail(ERROR_INVALID_DATA);
  std::vector<wchar_t> list;  // REG_MULTI_SZ
  for (const auto& id : ids) list.insert(list.end(), id.c_str(), id.c_str() + id.size() + 1);
  list.push_back(L'\0');
  const DWORD cbList = static_cast<DWORD>(list.size() * sizeof(wchar_t));
  if (cbRequired) *cbRequired = cbList;
  if (!buffer || cbBuffer < cbList) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(buffer, list.data(), cbList);
  if (type) *type = REG_MULTI_SZ;
  return TRUE;
}
HLOCAL WINAPI Alloc(UINT flags, SIZE_T cb) {
  g_tree->allocSizes.push_back(cb);
  if (flags == LPTR && g_tree->allocSizes.size() != g_tree->allocFailsAt) return LocalAlloc(flags, cb);
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

// Puts a tree in place while it lives.
struct DeviceTree {
  explicit DeviceTree(Tree& tree) { g_tree = &tree; }
  testing_os::Replace<decltype(os::api.SetupDiGetClassDevsW)> classDevs_{os::api.SetupDiGetClassDevsW, &ClassDevs};
  testing_os::Replace<decltype(os::api.SetupDiEnumDeviceInfo)> enum_{os::api.SetupDiEnumDeviceInfo, &Enum};
  testing_os::Replace<decltype(os::api.SetupDiGetDeviceRegistryPropertyW)> property_{
      os::api.SetupDiGetDeviceRegistryPropertyW, &Property};
  testing_os::Replace<decltype(os::api.SetupDiDestroyDeviceInfoList)> destroy_{
      os::api.SetupDiDestroyDeviceInfoList, [](HDEVINFO set) -> WINBOOL { return set == kSet; }};
  testing_os::Replace<decltype(os::api.LocalAlloc)> alloc_{os::api.LocalAlloc, &Alloc};
};

struct LookupCase {
  const char* name;
  std::vector<Device> devices;
  DWORD devInst;                    // the matching device; 0: not found
  std::vector<std::string> trace;   // the whole trace, in order
  std::vector<SIZE_T> allocations;  // LocalAlloc sizes, in order
  const wchar_t* wanted = kTpmId;
  DWORD enumEndError = ERROR_NO_MORE_ITEMS;
  bool classDevsFails = false;
  size_t allocFailsAt = 0;
};

constexpr SIZE_T Bytes(size_t units) { return units * sizeof(wchar_t); }

class Lookup : public ::testing::TestWithParam<LookupCase> {};

// The leak count also proves the set is destroyed on every failure and left
// to the caller (who destroys it here) when found.
TEST_P(Lookup, TracesIdsAndManagesSetAndBuffer) {
  const LookupCase& c = GetParam();
  Tree tree{c.devices, c.enumEndError, c.classDevsFails, c.allocFailsAt};
  DeviceTree fakes(tree);
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  HDEVINFO set = nullptr;
  SP_DEVINFO_DATA data;
  memset(&data, 0xCC, sizeof(data));
  EXPECT_EQ(FindTpmDevice(c.wanted, &set, &data), c.devInst != 0);

  ExpectTrace(trace.lines(), c.trace);
  EXPECT_EQ(tree.allocSizes, c.allocations);
  EXPECT_EQ(set, c.devInst ? kSet : INVALID_HANDLE_VALUE);
  if (c.devInst) {
    EXPECT_EQ(data.DevInst, c.devInst);
    os::api.SetupDiDestroyDeviceInfoList(set);
  }
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  EXPECT_EQ(leaks.Unmatched(), 0) << leaks.Describe();
}

const char kNotFound[] = "{vadrel} 723: Device Not Found";
const char kUnreadable[] = "695: SetupDiGetDeviceRegistryProperty Error";

INSTANTIATE_TEST_SUITE_P(
    Tree, Lookup,
    ::testing::Values(
        LookupCase{"LowerCaseIdMatches", {{L"ACPI\\PNP0C0A", L"*PNP0C0A"}, {L"acpi\\ifx0102", L"*PNP0C31"}},
                   kFirstDevInst + 1, {"ACPI\\PNP0C0A", "*PNP0C0A", "acpi\\ifx0102"}, {Bytes(23)}},
        LookupCase{"ShorterListReusesBuffer", {{L"ACPI\\PNP0A08", L"*PNP0A03", L"*PNP0C0A"}, {L"ACPI\\IFX0102"}},
                   kFirstDevInst + 1, {"ACPI\\PNP0A08", "*PNP0A03", "*PNP0C0A", "ACPI\\IFX0102"}, {Bytes(32)}},
        LookupCase{"LongerListGetsAnExactBuffer", {{L"*PNP0C0A"}, {L"ACPI\\PNP0A08", L"acpi\\IFX0102"}},
                   kFirstDevInst + 1, {"*PNP0C0A", "ACPI\\PNP0A08", "acpi\\IFX0102"}, {Bytes(10), Bytes(13 + 13 + 1)}},
        LookupCase{"DeviceWithoutIdsIsSkippedAndTheBufferForgotten", {{L"ACPI\\PNP0A08"}, {}, {L"ACPI\\IFX0102"}},
                   kFirstDevInst + 2, {"ACPI\\PNP0A08", kUnreadable, "ACPI\\IFX0102"}, {Bytes(14), Bytes(14)}},
        // A prefix, a longer id, and one that differs only in a non-ASCII letter's case.
        LookupCase{"OnlyTheWholeIdWithAsciiLettersFoldedMatches",
                   {{L"ACPI\\IFX0102", L"ACPI\\IFX0102\u00C90"}, {L"acpi\\ifx0102\u00E9"}}, 0,
                   {"ACPI\\IFX0102", "*", "*", kNotFound}, {Bytes(13 + 15 + 1)}, L"ACPI\\IFX0102\u00C9"},
        LookupCase{"EnumerationErrorIsTracedAsErrorText", {{L"ACPI\\PNP0A08"}}, 0,
                   {"ACPI\\PNP0A08", "errorcode=0x6(6), *"}, {Bytes(14)}, kTpmId, ERROR_INVALID_HANDLE},
        LookupCase{"SetNotOpened", {}, 0, {"658: SetupDiGetClassDevs error", "errorcode=0x57(87), *"}, {}, kTpmId,
                   ERROR_NO_MORE_ITEMS, true},
        LookupCase{"AllocationFailure", {{L"*PNP0C0A"}, {L"ACPI\\PNP0A08", L"ACPI\\IFX0102"}}, 0,
                   {"*PNP0C0A", "688: LocalAlloc Error"}, {Bytes(10), Bytes(13 + 13 + 1)}, kTpmId,
                   ERROR_NO_MORE_ITEMS, false, 2}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.name); });

TEST(TpmDevice, MissingOutParametersTouchNothing) {
  Tree tree{{{kTpmId}}};
  DeviceTree fakes(tree);
  TraceCapture trace;
  HDEVINFO set = kSet;
  SP_DEVINFO_DATA data;
  EXPECT_FALSE(FindTpmDevice(kTpmId, nullptr, &data));
  EXPECT_FALSE(FindTpmDevice(kTpmId, &set, nullptr));
  EXPECT_EQ(set, kSet);
  EXPECT_EQ(tree.opened, 0);
  ExpectTrace(trace.lines(), {"640: NULL Pointer Exception", "640: NULL Pointer Exception"});
}

}  // namespace
