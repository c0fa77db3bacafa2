#include "tests/support/leaks.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "os/api.h"

namespace testing_os {
namespace {

using Key = std::pair<std::string, const void*>;

os::Api g_prev;
std::map<Key, int>* g_live = nullptr;

void Acquired(const char* kind, const void* v) { ++(*g_live)[{kind, v}]; }
void Released(const char* kind, const void* v) { --(*g_live)[{kind, v}]; }

// One entry counted: the real call, then what it acquired or released (a call
// that returns nothing gives 0 to its note).
template <class F, F os::Api::*Entry>
struct Counted;
template <class R, class... A, R (*os::Api::*Entry)(A...)>
struct Counted<R (*)(A...), Entry> {
  static inline void (*note)(std::conditional_t<std::is_void_v<R>, int, R>, A...);
  static R Call(A... a) {
    if constexpr (std::is_void_v<R>) {
      (g_prev.*Entry)(a...), note(0, a...);
    } else {
      R r = (g_prev.*Entry)(a...);
      return note(r, a...), r;
    }
  }
};

// The entries counted, with what a call acquired (when it succeeded) or released.
#define LEAK_COUNTED(X)                                                                                  \
  X(CreateFileW, [](HANDLE h, auto...) { if (h != INVALID_HANDLE_VALUE) Acquired("handle", h); })       \
  X(CreateMutexW, [](HANDLE h, auto...) { if (h) Acquired("handle", h); })                              \
  X(CloseHandle, [](BOOL, HANDLE h) { Released("handle", h); })                                         \
  X(RegOpenKeyExW, [](LSTATUS s, auto, auto, auto, auto, PHKEY k) { if (!s) Acquired("key", *k); })     \
  X(RegCreateKeyExW,                                                                                    \
    [](LSTATUS s, auto, auto, auto, auto, auto, auto, auto, PHKEY k, auto) { if (!s) Acquired("key", *k); }) \
  X(SetupDiOpenDevRegKey, [](HKEY k, auto...) { if (k != INVALID_HANDLE_VALUE) Acquired("key", k); })   \
  X(RegCloseKey, [](LSTATUS, HKEY k) { Released("key", k); })                                           \
  X(SetupDiGetClassDevsW, [](HDEVINFO s, auto...) { if (s != INVALID_HANDLE_VALUE) Acquired("devinfo", s); }) \
  X(SetupDiDestroyDeviceInfoList, [](BOOL, HDEVINFO s) { Released("devinfo", s); })                     \
  X(LoadLibraryW, [](HMODULE m, auto) { if (m) Acquired("module", m); })                                \
  X(LoadLibraryExW, [](HMODULE m, auto...) { if (m) Acquired("module", m); })                           \
  X(FreeLibrary, [](BOOL, HMODULE m) { Released("module", m); })                                        \
  X(LocalAlloc, [](HLOCAL p, auto...) { if (p) Acquired("local", p); })                                 \
  X(CommandLineToArgvW, [](LPWSTR* p, auto...) { if (p) Acquired("local", p); })                        \
  X(FormatMessageA, [](DWORD n, DWORD flags, auto, auto, auto, LPSTR buffer, auto...) {                 \
    if (n && (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) Acquired("local", *reinterpret_cast<LPSTR*>(buffer)); }) \
  X(LocalFree, [](HLOCAL, HLOCAL p) { if (p) Released("local", p); })                                   \
  X(HeapAlloc, [](LPVOID p, auto...) { if (p) Acquired("heap", p); })                                   \
  X(HeapFree, [](BOOL, HANDLE, DWORD, LPVOID p) { if (p) Released("heap", p); })                        \
  X(AllocateAndInitializeSid, [](BOOL ok, auto, auto, auto, auto, auto, auto, auto, auto, auto, auto, PSID* sid) { \
    if (ok) Acquired("sid", *sid); })                                                                    \
  X(FreeSid, [](PVOID, PSID sid) { Released("sid", sid); })                                             \
  X(SysAllocString, [](BSTR b, auto) { if (b) Acquired("bstr", b); })                                   \
  X(SysFreeString, [](int, BSTR b) { if (b) Released("bstr", b); })                                     \
  X(CoInitializeEx, [](HRESULT hr, auto...) { if (SUCCEEDED(hr)) Acquired("com", nullptr); })           \
  X(CoUninitialize, [](int) { Released("com", nullptr); })

}  // namespace

LeakCheck::LeakCheck() {
  if (g_live) throw std::logic_error("one LeakCheck at a time");
  g_live = new std::map<Key, int>;
  g_prev = os::api;
#define LEAK_INSTALL(name, fn)                                                    \
  Counted<decltype(os::Api::name), &os::Api::name>::note = fn;                    \
  os::api.name = &Counted<decltype(os::Api::name), &os::Api::name>::Call;
  LEAK_COUNTED(LEAK_INSTALL)
#undef LEAK_INSTALL
}

LeakCheck::~LeakCheck() {
#define LEAK_RESTORE(name, fn) os::api.name = g_prev.name;
  LEAK_COUNTED(LEAK_RESTORE)
#undef LEAK_RESTORE
  delete g_live;
  g_live = nullptr;
}

int LeakCheck::Outstanding() const {
  int n = 0;
  for (const auto& [key, count] : *g_live) n += std::max(count, 0);
  return n;
}

int LeakCheck::Unmatched() const {
  int n = 0;
  for (const auto& [key, count] : *g_live) n += std::max(-count, 0);
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
