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

// --- What the process holds: every handle, block and object the tool acquired through the
// boundary, by kind, with the access it was opened with, its size and the module it belongs to.
enum Kind { kFile, kDevice, kMutex, kKey, kDevInfo, kModule, kDataModule, kBorrowedModule, kLocal, kHeapBlock, kHeap,
            kSid, kBstr, kResource, kResData, kLocked, kCookie, kCom };
const char* const kKindNames[] = {
    "file", "device", "mutex", "registry key", "device information set", "module", "module mapped as data",
    "module the caller did not load", "local memory", "heap block", "heap", "SID", "BSTR", "resource",
    "resource data", "locked resource", "WOW64 redirection cookie", "COM initialisation"};
// Kinds that share one space of values (a kernel handle, a module handle).
const int kFamilies[] = {0, 0, 0, 1, 2, 3, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
int Family(Kind k) { return kFamilies[k]; }
// Whose release is the caller's: a borrowed module, the process heap and a module's resources go without one.
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
    const size_t step = std::min<size_t>(static_cast<const BYTE*>(mbi.BaseAddress) + mbi.RegionSize - at, bytes);
    at += step, bytes -= step;
  }
  return true;
}
bool FullPath(const wchar_t* p) { return p && ((p[0] && p[1] == L':' && p[2] == L'\\') || !wcsncmp(p, L"\\\\", 2)); }
void* ThreadKey() { return reinterpret_cast<void*>(ULONG_PTR(GetCurrentThreadId())); }

// One call being checked: the rules run before it goes on (after false), where the checks act and
// releases are counted, then once more with its result, where acquisitions are counted.
struct Ctx {
  const char* name;
  bool after;
  ULONG_PTR r;  // the result
  std::vector<std::string> broken;

  Ctx& Need(bool ok, const char* rule) {
    if (!after && !ok) broken.push_back(rule);
    return *this;
  }
  Ctx& Bits(DWORD v, DWORD allowed, const char* what) {
    return v & ~allowed ? Need(false, (std::string(what) + " flags only").c_str()) : *this;
  }
  // What Windows documents as reserved or undefined and the tool does on purpose: told once, never a failure.
  Ctx& Kept(bool ok, const char* rule) {
    static std::set<std::string> told;
    if (!after && !ok && told.insert(std::string(name) + rule).second) printf("kept: %s: %s\n", name, rule);
    return *this;
  }
  Entry* Find(const void* v, Kind k) {
    const auto it = Live().find({Family(k), v});
    return it == Live().end() ? nullptr : &it->second;
  }
  static bool Of(const Entry* e, std::initializer_list<Kind> kinds) {
    return e && std::find(kinds.begin(), kinds.end(), e->kind) != kinds.end();
  }
  // A handle or block the call uses: open, of a kind it takes, opened with one of the rights in anyOf.
  Ctx& Use(const char* what, const void* v, std::initializer_list<Kind> kinds, DWORD anyOf = 0) {
    const Entry* e = Find(v, *kinds.begin());
    if (!Of(e, kinds))
      Need(false, (std::string(what) + ": an open " + kKindNames[*kinds.begin()] +
                   (e ? std::string(", not a ") + kKindNames[e->kind] : "")).c_str());
    if (e && anyOf && !(e->access & (anyOf | GENERIC_ALL | MAXIMUM_ALLOWED)))
      Need(false, (std::string(what) + ": opened with the access the call needs").c_str());
    return *this;
  }
  Ctx& Key(const char* what, HKEY key, DWORD anyOf) { return Predefined(key) ? *this : Use(what, key, {kKey}, anyOf); }
  // What the call acquired, when it succeeded; a value held without a release owed is taken over.
  Ctx& Got(Kind k, const void* v, DWORD access = 0, size_t size = 0, const void* owner = nullptr) {
    if (!after || !v || v == INVALID_HANDLE_VALUE) return *this;
    auto [it, fresh] = Live().try_emplace({Family(k), v});
    if (fresh || !Owed(it->second.kind)) it->second = Entry{k, name, access, size, owner, 0, g_seq++};
    if (Owed(k)) ++it->second.count;
    return *this;
  }
  template <class T>
  Ctx& GotOut(Kind k, T* out, bool ok, DWORD access = 0) { return ok && out ? Got(k, *out, access) : *this; }
  // Released by the function that matches its acquisition, once; a module's resources go with it.
  Ctx& Free(const char* what, const void* v, std::initializer_list<Kind> kinds) {
    if (after) return *this;
    const auto it = Live().find({Family(*kinds.begin()), v});
    const bool ok = it != Live().end() && Of(&it->second, kinds) && Owed(it->second.kind);
    if (!ok) {
      Need(false, (std::string(what) + ": an open " + kKindNames[*kinds.begin()] + ", released once by its own function").c_str());
      return ++g_unmatched, *this;
    }
    if (--it->second.count > 0) return *this;
    Live().erase(it);
    for (auto r = Live().begin(); r != Live().end();) r = r->second.owner == v && !Owed(r->second.kind) ? Live().erase(r) : std::next(r);
    return *this;
  }
  // A buffer of the size given: within the block that holds it, in memory the process may use.
  Ctx& Buffer(const char* what, const void* p, size_t bytes, bool write) {
    if (after || !bytes) return *this;
    const std::string buffer(what);
    if (!p) return Need(false, (buffer + ": a buffer where a size is given").c_str());
    for (const auto& [key, e] : Live())
      if ((e.kind == kHeapBlock || e.kind == kLocal) && e.size && p >= key.second &&
          p < static_cast<const BYTE*>(key.second) + e.size)
        Need(static_cast<const BYTE*>(p) + bytes <= static_cast<const BYTE*>(key.second) + e.size,
             (buffer + ": no larger than the block that holds it").c_str());
    return Need(Accessible(p, bytes, write), (buffer + ": all of it memory the process may use").c_str());
  }
  // A buffer the call fills: Windows may use all of the size given, so all of it is used here
  // first, and a size larger than the buffer tramples what lies behind it.
  Ctx& Out(const char* what, void* p, size_t bytes) {
    const size_t before = broken.size();
    Buffer(what, p, bytes, true);
    if (!after && p && broken.size() == before) memset(p, 0xFD, bytes);
    return *this;
  }
  // A module the process holds: loaded through the boundary, or by its own loader.
  Ctx& Module(const char* what, HMODULE h, bool dataToo) {
    if (const Entry* e = Find(h, kModule))
      return Need(dataToo || e->kind != kDataModule, (std::string(what) + ": a module loaded for running, not as data").c_str());
    HMODULE loaded = nullptr;
    return Need(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(h), &loaded) && loaded == h,
                (std::string(what) + ": a module the process holds").c_str());
  }
  Ctx& Com() { return Need(Find(ThreadKey(), kCom), "COM initialised on the calling thread (CoInitializeEx)"); }
  // A resource and the module it was found in.
  Entry* Resource(const void* v, Kind k, HMODULE h) {
    Entry* e = Find(v, k);
    Use(k == kResource ? "hResInfo" : "hResData", v, {k}).Need(!e || !h || e->owner == h, "found in the module it names");
    return e;
  }
};

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
void Arg(std::string& s, const GUID& g) { s += "{" + std::to_string(g.Data1) + "-...}"; }
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

