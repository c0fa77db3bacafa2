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
enum Kind {
  kFile,
  kDevice,
  kMutex,
  kKey,
  kDevInfo,
  kModule,
  kDataModule,
  kBorrowedModule,
  kLocal,
  kHeapBlock,
  kHeap,
  kSid,
  kBstr,
  kResource,
  kResData,
  kLocked,
  kCookie,
  kCom
};
const char* const kKindNames[] = {"file",
                                  "device",
                                  "mutex",
                                  "registry key",
                                  "device information set",
                                  "module",
                                  "module mapped as data",
                                  "module the caller did not load",
                                  "local memory",
                                  "heap block",
                                  "heap",
                                  "SID",
                                  "BSTR",
                                  "resource",
                                  "resource data",
                                  "locked resource",
                                  "WOW64 redirection cookie",
                                  "COM initialisation"};
// Kinds that share one space of values (a kernel handle, a module handle).
const int kFamilies[] = {0, 0, 0, 1, 2, 3, 3, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
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
    if (!VirtualQuery(at, &mbi, sizeof(mbi)) || mbi.State != MEM_COMMIT || (mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)) ||
        (write && !(mbi.Protect & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY))))
      return false;
    const size_t step = std::min<size_t>(static_cast<const BYTE*>(mbi.BaseAddress) + mbi.RegionSize - at, bytes);
    at += step, bytes -= step;
  }
  return true;
}
bool FullPath(const wchar_t* p) { return p && ((p[0] && p[1] == L':' && p[2] == L'\\') || !wcsncmp(p, L"\\\\", 2)); }
bool Device(LPCWSTR p) { return p && (!wcsncmp(p, L"\\\\?\\", 4) || !wcsncmp(p, L"\\\\.\\", 4)) && p[5] != L':'; }
void* ThreadKey() { return reinterpret_cast<void*>(ULONG_PTR(GetCurrentThreadId())); }
std::string Cat(const char* a, const char* b) { return std::string(a) + b; }

// One call being checked. The rules run before it goes on (after false), where the checks act and
// releases are counted, then once more with its result r, where acquisitions are counted.
struct Ctx {
  const char* name;
  bool after;
  ULONG_PTR r;
  std::vector<std::string> broken;

  // A rule's text is made only when the rule is broken: the checker runs on every call.
  Ctx& need(bool ok, const char* rule) {
    if (!after && !ok) broken.push_back(rule);
    return *this;
  }
  Ctx& need(bool ok, const char* what, const char* rule) { return ok ? *this : need(false, Cat(what, rule).c_str()); }
  Ctx& bits(DWORD v, DWORD allowed, const char* what) { return need(!(v & ~allowed), what, " flags only"); }
  // What Windows documents as reserved or undefined and the tool does on purpose: told once, never a failure.
  Ctx& kept(bool ok, const char* rule) {
    static std::set<std::string> told;
    if (!after && !ok && told.insert(Cat(name, rule)).second) printf("kept: %s: %s\n", name, rule);
    return *this;
  }
  Entry* find(const void* v, Kind k) {
    const auto it = Live().find({kFamilies[k], v});
    return it == Live().end() ? nullptr : &it->second;
  }
  // A handle or block the call uses: open, of a kind it takes, opened with one of the rights in anyOf.
  Entry* use(const char* what, const void* v, std::initializer_list<Kind> kinds, DWORD anyOf = 0) {
    Entry* e = find(v, *kinds.begin());
    if (!e || std::find(kinds.begin(), kinds.end(), e->kind) == kinds.end())
      need(false,
           (Cat(what, ": an open ") + kKindNames[*kinds.begin()] + (e ? Cat(", not a ", kKindNames[e->kind]) : "")).c_str());
    else
      need(!anyOf || (e->access & (anyOf | GENERIC_ALL | MAXIMUM_ALLOWED)), what, ": opened with the access the call needs");
    return e;
  }
  Ctx& key(HKEY k, DWORD anyOf) { return Predefined(k) ? *this : (use("hKey", k, {kKey}, anyOf), *this); }
  // What the call acquired, when it succeeded; a value held without a release owed is taken over.
  Ctx& got(Kind k, const void* v, DWORD access = 0, size_t size = 0, const void* owner = nullptr) {
    if (!after || !v || v == INVALID_HANDLE_VALUE) return *this;
    auto [it, fresh] = Live().try_emplace({kFamilies[k], v});
    if (fresh || !Owed(it->second.kind)) it->second = Entry{k, name, access, size, owner, 0, g_seq++};
    if (Owed(k)) ++it->second.count;
    return *this;
  }
  template <class T> Ctx& gotOut(Kind k, T* out, bool ok, DWORD access = 0) {
    return ok && out ? got(k, *out, access) : *this;
  }
  // Released by the function that matches its acquisition, once; a module's resources go with it.
  Ctx& free(const char* what, const void* v, std::initializer_list<Kind> kinds) {
    const auto it = Live().find({kFamilies[*kinds.begin()], v});
    if (after) return *this;
    if (it == Live().end() || !Owed(it->second.kind) ||
        std::find(kinds.begin(), kinds.end(), it->second.kind) == kinds.end())
      return ++g_unmatched,
             need(false,
                  (Cat(what, ": an open ") + kKindNames[*kinds.begin()] + ", released once by its own function").c_str());
    if (--it->second.count > 0) return *this;
    Live().erase(it);
    for (auto e = Live().begin(); e != Live().end();)
      e = e->second.owner == v && !Owed(e->second.kind) ? Live().erase(e) : std::next(e);
    return *this;
  }
  // A buffer of the size given: within the block that holds it, in memory the process may use. One
  // the call fills (out) is used whole first: Windows may use all of the size the caller gives, and a
  // size larger than the buffer tramples what lies behind it.
  Ctx& buf(const char* what, const void* p, size_t bytes, bool write = true, bool out = false) {
    if (after || !bytes) return *this;
    if (!p) return need(false, what, ": a buffer where a size is given");
    const size_t before = broken.size();
    for (const auto& [key, e] : Live())
      if ((e.kind == kHeapBlock || e.kind == kLocal) && e.size && p >= key.second &&
          p < static_cast<const BYTE*>(key.second) + e.size)
        need(static_cast<const BYTE*>(p) + bytes <= static_cast<const BYTE*>(key.second) + e.size, what,
             ": no larger than its block");
    need(Accessible(p, bytes, write), what, ": all of it memory the process may use");
    if (out && broken.size() == before) memset(const_cast<void*>(p), 0xFD, bytes);
    return *this;
  }
  Ctx& out(const char* what, void* p, size_t bytes) { return buf(what, p, bytes, true, true); }
  // A module the process holds: loaded through the boundary, or by its own loader.
  Ctx& mod(const char* what, HMODULE h, bool dataToo) {
    if (const Entry* e = find(h, kModule))
      return need(dataToo || e->kind != kDataModule, what, ": loaded for running, not as data");
    HMODULE loaded = nullptr;
    return need(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(h), &loaded) &&
                    loaded == h,
                what, ": a module the process holds");
  }
  Ctx& com() { return need(find(ThreadKey(), kCom), "COM initialised on the calling thread (CoInitializeEx)"); }
  // A resource, or its data, of the module named (none: any).
  Entry* res(const void* v, Kind k, HMODULE h) {
    Entry* e = use(k == kResource ? "hResInfo" : "hResData", v, {k});
    need(!e || !h || e->owner == h, "found in the module it names");
    return e;
  }
  Ctx& dev(PSP_DEVINFO_DATA d, bool required) {
    return need(d ? d->cbSize == sizeof(SP_DEVINFO_DATA) : !required, "DeviceInfoData: cbSize of SP_DEVINFO_DATA");
  }
  Ctx& access(REGSAM sam) {
    return bits(sam, KEY_ALL_ACCESS | KEY_WOW64_RES | GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED,
                "samDesired: KEY_")
        .need((sam & KEY_WOW64_RES) != KEY_WOW64_RES, "samDesired: one registry view, not both");
  }
  template <class T> T* p() const { return reinterpret_cast<T*>(r); }
};

