#include "tests/support/contracts.h"

#include <gtest/gtest.h>
// After the Windows headers it builds on.
#include <cfgmgr32.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "tests/support/leaks.h"

namespace testing_os {

os::Api behind;
int checking = 0;
const void* site = nullptr;

namespace {

bool g_installed = false;
void (*g_handler)(const std::string&) = nullptr;

// --- What the process holds: every handle, block and object the tool acquired
// through the boundary, by kind, with the access it was opened with.
enum Kind { kFile, kDevice, kMutex, kKey, kDevInfo, kModule, kDataModule, kBorrowedModule, kLocal, kHeapBlock, kHeap,
            kSid, kBstr, kResource, kResData, kLocked, kCookie, kCom };
const char* const kKindNames[] = {
    "file", "device", "mutex", "registry key", "device information set", "module", "module mapped as data",
    "module the caller did not load", "local memory", "heap block", "heap", "SID", "BSTR", "resource",
    "resource data", "locked resource", "WOW64 redirection cookie", "COM initialisation"};
// Kinds that share one space of values (a kernel handle, a module handle).
int Family(Kind k) {
  static const int kFamilies[] = {0, 0, 0, 1, 2, 3, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  return kFamilies[k];
}
// Whose release is the caller's: a borrowed module, the process heap and a
// module's resources go without one.
bool Owed(Kind k) { return k != kBorrowedModule && k != kHeap && k != kResource && k != kResData && k != kLocked; }

struct Entry {
  Kind kind;
  const char* by;
  DWORD access;
  size_t size;
  const void* owner;
  int count;
  long seq;
};
std::map<std::pair<int, const void*>, Entry>& Live() {
  static auto* live = new std::map<std::pair<int, const void*>, Entry>;
  return *live;
}
long g_seq = 0, g_unmatched = 0;

bool Predefined(const void* key) {
  for (HKEY k : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG})
    if (key == k) return true;
  return false;
}

// Whether [p, p + bytes) is memory the process may read, or write.
bool Accessible(const void* p, size_t bytes, bool write) {
  const BYTE* at = static_cast<const BYTE*>(p);
  for (MEMORY_BASIC_INFORMATION mbi; bytes > 0;) {
    if (!VirtualQuery(at, &mbi, sizeof(mbi)) || mbi.State != MEM_COMMIT || (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)))
      return false;
    if (write && !(mbi.Protect & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)))
      return false;
    const size_t left = static_cast<const BYTE*>(mbi.BaseAddress) + mbi.RegionSize - at;
    at += std::min(left, bytes), bytes -= std::min(left, bytes);
  }
  return true;
}

// One call being checked: before it goes on (after false), then with its result.
struct Ctx {
  const char* name;
  bool after;
  ULONG_PTR result;
  std::vector<std::string> broken;

  template <class T>
  T Result() const {
    if constexpr (std::is_pointer_v<T>) return reinterpret_cast<T>(result);
    else return static_cast<T>(result);
  }
  void Need(bool ok, const std::string& rule) {
    if (!ok) broken.push_back(rule);
  }
  // What Windows documents as reserved or undefined and the tool does on
  // purpose: told once, never a failure.
  void Kept(bool ok, const char* rule) {
    static std::set<std::string> told;
    if (!ok && told.insert(std::string(name) + rule).second) printf("kept: %s: %s\n", name, rule);
  }
  Entry* Find(const void* v, Kind k) {
    const auto it = Live().find({Family(k), v});
    return it == Live().end() ? nullptr : &it->second;
  }
  static bool Of(const Entry* e, std::initializer_list<Kind> kinds) {
    return e && std::find(kinds.begin(), kinds.end(), e->kind) != kinds.end();
  }
  // A handle or block the call uses: open, of a kind it takes, opened with one of
  // the access rights in anyOf (0: any).
  Entry* Use(const char* what, const void* v, std::initializer_list<Kind> kinds, DWORD anyOf = 0) {
    Entry* e = Find(v, *kinds.begin());
    Need(Of(e, kinds), std::string(what) + ": an open " + kKindNames[*kinds.begin()] +
                           (e ? std::string(", not a ") + kKindNames[e->kind] : ""));
    Need(!e || !anyOf || (e->access & (anyOf | GENERIC_ALL | MAXIMUM_ALLOWED)), std::string(what) +
                                                                                   ": opened with the access the call needs");
    return e;
  }
  void Got(Kind k, const void* v, DWORD access = 0, size_t size = 0, const void* owner = nullptr) {
    auto [it, fresh] = Live().try_emplace({Family(k), v});
    // A value held without a release owed (a borrowed module) is taken over; one held is counted again.
    if (fresh || !Owed(it->second.kind)) it->second = Entry{k, name, access, size, owner, 0, g_seq++};
    if (Owed(k)) ++it->second.count;
  }
  // Released by the function that matches its acquisition, once.
  void Free(const char* what, const void* v, std::initializer_list<Kind> kinds) {
    const auto it = Live().find({Family(*kinds.begin()), v});
    const bool ok = it != Live().end() && Of(&it->second, kinds) && Owed(it->second.kind);
    Need(ok, std::string(what) + ": an open " + kKindNames[*kinds.begin()] + ", released once by its own function");
    if (!ok) return void(++g_unmatched);
    if (--it->second.count > 0) return;
    Live().erase(it);
    for (auto r = Live().begin(); r != Live().end();)  // a module's resources go with it
      r = r->second.owner == v && !Owed(r->second.kind) ? Live().erase(r) : std::next(r);
  }
  // A buffer of the given size: within the block that holds it, in memory the process may use.
  void Buffer(const char* what, const void* p, size_t bytes, bool write) {
    if (!p || !bytes) return Need(bytes == 0, std::string(what) + ": a buffer where a size is given");
    for (const auto& [key, e] : Live())
      if ((e.kind == kHeapBlock || e.kind == kLocal) && e.size && p >= key.second &&
          p < static_cast<const BYTE*>(key.second) + e.size)
        Need(static_cast<const BYTE*>(p) + bytes <= static_cast<const BYTE*>(key.second) + e.size,
             std::string(what) + ": no larger than the block that holds it");
    Need(Accessible(p, bytes, write), std::string(what) + ": the whole buffer in memory the process may " +
                                          (write ? "write" : "read"));
  }
  // A buffer the call fills: Windows may use all of the size the caller gives, so all of it is
  // used here first, and a size larger than the buffer tramples what lies behind it.
  void Out(const char* what, void* p, size_t bytes) {
    const size_t broken_before = broken.size();
    Buffer(what, p, bytes, true);
    if (p && broken.size() == broken_before) memset(p, 0xFD, bytes);
  }
  // A module the process holds: loaded through the boundary, or by its own loader.
  void Module(const char* what, HMODULE h, bool dataToo) {
    if (const Entry* e = Find(h, kModule))
      return Need(dataToo || e->kind != kDataModule, std::string(what) + ": a module loaded for running, not as data");
    HMODULE loaded = nullptr;
    Need(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(h), &loaded) && loaded == h,
         std::string(what) + ": a module the process holds");
  }
  void Com(bool initialised) {
    Need(!initialised || Find(reinterpret_cast<void*>(ULONG_PTR(GetCurrentThreadId())), kCom),
         "COM initialised on the calling thread (CoInitializeEx)");
  }
};

void* ThreadKey() { return reinterpret_cast<void*>(ULONG_PTR(GetCurrentThreadId())); }
bool FullPath(const wchar_t* p) {
  return p && ((p[0] && p[1] == L':' && p[2] == L'\\') || (p[0] == L'\\' && p[1] == L'\\'));
}
bool Terminated(const BYTE* data, DWORD cb) {
  return cb >= sizeof(wchar_t) && cb % sizeof(wchar_t) == 0 && !data[cb - 1] && !data[cb - 2];
}
bool OnlyBits(DWORD v, DWORD allowed) { return (v & ~allowed) == 0; }
constexpr DWORD kSam = KEY_ALL_ACCESS | KEY_WOW64_64KEY | KEY_WOW64_32KEY | GENERIC_READ | GENERIC_WRITE |
                       GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY;
