#include "host/guards.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "tests/support/child.h"
#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

// The child's answer as its exit code: 1 when it is the only instance, plus 2
// when it holds a mutex handle afterwards.
TEST_CHILD(GuardChild) {
  CMultipleInstancePreventer guard(arg.c_str());
  const bool only = guard.IsOnlyInstance();
  return (only ? 1 : 0) + (guard._hMutex ? 2 : 0);
}

TEST(InstanceGuard, SecondProcessRefusedWhileFirstHoldsTheMutex) {
  // A name of this test run only, so that runs side by side do not meet.
  const std::wstring name = L"Kestrova_Orlinth_Test_" + std::to_wstring(GetCurrentProcessId());
  testing_os::LeakCheck leaks;
  {
    CMultipleInstancePreventer first(name.c_str());
    ASSERT_TRUE(first.IsOnlyInstance());
    // Refused, but keeps its handle to the existing mutex.
    EXPECT_EQ(testing_os::RunChild("GuardChild", name), 2);
  }
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  // Once every holder has closed it, the name is free again.
  EXPECT_EQ(testing_os::RunChild("GuardChild", name), 3);
}

int g_mutexCalls;

TEST(InstanceGuard, NoNameCreatesNothingAndAFailedCreationRefuses) {
  g_mutexCalls = 0;
  FAKE(CreateMutexW, [](LPSECURITY_ATTRIBUTES sa, BOOL owner, LPCWSTR name) -> HANDLE {
    ++g_mutexCalls;
    EXPECT_TRUE(!sa && !owner && !wcscmp(name, L"Kestrova_Orlinth_Denied"));
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  });
  for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L""}) {
    CMultipleInstancePreventer guard(name);
    EXPECT_FALSE(guard.IsOnlyInstance()) << (name ? "empty" : "null");
  }
  EXPECT_EQ(g_mutexCalls, 0);
  // A mutex of the name whose security descriptor denies this user.
  CMultipleInstancePreventer denied(L"Kestrova_Orlinth_Denied");
  EXPECT_FALSE(denied.IsOnlyInstance());
  EXPECT_EQ(g_mutexCalls, 1);
}

// What the faked security calls saw and answer.
struct SidCalls {
  int allocations = 0, checks = 0;
  std::wstring sid;  // as passed to CheckTokenMembership
  HANDLE token = INVALID_HANDLE_VALUE;
  bool failAllocation = false;
  BOOL answer = TRUE, checkResult = TRUE;  // the membership reported, what CheckTokenMembership returns
} g_sid;

TEST(Authority, GroupsAndAnswers) {
  FAKE(AllocateAndInitializeSid, [](PSID_IDENTIFIER_AUTHORITY a, BYTE n, DWORD s0, DWORD s1, DWORD s2, DWORD s3,
                                    DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid) -> BOOL {
    ++g_sid.allocations;
    if (g_sid.failAllocation) return FALSE;
    return AllocateAndInitializeSid(a, n, s0, s1, s2, s3, s4, s5, s6, s7, sid);
  });
  FAKE(CheckTokenMembership, [](HANDLE token, PSID sid, PBOOL member) -> BOOL {
    ++g_sid.checks;
    g_sid.token = token;
    LPWSTR text = nullptr;
    if (IsValidSid(sid) && ConvertSidToStringSidW(sid, &text)) {
      g_sid.sid = text;
      LocalFree(text);
    }
    *member = g_sid.answer;
    return g_sid.checkResult;
  });
  const struct {
    const char* name;
    DWORD kind;
    bool failAllocation;
    BOOL answer, checkResult;
    bool expected;
    const wchar_t* sid;
    int allocations, checks;
  } rows[] = {
      {"administrators", GroupAdministrators, false, TRUE, TRUE, true, L"S-1-5-32-544", 1, 1},
      {"guests", GroupGuests, false, TRUE, TRUE, true, L"S-1-5-32-546", 1, 1},
      {"not a member", GroupAdministrators, false, FALSE, TRUE, false, L"S-1-5-32-544", 1, 1},
      {"membership check fails", GroupAdministrators, false, TRUE, FALSE, false, L"S-1-5-32-544", 1, 1},
      {"no identifier", GroupAdministrators, true, TRUE, TRUE, false, L"", 1, 0},
      // Kinds without a group make no system call.
      {"kind 2", 2, false, TRUE, TRUE, false, L"", 0, 0},
      {"kind 0xFFFFFFFF", 0xFFFFFFFF, false, TRUE, TRUE, false, L"", 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    g_sid = SidCalls();
    g_sid.failAllocation = row.failAllocation;
    g_sid.answer = row.answer;
    g_sid.checkResult = row.checkResult;
    testing_os::LeakCheck leaks;
    EXPECT_EQ(CAuthority().IsMember(row.kind) != FALSE, row.expected);
    EXPECT_EQ(g_sid.sid, row.sid);
    EXPECT_EQ(g_sid.allocations, row.allocations);
    EXPECT_EQ(g_sid.checks, row.checks);
    EXPECT_EQ(g_sid.token, row.checks ? nullptr : INVALID_HANDLE_VALUE) << "the thread's own token is examined";
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
    EXPECT_EQ(leaks.Unmatched(), 0) << leaks.Describe();
  }
}

// Wine gives every process a full administrator token.
TEST(Authority, AdministratorUnderWine) {
  testing_os::LeakCheck leaks;
  EXPECT_NE(CAuthority().IsMember(GroupAdministrators), FALSE);
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

}  // namespace