// --- The calls' arguments, as a broken contract shows them.
template <class Ch> void Text(std::string& s, const Ch* p) {
  if (IS_INTRESOURCE(p)) return void(s += p ? "#" + std::to_string(ULONG_PTR(p)) : "NULL");
  s += '"';
  for (size_t i = 0; p[i] && i < 80; ++i) s += p[i] > 0 && p[i] < 127 ? static_cast<char>(p[i]) : '?';
  s += '"';
}
void Arg(std::string& s, const wchar_t* p) { Text(s, p); }
void Arg(std::string& s, const char* p) { Text(s, p); }
void Arg(std::string& s, const GUID& g) { s += "{" + std::to_string(g.Data1) + "-...}"; }
template <class T> void Arg(std::string& s, T v) {
  std::ostringstream o;
  if constexpr (std::is_pointer_v<T>)
    o << reinterpret_cast<const void*>(v);
  else
    o << "0x" << std::hex << static_cast<unsigned long long>(v);
  s += o.str();
}
template <class... A> std::string Args(A... a) {
  std::string s;
  ((Arg(s, a), s += ", "), ...);
  return s.substr(0, s.size() - (sizeof...(A) ? 2 : 0));
}

// --- The contract table: one row per function the tool calls: its page of Microsoft's
// documentation, "<function> function (<header>)", the errors that page gives for a failure, and
// its rules, with the reason for them above the row.
struct LookedUp {  // functions the tool looks up at run time and calls directly
  decltype(&::GetNativeSystemInfo) GetNativeSystemInfo;
  decltype(&::GetProductInfo) GetProductInfo;
  decltype(&::SetDefaultDllDirectories) SetDefaultDllDirectories;
} g_lookedUp;
#define LOOKED_UP(X) X(GetNativeSystemInfo) X(GetProductInfo) X(SetDefaultDllDirectories)

template <class Table, class F, F Table::*Entry> struct Row;
template <class... E> std::vector<DWORD> ErrorList(E... errors) {  // last errors, statuses and HRESULTs alike
  return {static_cast<DWORD>(errors)...};
}
#define UNPAREN(...) __VA_ARGS__
#define CONTRACT(table, fn, header, errors, ...)                                     \
  template <> struct Row<table, decltype(table::fn), &table::fn> {                   \
    static constexpr const char *kName = #fn, *kPage = #fn " function (" header ")"; \
    static const std::vector<DWORD>& Errors() {                                      \
      static const std::vector<DWORD> errors_ = ErrorList(UNPAREN errors);           \
      return errors_;                                                                \
    }                                                                                \
    static constexpr auto Rule = __VA_ARGS__;                                        \
  };
#define ROW(fn, header, errors, ...) CONTRACT(os::Api, fn, header, errors, __VA_ARGS__)
#define NONE [](Ctx&, auto...) {}
constexpr DWORD kNever = kCannotFail;
constexpr DWORD kEoac = EOAC_MUTUAL_AUTH | EOAC_STATIC_CLOAKING | EOAC_DYNAMIC_CLOAKING | EOAC_ANY_AUTHORITY |
                        EOAC_MAKE_FULLSIC | EOAC_SECURE_REFS | EOAC_NO_CUSTOM_MARSHAL;