// --- The contract table: one row per function the tool calls, with the page of Microsoft's
// documentation the rules come from, the errors that page gives for a failure, and the rules.
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
#define CONTRACT(table, fn, page, errors, ...)                                                 \
  template <>                                                                                \
  struct Row<table, decltype(table::fn), &table::fn> {                                       \
    static constexpr const char *kName = #fn, *kPage = page;                                 \
    static const std::vector<DWORD>& Errors() {                                              \
      static const std::vector<DWORD> errors_ = ErrorList(UNPAREN errors);                   \
      return errors_;                                                                        \
    }                                                                                        \
    static constexpr auto Rule = __VA_ARGS__;                                                \
  };
#define NONE [](Ctx&, auto...) {}
#define API(fn, page, errors, ...) CONTRACT(os::Api, fn, page, errors, __VA_ARGS__)
constexpr DWORD kNever = kCannotFail;
constexpr DWORD kKeyRights = KEY_ALL_ACCESS | KEY_WOW64_64KEY | KEY_WOW64_32KEY | GENERIC_READ | GENERIC_WRITE |
                             GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY;
Ctx& KeyAccess(Ctx& c, REGSAM sam) {
  return c.Bits(sam, kKeyRights, "samDesired: key access rights")
      .Need((sam & KEY_WOW64_RES) != KEY_WOW64_RES, "samDesired: one registry view, not both");
}
bool Device(LPCWSTR p) { return p && (!wcsncmp(p, L"\\\\?\\", 4) || !wcsncmp(p, L"\\\\.\\", 4)) && p[5] != L':'; }
constexpr DWORD kEoac = EOAC_MUTUAL_AUTH | EOAC_STATIC_CLOAKING | EOAC_DYNAMIC_CLOAKING | EOAC_ANY_AUTHORITY |
                        EOAC_MAKE_FULLSIC | EOAC_SECURE_REFS | EOAC_NO_CUSTOM_MARSHAL;