void KeyAccess(Ctx& c, REGSAM sam) {
  c.Need(OnlyBits(sam, kSam), "samDesired: key access rights only");
  c.Need((sam & (KEY_WOW64_64KEY | KEY_WOW64_32KEY)) != (KEY_WOW64_64KEY | KEY_WOW64_32KEY),
         "samDesired: one registry view, not both");
}
void Key(Ctx& c, const char* what, HKEY key, DWORD anyOf) {
  if (!Predefined(key)) c.Use(what, key, {kKey}, anyOf);
}

// --- The calls' arguments, as a broken contract shows them.
template <class Ch>
void Text(std::string& s, const Ch* p) {
  if (IS_INTRESOURCE(p)) return void(s += p ? "#" + std::to_string(ULONG_PTR(p)) : "NULL");
  s += '"';
  for (size_t i = 0; p[i] && i < 80; ++i) s += p[i] > 0 && p[i] < 127 ? static_cast<char>(p[i]) : '?';
  s += '"';
}
void Arg(std::string& s, const wchar_t* p) { Text(s, p); }
void Arg(std::string& s, const char* p) { Text(s, p); }
void Arg(std::string& s, const GUID& g) {
  char b[40];
  snprintf(b, sizeof b, "{%08lX-%04X-%04X-...}", g.Data1, g.Data2, g.Data3);
  s += b;
}
template <class T>
void Arg(std::string& s, T v) {
  std::ostringstream o;
  if constexpr (std::is_pointer_v<T>) o << reinterpret_cast<const void*>(v);
  else o << "0x" << std::hex << static_cast<unsigned long long>(v);
  s += o.str();
}
template <class... A>
std::string Args(A... a) {
  std::string s;
  ((Arg(s, a), s += ", "), ...);
  return s.substr(0, s.size() - (sizeof...(A) ? 2 : 0));
}

// --- The contract table: one row per function the tool calls, each with the page
// of Microsoft's documentation it comes from, the errors that page gives for a
// failure, and the rules. A rule runs before the call (c.after false) and once
// more with its result, which is where acquisitions and releases are counted.
struct LookedUp {  // functions the tool looks up at run time and calls directly
  decltype(&::GetNativeSystemInfo) GetNativeSystemInfo;
  decltype(&::GetProductInfo) GetProductInfo;
  decltype(&::SetDefaultDllDirectories) SetDefaultDllDirectories;
} g_lookedUp;
#define LOOKED_UP(X) X(GetNativeSystemInfo) X(GetProductInfo) X(SetDefaultDllDirectories)

template <class Table, class F, F Table::*Entry>
struct Row;
template <class... E>
std::vector<DWORD> ErrorList(E... errors) {  // last errors, statuses and HRESULTs alike
  return {static_cast<DWORD>(errors)...};
}
#define UNPAREN(...) __VA_ARGS__
#define CONTRACT(table, fn, page, errors, ...)                                      \
  template <>                                                                     \
  struct Row<table, decltype(table::fn), &table::fn> {                            \
    static constexpr const char* kName = #fn;                                     \
    static constexpr const char* kPage = page;                                    \
    static const std::vector<DWORD>& Errors() {                                   \
      static const std::vector<DWORD> errors_ = ErrorList(UNPAREN errors); \
      return errors_;                                                             \
    }                                                                             \
    static constexpr auto Rule = __VA_ARGS__;                                     \
  };
#define NONE [](Ctx&, auto...) {}
using os::Api;
constexpr DWORD kNever = kCannotFail;