// -- kernel32: errors, memory, time, process
// The thread's last error, the error mode, the process and its command line, a pause: nothing to break.
ROW(GetLastError, "errhandlingapi.h", (kNever), NONE)
ROW(SetLastError, "errhandlingapi.h", (kNever), NONE)
ROW(GetErrorMode, "errhandlingapi.h", (kNever), NONE)
ROW(GetCurrentProcessId, "processthreadsapi.h", (kNever), NONE)
ROW(GetCurrentProcess, "processthreadsapi.h", (kNever), NONE)
ROW(GetCommandLineW, "processenv.h", (kNever), NONE)
ROW(Sleep, "synchapi.h", (kNever), NONE)
// The process's error mode takes the SEM_ flags and nothing else.
ROW(SetErrorMode, "errhandlingapi.h", (kNever), [](Ctx& c, UINT mode) {
  c.bits(mode, SEM_FAILCRITICALERRORS | SEM_NOALIGNMENTFAULTEXCEPT | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX,
         "uMode: SEM_");
})
// The time goes into the caller's structure; the debugger takes a terminated string.
ROW(GetLocalTime, "sysinfoapi.h", (kNever), [](Ctx& c, LPSYSTEMTIME st) { c.buf("lpSystemTime", st, sizeof(*st)); })
ROW(OutputDebugStringA, "debugapi.h", (kNever), [](Ctx& c, LPCSTR s) { c.need(s, "lpOutputString: a string"); })
// A system text: FROM_STRING alone as the source; no inserts without arguments; a buffer it allocates
// (LocalFree frees it), or the caller's of at most 64K.
ROW(FormatMessageA, "winbase.h", (ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND),
    [](Ctx& c, DWORD flags, LPCVOID, DWORD, DWORD, LPSTR buffer, DWORD size, va_list* args) {
      const bool alloc = flags & FORMAT_MESSAGE_ALLOCATE_BUFFER;
      c.need(!(flags & FORMAT_MESSAGE_FROM_STRING) || !(flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE)),
             "dwFlags: one source")
          .need((flags & FORMAT_MESSAGE_IGNORE_INSERTS) || args, "dwFlags: inserts need arguments or IGNORE_INSERTS")
          .need(alloc || size <= 64 * 1024, "nSize: at most 64K")
          .buf("lpBuffer", buffer, alloc ? sizeof(LPSTR) : 0)
          .out("lpBuffer", buffer, alloc ? 0 : size)
          .gotOut(kLocal, reinterpret_cast<LPSTR*>(buffer), alloc && c.r);
    })
// Fixed or movable memory, zeroed or not, freed by LocalFree (which ignores NULL).
ROW(LocalAlloc, "winbase.h", (ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, UINT flags, SIZE_T cb) {
  c.bits(flags, LMEM_MOVEABLE | LMEM_ZEROINIT, "uFlags: LMEM_").got(kLocal, c.p<void>(), 0, flags & LMEM_MOVEABLE ? 0 : cb);
})
ROW(LocalFree, "winbase.h", (ERROR_INVALID_HANDLE), [](Ctx& c, HLOCAL h) {
  if (h) c.free("hMem", h, {kLocal});
})
// The process heap lives as long as the process; a block of it fails without telling an error, and
// goes back to that heap once (NULL is undefined).
ROW(GetProcessHeap, "heapapi.h", (kNever), [](Ctx& c) { c.got(kHeap, c.p<void>()); })
ROW(HeapAlloc, "heapapi.h", (), [](Ctx& c, HANDLE heap, DWORD flags, SIZE_T cb) {
  c.use("hHeap", heap, {kHeap});
  c.bits(flags, HEAP_GENERATE_EXCEPTIONS | HEAP_NO_SERIALIZE | HEAP_ZERO_MEMORY, "dwFlags: HEAP_")
      .got(kHeapBlock, c.p<void>(), 0, cb, heap);
})
ROW(HeapFree, "heapapi.h", (ERROR_INVALID_PARAMETER), [](Ctx& c, HANDLE heap, DWORD flags, LPVOID p) {
  const Entry* e = c.find(p, kHeapBlock);
  c.use("hHeap", heap, {kHeap});
  c.bits(flags, HEAP_NO_SERIALIZE, "dwFlags: HEAP_")
      .need(p, "lpMem: a block (NULL is undefined)")
      .need(!e || e->owner == heap, "lpMem: of that heap");
  if (p) c.free("lpMem", p, {kHeapBlock});
})
// Two strings, lengths -1 (terminated) or more, under a locale and flags Windows 7 knows.
ROW(CompareStringW, "stringapiset.h", (ERROR_INVALID_FLAGS, ERROR_INVALID_PARAMETER),
    [](Ctx& c, LCID lcid, DWORD flags, LPCWSTR a, int ca, LPCWSTR b, int cb) {
      c.need(lcid == LOCALE_INVARIANT || lcid == LOCALE_USER_DEFAULT || IsValidLocale(lcid, LCID_SUPPORTED),
             "Locale: a supported one")
          .bits(flags,
                LINGUISTIC_IGNORECASE | LINGUISTIC_IGNOREDIACRITIC | NORM_IGNORECASE | NORM_IGNOREKANATYPE |
                    NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS | NORM_IGNOREWIDTH | NORM_LINGUISTIC_CASING |
                    SORT_DIGITSASNUMBERS | SORT_STRINGSORT,
                "dwCmpFlags")
          .need(a && b && ca >= -1 && cb >= -1, "lpString1, lpString2: strings, lengths -1 or more");
    })
// Wide text to the code page: a source; WC_ flags the code page takes; a target of the size given (none
// when only the size is asked), apart from the source.
ROW(WideCharToMultiByte, "stringapiset.h", (ERROR_NO_UNICODE_TRANSLATION, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_FLAGS),
    [](Ctx& c, UINT cp, DWORD flags, LPCWSTR w, int cw, LPSTR mb, int cbMb, LPCSTR def, LPBOOL used) {
      c.bits(flags,
             WC_COMPOSITECHECK | WC_DEFAULTCHAR | WC_DISCARDNS | WC_SEPCHARS | WC_NO_BEST_FIT_CHARS |
                 (cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0),
             "WC_")
          .need(w && cw != 0 && cw >= -1 && cbMb >= 0, "cchWideChar, cbMultiByte: a source, sizes in range")
          .need((cp != CP_UTF8 && cp != CP_UTF7) || (!def && !used), "lpDefaultChar, lpUsedDefaultChar: NULL for UTF-8")
          .need(!cbMb || static_cast<LPCVOID>(mb) != w, "lpMultiByteStr: apart from the source")
          .out("lpMultiByteStr", mb, cbMb);
    })
// The caller's structure, its size field that of OSVERSIONINFOW or OSVERSIONINFOEXW.
ROW(GetVersionExW, "sysinfoapi.h", (ERROR_INSUFFICIENT_BUFFER), [](Ctx& c, LPOSVERSIONINFOW v) {
  const DWORD cb = v ? v->dwOSVersionInfoSize : 0;
  c.need(cb == sizeof(OSVERSIONINFOW) || cb == sizeof(OSVERSIONINFOEXW), "dwOSVersionInfoSize")
      .buf("lpVersionInformation", v, cb);
})