// -- kernel32: errors, memory, time, process
// The thread's last error, the error mode, the process and its command line, a pause: nothing to break.
API(GetLastError, "GetLastError function (errhandlingapi.h)", (kNever), NONE)
API(SetLastError, "SetLastError function (errhandlingapi.h)", (kNever), NONE)
API(GetErrorMode, "GetErrorMode function (errhandlingapi.h)", (kNever), NONE)
API(GetCurrentProcessId, "GetCurrentProcessId function (processthreadsapi.h)", (kNever), NONE)
API(GetCurrentProcess, "GetCurrentProcess function (processthreadsapi.h)", (kNever), NONE)
API(GetCommandLineW, "GetCommandLineW function (processenv.h)", (kNever), NONE)
API(Sleep, "Sleep function (synchapi.h)", (kNever), NONE)
// The process's error mode: the SEM_ flags, nothing else.
API(SetErrorMode, "SetErrorMode function (errhandlingapi.h)", (kNever), [](Ctx& c, UINT mode) {
  c.Bits(mode, SEM_FAILCRITICALERRORS | SEM_NOALIGNMENTFAULTEXCEPT | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX,
         "uMode: SEM_");
})
// The local time, into the caller's structure.
API(GetLocalTime, "GetLocalTime function (sysinfoapi.h)", (kNever), [](Ctx& c, LPSYSTEMTIME st) {
  c.Buffer("lpSystemTime", st, sizeof(*st), true);
})
// A terminated narrow string for the debugger.
API(OutputDebugStringA, "OutputDebugStringA function (debugapi.h)", (kNever), [](Ctx& c, LPCSTR s) {
  c.Need(s, "lpOutputString: a string");
})
// A system text: FROM_STRING alone as the source, no inserts without arguments, a buffer it allocates
// (freed with LocalFree) or the caller's of at most 64K.
API(FormatMessageA, "FormatMessage function (winbase.h)", (ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND),
    [](Ctx& c, DWORD flags, LPCVOID, DWORD, DWORD, LPSTR buffer, DWORD size, va_list* args) {
  const bool allocate = flags & FORMAT_MESSAGE_ALLOCATE_BUFFER;
  c.Need(!(flags & FORMAT_MESSAGE_FROM_STRING) || !(flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE)),
         "dwFlags: FORMAT_MESSAGE_FROM_STRING alone as the source")
      .Need((flags & FORMAT_MESSAGE_IGNORE_INSERTS) || args, "dwFlags: inserts need arguments or IGNORE_INSERTS")
      .Need(allocate || size <= 64 * 1024, "nSize: at most 64K")
      .Buffer("lpBuffer", buffer, allocate ? sizeof(LPSTR) : 0, true).Out("lpBuffer", buffer, allocate ? 0 : size)
      .GotOut(kLocal, reinterpret_cast<LPSTR*>(buffer), allocate && c.r);
})
// Fixed or movable memory, zeroed or not; LocalFree releases it, NULL alone is ignored.
API(LocalAlloc, "LocalAlloc function (winbase.h)", (ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, UINT flags, SIZE_T cb) {
  c.Bits(flags, LMEM_MOVEABLE | LMEM_ZEROINIT, "uFlags: LMEM_").Got(kLocal, reinterpret_cast<HLOCAL>(c.r), 0,
                                                                    flags & LMEM_MOVEABLE ? 0 : cb);
})
API(LocalFree, "LocalFree function (winbase.h)", (ERROR_INVALID_HANDLE), [](Ctx& c, HLOCAL h) {
  if (h) c.Free("hMem", h, {kLocal});
})
// The process heap lives as long as the process.
API(GetProcessHeap, "GetProcessHeap function (heapapi.h)", (kNever), [](Ctx& c) { c.Got(kHeap, reinterpret_cast<HANDLE>(c.r)); })
// A block of a heap the process has; it fails without telling an error.
API(HeapAlloc, "HeapAlloc function (heapapi.h)", (), [](Ctx& c, HANDLE heap, DWORD flags, SIZE_T cb) {
  c.Use("hHeap", heap, {kHeap})
      .Bits(flags, HEAP_GENERATE_EXCEPTIONS | HEAP_NO_SERIALIZE | HEAP_ZERO_MEMORY, "dwFlags: HEAP_")
      .Got(kHeapBlock, reinterpret_cast<LPVOID>(c.r), 0, cb, heap);
})
// A block of that heap, once; NULL is undefined.
API(HeapFree, "HeapFree function (heapapi.h)", (ERROR_INVALID_PARAMETER), [](Ctx& c, HANDLE heap, DWORD flags, LPVOID p) {
  const Entry* e = c.Find(p, kHeapBlock);
  c.Use("hHeap", heap, {kHeap}).Bits(flags, HEAP_NO_SERIALIZE, "dwFlags: HEAP_NO_SERIALIZE");
  c.Need(p, "lpMem: a block (NULL is undefined)").Need(!e || e->owner == heap, "lpMem: a block of the heap it names");
  if (p) c.Free("lpMem", p, {kHeapBlock});
})
// Two strings, lengths -1 (terminated) or more, a locale and flags Windows 7 knows.
API(CompareStringW, "CompareStringW function (stringapiset.h)", (ERROR_INVALID_FLAGS, ERROR_INVALID_PARAMETER),
    [](Ctx& c, LCID lcid, DWORD flags, LPCWSTR a, int ca, LPCWSTR b, int cb) {
  c.Need(lcid == LOCALE_INVARIANT || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT ||
             IsValidLocale(lcid, LCID_SUPPORTED), "Locale: a locale Windows supports")
      .Bits(flags, LINGUISTIC_IGNORECASE | LINGUISTIC_IGNOREDIACRITIC | NORM_IGNORECASE | NORM_IGNOREKANATYPE |
                       NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS | NORM_IGNOREWIDTH | NORM_LINGUISTIC_CASING |
                       SORT_DIGITSASNUMBERS | SORT_STRINGSORT, "dwCmpFlags: comparison")
      .Need(a && b && ca >= -1 && cb >= -1, "lpString1, lpString2: strings, lengths -1 or more");
})
// Wide text to the code page: a source, WC_ flags the code page takes, a target of the size given
// (none when only the size is asked), apart from the source.
API(WideCharToMultiByte, "WideCharToMultiByte function (stringapiset.h)",
    (ERROR_NO_UNICODE_TRANSLATION, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_FLAGS, ERROR_INVALID_PARAMETER),
    [](Ctx& c, UINT cp, DWORD flags, LPCWSTR w, int cw, LPSTR mb, int cbMb, LPCSTR def, LPBOOL used) {
  c.Bits(flags, WC_COMPOSITECHECK | WC_DEFAULTCHAR | WC_DISCARDNS | WC_SEPCHARS | WC_NO_BEST_FIT_CHARS |
                    (cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0), "dwFlags: WC_")
      .Need(w && cw != 0 && cw >= -1 && cbMb >= 0, "lpWideCharStr, cchWideChar, cbMultiByte: a source, sizes in range")
      .Need((cp != CP_UTF8 && cp != CP_UTF7) || (!def && !used), "lpDefaultChar, lpUsedDefaultChar: NULL for UTF-8")
      .Need(!cbMb || static_cast<LPCVOID>(mb) != w, "lpMultiByteStr: apart from the source")
      .Out("lpMultiByteStr", mb, cbMb);
})
// The caller's structure, its size field that of the basic or the extended one.
API(GetVersionExW, "GetVersionExW function (sysinfoapi.h)", (ERROR_INSUFFICIENT_BUFFER), [](Ctx& c, LPOSVERSIONINFOW v) {
  c.Need(v && (v->dwOSVersionInfoSize == sizeof(OSVERSIONINFOW) || v->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW)),
         "lpVersionInformation: dwOSVersionInfoSize of OSVERSIONINFOW or OSVERSIONINFOEXW");
  if (v) c.Buffer("lpVersionInformation", v, v->dwOSVersionInfoSize, true);
})

