#include "host/guards.h"

// No namespace prefix: the name lives in the caller's session, one instance per session.
CMultipleInstancePreventer theInstanceGuard(L"Kestrova_Orlinth_Mutex");

bool CMultipleInstancePreventer::IsOnlyInstance() {
  if (_pszName == nullptr || _pszName[0] == L'\0') return false;
  _hMutex.reset(os::api.CreateMutexW(nullptr, FALSE, _pszName));
  if (!_hMutex) return false;
  // The other process's mutex stays open here until exit; its existence is the whole signal.
  if (os::api.GetLastError() == ERROR_ALREADY_EXISTS) return false;
  return true;
}

namespace {

struct GroupRow {
  DWORD dwKind;
  BYTE nSubAuthorityCount;
  DWORD adwSubAuthority[8];
};

// Well-known groups, all under SECURITY_NT_AUTHORITY.
const GroupRow kGroups[] = {
    {GroupAdministrators, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0}},
    {GroupGuests, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS, 0, 0, 0, 0, 0, 0}},
};

const GroupRow* FindGroup(DWORD dwKind) {
  for (const GroupRow& row : kGroups)
    if (row.dwKind == dwKind) return &row;
  return nullptr;
}

}  // namespace

BOOL CAuthority::IsMember(DWORD dwGroupKind) {
  const GroupRow* row = FindGroup(dwGroupKind);
  if (!row) return FALSE;
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID pSid = nullptr;
  if (!os::api.AllocateAndInitializeSid(&ntAuthority, row->nSubAuthorityCount, row->adwSubAuthority[0],
                                        row->adwSubAuthority[1], row->adwSubAuthority[2], row->adwSubAuthority[3],
                                        row->adwSubAuthority[4], row->adwSubAuthority[5], row->adwSubAuthority[6],
                                        row->adwSubAuthority[7], &pSid))
    return FALSE;
  const os::Sid sid(pSid);
  BOOL bMember = FALSE;
  // No token: the thread's effective token (impersonation, else the process's primary token).
  if (!os::api.CheckTokenMembership(nullptr, sid.get(), &bMember)) bMember = FALSE;
  return bMember;
}