// -- kernel32: files, devices, kernel objects
// A file or device: one of the five dispositions (truncation with write access), FILE_SHARE_ flags,
// attributes a file may be created with.
ROW(CreateFileW, "fileapi.h", (ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND),
    [](Ctx& c, LPCWSTR path, DWORD access, DWORD share, auto, DWORD how, DWORD flags, auto) {
      c.need(path, "lpFileName: a path")
          .need(how >= CREATE_NEW && how <= TRUNCATE_EXISTING, "dwCreationDisposition: one of five")
          .need(how != TRUNCATE_EXISTING || (access & (GENERIC_WRITE | GENERIC_ALL)), "TRUNCATE_EXISTING: GENERIC_WRITE")
          .bits(share, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, "dwShareMode: FILE_SHARE_")
          .bits(flags & 0xFFFF,
                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NORMAL |
                    FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY,
                "attribute")
          .got(Device(path) ? kDevice : kFile, c.p<void>(), access);
    })
// A seekable file opened for reading or writing; writing and flushing need write access; without an
// OVERLAPPED the count written needs a place.
ROW(SetFilePointer, "fileapi.h", (ERROR_NEGATIVE_SEEK, ERROR_INVALID_PARAMETER),
    [](Ctx& c, HANDLE h, LONG, PLONG, DWORD how) {
      c.use("hFile", h, {kFile}, GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA);
      c.need(how <= FILE_END, "dwMoveMethod: FILE_BEGIN, FILE_CURRENT or FILE_END");
    })
ROW(WriteFile, "fileapi.h", (ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION),
    [](Ctx& c, HANDLE h, LPCVOID data, DWORD cb, LPDWORD written, LPOVERLAPPED ov) {
      c.use("hFile", h, {kFile, kDevice}, GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA);
      c.need(written || ov, "lpNumberOfBytesWritten: NULL only with an OVERLAPPED").buf("lpBuffer", data, cb, false);
    })
ROW(FlushFileBuffers, "fileapi.h", (ERROR_ACCESS_DENIED, ERROR_DISK_FULL),
    [](Ctx& c, HANDLE h) { c.use("hFile", h, {kFile}, GENERIC_WRITE | FILE_WRITE_DATA); })
// An open kernel handle, once: not a key, a set or a pseudo-handle.
ROW(CloseHandle, "handleapi.h", (ERROR_INVALID_HANDLE), [](Ctx& c, HANDLE h) {
  c.free("hObject", h, {kFile, kDevice, kMutex});
})
// A device of CreateFile with the access its control code asks for; without an OVERLAPPED the count
// returned needs a place.
ROW(DeviceIoControl, "ioapiset.h", (ERROR_INVALID_FUNCTION, ERROR_NOT_READY, ERROR_GEN_FAILURE),
    [](Ctx& c, HANDLE h, DWORD code, LPVOID in, DWORD cbIn, LPVOID out, DWORD cbOut, LPDWORD returned, LPOVERLAPPED ov) {
      c.use("hDevice", h, {kDevice},
            ((code >> 14) & FILE_READ_ACCESS ? GENERIC_READ | FILE_READ_DATA : 0) |
                ((code >> 14) & FILE_WRITE_ACCESS ? GENERIC_WRITE | FILE_WRITE_DATA : 0));
      c.need(returned || ov, "lpBytesReturned: NULL only with an OVERLAPPED")
          .buf("lpInBuffer", in, cbIn, false)
          .out("lpOutBuffer", out, cbOut);
    })
// A name of at most MAX_PATH characters, no backslash but after Global\ or Local\.
ROW(CreateMutexW, "synchapi.h", (ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE), [](Ctx& c, auto, BOOL, LPCWSTR name) {
  const LPCWSTR rest =
      name && (!wcsncmp(name, L"Global\\", 7) || !wcsncmp(name, L"Local\\", 6)) ? wcschr(name, L'\\') + 1 : name;
  c.need(!name || (wcslen(name) <= MAX_PATH && !wcschr(rest, L'\\')), "lpName: at most MAX_PATH characters, no backslash")
      .got(kMutex, c.p<void>(), MUTEX_ALL_ACCESS);
})
// A process handle with query access (the current process's pseudo-handle has every right).
ROW(IsWow64Process, "wow64apiset.h", (ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE), [](Ctx& c, HANDLE process, PBOOL wow64) {
  c.need(process == GetCurrentProcess(), "hProcess: with query access").buf("Wow64Process", wow64, sizeof(*wow64));
})
// Redirection off for the calling thread; the cookie goes back to the revert, once.
ROW(Wow64DisableWow64FsRedirection, "wow64apiset.h", (ERROR_INVALID_FUNCTION),
    [](Ctx& c, PVOID* old) { c.buf("OldValue", old, sizeof(*old)).gotOut(kCookie, old, c.r); })
ROW(Wow64RevertWow64FsRedirection, "wow64apiset.h", (ERROR_INVALID_FUNCTION),
    [](Ctx& c, PVOID old) { c.free("OlValue", old, {kCookie}); })

// -- kernel32: modules and resources
// A module the process has already: a handle borrowed, never freed.
ROW(GetModuleHandleW, "libloaderapi.h", (ERROR_MOD_NOT_FOUND), [](Ctx& c, LPCWSTR) { c.got(kBorrowedModule, c.p<void>()); })
// The path of a loaded module (NULL: the program) or the system folder, into a buffer of the
// characters given.
ROW(GetModuleFileNameW, "libloaderapi.h", (ERROR_MOD_NOT_FOUND, ERROR_INVALID_HANDLE),
    [](Ctx& c, HMODULE h, LPWSTR buffer, DWORD cch) {
      if (h) c.mod("hModule", h, false);
      c.out("lpFilename", buffer, cch * sizeof(wchar_t));
    })
ROW(GetSystemDirectoryW, "sysinfoapi.h", (ERROR_INVALID_PARAMETER),
    [](Ctx& c, LPWSTR buffer, UINT cch) { c.out("lpBuffer", buffer, cch * sizeof(wchar_t)); })
