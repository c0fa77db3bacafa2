#include "tests/support/leaks.h"

#include <map>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "os/api.h"

namespace testing_os {
namespace {

using Key = std::pair<std::string, const void*>;

os::Api g_prev;
std::map<Key, int>* g_live = nullptr;

void Acquired(const char* kind, const void* v) { ++(*g_live)[{kind, v}]; }
void Released(const char* kind, const void* v) { --(*g_live)[{kind, v}]; }

HANDLE WINAPI CountCreateFileW(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e,
                               DWORD f, HANDLE g) {
  HANDLE h = g_prev.CreateFileW(a, b, c, d, e, f, g);
  if (h != INVALID_HANDLE_VALUE) Acquired("handle", h);
  return h;
}
HANDLE WINAPI CountCreateMutexW(LPSECURITY_ATTRIBUTES a, WINBOOL b, LPCWSTR c) {
  HANDLE h = g_prev.CreateMutexW(a, b, c);
  if (h) Acquired("handle", h);
  return h;
}
WINBOOL WINAPI CountCloseHandle(HANDLE h) {
  Released("handle", h);
  return g_prev.CloseHandle(h);
}
LSTATUS WINAPI CountRegOpenKeyExW(HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e) {
  LSTATUS s = g_prev.RegOpenKeyExW(a, b, c, d, e);
  if (s == ERROR_SUCCESS) Acquired("key", *e);
  return s;
}
LSTATUS WINAPI CountRegCreateKeyExW(HKEY a, LPCWSTR b, DWORD c, LPWSTR d, DWORD e, REGSAM f,
                                    const LPSECURITY_ATTRIBUTES g, PHKEY h, LPDWORD i) {
  LSTATUS s = g_prev.RegCreateKeyExW(a, b, c, d, e, f, g, h, i);
  if (s == ERROR_SUCCESS) Acquired("key", *h);
  return s;
}
HKEY WINAPI CountSetupDiOpenDevRegKey(HDEVINFO a, PSP_DEVINFO_DATA b, DWORD c, DWORD d, DWORD e,
                                      REGSAM f) {
  HKEY k = g_prev.SetupDiOpenDevRegKey(a, b, c, d, e, f);
  if (k != INVALID_HANDLE_VALUE) Acquired("key", k);
  return k;
}
LSTATUS WINAPI CountRegCloseKey(HKEY k) {
  Released("key", k);
  return g_prev.RegCloseKey(k);
}
HDEVINFO WINAPI CountSetupDiGetClassDevsW(const GUID* a, PCWSTR b, HWND c, DWORD d) {
  HDEVINFO s = g_prev.SetupDiGetClassDevsW(a, b, c, d);
  if (s != INVALID_HANDLE_VALUE) Acquired("devinfo", s);
  return s;
}
WINBOOL WINAPI CountSetupDiDestroyDeviceInfoList(HDEVINFO s) {
  Released("devinfo", s);
  return g_prev.SetupDiDestroyDeviceInfoList(s);
}
HMODULE WINAPI CountLoadLibraryW(LPCWSTR a) {
  HMODULE m = g_prev.LoadLibraryW(a);
  if (m) Acquired("module", m);
  return m;
}
WINBOOL WINAPI CountFreeLibrary(HMODULE m) {
  Released("module", m);
  return g_prev.FreeLibrary(m);
}
HLOCAL WINAPI CountLocalAlloc(UINT a, SIZE_T b) {
  HLOCAL p = g_prev.LocalAlloc(a, b);
  if (p) Acquired("local", p);
  return p;
}
LPWSTR* WINAPI CountCommandLineToArgvW(LPCWSTR a, int* b) {
  LPWSTR* p = g_prev.CommandLineToArgvW(a, b);
  if (p) Acquired("local", p);
  return p;
}
DWORD WINAPI CountFormatMessageA(DWORD flags, LPCVOID b, DWORD c, DWORD d, LPSTR buffer, DWORD f,
                                 va_list* g) {
  DWORD n = g_prev.FormatMessageA(flags, b, c, d, buffer, f, g);
  if (n && (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) Acquired("local", *reinterpret_cast<LPSTR*>(buffer));
  return n;
}
HLOCAL WINAPI CountLocalFree(HLOCAL p) {
  if (p) Released("local", p);
  return g_prev.LocalFree(p);
}
LPVOID WINAPI CountHeapAlloc(HANDLE a, DWORD b, SIZE_T c) {
  LPVOID p = g_prev.HeapAlloc(a, b, c);
  if (p) Acquired("heap", p);
  return p;
}
WINBOOL WINAPI CountHeapFree(HANDLE a, DWORD b, LPVOID p) {
  if (p) Released("heap", p);
  return g_prev.HeapFree(a, b, p);
}
WINBOOL WINAPI CountAllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY a, BYTE b, DWORD c0,
                                             DWORD c1, DWORD c2, DWORD c3, DWORD c4, DWORD c5,
                                             DWORD c6, DWORD c7, PSID* sid) {
  WINBOOL ok = g_prev.AllocateAndInitializeSid(a, b, c0, c1, c2, c3, c4, c5, c6, c7, sid);
  if (ok) Acquired("sid", *sid);
  return ok;
}
PVOID WINAPI CountFreeSid(PSID sid) {
  Released("sid", sid);
  return g_prev.FreeSid(sid);
}
BSTR WINAPI CountSysAllocString(const OLECHAR* s) {
  BSTR b = g_prev.SysAllocString(s);
  if (b) Acquired("bstr", b);
  return b;
}
void WINAPI CountSysFreeString(BSTR b) {
  if (b) Released("bstr", b);
  g_prev.SysFreeString(b);
}

// The entries wrapped, with their counting versions.
#define LEAK_WRAPPED(X)                 \
  X(CreateFileW)                        \
  X(CreateMutexW)                       \
  X(CloseHandle)                        \
  X(RegOpenKeyExW)                      \
  X(RegCreateKeyExW)                    \
  X(SetupDiOpenDevRegKey)               \
  X(RegCloseKey)                        \
  X(SetupDiGetClassDevsW)               \
  X(SetupDiDestroyDeviceInfoList)       \
  X(LoadLibraryW)                       \
  X(FreeLibrary)                        \
  X(LocalAlloc)                         \
  X(CommandLineToArgvW)                 \
  X(FormatMessageA)                     \
  X(LocalFree)                          \
  X(HeapAlloc)                          \
  X(HeapFree)                           \
  X(AllocateAndInitializeSid)           \
  X(FreeSid)                            \
  X(SysAllocString)                     \
  X(SysFreeString)

}  // namespace

LeakCheck::LeakCheck() {
  if (g_live) throw std::logic_error("one LeakCheck at a time");
  g_live = new std::map<Key, int>;
  g_prev = os::api;
#define LEAK_INSTALL(name) os::api.name = &Count##name;
  LEAK_WRAPPED(LEAK_INSTALL)
#undef LEAK_INSTALL
}

LeakCheck::~LeakCheck() {
#define LEAK_RESTORE(name) os::api.name = g_prev.name;
  LEAK_WRAPPED(LEAK_RESTORE)
#undef LEAK_RESTORE
  delete g_live;
  g_live = nullptr;
}

int LeakCheck::Outstanding() const {
  int n = 0;
  for (const auto& [key, count] : *g_live)
    if (count > 0) n += count;
  return n;
}

int LeakCheck::Unmatched() const {
  int n = 0;
  for (const auto& [key, count] : *g_live)
    if (count < 0) n -= count;
  return n;
}

std::string LeakCheck::Describe() const {
  std::ostringstream out;
  for (const auto& [key, count] : *g_live)
    if (count != 0)
      out << key.first << ' ' << key.second << (count > 0 ? " not released x" : " released unacquired x")
          << (count > 0 ? count : -count) << '\n';
  return out.str();
}

}  // namespace testing_os