// -- kernel32: files, devices, kernel objects
// A file or device: one of the five dispositions (truncation with write access), FILE_SHARE_ flags,
// attributes a file may be created with.
API(CreateFileW, "CreateFileW function (fileapi.h)",
    (ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND),
    [](Ctx& c, LPCWSTR path, DWORD access, DWORD share, auto, DWORD how, DWORD flags, auto) {
  c.Need(path, "lpFileName: a path").Need(how >= CREATE_NEW && how <= TRUNCATE_EXISTING, "dwCreationDisposition")
      .Need(how != TRUNCATE_EXISTING || (access & (GENERIC_WRITE | GENERIC_ALL)), "TRUNCATE_EXISTING: GENERIC_WRITE")
      .Bits(share, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, "dwShareMode: FILE_SHARE_")
      .Bits(flags & 0xFFFF, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NORMAL |
                                FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_TEMPORARY, "dwFlagsAndAttributes: creation attribute")
      .Got(Device(path) ? kDevice : kFile, reinterpret_cast<HANDLE>(c.r), access);
})
// A seekable file opened for reading or writing.
API(SetFilePointer, "SetFilePointer function (fileapi.h)", (ERROR_NEGATIVE_SEEK, ERROR_INVALID_PARAMETER),
    [](Ctx& c, HANDLE h, LONG, PLONG, DWORD method) {
  c.Use("hFile", h, {kFile}, GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA)
      .Need(method <= FILE_END, "dwMoveMethod: FILE_BEGIN, FILE_CURRENT or FILE_END");
})
// Bytes to a handle opened for writing; without an OVERLAPPED the count written needs a place.
API(WriteFile, "WriteFile function (fileapi.h)", (ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION),
    [](Ctx& c, HANDLE h, LPCVOID data, DWORD cb, LPDWORD written, LPOVERLAPPED ov) {
  c.Use("hFile", h, {kFile, kDevice}, GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)
      .Need(written || ov, "lpNumberOfBytesWritten: NULL only with an OVERLAPPED").Buffer("lpBuffer", data, cb, false);
})
// A file opened for writing.
API(FlushFileBuffers, "FlushFileBuffers function (fileapi.h)", (ERROR_ACCESS_DENIED, ERROR_DISK_FULL), [](Ctx& c, HANDLE h) {
  c.Use("hFile", h, {kFile}, GENERIC_WRITE | FILE_WRITE_DATA);
})
// An open kernel handle, once: not a key, a set or a pseudo-handle.
API(CloseHandle, "CloseHandle function (handleapi.h)", (ERROR_INVALID_HANDLE), [](Ctx& c, HANDLE h) {
  c.Free("hObject", h, {kFile, kDevice, kMutex});
})
// A device of CreateFile with the access the control code's bits ask; without an OVERLAPPED the
// count returned needs a place.
API(DeviceIoControl, "DeviceIoControl function (ioapiset.h)", (ERROR_INVALID_FUNCTION, ERROR_NOT_READY, ERROR_GEN_FAILURE),
    [](Ctx& c, HANDLE h, DWORD code, LPVOID in, DWORD cbIn, LPVOID out, DWORD cbOut, LPDWORD returned, LPOVERLAPPED ov) {
  c.Use("hDevice", h, {kDevice}, ((code >> 14) & FILE_READ_ACCESS ? GENERIC_READ | FILE_READ_DATA : 0) |
                                      ((code >> 14) & FILE_WRITE_ACCESS ? GENERIC_WRITE | FILE_WRITE_DATA : 0))
      .Need(returned || ov, "lpBytesReturned: NULL only with an OVERLAPPED")
      .Buffer("lpInBuffer", in, cbIn, false).Out("lpOutBuffer", out, cbOut);
})
// A name of at most MAX_PATH characters, no backslash but after Global\ or Local\.
API(CreateMutexW, "CreateMutexW function (synchapi.h)", (ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE),
    [](Ctx& c, auto, BOOL, LPCWSTR name) {
  const LPCWSTR rest = name && (!wcsncmp(name, L"Global\\", 7) || !wcsncmp(name, L"Local\\", 6)) ? wcschr(name, L'\\') + 1 : name;
  c.Need(!name || (wcslen(name) <= MAX_PATH && !wcschr(rest, L'\\')), "lpName: at most MAX_PATH characters, no backslash")
      .Got(kMutex, reinterpret_cast<HANDLE>(c.r), MUTEX_ALL_ACCESS);
})
// A process handle with query access (the current process's pseudo-handle has every right).
API(IsWow64Process, "IsWow64Process function (wow64apiset.h)", (ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE),
    [](Ctx& c, HANDLE process, PBOOL wow64) {
  c.Need(process == GetCurrentProcess(), "hProcess: a handle with PROCESS_QUERY_(LIMITED_)INFORMATION")
      .Buffer("Wow64Process", wow64, sizeof(*wow64), true);
})
// Redirection off for the calling thread; the cookie goes back to the revert, once.
API(Wow64DisableWow64FsRedirection, "Wow64DisableWow64FsRedirection function (wow64apiset.h)", (ERROR_INVALID_FUNCTION),
    [](Ctx& c, PVOID* old) { c.Buffer("OldValue", old, sizeof(*old), true).GotOut(kCookie, old, c.r); })
API(Wow64RevertWow64FsRedirection, "Wow64RevertWow64FsRedirection function (wow64apiset.h)", (ERROR_INVALID_FUNCTION),
    [](Ctx& c, PVOID old) { c.Free("OlValue", old, {kCookie}); })

// -- kernel32: modules and resources
// A module the process has already; its handle is borrowed, never freed.
API(GetModuleHandleW, "GetModuleHandleW function (libloaderapi.h)", (ERROR_MOD_NOT_FOUND), [](Ctx& c, LPCWSTR) {
  c.Got(kBorrowedModule, reinterpret_cast<HMODULE>(c.r));
})
// The path of a loaded module (NULL: the program), into a buffer of nSize characters.
API(GetModuleFileNameW, "GetModuleFileNameW function (libloaderapi.h)", (ERROR_MOD_NOT_FOUND, ERROR_INVALID_HANDLE),
    [](Ctx& c, HMODULE h, LPWSTR buffer, DWORD cch) {
  if (h) c.Module("hModule", h, false);
  c.Out("lpFilename", buffer, cch * sizeof(wchar_t));
})
// The system folder, into a buffer of uSize characters.
API(GetSystemDirectoryW, "GetSystemDirectoryW function (sysinfoapi.h)", (ERROR_INVALID_PARAMETER),
    [](Ctx& c, LPWSTR buffer, UINT cch) { c.Out("lpBuffer", buffer, cch * sizeof(wchar_t)); })