// A module by its full path: the tool runs elevated, and a bare name is looked for in its own folder
// first (Dynamic-Link Library Security). hFile is reserved; the flags are Windows 7's without
// KB2533623 (no LOAD_LIBRARY_SEARCH_). FreeLibrary frees each load once.
ROW(LoadLibraryW, "libloaderapi.h",
    (ERROR_MOD_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_BAD_EXE_FORMAT, ERROR_DLL_INIT_FAILED),
    [](Ctx& c, LPCWSTR path) { c.need(FullPath(path), "lpLibFileName: a fully qualified path").got(kModule, c.p<void>()); })
ROW(LoadLibraryExW, "libloaderapi.h",
    (ERROR_MOD_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_BAD_EXE_FORMAT, ERROR_DLL_INIT_FAILED),
    [](Ctx& c, LPCWSTR path, HANDLE file, DWORD flags) {
      const bool data =
          flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
      c.need(!file, "hFile: reserved, NULL")
          .need(FullPath(path), "lpLibFileName: a fully qualified path")
          .bits(flags,
                DONT_RESOLVE_DLL_REFERENCES | LOAD_IGNORE_CODE_AUTHZ_LEVEL | LOAD_LIBRARY_AS_DATAFILE |
                    LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_WITH_ALTERED_SEARCH_PATH,
                "dwFlags: Windows 7's")
          .got(data ? kDataModule : kModule, c.p<void>());
    })
ROW(FreeLibrary, "libloaderapi.h", (ERROR_INVALID_HANDLE), [](Ctx& c, HMODULE h) {
  c.free("hLibModule", h, {kModule, kDataModule});
})
// A resource of a module the process holds (NULL: the program); its size and data come from that
// module; LockResource tells no error.
ROW(FindResourceW, "winbase.h", (ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND),
    [](Ctx& c, HMODULE h, LPCWSTR name, LPCWSTR type) {
      if (h) c.mod("hModule", h, true);
      c.need(name && type, "lpName, lpType: a name and a type").got(kResource, c.p<void>(), 0, 0, h);
    })
ROW(SizeofResource, "libloaderapi.h", (ERROR_RESOURCE_DATA_NOT_FOUND), [](Ctx& c, HMODULE h, HRSRC r) {
  if (Entry* e = c.res(r, kResource, h); e && c.after) e->size = c.r;
})
ROW(LoadResource, "libloaderapi.h", (ERROR_RESOURCE_DATA_NOT_FOUND), [](Ctx& c, HMODULE h, HRSRC r) {
  const Entry* e = c.res(r, kResource, h);
  c.got(kResData, c.p<void>(), 0, e ? e->size : 0, h);
})
ROW(LockResource, "libloaderapi.h", (), [](Ctx& c, HGLOBAL g) {
  if (const Entry* e = c.res(g, kResData, nullptr)) c.got(kLocked, c.p<void>(), 0, e->size, e->owner);
})

// -- user32, comctl32
// A string of a module the process holds, into a buffer of cchBufferMax characters (0: a pointer to it).
ROW(LoadStringW, "winuser.h", (ERROR_RESOURCE_NAME_NOT_FOUND), [](Ctx& c, HINSTANCE h, UINT, LPWSTR buffer, int cch) {
  c.mod("hInstance", h, true)
      .need(cch >= 0, "cchBufferMax: 0 or more")
      .buf("lpBuffer", buffer, cch ? cch * sizeof(wchar_t) : sizeof(LPWSTR));
})
// One button set, icon, default button and modality, MB_ flags only; no owner for a service notice.
ROW(MessageBoxW, "winuser.h", (ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, HWND owner, LPCWSTR, LPCWSTR, UINT type) {
  c.need((type & MB_TYPEMASK) <= MB_CANCELTRYCONTINUE && (type & MB_ICONMASK) <= MB_ICONASTERISK &&
             (type & MB_DEFMASK) <= MB_DEFBUTTON4 && (type & MB_MODEMASK) <= MB_TASKMODAL,
         "uType: one button set, icon, default button and modality")
      .bits(type,
            MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK | MB_MODEMASK | MB_MISCMASK | MB_SETFOREGROUND | MB_TOPMOST |
                MB_DEFAULT_DESKTOP_ONLY | MB_RIGHT | MB_RTLREADING | MB_SERVICE_NOTIFICATION,
            "uType: MB_")
      .need(!(type & MB_SERVICE_NOTIFICATION) || !owner, "MB_SERVICE_NOTIFICATION: no owner window");
})
// A metric Windows defines (it answers 0 for one it lacks).
ROW(GetSystemMetrics, "winuser.h", (), [](Ctx& c, int i) {
  c.need((i >= 0 && i <= SM_CMETRICS) || (i >= 0x1000 && i <= 0x1001) || (i >= 0x2000 && i <= 0x2004),
         "nIndex: an SM_ index");
})
// dwSize of INITCOMMONCONTROLSEX, the ICC_ classes.
ROW(InitCommonControlsEx, "commctrl.h", (), [](Ctx& c, const INITCOMMONCONTROLSEX* icc) {
  c.need(icc && icc->dwSize == sizeof(INITCOMMONCONTROLSEX), "picce: dwSize of INITCOMMONCONTROLSEX")
      .kept(!icc || !(icc->dwICC & ~0xFFFFu), "dwICC has bits beyond the ICC_ classes (reserved): every class is asked for");
})

// -- shell32, shlwapi
// The whole command line; LocalFree frees the result.
ROW(CommandLineToArgvW, "shellapi.h", (ERROR_NOT_ENOUGH_MEMORY), [](Ctx& c, LPCWSTR line, int* n) {
  c.need(line, "lpCmdLine: a command line").buf("pNumArgs", n, sizeof(*n)).got(kLocal, c.p<void>());
})
// Paths of at most MAX_PATH characters, in buffers of MAX_PATH characters where they change.
ROW(PathFileExistsW, "shlwapi.h", (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND),
    [](Ctx& c, LPCWSTR path) { c.need(path && wcslen(path) < MAX_PATH, "pszPath: at most MAX_PATH characters"); })
