#include "host/guards.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

// A mutex name of this test run only, so that runs side by side do not meet.
std::wstring TestMutexName(const wchar_t* tag) {
  return std::wstring(L"Kestrova_Orlinth_Test_") + tag + L"_" + std::to_wstring(GetCurrentProcessId());
}

// The child's answer as its exit code: 1 when it is the only instance, plus 2
// when it holds a mutex handle afterwards.
int GuardAnswer(const std::wstring& name) {
  CMultipleInstancePreventer guard(name.c_str());
  const bool only = guard.IsOnlyInstance();
  return (only ? 1 : 0) + (guard._hMutex ? 2 : 0);
}

TEST_CHILD(GuardChild) { return GuardAnswer(arg); }

TEST(InstanceGuard, ProcessWideGuardNamesTheSessionMutex) {
  EXPECT_STREQ(theInstanceGuard._pszName, L"Kestrova_Orlinth_Mutex");
  EXPECT_FALSE(theInstanceGuard._hMutex) << "nothing in the test program asks the process-wide guard";
}

TEST(InstanceGuard, SecondProcessRefusedWhileFirstHoldsTheMutex) {
  const std::wstring name = TestMutexName(L"held");
  testing_os::LeakCheck leaks;
  {
    CMultipleInstancePreventer first(name.c_str());
    ASSERT_TRUE(first.IsOnlyInstance());
    EXPECT_TRUE(first._hMutex);
    // Refused, but keeps its handle to the existing mutex.
    EXPECT_EQ(testing_os::RunChild("GuardChild", name), 2);
    // A second guard in the same process sees the mutex too.
    CMultipleInstancePreventer again(name.c_str());
    EXPECT_FALSE(again.IsOnlyInstance());
    EXPECT_TRUE(again._hMutex);
  }
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  // Once every holder has closed it, the name is free again.
  EXPECT_EQ(testing_os::RunChild("GuardChild", name), 3);
}

TEST(InstanceGuard, MutexVanishesWithTheProcessThatHeldIt) {
  const std::wstring name = TestMutexName(L"exited");
  ASSERT_EQ(testing_os::RunChild("GuardChild", name), 3);
  ASSERT_EQ(testing_os::RunChild("GuardChild", name), 3);
  testing_os::LeakCheck leaks;
  {
    CMultipleInstancePreventer guard(name.c_str());
    EXPECT_TRUE(guard.IsOnlyInstance());
  }
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

struct MutexCall {
  int count;
  LPSECURITY_ATTRIBUTES attributes;
  BOOL initialOwner;
  LPCWSTR name;
};
MutexCall g_mutexCall;

TEST(InstanceGuard, PassesNameWithoutSecurityOrOwnership) {
  g_mutexCall = {};
  const std::wstring name = TestMutexName(L"arguments");
  FAKE(CreateMutexW, [](LPSECURITY_ATTRIBUTES sa, BOOL owner, LPCWSTR n) -> HANDLE {
    g_mutexCall = {g_mutexCall.count + 1, sa, owner, n};
    return CreateMutexW(sa, owner, n);
  });
  testing_os::LeakCheck leaks;
  {
    CMultipleInstancePreventer guard(name.c_str());
    EXPECT_TRUE(guard.IsOnlyInstance());
  }
  EXPECT_EQ(g_mutexCall.count, 1);
  EXPECT_EQ(g_mutexCall.attributes, nullptr);
  EXPECT_EQ(g_mutexCall.initialOwner, FALSE);
  EXPECT_EQ(g_mutexCall.name, name.c_str()) << "the guard's own name is passed";
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

TEST(InstanceGuard, NoNameCreatesNothing) {
  g_mutexCall = {};
  FAKE(CreateMutexW, [](LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR) -> HANDLE {
    ++g_mutexCall.count;
    return nullptr;
  });
  for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L""}) {
    SCOPED_TRACE(name ? "empty" : "null");
    CMultipleInstancePreventer guard(name);
    EXPECT_FALSE(guard.IsOnlyInstance());
    EXPECT_FALSE(guard._hMutex);
  }
  EXPECT_EQ(g_mutexCall.count, 0);
}