// -- kernel32: errors, memory, time, process
// Reading the thread's last error cannot fail and takes nothing.
CONTRACT(Api, GetLastError, "GetLastError function (errhandlingapi.h)", (kNever), NONE)
CONTRACT(Api, SetLastError, "SetLastError function (errhandlingapi.h)", (kNever), NONE)
CONTRACT(Api, GetErrorMode, "GetErrorMode function (errhandlingapi.h)", (kNever), NONE)
// The process's error mode: the SEM_ flags, nothing else.
CONTRACT(Api, SetErrorMode, "SetErrorMode function (errhandlingapi.h)", (kNever), [](Ctx& c, UINT mode) {
  c.Need(OnlyBits(mode, SEM_FAILCRITICALERRORS | SEM_NOALIGNMENTFAULTEXCEPT | SEM_NOGPFAULTERRORBOX |
                            SEM_NOOPENFILEERRORBOX), "uMode: SEM_ flags only");
})
// The local time goes into the caller's structure.
CONTRACT(Api, GetLocalTime, "GetLocalTime function (sysinfoapi.h)", (kNever), [](Ctx& c, LPSYSTEMTIME st) {
  if (!c.after) c.Buffer("lpSystemTime", st, sizeof(*st), true);
})
CONTRACT(Api, GetCurrentProcessId, "GetCurrentProcessId function (processthreadsapi.h)", (kNever), NONE)
CONTRACT(Api, GetCurrentProcess, "GetCurrentProcess function (processthreadsapi.h)", (kNever), NONE)
CONTRACT(Api, GetCommandLineW, "GetCommandLineW function (processenv.h)", (kNever), NONE)
CONTRACT(Api, Sleep, "Sleep function (synchapi.h)", (kNever), NONE)
// A terminated narrow string for the debugger.
CONTRACT(Api, OutputDebugStringA, "OutputDebugStringA function (debugapi.h)", (kNever), [](Ctx& c, LPCSTR s) {
  c.Need(s != nullptr, "lpOutputString: a terminated string");
})
// A system text: no inserts unless arguments come, a buffer it allocates freed
// with LocalFree, or the caller's of at most 64K.
CONTRACT(Api, FormatMessageA, "FormatMessage function (winbase.h)", (ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND),
         [](Ctx& c, DWORD flags, LPCVOID, DWORD, DWORD, LPSTR buffer, DWORD size, va_list* args) {
  const bool allocate = flags & FORMAT_MESSAGE_ALLOCATE_BUFFER;
  if (c.after) return void(allocate && c.result ? c.Got(kLocal, *reinterpret_cast<LPSTR*>(buffer)) : void());
  c.Need(!(flags & FORMAT_MESSAGE_FROM_STRING) || !(flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE)),
         "dwFlags: FORMAT_MESSAGE_FROM_STRING alone as the source");
  c.Need((flags & FORMAT_MESSAGE_IGNORE_INSERTS) || args, "dwFlags: a system text's inserts need arguments or "
                                                          "FORMAT_MESSAGE_IGNORE_INSERTS");
  if (allocate) c.Buffer("lpBuffer", buffer, sizeof(LPSTR), true);
  else c.Need(size <= 64 * 1024, "nSize: at most 64K"), c.Out("lpBuffer", buffer, size);
})
// Fixed or movable memory, zeroed or not; LocalFree releases it.
CONTRACT(Api, LocalAlloc, "LocalAlloc function (winbase.h)", (ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, UINT flags, SIZE_T cb) {
  if (c.after) return void(c.result ? c.Got(kLocal, c.Result<HLOCAL>(), 0, flags & LMEM_MOVEABLE ? 0 : cb) : void());
  c.Need(OnlyBits(flags, LMEM_MOVEABLE | LMEM_ZEROINIT), "uFlags: LMEM_FIXED, LMEM_MOVEABLE, LMEM_ZEROINIT only");
})
// Local memory, once; NULL is ignored.
CONTRACT(Api, LocalFree, "LocalFree function (winbase.h)", (ERROR_INVALID_HANDLE), [](Ctx& c, HLOCAL h) {
  if (!c.after && h) c.Free("hMem", h, {kLocal});
})
// The process heap lives as long as the process.
CONTRACT(Api, GetProcessHeap, "GetProcessHeap function (heapapi.h)", (kNever), [](Ctx& c) {
  if (c.after && c.result) c.Got(kHeap, c.Result<HANDLE>());
})
// A block of a heap the process has; it fails without telling an error.
CONTRACT(Api, HeapAlloc, "HeapAlloc function (heapapi.h)", (), [](Ctx& c, HANDLE heap, DWORD flags, SIZE_T cb) {
  if (c.after) return void(c.result ? c.Got(kHeapBlock, c.Result<LPVOID>(), 0, cb, heap) : void());
  c.Use("hHeap", heap, {kHeap});
  c.Need(OnlyBits(flags, HEAP_GENERATE_EXCEPTIONS | HEAP_NO_SERIALIZE | HEAP_ZERO_MEMORY), "dwFlags: HEAP_ flags only");
})
// A block of that heap, once; NULL is undefined.
CONTRACT(Api, HeapFree, "HeapFree function (heapapi.h)", (ERROR_INVALID_PARAMETER), [](Ctx& c, HANDLE heap, DWORD flags, LPVOID p) {
  if (c.after) return;
  c.Use("hHeap", heap, {kHeap});
  c.Need(OnlyBits(flags, HEAP_NO_SERIALIZE), "dwFlags: HEAP_NO_SERIALIZE only");
  const Entry* e = c.Find(p, kHeapBlock);
  c.Need(!e || e->owner == heap, "lpMem: a block of the heap it names");
  c.Need(p != nullptr, "lpMem: a block (NULL is undefined)");
  if (p) c.Free("lpMem", p, {kHeapBlock});
})
// Two strings, terminated where a length is -1, under a locale and flags Windows 7 knows.
CONTRACT(Api, CompareStringW, "CompareStringW function (stringapiset.h)", (ERROR_INVALID_FLAGS, ERROR_INVALID_PARAMETER),
         [](Ctx& c, LCID lcid, DWORD flags, LPCWSTR a, int ca, LPCWSTR b, int cb) {
  if (c.after) return;
  c.Need(lcid == LOCALE_INVARIANT || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT ||
             IsValidLocale(lcid, LCID_SUPPORTED), "Locale: a locale Windows supports");
  c.Need(OnlyBits(flags, LINGUISTIC_IGNORECASE | LINGUISTIC_IGNOREDIACRITIC | NORM_IGNORECASE | NORM_IGNOREKANATYPE |
                             NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS | NORM_IGNOREWIDTH | NORM_LINGUISTIC_CASING |
                             SORT_DIGITSASNUMBERS | SORT_STRINGSORT), "dwCmpFlags: comparison flags only");
  c.Need(a && b && ca >= -1 && cb >= -1, "lpString1, lpString2: strings, lengths -1 or more");
})
// Wide text to the code page: a non-empty source, a target of the size given
// (none when it only asks for the size), apart from the source.
CONTRACT(Api, WideCharToMultiByte, "WideCharToMultiByte function (stringapiset.h)",
         (ERROR_NO_UNICODE_TRANSLATION, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_FLAGS, ERROR_INVALID_PARAMETER),
         [](Ctx& c, UINT cp, DWORD flags, LPCWSTR w, int cw, LPSTR mb, int cbMb, LPCSTR def, LPBOOL used) {
  if (c.after) return;
  c.Need(OnlyBits(flags, WC_COMPOSITECHECK | WC_DEFAULTCHAR | WC_DISCARDNS | WC_SEPCHARS | WC_NO_BEST_FIT_CHARS |
                             (cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0)), "dwFlags: WC_ flags the code page takes");
  c.Need(w && cw != 0 && cw >= -1 && cbMb >= 0, "lpWideCharStr, cchWideChar, cbMultiByte: a source, lengths in range");
  c.Need((cp != CP_UTF8 && cp != CP_UTF7) || (!def && !used), "lpDefaultChar, lpUsedDefaultChar: NULL for UTF-8");
  c.Need(!cbMb || static_cast<LPCVOID>(mb) != w, "lpMultiByteStr: apart from the source");
  if (cbMb) c.Out("lpMultiByteStr", mb, cbMb);
})
// The caller's structure, its size field that of the basic or the extended one.
CONTRACT(Api, GetVersionExW, "GetVersionExW function (sysinfoapi.h)", (ERROR_INSUFFICIENT_BUFFER), [](Ctx& c, LPOSVERSIONINFOW v) {
  if (c.after) return;
  c.Need(v && (v->dwOSVersionInfoSize == sizeof(OSVERSIONINFOW) || v->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW)),
         "lpVersionInformation: dwOSVersionInfoSize of OSVERSIONINFOW or OSVERSIONINFOEXW");
  if (v) c.Buffer("lpVersionInformation", v, v->dwOSVersionInfoSize, true);
})