ROW(PathRemoveFileSpecW, "shlwapi.h", (), [](Ctx& c, LPWSTR path) { c.buf("pszPath", path, MAX_PATH * sizeof(wchar_t)); })
ROW(PathAppendW, "shlwapi.h", (), [](Ctx& c, LPWSTR path, LPCWSTR more) {
  c.buf("pszPath", path, MAX_PATH * sizeof(wchar_t)).need(more && wcslen(more) < MAX_PATH, "pszMore: a path");
})

// -- advapi32: registry and security
// A subkey of an open or predefined key, one view; opening takes options 0 or REG_OPTION_OPEN_LINK,
// creating a name, Reserved 0 and REG_OPTION_ options.
ROW(RegOpenKeyExW, "winreg.h", (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED),
    [](Ctx& c, HKEY root, LPCWSTR, DWORD options, REGSAM sam, PHKEY key) {
      c.key(root, 0)
          .access(sam)
          .need(options == 0 || options == REG_OPTION_OPEN_LINK, "ulOptions")
          .buf("phkResult", key, sizeof(*key))
          .gotOut(kKey, key, !c.r, sam);
    })
ROW(RegCreateKeyExW, "winreg.h", (ERROR_ACCESS_DENIED, ERROR_CHILD_MUST_BE_VOLATILE),
    [](Ctx& c, HKEY root, LPCWSTR sub, DWORD reserved, LPWSTR, DWORD options, REGSAM sam, auto, PHKEY key, LPDWORD) {
      c.key(root, 0)
          .access(sam)
          .need(sub, "lpSubKey: a name (not NULL)")
          .need(!reserved, "Reserved: 0")
          .bits(options, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE, "dwOptions: REG_OPTION_")
          .buf("phkResult", key, sizeof(*key))
          .gotOut(kKey, key, !c.r, sam);
    })
// A key opened with KEY_QUERY_VALUE; the data's size comes with the data, and the bytes past the value
// stay as they were.
ROW(RegQueryValueExW, "winreg.h", (ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ERROR_ACCESS_DENIED),
    [](Ctx& c, HKEY key, LPCWSTR, LPDWORD reserved, LPDWORD, LPBYTE data, LPDWORD cb) {
      c.key(key, KEY_QUERY_VALUE | GENERIC_READ)
          .need(!reserved, "lpReserved: NULL")
          .need(!data || cb, "lpcbData: with lpData")
          .buf("lpData", data, data && cb ? *cb : 0);
    })
// A key opened with KEY_SET_VALUE; a string's size counts its terminator, a REG_DWORD is four bytes.
ROW(RegSetValueExW, "winreg.h", (ERROR_ACCESS_DENIED, ERROR_NO_SYSTEM_RESOURCES),
    [](Ctx& c, HKEY key, LPCWSTR, DWORD reserved, DWORD type, const BYTE* data, DWORD cb) {
      const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
      c.key(key, KEY_SET_VALUE | GENERIC_WRITE)
          .need(!reserved && type <= REG_QWORD, "Reserved 0, a REG_ type")
          .buf("lpData", data, cb, false)
          .need(type != REG_DWORD || cb == sizeof(DWORD), "cbData: four bytes for REG_DWORD")
          .need(!text || (data && cb >= 2 && cb % 2 == 0 && !data[cb - 1] && !data[cb - 2]),
                "cbData: the string and its null");
    })
// A key opened through the boundary, once (a predefined key is left alone).
ROW(RegCloseKey, "winreg.h", (ERROR_INVALID_HANDLE), [](Ctx& c, HKEY key) {
  if (!Predefined(key)) c.free("hKey", key, {kKey});
})
// One to eight subauthorities; FreeSid frees the SID, once, telling no error; membership is asked of
// the thread's effective token (NULL) for a SID the caller holds.
ROW(AllocateAndInitializeSid, "securitybaseapi.h", (ERROR_NOT_ENOUGH_MEMORY),
    [](Ctx& c, PSID_IDENTIFIER_AUTHORITY authority, BYTE n, auto, auto, auto, auto, auto, auto, auto, auto, PSID* sid) {
      c.need(authority && n >= 1 && n <= 8, "nSubAuthorityCount: 1 to 8")
          .buf("pSid", sid, sizeof(*sid))
          .gotOut(kSid, sid, c.r);
    })
ROW(FreeSid, "securitybaseapi.h", (), [](Ctx& c, PSID sid) { c.free("pSid", sid, {kSid}); })
ROW(CheckTokenMembership, "securitybaseapi.h", (ERROR_NO_IMPERSONATION_TOKEN, ERROR_ACCESS_DENIED),
    [](Ctx& c, HANDLE, PSID sid, PBOOL member) {
      c.use("SidToCheck", sid, {kSid}), c.buf("IsMember", member, sizeof(*member));
    })

// -- setupapi, newdev: a set of SetupDiGetClassDevs (DIGCF_ flags; a class unless DIGCF_ALLCLASSES),
// destroyed once; SP_DEVINFO_DATA, SP_DEVICE_INTERFACE_DATA and the detail's fixed part with their own
// cbSize; no buffer, no size.
ROW(SetupDiGetClassDevsW, "setupapi.h", (ERROR_INVALID_FLAGS, ERROR_INVALID_PARAMETER),
    [](Ctx& c, const GUID* guid, PCWSTR, HWND, DWORD flags) {
      c.bits(flags, DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE,
             "Flags: DIGCF_")
          .need(guid || (flags & DIGCF_ALLCLASSES), "ClassGuid: needed without DIGCF_ALLCLASSES")
          .got(kDevInfo, c.p<void>());
    })
ROW(SetupDiDestroyDeviceInfoList, "setupapi.h", (ERROR_INVALID_HANDLE),
    [](Ctx& c, HDEVINFO set) { c.free("DeviceInfoSet", set, {kDevInfo}); })
ROW(SetupDiEnumDeviceInterfaces, "setupapi.h", (ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER),
    [](Ctx& c, HDEVINFO set, PSP_DEVINFO_DATA dev, const GUID* guid, DWORD, PSP_DEVICE_INTERFACE_DATA data) {
      c.use("DeviceInfoSet", set, {kDevInfo});
      c.dev(dev, false)
          .need(guid, "InterfaceClassGuid")
          .need(data && data->cbSize == sizeof(*data), "DeviceInterfaceData: cbSize");
    })