// A module by its full path: the tool runs elevated, and a bare name is looked for in its own
// folder first (Dynamic-Link Library Security).
API(LoadLibraryW, "LoadLibraryW function (libloaderapi.h)",
    (ERROR_MOD_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_BAD_EXE_FORMAT, ERROR_DLL_INIT_FAILED), [](Ctx& c, LPCWSTR path) {
  c.Need(FullPath(path), "lpLibFileName: a fully qualified path").Got(kModule, reinterpret_cast<HMODULE>(c.r));
})
// The same with hFile reserved, flags of Windows 7 without KB2533623 (no LOAD_LIBRARY_SEARCH_).
API(LoadLibraryExW, "LoadLibraryExW function (libloaderapi.h)",
    (ERROR_MOD_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_BAD_EXE_FORMAT, ERROR_DLL_INIT_FAILED),
    [](Ctx& c, LPCWSTR path, HANDLE file, DWORD flags) {
  const bool data = flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  c.Need(!file, "hFile: reserved, NULL").Need(FullPath(path), "lpLibFileName: a fully qualified path")
      .Bits(flags, DONT_RESOLVE_DLL_REFERENCES | LOAD_IGNORE_CODE_AUTHZ_LEVEL | LOAD_LIBRARY_AS_DATAFILE |
                       LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_WITH_ALTERED_SEARCH_PATH,
            "dwFlags: Windows 7's")
      .Got(data ? kDataModule : kModule, reinterpret_cast<HMODULE>(c.r));
})
// A module of LoadLibrary(Ex), once.
API(FreeLibrary, "FreeLibrary function (libloaderapi.h)", (ERROR_INVALID_HANDLE), [](Ctx& c, HMODULE h) {
  c.Free("hLibModule", h, {kModule, kDataModule});
})
// A resource of a module the process holds (NULL: the program).
API(FindResourceW, "FindResourceW function (winbase.h)", (ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND),
    [](Ctx& c, HMODULE h, LPCWSTR name, LPCWSTR type) {
  if (h) c.Module("hModule", h, true);
  c.Need(name && type, "lpName, lpType: a name and a type").Got(kResource, reinterpret_cast<HRSRC>(c.r), 0, 0, h);
})
// The resource FindResource gave for the same module; its data, then the data locked.
API(SizeofResource, "SizeofResource function (libloaderapi.h)", (ERROR_RESOURCE_DATA_NOT_FOUND), [](Ctx& c, HMODULE h, HRSRC r) {
  if (Entry* e = c.Resource(r, kResource, h); e && c.after) e->size = c.r;
})
API(LoadResource, "LoadResource function (libloaderapi.h)", (ERROR_RESOURCE_DATA_NOT_FOUND), [](Ctx& c, HMODULE h, HRSRC r) {
  const Entry* e = c.Resource(r, kResource, h);
  c.Got(kResData, reinterpret_cast<HGLOBAL>(c.r), 0, e ? e->size : 0, h);
})
API(LockResource, "LockResource function (libloaderapi.h)", (), [](Ctx& c, HGLOBAL g) {
  if (const Entry* e = c.Resource(g, kResData, nullptr)) c.Got(kLocked, reinterpret_cast<LPVOID>(c.r), 0, e->size, e->owner);
})

// -- user32, comctl32
// A string of a module the process holds, into a buffer of cchBufferMax characters (0: a pointer
// into the resource).
API(LoadStringW, "LoadStringW function (winuser.h)", (ERROR_RESOURCE_NAME_NOT_FOUND),
    [](Ctx& c, HINSTANCE h, UINT, LPWSTR buffer, int cch) {
  c.Module("hInstance", h, true).Need(cch >= 0, "cchBufferMax: 0 or more")
      .Buffer("lpBuffer", buffer, cch ? cch * sizeof(wchar_t) : sizeof(LPWSTR), true);
})
// One button set, icon, default button and modality, MB_ flags only; no owner for a service notice.
API(MessageBoxW, "MessageBoxW function (winuser.h)", (ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, HWND owner, LPCWSTR, LPCWSTR, UINT type) {
  c.Need((type & MB_TYPEMASK) <= MB_CANCELTRYCONTINUE && (type & MB_ICONMASK) <= MB_ICONASTERISK &&
             (type & MB_DEFMASK) <= MB_DEFBUTTON4 && (type & MB_MODEMASK) <= MB_TASKMODAL,
         "uType: one button set, icon, default button and modality")
      .Bits(type, MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK | MB_MODEMASK | MB_MISCMASK | MB_SETFOREGROUND | MB_TOPMOST |
                      MB_DEFAULT_DESKTOP_ONLY | MB_RIGHT | MB_RTLREADING | MB_SERVICE_NOTIFICATION, "uType: MB_")
      .Need(!(type & MB_SERVICE_NOTIFICATION) || !owner, "MB_SERVICE_NOTIFICATION: no owner window");
})
// A metric Windows defines; it answers 0 for a metric it lacks.
API(GetSystemMetrics, "GetSystemMetrics function (winuser.h)", (), [](Ctx& c, int i) {
  c.Need((i >= 0 && i <= SM_CMETRICS) || (i >= 0x1000 && i <= 0x1001) || (i >= 0x2000 && i <= 0x2004), "nIndex: an SM_ index");
})
// dwSize of INITCOMMONCONTROLSEX, the ICC_ classes to register.
API(InitCommonControlsEx, "InitCommonControlsEx function (commctrl.h)", (), [](Ctx& c, const INITCOMMONCONTROLSEX* icc) {
  c.Need(icc && icc->dwSize == sizeof(INITCOMMONCONTROLSEX), "picce: dwSize of INITCOMMONCONTROLSEX")
      .Kept(!icc || !(icc->dwICC & ~0xFFFFu), "dwICC has bits beyond the ICC_ classes (reserved): every class is asked for");
})

// -- shell32, shlwapi
// The whole command line; LocalFree releases the result.
API(CommandLineToArgvW, "CommandLineToArgvW function (shellapi.h)", (ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, LPCWSTR line, int* n) {
  c.Need(line, "lpCmdLine: a command line").Buffer("pNumArgs", n, sizeof(*n), true).Got(kLocal, reinterpret_cast<LPWSTR*>(c.r));
})
// Paths of at most MAX_PATH characters, in buffers of MAX_PATH characters where they change.
API(PathFileExistsW, "PathFileExistsW function (shlwapi.h)", (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND),
    [](Ctx& c, LPCWSTR path) { c.Need(path && wcslen(path) < MAX_PATH, "pszPath: at most MAX_PATH characters"); })
API(PathRemoveFileSpecW, "PathRemoveFileSpecW function (shlwapi.h)", (), [](Ctx& c, LPWSTR path) {
  c.Buffer("pszPath", path, MAX_PATH * sizeof(wchar_t), true);
})
API(PathAppendW, "PathAppendW function (shlwapi.h)", (), [](Ctx& c, LPWSTR path, LPCWSTR more) {
  c.Buffer("pszPath", path, MAX_PATH * sizeof(wchar_t), true).Need(more && wcslen(more) < MAX_PATH, "pszMore: a path");
})