// -- kernel32: files, devices, kernel objects
// A file or device, opened for what the caller then does with it.
CONTRACT(Api, CreateFileW, "CreateFileW function (fileapi.h)",
         (ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND),
         [](Ctx& c, LPCWSTR path, DWORD access, DWORD share, auto, DWORD how, DWORD flags, HANDLE tmpl) {
  const bool device = path && (!wcsncmp(path, L"\\\\?\\", 4) || !wcsncmp(path, L"\\\\.\\", 4)) && path[5] != L':';
  if (c.after) return void(c.Result<HANDLE>() != INVALID_HANDLE_VALUE ? c.Got(device ? kDevice : kFile, c.Result<HANDLE>(), access) : void());
  c.Need(path != nullptr, "lpFileName: a path");
  c.Need(how >= CREATE_NEW && how <= TRUNCATE_EXISTING, "dwCreationDisposition: one of the five dispositions");
  c.Need(how != TRUNCATE_EXISTING || (access & (GENERIC_WRITE | GENERIC_ALL)), "TRUNCATE_EXISTING: GENERIC_WRITE");
  c.Need(OnlyBits(share, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), "dwShareMode: FILE_SHARE_ flags only");
  c.Need(OnlyBits(flags & 0xFFFF, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_READONLY |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY),
         "dwFlagsAndAttributes: attributes a file may be created with");
  c.Need(!tmpl || (access & (GENERIC_READ | GENERIC_ALL)), "hTemplateFile: opened for reading");
})
// A seekable file opened for reading or writing.
CONTRACT(Api, SetFilePointer, "SetFilePointer function (fileapi.h)", (ERROR_NEGATIVE_SEEK, ERROR_INVALID_PARAMETER),
         [](Ctx& c, HANDLE h, LONG, PLONG, DWORD method) {
  if (c.after) return;
  c.Use("hFile", h, {kFile}, GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA);
  c.Need(method <= FILE_END, "dwMoveMethod: FILE_BEGIN, FILE_CURRENT or FILE_END");
})
// Bytes to a handle opened for writing; without an OVERLAPPED the count of bytes
// written must have a place.
CONTRACT(Api, WriteFile, "WriteFile function (fileapi.h)", (ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION),
         [](Ctx& c, HANDLE h, LPCVOID data, DWORD cb, LPDWORD written, LPOVERLAPPED ov) {
  if (c.after) return;
  c.Use("hFile", h, {kFile, kDevice}, GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA);
  c.Need(written || ov, "lpNumberOfBytesWritten: NULL only with an OVERLAPPED");
  c.Buffer("lpBuffer", data, cb, false);
})
// A file opened for writing.
CONTRACT(Api, FlushFileBuffers, "FlushFileBuffers function (fileapi.h)", (ERROR_ACCESS_DENIED, ERROR_DISK_FULL), [](Ctx& c, HANDLE h) {
  if (!c.after) c.Use("hFile", h, {kFile}, GENERIC_WRITE | FILE_WRITE_DATA);
})
// An open kernel handle, once: not a key, a set or a pseudo-handle.
CONTRACT(Api, CloseHandle, "CloseHandle function (handleapi.h)", (ERROR_INVALID_HANDLE), [](Ctx& c, HANDLE h) {
  if (!c.after) c.Free("hObject", h, {kFile, kDevice, kMutex});
})
// A device opened by CreateFile; the control code's access bits need that access;
// without an OVERLAPPED the count of bytes returned must have a place.
CONTRACT(Api, DeviceIoControl, "DeviceIoControl function (ioapiset.h)", (ERROR_INVALID_FUNCTION, ERROR_NOT_READY, ERROR_GEN_FAILURE),
         [](Ctx& c, HANDLE h, DWORD code, LPVOID in, DWORD cbIn, LPVOID out, DWORD cbOut, LPDWORD returned, LPOVERLAPPED ov) {
  if (c.after) return;
  const DWORD needs = ((code >> 14) & FILE_READ_ACCESS ? GENERIC_READ | FILE_READ_DATA : 0) |
                      ((code >> 14) & FILE_WRITE_ACCESS ? GENERIC_WRITE | FILE_WRITE_DATA : 0);
  c.Use("hDevice", h, {kDevice}, needs);
  c.Need(returned || ov, "lpBytesReturned: NULL only with an OVERLAPPED");
  c.Buffer("lpInBuffer", in, cbIn, false), c.Out("lpOutBuffer", out, cbOut);
})
// A mutex name of at most MAX_PATH characters, no backslash but after Global\ or Local\.
CONTRACT(Api, CreateMutexW, "CreateMutexW function (synchapi.h)", (ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE),
         [](Ctx& c, auto, BOOL, LPCWSTR name) {
  if (c.after) return void(c.result ? c.Got(kMutex, c.Result<HANDLE>(), MUTEX_ALL_ACCESS) : void());
  const LPCWSTR rest = name && (!wcsncmp(name, L"Global\\", 7) || !wcsncmp(name, L"Local\\", 6)) ? wcschr(name, L'\\') + 1 : name;
  c.Need(!name || (wcslen(name) <= MAX_PATH && !wcschr(rest, L'\\')), "lpName: at most MAX_PATH characters, no backslash");
})
// A process handle with query access (the current process's pseudo-handle has every right).
CONTRACT(Api, IsWow64Process, "IsWow64Process function (wow64apiset.h)", (ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE),
         [](Ctx& c, HANDLE process, PBOOL wow64) {
  if (c.after) return;
  c.Need(process == GetCurrentProcess(), "hProcess: a process handle with PROCESS_QUERY_(LIMITED_)INFORMATION");
  c.Buffer("Wow64Process", wow64, sizeof(*wow64), true);
})
// Redirection off for the calling thread: the cookie goes back to the revert, once.
CONTRACT(Api, Wow64DisableWow64FsRedirection, "Wow64DisableWow64FsRedirection function (wow64apiset.h)",
         (ERROR_INVALID_FUNCTION), [](Ctx& c, PVOID* old) {
  if (c.after) return void(c.result ? c.Got(kCookie, *old) : void());
  c.Buffer("OldValue", old, sizeof(*old), true);
})
CONTRACT(Api, Wow64RevertWow64FsRedirection, "Wow64RevertWow64FsRedirection function (wow64apiset.h)",
         (ERROR_INVALID_FUNCTION), [](Ctx& c, PVOID old) {
  if (!c.after) c.Free("OlValue", old, {kCookie});
})

// -- kernel32: modules and resources
// A module the process has already; its handle is borrowed, never freed.
CONTRACT(Api, GetModuleHandleW, "GetModuleHandleW function (libloaderapi.h)", (ERROR_MOD_NOT_FOUND), [](Ctx& c, LPCWSTR) {
  if (c.after && c.result) c.Got(kBorrowedModule, c.Result<HMODULE>());
})
// The path of a loaded module (NULL: the program), into a buffer of nSize characters.
CONTRACT(Api, GetModuleFileNameW, "GetModuleFileNameW function (libloaderapi.h)", (ERROR_MOD_NOT_FOUND, ERROR_INVALID_HANDLE),
         [](Ctx& c, HMODULE h, LPWSTR buffer, DWORD cch) {
  if (c.after) return;
  if (h) c.Module("hModule", h, false);
  c.Out("lpFilename", buffer, cch * sizeof(wchar_t));
})
// The system folder, into a buffer of uSize characters.
CONTRACT(Api, GetSystemDirectoryW, "GetSystemDirectoryW function (sysinfoapi.h)", (ERROR_INVALID_PARAMETER),
         [](Ctx& c, LPWSTR buffer, UINT cch) {
  if (!c.after) c.Out("lpBuffer", buffer, cch * sizeof(wchar_t));
})
// A module by its full path: the tool runs elevated, and a bare name is looked
// for in its own folder first (Dynamic-Link Library Security).
CONTRACT(Api, LoadLibraryW, "LoadLibraryW function (libloaderapi.h)",
         (ERROR_MOD_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_BAD_EXE_FORMAT, ERROR_DLL_INIT_FAILED), [](Ctx& c, LPCWSTR path) {
  if (c.after) return void(c.result ? c.Got(kModule, c.Result<HMODULE>()) : void());
  c.Need(FullPath(path), "lpLibFileName: a fully qualified path");
})
// The same, hFile reserved, flags Windows 7 knows without its KB2533623
// (no LOAD_LIBRARY_SEARCH_ flags), the altered search with a full path only.
CONTRACT(Api, LoadLibraryExW, "LoadLibraryExW function (libloaderapi.h)",
         (ERROR_MOD_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_BAD_EXE_FORMAT, ERROR_DLL_INIT_FAILED),
         [](Ctx& c, LPCWSTR path, HANDLE file, DWORD flags) {
  const bool data = flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (c.after) return void(c.result ? c.Got(data ? kDataModule : kModule, c.Result<HMODULE>()) : void());
  c.Need(!file, "hFile: reserved, NULL");
  c.Need(OnlyBits(flags, DONT_RESOLVE_DLL_REFERENCES | LOAD_IGNORE_CODE_AUTHZ_LEVEL | LOAD_LIBRARY_AS_DATAFILE |
                             LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_WITH_ALTERED_SEARCH_PATH),
         "dwFlags: flags of Windows 7 without KB2533623");
  c.Need(FullPath(path), "lpLibFileName: a fully qualified path");
})
// A module loaded through LoadLibrary(Ex), once; its resources go with it.
CONTRACT(Api, FreeLibrary, "FreeLibrary function (libloaderapi.h)", (ERROR_INVALID_HANDLE), [](Ctx& c, HMODULE h) {
  if (!c.after) c.Free("hLibModule", h, {kModule, kDataModule});
})
// A resource of a module the process holds (NULL: the program).
CONTRACT(Api, FindResourceW, "FindResourceW function (winbase.h)",
         (ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND), [](Ctx& c, HMODULE h, LPCWSTR name, LPCWSTR type) {
  if (c.after) return void(c.result ? c.Got(kResource, c.Result<HRSRC>(), 0, 0, h) : void());
  if (h) c.Module("hModule", h, true);
  c.Need(name && type, "lpName, lpType: a name and a type");
})
// The resource FindResource gave for the same module.
CONTRACT(Api, SizeofResource, "SizeofResource function (libloaderapi.h)", (ERROR_RESOURCE_DATA_NOT_FOUND),
         [](Ctx& c, HMODULE h, HRSRC r) {
  Entry* e = c.after ? c.Find(r, kResource) : c.Use("hResInfo", r, {kResource});
  if (c.after && e) e->size = c.result;
  if (!c.after) c.Need(!e || e->owner == h, "hResInfo: found in the module it names");
})
CONTRACT(Api, LoadResource, "LoadResource function (libloaderapi.h)", (ERROR_RESOURCE_DATA_NOT_FOUND), [](Ctx& c, HMODULE h, HRSRC r) {
  const Entry* e = c.after ? c.Find(r, kResource) : c.Use("hResInfo", r, {kResource});
  if (c.after) return void(c.result ? c.Got(kResData, c.Result<HGLOBAL>(), 0, e ? e->size : 0, h) : void());
  c.Need(!e || e->owner == h, "hResInfo: found in the module it names");
})
// Data LoadResource gave; it fails without telling an error.
CONTRACT(Api, LockResource, "LockResource function (libloaderapi.h)", (), [](Ctx& c, HGLOBAL g) {
  const Entry* e = c.after ? c.Find(g, kResData) : c.Use("hResData", g, {kResData});
  if (c.after && c.result && e) c.Got(kLocked, c.Result<LPVOID>(), 0, e->size, e->owner);
})

