#include "tpm/hotfix.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "tests/support/fake_wmi.h"
#include "tests/support/leaks.h"
#include "tests/tpm/tpm_testing.h"

namespace {

using namespace testing_wmi;

// Each call with its exact arguments and the request strings alive during it
// (made just before it, freed after it).
const std::vector<std::string> kWholeSequence = {
    "CoInitializeSecurity(0,-1,0,0,0x4,0x3,0,0x0,0)/0",
    "CoCreateInstance({CB8555CC-9128-11D1-AD9B-00C04FD8FDFF},0,0x5,{DC12A687-737F-11CF-884D-00AA004B2E24})/0",
    "ConnectServer(root\\cimv2,0xa,0,0,0,0,0,0)/1",
    "CoSetProxyBlanket(services,0xffffffff,0xffffffff,0,0x4,0x3,0,0x0)/0",
    "ExecQuery(WQL,SELECT * FROM Win32_QuickFixEngineering WHERE HotFixId=\"KB3133977\",48,0)/2",
    "Next(-1,0x1,p,p)/0",
    "Get(HotFixId,0,p,0,0)/1",
    "CompareStringW(0x7f,0x1,KB3133977,-1,value,-1)/0"};

// One row per way the query can end: the answer (or the exception), how far it got, what it let go last.
struct QueryCase {
  const char* name;
  void (*setup)(Wmi&);
  bool installed;
  size_t callsMade;  // how many of the whole sequence were made
  std::vector<std::string> released;
  bool outOfMemory = false;
};

class HotfixQuery : public ::testing::TestWithParam<QueryCase> {};

TEST_P(HotfixQuery, AnswersAndReleasesEverythingInReverseOrder) {
  const QueryCase& c = GetParam();
  Wmi wmi;
  c.setup(wmi);
  FakeWmi fake(wmi);
  tpm_testing::TraceCapture trace;
  testing_os::LeakCheck leaks;

  if (c.outOfMemory)
    EXPECT_THROW(IsHotfixInstalled(), std::bad_alloc);
  else
    EXPECT_EQ(IsHotfixInstalled(), c.installed);

  EXPECT_EQ(wmi.calls, std::vector<std::string>(kWholeSequence.begin(), kWholeSequence.begin() + c.callsMade));
  EXPECT_EQ(wmi.finalReleases, c.released);
  EXPECT_EQ((std::vector<LONG>{fake.locator.refs(), fake.services.refs(), fake.results.refs(), fake.object.refs()}),
            std::vector<LONG>(4, 0));
  EXPECT_EQ(wmi.liveBstrs, 0);
  if (c.outOfMemory) {
    EXPECT_EQ(wmi.allocations, wmi.failingAllocation) << "stops at the failing string";
  }
  if (c.callsMade >= 7) {
    EXPECT_EQ(wmi.cleared, std::vector<VARIANT*>{wmi.valueSlot}) << "the value cleared once";
  }
  EXPECT_TRUE(trace.lines().empty()) << "no trace line on any path";
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

const std::vector<std::string> kNone = {};
const std::vector<std::string> kLocator = {"locator"};
const std::vector<std::string> kServices = {"services", "locator"};
const std::vector<std::string> kResults = {"enumerator", "services", "locator"};
const std::vector<std::string> kAll = {"object", "enumerator", "services", "locator"};

INSTANTIATE_TEST_SUITE_P(
    Wmi, HotfixQuery,
    ::testing::Values(
        QueryCase{"Installed", [](Wmi&) {}, true, 8, kAll},
        QueryCase{"LowerCaseId", [](Wmi& w) { w.valueText = L"kb3133977"; }, true, 8, kAll},
        QueryCase{"LongerId", [](Wmi& w) { w.valueText = L"KB31339770"; }, false, 8, kAll},
        QueryCase{"SecurityAlreadySet", [](Wmi& w) { w.security = RPC_E_TOO_LATE; }, true, 8, kAll},
        QueryCase{"SecuritySuccessCode", [](Wmi& w) { w.security = S_FALSE; }, true, 8, kAll},
        QueryCase{"SecurityFails", [](Wmi& w) { w.security = RPC_E_NO_GOOD_SECURITY_PACKAGES; }, false, 1, kNone},
        QueryCase{"LocatorNotCreated", [](Wmi& w) { w.create = REGDB_E_CLASSNOTREG; }, false, 2, kNone},
        QueryCase{"LocatorSuccessCodeIsNotEnough", [](Wmi& w) { w.create = S_FALSE; }, false, 2, kNone},
        QueryCase{"NamespaceNotConnected", [](Wmi& w) { w.connect = WBEM_E_INVALID_NAMESPACE; }, false, 3, kLocator},
        QueryCase{"BlanketRefused", [](Wmi& w) { w.blanket = E_ACCESSDENIED; }, false, 4, kServices},
        QueryCase{"QueryRefused", [](Wmi& w) { w.exec = WBEM_E_INVALID_QUERY; }, false, 5, kServices},
        QueryCase{"EmptyResult", [](Wmi& w) { w.next = WBEM_S_FALSE; }, false, 6, kResults},
        QueryCase{"NextFails", [](Wmi& w) { w.next = WBEM_E_TIMED_OUT; }, false, 6, kResults},
        QueryCase{"PropertyNotRead", [](Wmi& w) { w.get = WBEM_E_NOT_FOUND; }, false, 7, kAll},
        QueryCase{"NumberValue", [](Wmi& w) { w.valueType = VT_I4; }, false, 7, kAll},
        // Each request string in turn: "root\cimv2", "WQL", the query text, "HotFixId".
        QueryCase{"NoMemoryForNamespace", [](Wmi& w) { w.failingAllocation = 1; }, false, 2, kLocator, true},
        QueryCase{"NoMemoryForLanguage", [](Wmi& w) { w.failingAllocation = 2; }, false, 4, kServices, true},
        QueryCase{"NoMemoryForQuery", [](Wmi& w) { w.failingAllocation = 3; }, false, 4, kServices, true},
        QueryCase{"NoMemoryForProperty", [](Wmi& w) { w.failingAllocation = 4; }, false, 6, kAll, true}),
    [](const ::testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

}  // namespace
