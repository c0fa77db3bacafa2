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

// One present ACPI device: its hardware ids, or none (the property cannot be read).
struct Device {
  std::vector<std::wstring> ids;
  bool hasIds = true;
};

// A faked device tree behind SetupDiGetClassDevsW, SetupDiEnumDeviceInfo and
// SetupDiGetDeviceRegistryPropertyW, with what the lookup did to it.
struct Tree {
  std::vector<Device> devices;
  DWORD enumEndError = ERROR_NO_MORE_ITEMS;
  bool classDevsFails = false;
  int allocFailsAt = 0;  // 1-based LocalAlloc call that fails; 0: none

  // Seen
  int classDevsCalls = 0;
  const GUID* classGuid = reinterpret_cast<const GUID*>(1);
  std::wstring enumerator;
  HWND parent = reinterpret_cast<HWND>(1);
  DWORD flags = 0;
  std::vector<HDEVINFO> destroyed;
  std::vector<DWORD> enumIndexes;
  std::vector<DWORD> propertiesAsked;
  bool cbSizeAlwaysSet = true;
  std::vector<SIZE_T> allocSizes;
  std::vector<UINT> allocFlags;
};
Tree* g_tree = nullptr;

std::vector<wchar_t> MultiSz(const std::vector<std::wstring>& ids) {
  std::vector<wchar_t> v;
  for (const auto& id : ids) v.insert(v.end(), id.c_str(), id.c_str() + id.size() + 1);
  v.push_back(L'\0');
  return v;
}

class DeviceTree {
 public:
  explicit DeviceTree(Tree& tree) { g_tree = &tree; }
  ~DeviceTree() { g_tree = nullptr; }
  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

 private:
  static HDEVINFO WINAPI ClassDevs(const GUID* guid, PCWSTR enumerator, HWND parent, DWORD flags) {
    ++g_tree->classDevsCalls;
    g_tree->classGuid = guid;
    g_tree->enumerator = enumerator ? enumerator : L"(null)";
    g_tree->parent = parent;
    g_tree->flags = flags;
    if (g_tree->classDevsFails) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    return kSet;
  }
  static WINBOOL WINAPI Enum(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    g_tree->enumIndexes.push_back(index);
    if (set != kSet) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) g_tree->cbSizeAlwaysSet = false;
    if (index >= g_tree->devices.size()) {
      SetLastError(g_tree->enumEndError);
      return FALSE;
    }
    data->DevInst = kFirstDevInst + index;
    return TRUE;
  }
  static WINBOOL WINAPI Property(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer,
                                 DWORD cbBuffer, PDWORD cbRequired) {
    g_tree->propertiesAsked.push_back(property);
    if (set != kSet || property != SPDRP_HARDWAREID) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (buffer == nullptr && cbBuffer != 0) {  // as SetupAPI answers a size without a buffer
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    const Device& device = g_tree->devices.at(data->DevInst - kFirstDevInst);
    if (!device.hasIds) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    const std::vector<wchar_t> list = MultiSz(device.ids);
    const DWORD cbList = static_cast<DWORD>(list.size() * sizeof(wchar_t));
    if (cbRequired) *cbRequired = cbList;
    if (buffer == nullptr || cbBuffer < cbList) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    memcpy(buffer, list.data(), cbList);
    if (type) *type = REG_MULTI_SZ;
    return TRUE;
  }
  static WINBOOL WINAPI Destroy(HDEVINFO set) {
    g_tree->destroyed.push_back(set);
    return TRUE;
  }
  static HLOCAL WINAPI Alloc(UINT flags, SIZE_T cb) {
    g_tree->allocFlags.push_back(flags);
    g_tree->allocSizes.push_back(cb);
    if (static_cast<int>(g_tree->allocSizes.size()) == g_tree->allocFailsAt) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    return LocalAlloc(flags, cb);
  }

  testing_os::Replace<decltype(os::api.SetupDiGetClassDevsW)> classDevs_{os::api.SetupDiGetClassDevsW, &ClassDevs};
  testing_os::Replace<decltype(os::api.SetupDiEnumDeviceInfo)> enum_{os::api.SetupDiEnumDeviceInfo, &Enum};
  testing_os::Replace<decltype(os::api.SetupDiGetDeviceRegistryPropertyW)> property_{
      os::api.SetupDiGetDeviceRegistryPropertyW, &Property};
  testing_os::Replace<decltype(os::api.SetupDiDestroyDeviceInfoList)> destroy_{os::api.SetupDiDestroyDeviceInfoList,
                                                                              &Destroy};
  testing_os::Replace<decltype(os::api.LocalAlloc)> alloc_{os::api.LocalAlloc, &Alloc};
};