// -- user32, comctl32
// A string of a module the process holds, into a buffer of cchBufferMax characters
// (0: a read-only pointer into the resource).
CONTRACT(Api, LoadStringW, "LoadStringW function (winuser.h)", (ERROR_RESOURCE_NAME_NOT_FOUND),
         [](Ctx& c, HINSTANCE h, UINT, LPWSTR buffer, int cch) {
  if (c.after) return;
  c.Module("hInstance", h, true);
  c.Need(cch >= 0, "cchBufferMax: 0 or more");
  c.Buffer("lpBuffer", buffer, cch ? cch * sizeof(wchar_t) : sizeof(LPWSTR), true);
})
// One button set, icon, default button and modality; no other bits.
CONTRACT(Api, MessageBoxW, "MessageBoxW function (winuser.h)", (ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, HWND owner, LPCWSTR, LPCWSTR, UINT type) {
  if (c.after) return;
  c.Need((type & MB_TYPEMASK) <= MB_CANCELTRYCONTINUE && (type & MB_ICONMASK) <= MB_ICONASTERISK &&
             (type & MB_DEFMASK) <= MB_DEFBUTTON4 && (type & MB_MODEMASK) <= MB_TASKMODAL,
         "uType: one button set, icon, default button and modality");
  c.Need(OnlyBits(type, MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK | MB_MODEMASK | MB_MISCMASK | MB_SETFOREGROUND |
                            MB_DEFAULT_DESKTOP_ONLY | MB_TOPMOST | MB_RIGHT | MB_RTLREADING | MB_SERVICE_NOTIFICATION),
         "uType: MB_ flags only");
  c.Need(!(type & MB_SERVICE_NOTIFICATION) || !owner, "MB_SERVICE_NOTIFICATION: no owner window");
})
// A metric Windows defines; it answers 0 for a metric it lacks.
CONTRACT(Api, GetSystemMetrics, "GetSystemMetrics function (winuser.h)", (), [](Ctx& c, int index) {
  if (!c.after) c.Need((index >= 0 && index <= SM_CMETRICS) || (index >= 0x1000 && index <= 0x1001) ||
                           (index >= 0x2000 && index <= 0x2004), "nIndex: an SM_ index");
})
// dwSize of INITCOMMONCONTROLSEX, and the ICC_ classes to register.
CONTRACT(Api, InitCommonControlsEx, "InitCommonControlsEx function (commctrl.h)", (), [](Ctx& c, const INITCOMMONCONTROLSEX* icc) {
  if (c.after) return;
  c.Need(icc && icc->dwSize == sizeof(INITCOMMONCONTROLSEX), "picce: dwSize of INITCOMMONCONTROLSEX");
  c.Kept(!icc || OnlyBits(icc->dwICC, 0xFFFF), "dwICC has bits beyond the ICC_ classes (reserved): the tool asks for "
                                               "every class there is");
})

// -- shell32, shlwapi
// The whole command line; LocalFree releases the result.
CONTRACT(Api, CommandLineToArgvW, "CommandLineToArgvW function (shellapi.h)", (ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, LPCWSTR line, int* n) {
  if (c.after) return void(c.result ? c.Got(kLocal, c.Result<LPWSTR*>()) : void());
  c.Need(line != nullptr, "lpCmdLine: a command line");
  c.Buffer("pNumArgs", n, sizeof(*n), true);
})
// A path of at most MAX_PATH characters.
CONTRACT(Api, PathFileExistsW, "PathFileExistsW function (shlwapi.h)", (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND),
         [](Ctx& c, LPCWSTR path) {
  if (!c.after) c.Need(path && wcslen(path) < MAX_PATH, "pszPath: a path of at most MAX_PATH characters");
})
// A path in a buffer of MAX_PATH characters.
CONTRACT(Api, PathRemoveFileSpecW, "PathRemoveFileSpecW function (shlwapi.h)", (), [](Ctx& c, LPWSTR path) {
  if (!c.after) c.Buffer("pszPath", path, MAX_PATH * sizeof(wchar_t), true);
})
CONTRACT(Api, PathAppendW, "PathAppendW function (shlwapi.h)", (), [](Ctx& c, LPWSTR path, LPCWSTR more) {
  if (c.after) return;
  c.Buffer("pszPath", path, MAX_PATH * sizeof(wchar_t), true);
  c.Need(more && wcslen(more) < MAX_PATH, "pszMore: a path of at most MAX_PATH characters");
})