ROW(SetupDiGetDeviceInterfaceDetailW, "setupapi.h",
    (ERROR_NOT_ENOUGH_MEMORY, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_USER_BUFFER),
    [](Ctx& c, HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD cb, PDWORD,
       PSP_DEVINFO_DATA dev) {
      c.use("DeviceInfoSet", set, {kDevInfo});
      c.dev(dev, false)
          .need(iface && iface->cbSize == sizeof(*iface), "DeviceInterfaceData: cbSize")
          .need(detail ? detail->cbSize == sizeof(*detail) && cb >= sizeof(*detail) : !cb,
                "DeviceInterfaceDetailData: cbSize, room")
          .buf("DeviceInterfaceDetailData", detail, cb);
    })
ROW(SetupDiEnumDeviceInfo, "setupapi.h", (ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER),
    [](Ctx& c, HDEVINFO set, DWORD, PSP_DEVINFO_DATA dev) { c.use("DeviceInfoSet", set, {kDevInfo}), c.dev(dev, true); })
ROW(SetupDiGetDeviceRegistryPropertyW, "setupapi.h", (ERROR_INVALID_DATA, ERROR_INSUFFICIENT_BUFFER),
    [](Ctx& c, HDEVINFO set, PSP_DEVINFO_DATA dev, DWORD property, PDWORD, PBYTE buffer, DWORD cb, PDWORD) {
      c.use("DeviceInfoSet", set, {kDevInfo});
      c.dev(dev, true)
          .need(property < SPDRP_MAXIMUM_PROPERTY, "Property: an SPDRP_ property")
          .need(buffer || !cb, "PropertyBufferSize: 0 when PropertyBuffer is NULL")
          .out("PropertyBuffer", buffer, cb);
    })
// A device's driver or device key, global or per profile.
ROW(SetupDiOpenDevRegKey, "setupapi.h", (ERROR_KEY_DOES_NOT_EXIST, ERROR_ACCESS_DENIED),
    [](Ctx& c, HDEVINFO set, PSP_DEVINFO_DATA dev, DWORD scope, DWORD, DWORD type, REGSAM sam) {
      c.use("DeviceInfoSet", set, {kDevInfo});
      c.dev(dev, true)
          .access(sam)
          .need(scope == DICS_FLAG_GLOBAL || scope == DICS_FLAG_CONFIGSPECIFIC, "Scope: DICS_FLAG_")
          .need(type == DIREG_DEV || type == DIREG_DRV, "KeyType: DIREG_DEV or DIREG_DRV")
          .got(kKey, c.p<void>(), sam);
    })
// A device id, the package by full path, the INSTALLFLAG_ bits of Windows 7.
ROW(UpdateDriverForPlugAndPlayDevicesW, "newdev.h",
    (ERROR_NO_MORE_ITEMS, ERROR_NO_SUCH_DEVINST, ERROR_ACCESS_DENIED, ERROR_IN_WOW64),
    [](Ctx& c, HWND, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL) {
      c.need(id && *id && wcslen(id) < MAX_DEVICE_ID_LEN, "HardwareId: a device id")
          .need(FullPath(inf), "FullInfPath: a full path")
          .bits(flags, INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE, "InstallFlags: INSTALLFLAG_");
    })

// -- version: version data the caller still holds; documented for GetFileVersionInfo's copy.
ROW(VerQueryValueW, "winver.h", (), [](Ctx& c, LPCVOID block, LPCWSTR sub, LPVOID* out, PUINT len) {
  c.need(c.find(block, kLocked), "pBlock: version data still held")
      .need(sub && out && len, "lpSubBlock, lplpBuffer, puLen")
      .kept(false,
            "pBlock is a locked RT_VERSION resource, read in place: documented for GetFileVersionInfo's copy; "
            "Windows' VerQueryValueW reads a 32-bit block without writing to it");
})

// -- ole32, oleaut32: pvReserved NULL and COINIT_ flags, each success balanced by CoUninitialize on the
// thread; security, objects and proxies after CoInitializeEx.
ROW(CoInitializeEx, "combaseapi.h", (E_INVALIDARG, E_OUTOFMEMORY, E_UNEXPECTED, RPC_E_CHANGED_MODE),
    [](Ctx& c, LPVOID reserved, DWORD mode) {
      c.need(!reserved, "pvReserved: NULL")
          .bits(mode, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY, "COINIT_");
      if (SUCCEEDED(static_cast<HRESULT>(c.r))) c.got(kCom, ThreadKey());
    })
ROW(CoUninitialize, "combaseapi.h", (kNever), [](Ctx& c) { c.free("the thread", ThreadKey(), {kCom}); })
// -1 lets COM choose (then no list); RPC_C_ levels; reserved pointers NULL.
ROW(CoInitializeSecurity, "combaseapi.h", (RPC_E_TOO_LATE, RPC_E_NO_GOOD_SECURITY_PACKAGES, E_OUTOFMEMORY),
    [](Ctx& c, PSECURITY_DESCRIPTOR, LONG cAuth, SOLE_AUTHENTICATION_SERVICE* list, void* r1, DWORD authn, DWORD imp, void*,
       DWORD caps, void* r3) {
      c.com()
          .need(cAuth == -1 ? !list : cAuth >= 0, "cAuthSvc: -1 with asAuthSvc NULL, or the list's count")
          .need(!r1 && !r3, "pReserved: NULL")
          .need(
              authn <= RPC_C_AUTHN_LEVEL_PKT_PRIVACY && imp >= RPC_C_IMP_LEVEL_ANONYMOUS && imp <= RPC_C_IMP_LEVEL_DELEGATE,
              "RPC_C_ levels")
          .bits(caps,
                kEoac | EOAC_ACCESS_CONTROL | EOAC_APPID | EOAC_DYNAMIC | EOAC_REQUIRE_FULLSIC | EOAC_AUTO_IMPERSONATE |
                    EOAC_DISABLE_AAA,
                "EOAC_");
    })