// -- advapi32: registry and security
// A subkey of an open or predefined key, options 0 or REG_OPTION_OPEN_LINK, one view.
API(RegOpenKeyExW, "RegOpenKeyExW function (winreg.h)", (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED),
    [](Ctx& c, HKEY root, LPCWSTR, DWORD options, REGSAM sam, PHKEY key) {
  KeyAccess(c.Key("hKey", root, 0), sam).Need(options == 0 || options == REG_OPTION_OPEN_LINK, "ulOptions")
      .Buffer("phkResult", key, sizeof(*key), true).GotOut(kKey, key, !c.r, sam);
})
// A named subkey, Reserved 0, REG_OPTION_ options, one view.
API(RegCreateKeyExW, "RegCreateKeyExW function (winreg.h)", (ERROR_ACCESS_DENIED, ERROR_CHILD_MUST_BE_VOLATILE),
    [](Ctx& c, HKEY root, LPCWSTR sub, DWORD reserved, LPWSTR, DWORD options, REGSAM sam, auto, PHKEY key, LPDWORD) {
  KeyAccess(c.Key("hKey", root, 0), sam).Need(sub, "lpSubKey: a name (not NULL)").Need(!reserved, "Reserved: 0")
      .Bits(options, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE, "dwOptions: REG_OPTION_")
      .Buffer("phkResult", key, sizeof(*key), true).GotOut(kKey, key, !c.r, sam);
})
// A key opened with KEY_QUERY_VALUE; the data's size comes with the data; the bytes past the value's
// own stay as they were.
API(RegQueryValueExW, "RegQueryValueExW function (winreg.h)", (ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ERROR_ACCESS_DENIED),
    [](Ctx& c, HKEY key, LPCWSTR, LPDWORD reserved, LPDWORD, LPBYTE data, LPDWORD cb) {
  c.Key("hKey", key, KEY_QUERY_VALUE | GENERIC_READ).Need(!reserved, "lpReserved: NULL")
      .Need(!data || cb, "lpcbData: NULL only when lpData is NULL").Buffer("lpData", data, data && cb ? *cb : 0, true);
})
// A key opened with KEY_SET_VALUE; a string's size counts its terminator, a REG_DWORD is four bytes.
API(RegSetValueExW, "RegSetValueExW function (winreg.h)", (ERROR_ACCESS_DENIED, ERROR_NO_SYSTEM_RESOURCES),
    [](Ctx& c, HKEY key, LPCWSTR, DWORD reserved, DWORD type, const BYTE* data, DWORD cb) {
  const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  c.Key("hKey", key, KEY_SET_VALUE | GENERIC_WRITE).Need(!reserved && type <= REG_QWORD, "Reserved 0, a REG_ type")
      .Buffer("lpData", data, cb, false).Need(type != REG_DWORD || cb == sizeof(DWORD), "cbData: four bytes for REG_DWORD")
      .Need(!text || (data && cb >= 2 && cb % 2 == 0 && !data[cb - 1] && !data[cb - 2]), "cbData: the string and its null");
})
// A key opened through the boundary, once (a predefined key is left alone).
API(RegCloseKey, "RegCloseKey function (winreg.h)", (ERROR_INVALID_HANDLE), [](Ctx& c, HKEY key) {
  if (!Predefined(key)) c.Free("hKey", key, {kKey});
})
// One to eight subauthorities; FreeSid releases the SID, once.
API(AllocateAndInitializeSid, "AllocateAndInitializeSid function (securitybaseapi.h)", (ERROR_NOT_ENOUGH_MEMORY),
    [](Ctx& c, PSID_IDENTIFIER_AUTHORITY authority, BYTE n, auto, auto, auto, auto, auto, auto, auto, auto, PSID* sid) {
  c.Need(authority && n >= 1 && n <= 8, "nSubAuthorityCount: 1 to 8").Buffer("pSid", sid, sizeof(*sid), true).GotOut(kSid, sid, c.r);
})
API(FreeSid, "FreeSid function (securitybaseapi.h)", (), [](Ctx& c, PSID sid) { c.Free("pSid", sid, {kSid}); })
// The thread's effective token (NULL) and a SID the caller holds.
API(CheckTokenMembership, "CheckTokenMembership function (securitybaseapi.h)", (ERROR_NO_IMPERSONATION_TOKEN, ERROR_ACCESS_DENIED),
    [](Ctx& c, HANDLE, PSID sid, PBOOL member) { c.Use("SidToCheck", sid, {kSid}).Buffer("IsMember", member, sizeof(*member), true); })

// -- setupapi, newdev: sets of SetupDiGetClassDevs; SP_DEVINFO_DATA, SP_DEVICE_INTERFACE_DATA and the
// detail's fixed part with their own cbSize; no buffer, no size.
#define DEVICE_DATA(dev, required) \
  Need(required ? dev && dev->cbSize == sizeof(SP_DEVINFO_DATA) : !dev || dev->cbSize == sizeof(SP_DEVINFO_DATA), "DeviceInfoData: cbSize")
API(SetupDiGetClassDevsW, "SetupDiGetClassDevsW function (setupapi.h)", (ERROR_INVALID_FLAGS, ERROR_INVALID_PARAMETER),
    [](Ctx& c, const GUID* guid, PCWSTR, HWND, DWORD flags) {
  c.Bits(flags, DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE, "Flags: DIGCF_")
      .Need(guid || (flags & DIGCF_ALLCLASSES), "ClassGuid: needed without DIGCF_ALLCLASSES")
      .Got(kDevInfo, reinterpret_cast<HDEVINFO>(c.r));
})
API(SetupDiEnumDeviceInterfaces, "SetupDiEnumDeviceInterfaces function (setupapi.h)", (ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER),
    [](Ctx& c, HDEVINFO set, PSP_DEVINFO_DATA dev, const GUID* guid, DWORD, PSP_DEVICE_INTERFACE_DATA data) {
  c.Use("DeviceInfoSet", set, {kDevInfo}).DEVICE_DATA(dev, false).Need(guid, "InterfaceClassGuid: the class")
      .Need(data && data->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA), "DeviceInterfaceData: cbSize");
})
API(SetupDiGetDeviceInterfaceDetailW, "SetupDiGetDeviceInterfaceDetailW function (setupapi.h)",
    (ERROR_NOT_ENOUGH_MEMORY, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_USER_BUFFER),
    [](Ctx& c, HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD cb, PDWORD,
       PSP_DEVINFO_DATA dev) {
  c.Use("DeviceInfoSet", set, {kDevInfo}).DEVICE_DATA(dev, false)
      .Need(iface && iface->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA), "DeviceInterfaceData: cbSize")
      .Need(detail ? detail->cbSize == sizeof(*detail) && cb >= sizeof(*detail) : !cb, "DeviceInterfaceDetailData: cbSize, room")
      .Buffer("DeviceInterfaceDetailData", detail, cb, true);
})
// A device's driver or device key, global or per profile.
API(SetupDiOpenDevRegKey, "SetupDiOpenDevRegKey function (setupapi.h)", (ERROR_KEY_DOES_NOT_EXIST, ERROR_ACCESS_DENIED),
    [](Ctx& c, HDEVINFO set, PSP_DEVINFO_DATA dev, DWORD scope, DWORD, DWORD type, REGSAM sam) {
  KeyAccess(c.Use("DeviceInfoSet", set, {kDevInfo}).DEVICE_DATA(dev, true), sam)
      .Need(scope == DICS_FLAG_GLOBAL || scope == DICS_FLAG_CONFIGSPECIFIC, "Scope: DICS_FLAG_GLOBAL or CONFIGSPECIFIC")
      .Need(type == DIREG_DEV || type == DIREG_DRV, "KeyType: DIREG_DEV or DIREG_DRV").Got(kKey, reinterpret_cast<HKEY>(c.r), sam);
})
API(SetupDiEnumDeviceInfo, "SetupDiEnumDeviceInfo function (setupapi.h)", (ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER),
    [](Ctx& c, HDEVINFO set, DWORD, PSP_DEVINFO_DATA dev) { c.Use("DeviceInfoSet", set, {kDevInfo}).DEVICE_DATA(dev, true); })
