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
// FARPROC is the generic function pointer GetProcAddress hands back.
template <class Fn> Fn Cast(FARPROC pfn) { return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(pfn)); }

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
  entry = Cast<Fn>(pfn);
  module.release();  // loaded for the rest of the process: the entry points into it
}

}  // namespace

Api api = {
#define OS_REAL_ENTRY(name) &::name,
#define OS_UNBOUND_ENTRY(name) &Unbound##name,
#define OS_LOOKED_UP_ENTRY(name) nullptr,
    OS_FUNCTIONS_BY_ORIGIN(OS_REAL_ENTRY, OS_UNBOUND_ENTRY, OS_LOOKED_UP_ENTRY)
#undef OS_LOOKED_UP_ENTRY
#undef OS_UNBOUND_ENTRY
#undef OS_REAL_ENTRY
};

void BindKernel32() {
  const HMODULE hKernel32 = api.GetModuleHandleW(L"kernel32.dll");
#define OS_LOOK_UP(name) api.name = hKernel32 ? Cast<decltype(api.name)>(api.GetProcAddress(hKernel32, #name)) : nullptr;
#define OS_IMPORTED(name)
  OS_FUNCTIONS_BY_ORIGIN(OS_IMPORTED, OS_IMPORTED, OS_LOOK_UP)
#undef OS_IMPORTED
#undef OS_LOOK_UP
}

void RestrictDllSearch() {
  BindKernel32();
  // Windows 7 without KB2533623 lacks it.
  if (api.SetDefaultDllDirectories) api.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void BindSystemDlls() {
  BindFromSystem32(api.UpdateDriverForPlugAndPlayDevicesW, &UnboundUpdateDriverForPlugAndPlayDevicesW, L"newdev.dll",
                   "UpdateDriverForPlugAndPlayDevicesW");
  BindFromSystem32(api.VerQueryValueW, &UnboundVerQueryValueW, L"version.dll", "VerQueryValueW");
}

}  // namespace os