struct LookupCase {
  const char* name;
  std::vector<Device> devices;
  const wchar_t* wanted;
  bool found;
  DWORD devInst;                     // the matching device, when found
  std::vector<std::string> trace;    // the whole trace, in order
  std::vector<SIZE_T> allocations;   // LocalAlloc sizes, in order
  DWORD enumEndError = ERROR_NO_MORE_ITEMS;
};

constexpr SIZE_T Bytes(size_t units) { return units * sizeof(wchar_t); }

class Lookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(Lookup, TracesIdsAndManagesSetAndBuffer) {
  const LookupCase& c = GetParam();
  Tree tree;
  tree.devices = c.devices;
  tree.enumEndError = c.enumEndError;
  DeviceTree fakes(tree);
  TraceCapture trace;
  testing_os::LeakCheck leaks;

  HDEVINFO set = nullptr;
  SP_DEVINFO_DATA data;
  memset(&data, 0xCC, sizeof(data));
  const bool found = FindTpmDevice(c.wanted, &set, &data);

  EXPECT_EQ(found, c.found);
  ExpectTrace(trace.lines(), c.trace);
  EXPECT_EQ(tree.allocSizes, c.allocations);
  for (UINT flags : tree.allocFlags) EXPECT_EQ(flags, static_cast<UINT>(LPTR));
  EXPECT_TRUE(tree.cbSizeAlwaysSet);
  EXPECT_EQ(tree.classDevsCalls, 1);
  EXPECT_EQ(tree.classGuid, nullptr);
  EXPECT_EQ(tree.enumerator, L"ACPI");
  EXPECT_EQ(tree.parent, nullptr);
  EXPECT_EQ(tree.flags, static_cast<DWORD>(DIGCF_PRESENT | DIGCF_ALLCLASSES));
  for (DWORD i = 0; i < tree.enumIndexes.size(); ++i) EXPECT_EQ(tree.enumIndexes[i], i);
  for (DWORD p : tree.propertiesAsked) EXPECT_EQ(p, static_cast<DWORD>(SPDRP_HARDWAREID));
  if (c.found) {
    EXPECT_EQ(set, kSet);
    EXPECT_EQ(data.cbSize, sizeof(SP_DEVINFO_DATA));
    EXPECT_EQ(data.DevInst, c.devInst);
    EXPECT_TRUE(tree.destroyed.empty()) << "the caller owns the set";
    os::api.SetupDiDestroyDeviceInfoList(set);
  } else {
    EXPECT_EQ(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(tree.destroyed, std::vector<HDEVINFO>{kSet});
  }
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  EXPECT_EQ(leaks.Unmatched(), 0) << leaks.Describe();
}

const Device kBattery{{L"ACPI\\PNP0C0A", L"*PNP0C0A"}};
const Device kNoIds{{}, false};

INSTANTIATE_TEST_SUITE_P(
    Tree, Lookup,
    ::testing::Values(
        LookupCase{"LowerCaseIdOfSecondDeviceMatches",
                   {kBattery, Device{{L"acpi\\ifx0102", L"*PNP0C31"}}},
                   kTpmId,
                   true,
                   kFirstDevInst + 1,
                   {"ACPI\\PNP0C0A", "*PNP0C0A", "acpi\\ifx0102"},
                   {Bytes(23)}},
        LookupCase{"LaterIdOfAListMatches",
                   {Device{{L"ACPI\\VEN_IFX&DEV_0102", L"ACPI\\IFX0102", L"*PNP0C31"}}},
                   kTpmId,
                   true,
                   kFirstDevInst,
                   {"ACPI\\VEN_IFX&DEV_0102", "ACPI\\IFX0102"},
                   {Bytes(22 + 13 + 9 + 1)}},
        LookupCase{"DeviceWithoutIdsIsSkipped",
                   {kNoIds, Device{{L"ACPI\\IFX0102"}}},
                   kTpmId,
                   true,
                   kFirstDevInst + 1,
                   {"695: SetupDiGetDeviceRegistryProperty Error", "ACPI\\IFX0102"},
                   {Bytes(14)}},
        LookupCase{"ShorterListReusesTheBuffer",
                   {Device{{L"ACPI\\PNP0A08", L"*PNP0A03", L"*PNP0C0A"}}, Device{{L"ACPI\\IFX0102"}}},
                   kTpmId,
                   true,
                   kFirstDevInst + 1,
                   {"ACPI\\PNP0A08", "*PNP0A03", "*PNP0C0A", "ACPI\\IFX0102"},
                   {Bytes(13 + 9 + 9 + 1)}},
        LookupCase{"LongerListGetsAnExactBuffer",
                   {Device{{L"*PNP0C0A"}}, Device{{L"ACPI\\PNP0A08", L"acpi\\IFX0102"}}},
                   kTpmId,
                   true,
                   kFirstDevInst + 1,
                   {"*PNP0C0A", "ACPI\\PNP0A08", "acpi\\IFX0102"},
                   {Bytes(10), Bytes(13 + 13 + 1)}},
        LookupCase{"BufferForgottenAfterAnUnreadableDevice",
                   {Device{{L"ACPI\\PNP0A08"}}, kNoIds, Device{{L"ACPI\\IFX0102"}}},
                   kTpmId,
                   true,
                   kFirstDevInst + 2,
                   {"ACPI\\PNP0A08", "695: SetupDiGetDeviceRegistryProperty Error", "ACPI\\IFX0102"},
                   {Bytes(14), Bytes(14)}},
        LookupCase{"OnlyAsciiLettersIgnoreCase",
                   {Device{{L"ACPI\\IFX0102\u00E9"}}},
                   L"ACPI\\IFX0102\u00C9",
                   false,
                   0,
                   {"*", "{vadrel} 723: Device Not Found"},
                   {Bytes(15)}},
        LookupCase{"PrefixOfTheIdDoesNotMatch",
                   {Device{{L"ACPI\\IFX01"}}, Device{{L"ACPI\\IFX01023"}}},
                   kTpmId,
                   false,
                   0,
                   {"ACPI\\IFX01", "ACPI\\IFX01023", "{vadrel} 723: Device Not Found"},
                   {Bytes(12), Bytes(15)}},
        LookupCase{"NoDevicesAtAll", {}, kTpmId, false, 0, {"{vadrel} 723: Device Not Found"}, {}},
        LookupCase{"EnumerationErrorIsTracedAsErrorText",
                   {Device{{L"ACPI\\PNP0A08"}}},
                   kTpmId,
                   false,
                   0,
                   {"ACPI\\PNP0A08", "errorcode=0x6(6), *"},
                   {Bytes(14)},
                   ERROR_INVALID_HANDLE}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return std::string(info.param.name); });

TEST(TpmDeviceFailure, MissingOutParametersTouchNothing) {
  Tree tree;
  DeviceTree fakes(tree);
  TraceCapture trace;
  HDEVINFO set = kSet;
  SP_DEVINFO_DATA data;
  EXPECT_FALSE(FindTpmDevice(kTpmId, nullptr, &data));
  EXPECT_FALSE(FindTpmDevice(kTpmId, &set, nullptr));
  EXPECT_EQ(set, kSet);
  EXPECT_EQ(tree.classDevsCalls, 0);
  ExpectTrace(trace.lines(), {"640: NULL Pointer Exception", "640: NULL Pointer Exception"});
}

TEST(TpmDeviceFailure, SetNotOpened) {
  Tree tree;
  tree.classDevsFails = true;
  DeviceTree fakes(tree);
  TraceCapture trace;
  testing_os::LeakCheck leaks;
  HDEVINFO set = nullptr;
  SP_DEVINFO_DATA data{};
  EXPECT_FALSE(FindTpmDevice(kTpmId, &set, &data));
  EXPECT_EQ(set, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(tree.enumIndexes.empty());
  EXPECT_TRUE(tree.destroyed.empty());
  ExpectTrace(trace.lines(), {"658: SetupDiGetClassDevs error", "errorcode=0x57(87), *"});
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

TEST(TpmDeviceFailure, AllocationFailureDestroysTheSet) {
  Tree tree;
  tree.devices = {Device{{L"*PNP0C0A"}}, Device{{L"ACPI\\PNP0A08", L"ACPI\\IFX0102"}}};
  tree.allocFailsAt = 2;
  DeviceTree fakes(tree);
  TraceCapture trace;
  testing_os::LeakCheck leaks;
  HDEVINFO set = nullptr;
  SP_DEVINFO_DATA data{};
  EXPECT_FALSE(FindTpmDevice(kTpmId, &set, &data));
  EXPECT_EQ(set, INVALID_HANDLE_VALUE);
  EXPECT_EQ(tree.destroyed, std::vector<HDEVINFO>{kSet});
  EXPECT_EQ(tree.enumIndexes, (std::vector<DWORD>{0, 1}));
  ExpectTrace(trace.lines(), {"*PNP0C0A", "688: LocalAlloc Error"});
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

}  // namespace