ROW(CoCreateInstance, "combaseapi.h", (REGDB_E_CLASSNOTREG, E_NOINTERFACE, CLASS_E_NOAGGREGATION),
    [](Ctx& c, REFCLSID, LPUNKNOWN, DWORD context, REFIID, LPVOID* out) {
      c.com()
          .bits(context,
                CLSCTX_ALL | CLSCTX_NO_CODE_DOWNLOAD | CLSCTX_NO_CUSTOM_MARSHAL | CLSCTX_ENABLE_CODE_DOWNLOAD |
                    CLSCTX_NO_FAILURE_LOG | CLSCTX_DISABLE_AAA | CLSCTX_ENABLE_AAA | CLSCTX_ACTIVATE_64_BIT_SERVER,
                "CLSCTX_")
          .buf("ppv", out, sizeof(*out));
    })
// A proxy; the RPC_C_AUTHN_ and _AUTHZ_ services, levels and EOAC_ capabilities a proxy takes.
ROW(CoSetProxyBlanket, "combaseapi.h", (E_INVALIDARG, E_OUTOFMEMORY),
    [](Ctx& c, IUnknown* proxy, DWORD authn, DWORD authz, OLECHAR*, DWORD level, DWORD imp, auto, DWORD caps) {
      c.com()
          .need(proxy, "pProxy")
          .need(authn == RPC_C_AUTHN_DEFAULT || authn <= RPC_C_AUTHN_GSS_KERBEROS, "dwAuthnSvc")
          .need(authz == RPC_C_AUTHZ_DEFAULT || authz <= RPC_C_AUTHZ_DCE, "dwAuthzSvc")
          .need(level <= RPC_C_AUTHN_LEVEL_PKT_PRIVACY && imp <= RPC_C_IMP_LEVEL_DELEGATE, "RPC_C_ levels")
          .need(caps == EOAC_DEFAULT || !(caps & ~kEoac), "dwCapabilities: EOAC_ flags a proxy takes");
    })
// A BSTR of SysAllocString (which tells no error), freed once by SysFreeString (NULL is ignored); the
// caller's VARIANT.
ROW(SysAllocString, "oleauto.h", (), [](Ctx& c, const OLECHAR*) { c.got(kBstr, c.p<void>()); })
ROW(SysFreeString, "oleauto.h", (kNever), [](Ctx& c, BSTR b) {
  if (b) c.free("bstrString", b, {kBstr});
})
ROW(VariantInit, "oleauto.h", (kNever), [](Ctx& c, VARIANTARG* v) { c.buf("pvarg", v, sizeof(*v)); })
ROW(VariantClear, "oleauto.h", (DISP_E_BADVARTYPE, E_INVALIDARG),
    [](Ctx& c, VARIANTARG* v) { c.buf("pvarg", v, sizeof(*v)); })

// -- looked up at run time: the caller's structure; Windows 6.0 or later's numbers and a place for the
// product type (no error told); LOAD_LIBRARY_SEARCH_ flags a default takes.
CONTRACT(LookedUp, GetNativeSystemInfo, "sysinfoapi.h", (kNever),
         [](Ctx& c, LPSYSTEM_INFO si) { c.buf("lpSystemInfo", si, sizeof(*si)); })
CONTRACT(LookedUp, GetProductInfo, "sysinfoapi.h", (), [](Ctx& c, DWORD major, DWORD, DWORD, DWORD, PDWORD type) {
  c.need(major >= 6, "dwOSMajorVersion: 6 or more").buf("pdwReturnedProductType", type, sizeof(*type));
})
CONTRACT(LookedUp, SetDefaultDllDirectories, "libloaderapi.h", (ERROR_INVALID_PARAMETER), [](Ctx& c, DWORD flags) {
  c.need(flags, "DirectoryFlags")
      .bits(flags,
            LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                LOAD_LIBRARY_SEARCH_USER_DIRS,
            "LOAD_LIBRARY_SEARCH_");
})

// --- The checked entries.
template <class Table> Table& Target();
template <> os::Api& Target<os::Api>() { return behind; }
template <> LookedUp& Target<LookedUp>() { return g_lookedUp; }

template <class Table, class F, F Table::*Entry> struct Checked;
template <class Table, class R, class... A, R (*Table::*Entry)(A...)> struct Checked<Table, R (*)(A...), Entry> {
  using Rules = Row<Table, R (*)(A...), Entry>;
  static R Call(A... a) {
    Phase(false, 0, a...);
    site = __builtin_return_address(0);
    if constexpr (std::is_void_v<R>) {
      (Target<Table>().*Entry)(a...), Phase(true, 0, a...);
    } else if constexpr (std::is_pointer_v<R>) {
      return reinterpret_cast<R>(Phase(true, reinterpret_cast<ULONG_PTR>((Target<Table>().*Entry)(a...)), a...));
    } else {
      return static_cast<R>(
          Phase(true, static_cast<ULONG_PTR>(static_cast<LONG_PTR>((Target<Table>().*Entry)(a...))), a...));
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
      if (g_handler)
        g_handler(text);
      else
        ADD_FAILURE() << text;
    }
    --checking;
    ::SetLastError(error);
    return c.r;
  }
};

// An export of a module loaded for running, not one mapped as data. A function the tool looks up is
// handed out checked, as the boundary's entries are.
#define HAND_OUT(fn)                                                 \
  if (c.after && c.r && !IS_INTRESOURCE(name) && !strcmp(name, #fn)) \
    g_lookedUp.fn = reinterpret_cast<decltype(g_lookedUp.fn)>(c.r),  \
    c.r = reinterpret_cast<ULONG_PTR>(&Checked<LookedUp, decltype(LookedUp::fn), &LookedUp::fn>::Call);
ROW(GetProcAddress, "libloaderapi.h", (ERROR_PROC_NOT_FOUND), [](Ctx& c, HMODULE h, LPCSTR name) {
  c.mod("hModule", h, false);
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

Contracts::~Contracts() { os::api = behind, g_installed = false; }
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
    if (Owed(e.kind) && e.seq >= _start)
      out << kKindNames[e.kind] << ' ' << key.second << " of " << e.by << " not released\n";
  if (Unmatched()) out << Unmatched() << " released without being held\n";
  return out.str();
}

}  // namespace testing_os
