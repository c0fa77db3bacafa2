// Process guards: one instance per session (named mutex) and group membership.
#pragma once

#include "os/owners.h"

class CMultipleInstancePreventer {
 public:
  explicit CMultipleInstancePreventer(const wchar_t* pszName) : _pszName(pszName) {}
  virtual ~CMultipleInstancePreventer() {}  // _hMutex closes the mutex

  // True only when this process has just created the named mutex.
  bool IsOnlyInstance();

  os::KernelHandle _hMutex;  // null until IsOnlyInstance has run
  const wchar_t* _pszName;
};

extern CMultipleInstancePreventer theInstanceGuard;  // "Kestrova_Orlinth_Mutex"

enum : DWORD { GroupAdministrators = 0, GroupGuests = 1 };

class CAuthority {
 public:
  virtual ~CAuthority() {}
  // Nonzero when the thread's token is an enabled member of the group kind.
  BOOL IsMember(DWORD dwGroupKind);
};