// -- advapi32: registry and security
// A subkey of an open or predefined key, options 0 or REG_OPTION_OPEN_LINK.
CONTRACT(Api, RegOpenKeyExW, "RegOpenKeyExW function (winreg.h)", (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED),
         [](Ctx& c, HKEY root, LPCWSTR, DWORD options, REGSAM sam, PHKEY key) {
  if (c.after) return void(!c.result ? c.Got(kKey, *key, sam) : void());
  Key(c, "hKey", root, 0), KeyAccess(c, sam);
  c.Need(options == 0 || options == REG_OPTION_OPEN_LINK, "ulOptions: 0 or REG_OPTION_OPEN_LINK");
  c.Buffer("phkResult", key, sizeof(*key), true);
})
// A named subkey, Reserved 0, the REG_OPTION_ options, a place for the key.
CONTRACT(Api, RegCreateKeyExW, "RegCreateKeyExW function (winreg.h)", (ERROR_ACCESS_DENIED, ERROR_CHILD_MUST_BE_VOLATILE),
         [](Ctx& c, HKEY root, LPCWSTR sub, DWORD reserved, LPWSTR, DWORD options, REGSAM sam, auto, PHKEY key, LPDWORD) {
  if (c.after) return void(!c.result ? c.Got(kKey, *key, sam) : void());
  Key(c, "hKey", root, 0), KeyAccess(c, sam);
  c.Need(sub != nullptr, "lpSubKey: a name (not NULL)");
  c.Need(reserved == 0, "Reserved: 0");
  c.Need(OnlyBits(options, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE), "dwOptions: REG_OPTION_ flags only");
  c.Buffer("phkResult", key, sizeof(*key), true);
})
// A key opened with KEY_QUERY_VALUE; the data's size must come with the data.
CONTRACT(Api, RegQueryValueExW, "RegQueryValueExW function (winreg.h)", (ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ERROR_ACCESS_DENIED),
         [](Ctx& c, HKEY key, LPCWSTR, LPDWORD reserved, LPDWORD, LPBYTE data, LPDWORD cb) {
  if (c.after) return;
  Key(c, "hKey", key, KEY_QUERY_VALUE | GENERIC_READ);
  c.Need(!reserved, "lpReserved: NULL");
  c.Need(!data || cb, "lpcbData: NULL only when lpData is NULL");
  if (data && cb) c.Buffer("lpData", data, *cb, true);  // the bytes past the data stay as they were
})
// A key opened with KEY_SET_VALUE; a string's size counts its terminator, a
// REG_DWORD is four bytes.
CONTRACT(Api, RegSetValueExW, "RegSetValueExW function (winreg.h)", (ERROR_ACCESS_DENIED, ERROR_NO_SYSTEM_RESOURCES),
         [](Ctx& c, HKEY key, LPCWSTR, DWORD reserved, DWORD type, const BYTE* data, DWORD cb) {
  if (c.after) return;
  Key(c, "hKey", key, KEY_SET_VALUE | GENERIC_WRITE);
  c.Need(reserved == 0 && type <= REG_QWORD, "Reserved 0, dwType a REG_ type");
  c.Buffer("lpData", data, cb, false);
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
    c.Need(data && Terminated(data, cb), "cbData: the string with its terminating null");
  if (type == REG_DWORD) c.Need(cb == sizeof(DWORD), "cbData: four bytes for REG_DWORD");
})
// A key opened through the boundary, once (a predefined key is left alone).
CONTRACT(Api, RegCloseKey, "RegCloseKey function (winreg.h)", (ERROR_INVALID_HANDLE), [](Ctx& c, HKEY key) {
  if (!c.after && !Predefined(key)) c.Free("hKey", key, {kKey});
})
// One to eight subauthorities; FreeSid releases the SID.
CONTRACT(Api, AllocateAndInitializeSid, "AllocateAndInitializeSid function (securitybaseapi.h)", (ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_PARAMETER),
         [](Ctx& c, PSID_IDENTIFIER_AUTHORITY authority, BYTE n, auto, auto, auto, auto, auto, auto, auto, auto, PSID* sid) {
  if (c.after) return void(c.result ? c.Got(kSid, *sid) : void());
  c.Need(authority && n >= 1 && n <= 8, "pIdentifierAuthority, nSubAuthorityCount: an authority, 1 to 8");
  c.Buffer("pSid", sid, sizeof(*sid), true);
})
// The thread's effective token (NULL) and a SID the caller holds.
CONTRACT(Api, CheckTokenMembership, "CheckTokenMembership function (securitybaseapi.h)", (ERROR_NO_IMPERSONATION_TOKEN, ERROR_ACCESS_DENIED),
         [](Ctx& c, HANDLE, PSID sid, PBOOL member) {
  if (c.after) return;
  c.Use("SidToCheck", sid, {kSid});
  c.Buffer("IsMember", member, sizeof(*member), true);
})
// A SID of AllocateAndInitializeSid, once; it fails without telling an error.
CONTRACT(Api, FreeSid, "FreeSid function (securitybaseapi.h)", (), [](Ctx& c, PSID sid) {
  if (!c.after) c.Free("pSid", sid, {kSid});
})

// -- setupapi, newdev
// The present devices of a class or interface class; without DIGCF_ALLCLASSES
// an interface class needs its GUID.
CONTRACT(Api, SetupDiGetClassDevsW, "SetupDiGetClassDevsW function (setupapi.h)",
         (ERROR_INVALID_FLAGS, ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, const GUID* guid, PCWSTR, HWND, DWORD flags) {
  if (c.after) return void(c.Result<HDEVINFO>() != INVALID_HANDLE_VALUE ? c.Got(kDevInfo, c.Result<HDEVINFO>()) : void());
  c.Need(OnlyBits(flags, DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE), "Flags: DIGCF_ flags only");
  c.Need(guid || (flags & DIGCF_ALLCLASSES), "ClassGuid: needed without DIGCF_ALLCLASSES");
})
// An open set, the interface class, SP_DEVICE_INTERFACE_DATA with its cbSize.
CONTRACT(Api, SetupDiEnumDeviceInterfaces, "SetupDiEnumDeviceInterfaces function (setupapi.h)", (ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER),
         [](Ctx& c, HDEVINFO set, PSP_DEVINFO_DATA dev, const GUID* guid, DWORD, PSP_DEVICE_INTERFACE_DATA data) {
  if (c.after) return;
  c.Use("DeviceInfoSet", set, {kDevInfo});
  c.Need(!dev || dev->cbSize == sizeof(SP_DEVINFO_DATA), "DeviceInfoData: cbSize of SP_DEVINFO_DATA");
  c.Need(guid != nullptr, "InterfaceClassGuid: the class (not NULL)");
  c.Need(data && data->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA), "DeviceInterfaceData: cbSize of SP_DEVICE_INTERFACE_DATA");
})
// The detail's cbSize is its fixed part; no buffer, no size.
CONTRACT(Api, SetupDiGetDeviceInterfaceDetailW, "SetupDiGetDeviceInterfaceDetailW function (setupapi.h)",
         (ERROR_NOT_ENOUGH_MEMORY, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_USER_BUFFER),
         [](Ctx& c, HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD cb, PDWORD, PSP_DEVINFO_DATA dev) {
  if (c.after) return;
  c.Use("DeviceInfoSet", set, {kDevInfo});
  c.Need(iface && iface->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA), "DeviceInterfaceData: cbSize of SP_DEVICE_INTERFACE_DATA");
  c.Need(detail ? detail->cbSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) && cb >= detail->cbSize : cb == 0,
         "DeviceInterfaceDetailData: cbSize of its fixed part and room for it, or NULL with size 0");
  c.Buffer("DeviceInterfaceDetailData", detail, cb, true);
  c.Need(!dev || dev->cbSize == sizeof(SP_DEVINFO_DATA), "DeviceInfoData: cbSize of SP_DEVINFO_DATA");
})
// A device of the set, global or per profile, its device or driver key.
CONTRACT(Api, SetupDiOpenDevRegKey, "SetupDiOpenDevRegKey function (setupapi.h)", (ERROR_KEY_DOES_NOT_EXIST, ERROR_ACCESS_DENIED),
         [](Ctx& c, HDEVINFO set, PSP_DEVINFO_DATA dev, DWORD scope, DWORD, DWORD type, REGSAM sam) {
  if (c.after) return void(c.Result<HKEY>() != INVALID_HANDLE_VALUE ? c.Got(kKey, c.Result<HKEY>(), sam) : void());
  c.Use("DeviceInfoSet", set, {kDevInfo});
  c.Need(dev && dev->cbSize == sizeof(SP_DEVINFO_DATA), "DeviceInfoData: a device, cbSize of SP_DEVINFO_DATA");
  c.Need(scope == DICS_FLAG_GLOBAL || scope == DICS_FLAG_CONFIGSPECIFIC, "Scope: DICS_FLAG_GLOBAL or DICS_FLAG_CONFIGSPECIFIC");
  c.Need(type == DIREG_DEV || type == DIREG_DRV, "KeyType: DIREG_DEV or DIREG_DRV");
  KeyAccess(c, sam);
})
CONTRACT(Api, SetupDiEnumDeviceInfo, "SetupDiEnumDeviceInfo function (setupapi.h)", (ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER),
         [](Ctx& c, HDEVINFO set, DWORD, PSP_DEVINFO_DATA dev) {
  if (c.after) return;
  c.Use("DeviceInfoSet", set, {kDevInfo});
  c.Need(dev && dev->cbSize == sizeof(SP_DEVINFO_DATA), "DeviceInfoData: cbSize of SP_DEVINFO_DATA");
})
// A device of the set, an SPDRP_ property; no buffer, no size.
CONTRACT(Api, SetupDiGetDeviceRegistryPropertyW, "SetupDiGetDeviceRegistryPropertyW function (setupapi.h)",
         (ERROR_INVALID_DATA, ERROR_INSUFFICIENT_BUFFER), [](Ctx& c, HDEVINFO set, PSP_DEVINFO_DATA dev, DWORD property, PDWORD, PBYTE buffer, DWORD cb, PDWORD) {
  if (c.after) return;
  c.Use("DeviceInfoSet", set, {kDevInfo});
  c.Need(dev && dev->cbSize == sizeof(SP_DEVINFO_DATA), "DeviceInfoData: cbSize of SP_DEVINFO_DATA");
  c.Need(property < SPDRP_MAXIMUM_PROPERTY, "Property: an SPDRP_ property");
  c.Need(buffer || cb == 0, "PropertyBufferSize: 0 when PropertyBuffer is NULL");
  c.Out("PropertyBuffer", buffer, cb);
})
// A set of SetupDiGetClassDevs, once.
CONTRACT(Api, SetupDiDestroyDeviceInfoList, "SetupDiDestroyDeviceInfoList function (setupapi.h)", (ERROR_INVALID_HANDLE),
         [](Ctx& c, HDEVINFO set) {
  if (!c.after) c.Free("DeviceInfoSet", set, {kDevInfo});
})
// A device id, the package by full path, INSTALLFLAG_ bits of Windows 7; not in WOW64.
CONTRACT(Api, UpdateDriverForPlugAndPlayDevicesW, "UpdateDriverForPlugAndPlayDevicesW function (newdev.h)",
         (ERROR_NO_MORE_ITEMS, ERROR_NO_SUCH_DEVINST, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_IN_WOW64),
         [](Ctx& c, HWND, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL) {
  if (c.after) return;
  c.Need(id && *id && wcslen(id) < MAX_DEVICE_ID_LEN, "HardwareId: a device id under MAX_DEVICE_ID_LEN");
  c.Need(FullPath(inf), "FullInfPath: the package's full path");
  c.Need(OnlyBits(flags, INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE), "InstallFlags: INSTALLFLAG_ bits only");
})