API(SetupDiGetDeviceRegistryPropertyW, "SetupDiGetDeviceRegistryPropertyW function (setupapi.h)",
    (ERROR_INVALID_DATA, ERROR_INSUFFICIENT_BUFFER),
    [](Ctx& c, HDEVINFO set, PSP_DEVINFO_DATA dev, DWORD property, PDWORD, PBYTE buffer, DWORD cb, PDWORD) {
  c.Use("DeviceInfoSet", set, {kDevInfo}).DEVICE_DATA(dev, true).Need(property < SPDRP_MAXIMUM_PROPERTY, "Property: an SPDRP_")
      .Need(buffer || !cb, "PropertyBufferSize: 0 when PropertyBuffer is NULL").Out("PropertyBuffer", buffer, cb);
})
API(SetupDiDestroyDeviceInfoList, "SetupDiDestroyDeviceInfoList function (setupapi.h)", (ERROR_INVALID_HANDLE),
    [](Ctx& c, HDEVINFO set) { c.Free("DeviceInfoSet", set, {kDevInfo}); })
// A device id, the package by full path, the INSTALLFLAG_ bits of Windows 7.
API(UpdateDriverForPlugAndPlayDevicesW, "UpdateDriverForPlugAndPlayDevicesW function (newdev.h)",
    (ERROR_NO_MORE_ITEMS, ERROR_NO_SUCH_DEVINST, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_IN_WOW64),
    [](Ctx& c, HWND, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL) {
  c.Need(id && *id && wcslen(id) < MAX_DEVICE_ID_LEN, "HardwareId: a device id").Need(FullPath(inf), "FullInfPath: a full path")
      .Bits(flags, INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE, "InstallFlags: INSTALLFLAG_");
})

// -- version
// Version data the caller still holds; documented for GetFileVersionInfo's copy.
API(VerQueryValueW, "VerQueryValueW function (winver.h)", (), [](Ctx& c, LPCVOID block, LPCWSTR sub, LPVOID* out, PUINT len) {
  c.Need(c.Find(block, kLocked), "pBlock: version data still held").Need(sub && out && len, "lpSubBlock, lplpBuffer, puLen")
      .Kept(false, "pBlock is a locked RT_VERSION resource, read in place: documented for GetFileVersionInfo's copy; "
                   "Windows' VerQueryValueW reads a 32-bit block without writing to it");
})

// -- ole32, oleaut32
// pvReserved NULL, COINIT_ flags; CoUninitialize balances each success on the thread.
API(CoInitializeEx, "CoInitializeEx function (combaseapi.h)", (E_INVALIDARG, E_OUTOFMEMORY, E_UNEXPECTED, RPC_E_CHANGED_MODE),
    [](Ctx& c, LPVOID reserved, DWORD mode) {
  c.Need(!reserved, "pvReserved: NULL").Bits(mode, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY,
                                             "dwCoInit: COINIT_");
  if (SUCCEEDED(static_cast<HRESULT>(c.r))) c.Got(kCom, ThreadKey());
})
API(CoUninitialize, "CoUninitialize function (combaseapi.h)", (kNever), [](Ctx& c) { c.Free("the thread", ThreadKey(), {kCom}); })
// After CoInitializeEx; -1 lets COM choose (then no list); RPC_C_ levels; reserved pointers NULL.
API(CoInitializeSecurity, "CoInitializeSecurity function (combaseapi.h)", (RPC_E_TOO_LATE, RPC_E_NO_GOOD_SECURITY_PACKAGES, E_OUTOFMEMORY),
    [](Ctx& c, PSECURITY_DESCRIPTOR, LONG cAuth, SOLE_AUTHENTICATION_SERVICE* list, void* r1, DWORD authn, DWORD imp, void*,
       DWORD caps, void* r3) {
  c.Com().Need(cAuth == -1 ? !list : cAuth >= 0, "cAuthSvc: -1 with asAuthSvc NULL, or the list's count")
      .Need(!r1 && !r3, "pReserved1, pReserved3: NULL").Need(authn <= RPC_C_AUTHN_LEVEL_PKT_PRIVACY, "dwAuthnLevel")
      .Need(imp >= RPC_C_IMP_LEVEL_ANONYMOUS && imp <= RPC_C_IMP_LEVEL_DELEGATE, "dwImpLevel")
      .Bits(caps, kEoac | EOAC_ACCESS_CONTROL | EOAC_APPID | EOAC_DYNAMIC | EOAC_REQUIRE_FULLSIC | EOAC_AUTO_IMPERSONATE |
                      EOAC_DISABLE_AAA, "dwCapabilities: EOAC_");
})
// After CoInitializeEx; CLSCTX_ bits, a place for the interface.
API(CoCreateInstance, "CoCreateInstance function (combaseapi.h)", (REGDB_E_CLASSNOTREG, E_NOINTERFACE, CLASS_E_NOAGGREGATION),
    [](Ctx& c, REFCLSID, LPUNKNOWN, DWORD context, REFIID, LPVOID* out) {
  c.Com().Bits(context, CLSCTX_ALL | CLSCTX_NO_CODE_DOWNLOAD | CLSCTX_NO_CUSTOM_MARSHAL | CLSCTX_ENABLE_CODE_DOWNLOAD |
                            CLSCTX_NO_FAILURE_LOG | CLSCTX_DISABLE_AAA | CLSCTX_ENABLE_AAA | CLSCTX_ACTIVATE_64_BIT_SERVER,
                        "dwClsContext: CLSCTX_").Buffer("ppv", out, sizeof(*out), true);
})
// A proxy; the RPC_C_AUTHN_ and _AUTHZ_ services, levels and EOAC_ capabilities a proxy takes.
API(CoSetProxyBlanket, "CoSetProxyBlanket function (combaseapi.h)", (E_INVALIDARG, E_OUTOFMEMORY),
    [](Ctx& c, IUnknown* proxy, DWORD authn, DWORD authz, OLECHAR*, DWORD level, DWORD imp, auto, DWORD caps) {
  c.Com().Need(proxy, "pProxy: a proxy").Need(authn == RPC_C_AUTHN_DEFAULT || authn <= RPC_C_AUTHN_GSS_KERBEROS, "dwAuthnSvc")
      .Need(authz == RPC_C_AUTHZ_DEFAULT || authz <= RPC_C_AUTHZ_DCE, "dwAuthzSvc")
      .Need(level <= RPC_C_AUTHN_LEVEL_PKT_PRIVACY && imp <= RPC_C_IMP_LEVEL_DELEGATE, "dwAuthnLevel, dwImpLevel: RPC_C_ levels")
      .Need(caps == EOAC_DEFAULT || !(caps & ~kEoac), "dwCapabilities: EOAC_ flags a proxy takes");
})
// A BSTR of SysAllocString (which tells no error), freed once with SysFreeString; NULL is ignored.
API(SysAllocString, "SysAllocString function (oleauto.h)", (), [](Ctx& c, const OLECHAR*) { c.Got(kBstr, reinterpret_cast<BSTR>(c.r)); })
API(SysFreeString, "SysFreeString function (oleauto.h)", (kNever), [](Ctx& c, BSTR b) { if (b) c.Free("bstrString", b, {kBstr}); })
// The caller's VARIANT.
API(VariantInit, "VariantInit function (oleauto.h)", (kNever), [](Ctx& c, VARIANTARG* v) { c.Buffer("pvarg", v, sizeof(*v), true); })
API(VariantClear, "VariantClear function (oleauto.h)", (DISP_E_BADVARTYPE, E_INVALIDARG), [](Ctx& c, VARIANTARG* v) {
  c.Buffer("pvarg", v, sizeof(*v), true);
})

