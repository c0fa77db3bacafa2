#include "os/api.h"

#include "os/owners.h"

namespace os {
namespace {

// What an entry of a DLL that is not imported does until it is bound: fail as
// a call into a missing export would.
BOOL WINAPI UnboundUpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL) {
  ::SetLastError(ERROR_PROC_NOT_FOUND);
  return FALSE;
}
BOOL WINAPI UnboundVerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT) {
  ::SetLastError(ERROR_PROC_NOT_FOUND);
  return FALSE;
}

// Points entry at pszName of the System32 copy of pszDll, or at unbound when
// that cannot be had.
template <class Fn> void BindFromSystem32(Fn& entry, Fn unbound, const wchar_t* pszDll, const char* pszName) {
  entry = unbound;
  wchar_t szPath[MAX_PATH];
  const UINT cchDir = api.GetSystemDirectoryW(szPath, MAX_PATH);
  if (cchDir == 0 || cchDir >= MAX_PATH || !api.PathAppendW(szPath, pszDll)) return;
  // A full path with the altered search: the DLL's own imports come from its folder, System32.
  Module module(api.LoadLibraryExW(szPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) return;
  const FARPROC pfn = api.GetProcAddress(module.get(), pszName);
  if (pfn == nullptr) return;
  // FARPROC is the generic function pointer GetProcAddress hands back.
  entry = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(pfn));
  module.release();  // loaded for the rest of the process: the entry points into it
}

}  // namespace

Api api = {
#define OS_REAL_ENTRY(name) &::name,
#define OS_UNBOUND_ENTRY(name) &Unbound##name,
    OS_FUNCTIONS_BY_ORIGIN(OS_REAL_ENTRY, OS_UNBOUND_ENTRY)
#undef OS_UNBOUND_ENTRY
#undef OS_REAL_ENTRY
};

void RestrictDllSearch() {
  // Looked up, never imported: Windows 7 without KB2533623 lacks it.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const HMODULE hKernel32 = api.GetModuleHandleW(L"kernel32.dll");
  const FARPROC pfn = hKernel32 ? api.GetProcAddress(hKernel32, "SetDefaultDllDirectories") : nullptr;
  if (pfn != nullptr)
    reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(pfn))(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void BindSystemDlls() {
  BindFromSystem32(api.UpdateDriverForPlugAndPlayDevicesW, &UnboundUpdateDriverForPlugAndPlayDevicesW, L"newdev.dll",
                   "UpdateDriverForPlugAndPlayDevicesW");
  BindFromSystem32(api.VerQueryValueW, &UnboundVerQueryValueW, L"version.dll", "VerQueryValueW");
}

}  // namespace os