// -- version
// A version block the caller holds; documented for GetFileVersionInfo's copy,
// the tool reads a locked RT_VERSION resource in place.
CONTRACT(Api, VerQueryValueW, "VerQueryValueW function (winver.h)", (), [](Ctx& c, LPCVOID block, LPCWSTR sub, LPVOID* out, PUINT len) {
  if (c.after) return;
  c.Need(c.Find(block, kLocked) != nullptr, "pBlock: version data still held (a locked RT_VERSION resource)");
  c.Kept(false, "pBlock is a locked RT_VERSION resource, read in place: documented for GetFileVersionInfo's copy; "
                "Windows' VerQueryValueW reads a 32-bit block without writing to it");
  c.Need(sub && out && len, "lpSubBlock, lplpBuffer, puLen: a path and places for the answer");
})

// -- ole32, oleaut32
// pvReserved NULL, COINIT_ flags; CoUninitialize balances each success.
CONTRACT(Api, CoInitializeEx, "CoInitializeEx function (combaseapi.h)", (E_INVALIDARG, E_OUTOFMEMORY, E_UNEXPECTED, RPC_E_CHANGED_MODE),
         [](Ctx& c, LPVOID reserved, DWORD mode) {
  if (c.after) return void(SUCCEEDED(c.Result<HRESULT>()) ? c.Got(kCom, ThreadKey()) : void());
  c.Need(!reserved, "pvReserved: NULL");
  c.Need(OnlyBits(mode, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY), "dwCoInit: COINIT_ flags only");
})
CONTRACT(Api, CoUninitialize, "CoUninitialize function (combaseapi.h)", (kNever), [](Ctx& c) {
  if (!c.after) c.Free("the thread", ThreadKey(), {kCom});
})
// After CoInitializeEx; -1 lets COM choose (no list then); the RPC_C_ levels;
// reserved pointers NULL; a security descriptor only as EOAC_ says.
CONTRACT(Api, CoInitializeSecurity, "CoInitializeSecurity function (combaseapi.h)", (RPC_E_TOO_LATE, RPC_E_NO_GOOD_SECURITY_PACKAGES, E_OUTOFMEMORY),
         [](Ctx& c, PSECURITY_DESCRIPTOR, LONG cAuth, SOLE_AUTHENTICATION_SERVICE* services, void* r1, DWORD authn, DWORD imp,
            void*, DWORD caps, void* r3) {
  if (c.after) return;
  c.Com(true);
  c.Need(cAuth == -1 ? !services : cAuth >= 0, "cAuthSvc: -1 with asAuthSvc NULL, or the count of the list");
  c.Need(!r1 && !r3, "pReserved1, pReserved3: NULL");
  c.Need(authn <= RPC_C_AUTHN_LEVEL_PKT_PRIVACY, "dwAuthnLevel: an RPC_C_AUTHN_LEVEL_ value");
  c.Need(imp >= RPC_C_IMP_LEVEL_ANONYMOUS && imp <= RPC_C_IMP_LEVEL_DELEGATE, "dwImpLevel: an RPC_C_IMP_LEVEL_ value");
  c.Need(OnlyBits(caps, EOAC_MUTUAL_AUTH | EOAC_STATIC_CLOAKING | EOAC_DYNAMIC_CLOAKING | EOAC_ANY_AUTHORITY |
                            EOAC_MAKE_FULLSIC | EOAC_DEFAULT | EOAC_SECURE_REFS | EOAC_ACCESS_CONTROL | EOAC_APPID |
                            EOAC_DYNAMIC | EOAC_REQUIRE_FULLSIC | EOAC_AUTO_IMPERSONATE | EOAC_DISABLE_AAA |
                            EOAC_NO_CUSTOM_MARSHAL), "dwCapabilities: EOAC_ flags only");
})
// After CoInitializeEx; a place for the interface, CLSCTX_ bits.
CONTRACT(Api, CoCreateInstance, "CoCreateInstance function (combaseapi.h)", (REGDB_E_CLASSNOTREG, E_NOINTERFACE, CLASS_E_NOAGGREGATION),
         [](Ctx& c, REFCLSID, LPUNKNOWN, DWORD context, REFIID, LPVOID* out) {
  if (c.after) return;
  c.Com(true);
  c.Need(OnlyBits(context, CLSCTX_ALL | CLSCTX_NO_CODE_DOWNLOAD | CLSCTX_NO_CUSTOM_MARSHAL | CLSCTX_ENABLE_CODE_DOWNLOAD |
                               CLSCTX_NO_FAILURE_LOG | CLSCTX_DISABLE_AAA | CLSCTX_ENABLE_AAA | CLSCTX_FROM_DEFAULT_CONTEXT |
                               CLSCTX_ACTIVATE_32_BIT_SERVER | CLSCTX_ACTIVATE_64_BIT_SERVER), "dwClsContext: CLSCTX_ flags only");
  c.Buffer("ppv", out, sizeof(*out), true);
})
// A proxy, the RPC_C_AUTHN_ and AUTHZ_ services, levels and EOAC_ capabilities COM knows.
CONTRACT(Api, CoSetProxyBlanket, "CoSetProxyBlanket function (combaseapi.h)", (E_INVALIDARG, E_OUTOFMEMORY),
         [](Ctx& c, IUnknown* proxy, DWORD authn, DWORD authz, OLECHAR*, DWORD level, DWORD imp, auto, DWORD caps) {
  if (c.after) return;
  c.Com(true);
  c.Need(proxy != nullptr, "pProxy: a proxy");
  c.Need(authn == RPC_C_AUTHN_DEFAULT || authn <= RPC_C_AUTHN_GSS_KERBEROS, "dwAuthnSvc: an RPC_C_AUTHN_ service");
  c.Need(authz == RPC_C_AUTHZ_DEFAULT || authz <= RPC_C_AUTHZ_DCE, "dwAuthzSvc: an RPC_C_AUTHZ_ service");
  c.Need(level <= RPC_C_AUTHN_LEVEL_PKT_PRIVACY, "dwAuthnLevel: an RPC_C_AUTHN_LEVEL_ value");
  c.Need(imp <= RPC_C_IMP_LEVEL_DELEGATE, "dwImpLevel: an RPC_C_IMP_LEVEL_ value");
  c.Need(caps == EOAC_DEFAULT || OnlyBits(caps, EOAC_MUTUAL_AUTH | EOAC_STATIC_CLOAKING | EOAC_DYNAMIC_CLOAKING |
                                                    EOAC_ANY_AUTHORITY | EOAC_MAKE_FULLSIC | EOAC_SECURE_REFS |
                                                    EOAC_NO_CUSTOM_MARSHAL), "dwCapabilities: EOAC_ flags a proxy takes");
})
// A BSTR, freed with SysFreeString; it fails without telling an error.
CONTRACT(Api, SysAllocString, "SysAllocString function (oleauto.h)", (), [](Ctx& c, const OLECHAR*) {
  if (c.after && c.result) c.Got(kBstr, c.Result<BSTR>());
})
// A BSTR of SysAllocString, once; NULL is ignored.
CONTRACT(Api, SysFreeString, "SysFreeString function (oleauto.h)", (kNever), [](Ctx& c, BSTR b) {
  if (!c.after && b) c.Free("bstrString", b, {kBstr});
})
CONTRACT(Api, VariantInit, "VariantInit function (oleauto.h)", (kNever), [](Ctx& c, VARIANTARG* v) {
  if (!c.after) c.Buffer("pvarg", v, sizeof(*v), true);
})
CONTRACT(Api, VariantClear, "VariantClear function (oleauto.h)", (DISP_E_BADVARTYPE, E_INVALIDARG), [](Ctx& c, VARIANTARG* v) {
  if (!c.after) c.Buffer("pvarg", v, sizeof(*v), true);
})

