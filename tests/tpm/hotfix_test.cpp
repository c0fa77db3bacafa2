#include "tpm/hotfix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "tests/support/fake.h"
#include "tests/support/fake_wmi.h"
#include "tests/support/leaks.h"
#include "tests/tpm/tpm_testing.h"

namespace {

constexpr CLSID kAdministrativeLocator = {
    0xCB8555CC, 0x9128, 0x11D1, {0xAD, 0x9B, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};
constexpr IID kLocatorIid = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

using namespace testing_wmi;

void ExpectAllReleased(FakeWmi& fake) {
  EXPECT_EQ(fake.locator.refs(), 0);
  EXPECT_EQ(fake.services.refs(), 0);
  EXPECT_EQ(fake.results.refs(), 0);
  EXPECT_EQ(fake.object.refs(), 0);
  EXPECT_EQ(g_wmi->liveBstrs, 0);
}

const std::vector<std::string> kWholeSequence = {
    "CoInitializeSecurity/0", "CoCreateInstance/0", "ConnectServer/1", "CoSetProxyBlanket/0",
    "ExecQuery/2",            "Next/0",             "Get/1",           "CompareStringW/0"};
const std::vector<std::string> kAllReleased = {"object", "enumerator", "services", "locator"};

TEST(HotfixQuery, InstalledUpdateWithExactArguments) {
  Wmi wmi;
  FakeWmi fake(wmi);
  tpm_testing::TraceCapture trace;
  testing_os::LeakCheck leaks;

  EXPECT_TRUE(IsHotfixInstalled());

  EXPECT_EQ(wmi.calls, kWholeSequence) << "order, and request strings made just before and freed after each call";
  EXPECT_EQ(wmi.finalReleases, kAllReleased);
  ExpectAllReleased(fake);
  EXPECT_TRUE(trace.lines().empty());
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();

  EXPECT_EQ(wmi.sec.sd, nullptr);
  EXPECT_EQ(wmi.sec.services, -1);
  EXPECT_EQ(wmi.sec.list, nullptr);
  EXPECT_EQ(wmi.sec.reserved1, nullptr);
  EXPECT_EQ(wmi.sec.level, static_cast<DWORD>(RPC_C_AUTHN_LEVEL_PKT));
  EXPECT_EQ(wmi.sec.impersonation, static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE));
  EXPECT_EQ(wmi.sec.authList, nullptr);
  EXPECT_EQ(wmi.sec.caps, static_cast<DWORD>(EOAC_NONE));
  EXPECT_EQ(wmi.sec.reserved3, nullptr);

  EXPECT_TRUE(IsEqualCLSID(wmi.clsid, kAdministrativeLocator));
  EXPECT_EQ(wmi.outer, nullptr);
  EXPECT_EQ(wmi.context, 5u);
  EXPECT_TRUE(IsEqualIID(wmi.iid, kLocatorIid));

  EXPECT_EQ(wmi.ns, L"root\\cimv2");
  EXPECT_EQ(wmi.nsLength, 10u) << "a real BSTR with its length";
  EXPECT_TRUE(wmi.connectRestNull);
  EXPECT_EQ(wmi.connectFlags, 0);

  EXPECT_EQ(wmi.proxy, static_cast<IUnknown*>(&fake.services));
  EXPECT_EQ(wmi.authn, 0xFFFFFFFFu);
  EXPECT_EQ(wmi.authz, 0xFFFFFFFFu);
  EXPECT_EQ(wmi.principal, nullptr);
  EXPECT_EQ(wmi.blanketLevel, 4u);
  EXPECT_EQ(wmi.blanketImp, 3u);
  EXPECT_EQ(wmi.identity, nullptr);
  EXPECT_EQ(wmi.blanketCaps, 0u);

  EXPECT_EQ(wmi.language, L"WQL");
  EXPECT_EQ(wmi.query, L"SELECT * FROM Win32_QuickFixEngineering WHERE HotFixId=\"KB3133977\"");
  EXPECT_EQ(wmi.execFlags, 0x30);
  EXPECT_EQ(wmi.execContext, nullptr);

  EXPECT_EQ(wmi.timeout, static_cast<LONG>(0xFFFFFFFF));
  EXPECT_EQ(wmi.count, 1u);

  EXPECT_EQ(wmi.property, L"HotFixId");
  EXPECT_EQ(wmi.getFlags, 0);
  EXPECT_TRUE(wmi.getOutsNull);
  ASSERT_NE(wmi.valueSlot, nullptr);
  EXPECT_EQ(wmi.cleared, std::vector<VARIANT*>{wmi.valueSlot}) << "the value is cleared once";

  EXPECT_EQ(wmi.compareLocale, static_cast<LCID>(LOCALE_INVARIANT));
  EXPECT_EQ(wmi.compareFlags, static_cast<DWORD>(NORM_IGNORECASE));
  EXPECT_EQ(wmi.compareFirst, L"KB3133977");
  EXPECT_EQ(wmi.compareSecond, L"KB3133977");
  EXPECT_EQ(wmi.compareLengths[0], -1);
  EXPECT_EQ(wmi.compareLengths[1], -1);
  EXPECT_EQ(wmi.bstrTexts, (std::vector<std::wstring>{L"root\\cimv2", L"WQL", wmi.query, L"HotFixId"}));
}

// One row per way the query can end: the answer, and how far it got.
struct QueryCase {
  const char* name;
  void (*setup)(Wmi&);
  bool installed;
  size_t callsMade;  // how many of the whole sequence were made
  std::vector<std::string> released;
};

class HotfixOutcome : public ::testing::TestWithParam<QueryCase> {};

TEST_P(HotfixOutcome, AnswersAndReleasesEverything) {
  const QueryCase& c = GetParam();
  Wmi wmi;
  c.setup(wmi);
  FakeWmi fake(wmi);
  tpm_testing::TraceCapture trace;
  testing_os::LeakCheck leaks;

  EXPECT_EQ(IsHotfixInstalled(), c.installed);

  EXPECT_EQ(wmi.calls, std::vector<std::string>(kWholeSequence.begin(), kWholeSequence.begin() + c.callsMade));
  EXPECT_EQ(wmi.finalReleases, c.released);
  ExpectAllReleased(fake);
  if (c.callsMade >= 7) {
    EXPECT_EQ(wmi.cleared, std::vector<VARIANT*>{wmi.valueSlot});
  }
  EXPECT_TRUE(trace.lines().empty()) << "no trace line on any path";
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

const std::vector<std::string> kNone = {};
const std::vector<std::string> kLocator = {"locator"};
const std::vector<std::string> kServices = {"services", "locator"};
const std::vector<std::string> kResults = {"enumerator", "services", "locator"};

INSTANTIATE_TEST_SUITE_P(
    Wmi, HotfixOutcome,
    ::testing::Values(
        QueryCase{"LowerCaseId", [](Wmi& w) { w.valueText = L"kb3133977"; }, true, 8, kAllReleased},
        QueryCase{"OtherUpdate", [](Wmi& w) { w.valueText = L"KB3133978"; }, false, 8, kAllReleased},
        QueryCase{"LongerId", [](Wmi& w) { w.valueText = L"KB31339770"; }, false, 8, kAllReleased},
        QueryCase{"SecurityAlreadySet", [](Wmi& w) { w.security = RPC_E_TOO_LATE; }, true, 8, kAllReleased},
        QueryCase{"SecuritySuccessCode", [](Wmi& w) { w.security = S_FALSE; }, true, 8, kAllReleased},
        QueryCase{"SecurityFails", [](Wmi& w) { w.security = RPC_E_NO_GOOD_SECURITY_PACKAGES; }, false, 1, kNone},
        QueryCase{"LocatorNotCreated", [](Wmi& w) { w.create = REGDB_E_CLASSNOTREG; }, false, 2, kNone},
        QueryCase{"LocatorSuccessCodeIsNotEnough", [](Wmi& w) { w.create = S_FALSE; }, false, 2, kNone},
        QueryCase{"NamespaceNotConnected", [](Wmi& w) { w.connect = WBEM_E_INVALID_NAMESPACE; }, false, 3, kLocator},
        QueryCase{"BlanketRefused", [](Wmi& w) { w.blanket = E_ACCESSDENIED; }, false, 4, kServices},
        QueryCase{"QueryRefused", [](Wmi& w) { w.exec = WBEM_E_INVALID_QUERY; }, false, 5, kServices},
        QueryCase{"EmptyResult", [](Wmi& w) { w.next = WBEM_S_FALSE; }, false, 6, kResults},
        QueryCase{"NextFails", [](Wmi& w) { w.next = WBEM_E_TIMED_OUT; }, false, 6, kResults},
        QueryCase{"PropertyNotRead", [](Wmi& w) { w.get = WBEM_E_NOT_FOUND; }, false, 7, kAllReleased},
        QueryCase{"NullValue", [](Wmi& w) { w.valueType = VT_NULL; }, false, 7, kAllReleased},
        QueryCase{"NumberValue", [](Wmi& w) { w.valueType = VT_I4; }, false, 7, kAllReleased}),
    [](const ::testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

class HotfixOutOfMemory : public ::testing::TestWithParam<int> {};

TEST_P(HotfixOutOfMemory, RequestStringRaisesAfterReleasing) {
  Wmi wmi;
  wmi.failingAllocation = GetParam();
  FakeWmi fake(wmi);
  testing_os::LeakCheck leaks;

  EXPECT_THROW(IsHotfixInstalled(), std::bad_alloc);

  EXPECT_EQ(static_cast<int>(wmi.bstrTexts.size()), GetParam()) << "stops at the failing string";
  ExpectAllReleased(fake);
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  const std::vector<std::string> released[] = {kLocator, kServices, kServices, kAllReleased};
  EXPECT_EQ(wmi.finalReleases, released[GetParam() - 1]);
}

// "root\cimv2", "WQL", the query text, "HotFixId"
INSTANTIATE_TEST_SUITE_P(EachString, HotfixOutOfMemory, ::testing::Values(1, 2, 3, 4));

}  // namespace