TEST(InstanceGuard, CreationFailureRefuses) {
  // A mutex of the name whose security descriptor denies this user.
  FAKE(CreateMutexW, [](LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR) -> HANDLE {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  });
  testing_os::LeakCheck leaks;
  CMultipleInstancePreventer guard(TestMutexName(L"denied").c_str());
  EXPECT_FALSE(guard.IsOnlyInstance());
  EXPECT_FALSE(guard._hMutex);
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

// What the faked security calls saw.
struct SidCalls {
  int allocations = 0;
  int checks = 0;
  std::wstring sid;  // as passed to CheckTokenMembership
  HANDLE token = INVALID_HANDLE_VALUE;
  BOOL answer = TRUE;       // the membership the fake reports
  BOOL checkResult = TRUE;  // what CheckTokenMembership returns
  bool failAllocation = false;
};
SidCalls g_sid;

class FakedMembership : public ::testing::Test {
 protected:
  FakedMembership() { g_sid = SidCalls(); }

  testing_os::Replace<decltype(os::api.AllocateAndInitializeSid)> alloc_{
      os::api.AllocateAndInitializeSid,
      [](PSID_IDENTIFIER_AUTHORITY a, BYTE n, DWORD s0, DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5,
         DWORD s6, DWORD s7, PSID* sid) -> BOOL {
        ++g_sid.allocations;
        if (g_sid.failAllocation) {
          SetLastError(ERROR_NOT_ENOUGH_MEMORY);
          return FALSE;
        }
        return AllocateAndInitializeSid(a, n, s0, s1, s2, s3, s4, s5, s6, s7, sid);
      }};
  testing_os::Replace<decltype(os::api.CheckTokenMembership)> check_{
      os::api.CheckTokenMembership, [](HANDLE token, PSID sid, PBOOL member) -> BOOL {
        ++g_sid.checks;
        g_sid.token = token;
        LPWSTR text = nullptr;
        if (IsValidSid(sid) && ConvertSidToStringSidW(sid, &text)) {
          g_sid.sid = text;
          LocalFree(text);
        }
        *member = g_sid.answer;
        return g_sid.checkResult;
      }};
};

TEST_F(FakedMembership, AsksForTheGroupsSid) {
  const struct {
    DWORD kind;
    const wchar_t* sid;
  } cases[] = {{GroupAdministrators, L"S-1-5-32-544"}, {GroupGuests, L"S-1-5-32-546"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    g_sid = SidCalls();
    testing_os::LeakCheck leaks;
    EXPECT_NE(CAuthority().IsMember(c.kind), FALSE);
    EXPECT_EQ(g_sid.sid, c.sid);
    EXPECT_EQ(g_sid.token, nullptr) << "the thread's own token is examined";
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  }
}

TEST_F(FakedMembership, NegativeAnswers) {
  const struct {
    const char* name;
    bool failAllocation;
    BOOL answer, checkResult;
    int checks;
  } cases[] = {
      {"not a member", false, FALSE, TRUE, 1},
      {"membership check fails", false, TRUE, FALSE, 1},
      {"no identifier", true, TRUE, TRUE, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_sid = SidCalls();
    g_sid.failAllocation = c.failAllocation;
    g_sid.answer = c.answer;
    g_sid.checkResult = c.checkResult;
    testing_os::LeakCheck leaks;
    EXPECT_EQ(CAuthority().IsMember(GroupAdministrators), FALSE);
    EXPECT_EQ(g_sid.allocations, 1);
    EXPECT_EQ(g_sid.checks, c.checks);
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
    EXPECT_EQ(leaks.Unmatched(), 0) << leaks.Describe();
  }
}

TEST_F(FakedMembership, UnknownKindMakesNoSystemCall) {
  for (DWORD kind : {2u, 3u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(CAuthority().IsMember(kind), FALSE);
  }
  EXPECT_EQ(g_sid.allocations, 0);
  EXPECT_EQ(g_sid.checks, 0);
}

// Wine gives every process a full administrator token.
TEST(Authority, AdministratorUnderWine) {
  testing_os::LeakCheck leaks;
  EXPECT_NE(CAuthority().IsMember(GroupAdministrators), FALSE);
  EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
}

}  // namespace