// -- looked up at run time: the caller's structure; Windows 6.0 or later's numbers and a place for the
// product type; LOAD_LIBRARY_SEARCH_ flags a default takes.
CONTRACT(LookedUp, GetNativeSystemInfo, "GetNativeSystemInfo function (sysinfoapi.h)", (kNever),
         [](Ctx& c, LPSYSTEM_INFO si) { c.Buffer("lpSystemInfo", si, sizeof(*si), true); })
CONTRACT(LookedUp, GetProductInfo, "GetProductInfo function (sysinfoapi.h)", (), [](Ctx& c, DWORD major, DWORD, DWORD, DWORD, PDWORD type) {
  c.Need(major >= 6, "dwOSMajorVersion: 6 or more").Buffer("pdwReturnedProductType", type, sizeof(*type), true);
})
CONTRACT(LookedUp, SetDefaultDllDirectories, "SetDefaultDllDirectories function (libloaderapi.h)", (ERROR_INVALID_PARAMETER),
         [](Ctx& c, DWORD flags) {
  c.Need(flags, "DirectoryFlags: some").Bits(flags, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS |
                                                      LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS,
                                             "DirectoryFlags: LOAD_LIBRARY_SEARCH_");
})

// --- The checked entries.
template <class Table>
Table& Target();
template <>
os::Api& Target<os::Api>() { return behind; }
template <>
LookedUp& Target<LookedUp>() { return g_lookedUp; }

template <class Table, class F, F Table::*Entry>
struct Checked;
template <class Table, class R, class... A, R (*Table::*Entry)(A...)>
struct Checked<Table, R (*)(A...), Entry> {
  using Rules = Row<Table, R (*)(A...), Entry>;
  static R Call(A... a) {
    Phase(false, 0, a...);
    site = __builtin_return_address(0);
    if constexpr (std::is_void_v<R>) {
      (Target<Table>().*Entry)(a...), Phase(true, 0, a...);
    } else {
      const R r = (Target<Table>().*Entry)(a...);
      ULONG_PTR bits;
      if constexpr (std::is_pointer_v<R>) bits = reinterpret_cast<ULONG_PTR>(r);
      else bits = static_cast<ULONG_PTR>(static_cast<LONG_PTR>(r));
      bits = Phase(true, bits, a...);
      if constexpr (std::is_pointer_v<R>) return reinterpret_cast<R>(bits);
      else return static_cast<R>(bits);
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
    return c.r;
  }
};

// An export of a module loaded for running, not one mapped as data. A function the tool looks up
// is handed out checked, as the boundary's entries are.
#define HAND_OUT(fn)                                                                                              \
  if (c.after && c.r && !IS_INTRESOURCE(name) && !strcmp(name, #fn))                                              \
    g_lookedUp.fn = reinterpret_cast<decltype(g_lookedUp.fn)>(c.r),                                               \
    c.r = reinterpret_cast<ULONG_PTR>(&Checked<LookedUp, decltype(LookedUp::fn), &LookedUp::fn>::Call);
API(GetProcAddress, "GetProcAddress function (libloaderapi.h)", (ERROR_PROC_NOT_FOUND), [](Ctx& c, HMODULE h, LPCSTR name) {
  c.Module("hModule", h, false);
  LOOKED_UP(HAND_OUT)
})

std::map<std::string, const std::vector<DWORD>*>& ErrorsByName() {
  static auto* errors = new std::map<std::string, const std::vector<DWORD>*>;
  return *errors;
}

}  // namespace

Contracts::Contracts() {
  if (g_installed) throw std::logic_error("one contract checker at a time");
  behind = os::api;
#define CHECK_ERRORS(table, fn) ErrorsByName()[#fn] = &Row<table, decltype(table::fn), &table::fn>::Errors();
#define CHECK_API(fn) CHECK_ERRORS(os::Api, fn) os::api.fn = &Checked<os::Api, decltype(os::Api::fn), &os::Api::fn>::Call;
#define CHECK_LOOKED_UP(fn) CHECK_ERRORS(LookedUp, fn)
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