// -- looked up at run time
// The caller's structure.
CONTRACT(LookedUp, GetNativeSystemInfo, "GetNativeSystemInfo function (sysinfoapi.h)", (kNever), [](Ctx& c, LPSYSTEM_INFO si) {
  if (!c.after) c.Buffer("lpSystemInfo", si, sizeof(*si), true);
})
// Windows 6.0 or later's numbers, a place for the product type.
CONTRACT(LookedUp, GetProductInfo, "GetProductInfo function (sysinfoapi.h)", (), [](Ctx& c, DWORD major, DWORD, DWORD, DWORD, PDWORD type) {
  if (c.after) return;
  c.Need(major >= 6, "dwOSMajorVersion: 6 or more");
  c.Buffer("pdwReturnedProductType", type, sizeof(*type), true);
})
// LOAD_LIBRARY_SEARCH_ flags that the default directories take.
CONTRACT(LookedUp, SetDefaultDllDirectories, "SetDefaultDllDirectories function (libloaderapi.h)", (ERROR_INVALID_PARAMETER),
         [](Ctx& c, DWORD flags) {
  if (!c.after) c.Need(flags && OnlyBits(flags, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS |
                                                    LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS),
                       "DirectoryFlags: LOAD_LIBRARY_SEARCH_ flags a default takes");
})

// --- The checked entries.
template <class Table>
Table& Target();
template <>
os::Api& Target<os::Api>() { return behind; }
template <>
LookedUp& Target<LookedUp>() { return g_lookedUp; }

template <class R>
ULONG_PTR ToBits(R r) {
  if constexpr (std::is_pointer_v<R>) return reinterpret_cast<ULONG_PTR>(r);
  else return static_cast<ULONG_PTR>(static_cast<LONG_PTR>(r));
}

template <class Table, class F, F Table::*Entry>
struct Checked;
template <class Table, class R, class... A, R (*Table::*Entry)(A...)>
struct Checked<Table, R (*)(A...), Entry> {
  using Rules = Row<Table, R (*)(A...), Entry>;
  static R Call(A... a) {
    Phase(false, 0, a...);
    site = __builtin_return_address(0);
    if constexpr (std::is_void_v<R>) {
      (Target<Table>().*Entry)(a...);
      Phase(true, 0, a...);
    } else {
      const ULONG_PTR r = Phase(true, ToBits((Target<Table>().*Entry)(a...)), a...);
      if constexpr (std::is_pointer_v<R>) return reinterpret_cast<R>(r);
      else return static_cast<R>(r);
    }
  }
  // Leaves the thread's last error as the call left it.
  static ULONG_PTR Phase(bool after, ULONG_PTR result, A... a) {
    const DWORD error = ::GetLastError();
    ++checking;
    Ctx c{Rules::kName, after, result, {}};
    Rules::Rule(c, a...);
    for (const std::string& rule : c.broken) {
      const std::string text = std::string(Rules::kName) + "(" + Args(a...) + "): " + rule + " [" + Rules::kPage + "]";
      if (g_handler) g_handler(text);
      else ADD_FAILURE() << text;
    }
    --checking;
    ::SetLastError(error);
    return c.result;
  }
};

// An export of a module loaded for running, not one mapped as data. A function
// the tool looks up is handed out checked, as the boundary's entries are.
#define HAND_OUT(fn)                                                                       \
  if (c.result && !IS_INTRESOURCE(name) && !strcmp(name, #fn)) {                           \
    g_lookedUp.fn = reinterpret_cast<decltype(g_lookedUp.fn)>(c.result);                   \
    c.result = reinterpret_cast<ULONG_PTR>(&Checked<LookedUp, decltype(LookedUp::fn), &LookedUp::fn>::Call); \
  }
CONTRACT(Api, GetProcAddress, "GetProcAddress function (libloaderapi.h)", (ERROR_PROC_NOT_FOUND), [](Ctx& c, HMODULE h, LPCSTR name) {
  if (!c.after) return c.Module("hModule", h, false);
  LOOKED_UP(HAND_OUT)
})
#undef HAND_OUT

std::map<std::string, const std::vector<DWORD>*>& ErrorsByName() {
  static auto* errors = new std::map<std::string, const std::vector<DWORD>*>;
  return *errors;
}

}  // namespace


Contracts::Contracts() {
  if (g_installed) throw std::logic_error("one contract checker at a time");
  behind = os::api;
  const bool named = !ErrorsByName().empty();
#define CHECK_ENTRY(table, name) \
  if (!named) ErrorsByName()[#name] = &Row<table, decltype(table::name), &table::name>::Errors();
#define CHECK_API(name) CHECK_ENTRY(os::Api, name) os::api.name = &Checked<os::Api, decltype(os::Api::name), &os::Api::name>::Call;
#define CHECK_LOOKED_UP(name) CHECK_ENTRY(LookedUp, name)
  OS_FUNCTIONS(CHECK_API)
  LOOKED_UP(CHECK_LOOKED_UP)
  g_installed = true;
}

Contracts::~Contracts() {
  os::api = behind;
  g_installed = false;
}

bool Contracts::Installed() { return g_installed; }
void OnViolation(void (*handler)(const std::string&)) { g_handler = handler; }

const std::vector<DWORD>& DocumentedErrors(const char* name) {
  static const std::vector<DWORD> unknown;
  const auto it = ErrorsByName().find(name);
  return it == ErrorsByName().end() ? unknown : *it->second;
}

// --- Leaks: what the checker saw acquired since a LeakCheck began and not released.
LeakCheck::LeakCheck() : _start(g_seq), _unmatched(g_unmatched) {
  if (!g_installed) throw std::logic_error("a leak check counts through the contract checker");
}
LeakCheck::~LeakCheck() = default;

int LeakCheck::Outstanding() const {
  int n = 0;
  for (const auto& [key, e] : Live()) n += Owed(e.kind) && e.seq >= _start ? e.count : 0;
  return n;
}
int LeakCheck::Unmatched() const { return static_cast<int>(g_unmatched - _unmatched); }

std::string LeakCheck::Describe() const {
  std::ostringstream out;
  for (const auto& [key, e] : Live())
    if (Owed(e.kind) && e.seq >= _start) out << kKindNames[e.kind] << ' ' << key.second << " of " << e.by << " not released\n";
  if (Unmatched()) out << Unmatched() << " released without being held\n";
  return out.str();
}

}  // namespace testing_os
