#include "tests/support/contracts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "tests/support/leaks.h"

namespace testing_os {

os::Api behind;
int checking = 0;
std::optional<DWORD> (*fault)(const Call&) = nullptr;
void (*ended)(const Call&, bool, DWORD) = nullptr;

namespace {

bool g_installed = false;
void (*g_handler)(const std::string&) = nullptr;

// --- What the process holds: every handle, block and object the tool acquired through the boundary,
// by kind, with the access it was opened with, its size and the module it belongs to.
enum Kind { kFile, kDevice, kMutex, kModule, kDataModule, kBorrowed, kKey, kDevInfo, kLocal, kHeapBlock };
enum MoreKinds { kSid = kHeapBlock + 1, kBstr, kCookie, kCom, kHeap, kResource, kResData };
const char* Name(int kind) {
  const char* name =
      "file\0device\0mutex\0module\0module mapped as data\0module the caller did not load\0registry key\0"
      "device information set\0local memory\0heap block\0SID\0BSTR\0WOW64 redirection cookie\0"
      "COM initialisation\0heap\0resource\0resource data";
  while (kind--) name += strlen(name) + 1;
  return name;
}
// Kinds that share one space of values (a kernel handle, a module handle); whose release is the caller's (a
// borrowed module, the process heap and a module's resources go without one).
int Family(int kind) { return kind <= kMutex ? kFile : kind <= kBorrowed ? kModule : kind; }
bool Owed(int kind) { return kind != kBorrowed && kind < kHeap; }
constexpr unsigned Of(int kind) { return 1u << kind; }

struct Entry {
  int kind, count;
  const char* by;
  DWORD access;
  ULONG_PTR size, owner;
  long seq;
};
std::map<std::pair<int, ULONG_PTR>, Entry> g_live;
long g_seq = 0, g_unmatched = 0;

bool Predefined(ULONG_PTR key) { return key >= ULONG_PTR(HKEY_CLASSES_ROOT) && key <= ULONG_PTR(HKEY_CURRENT_CONFIG); }
bool FullPath(LPCWSTR p) { return p && ((p[0] && p[1] == L':' && p[2] == L'\\') || !wcsncmp(p, L"\\\\", 2)); }
// The device namespace, or a device interface's path; not a drive, UNC or volume path of the file namespace.
bool Device(LPCWSTR p) {
  return !wcsncmp(p, L"\\\\.\\", 4) ||
         (!wcsncmp(p, L"\\\\?\\", 4) && p[5] != L':' && wcsncmp(p + 4, L"UNC\\", 4) && wcsncmp(p + 4, L"Volume{", 7));
}

// The generic kinds of rule, each on an argument i (kThread: the calling thread; kResult: the result):
// kOpen: an open handle of the kinds j, opened with any of the rights x (none: any right).
// kIn, kInOut, kOut: a buffer of x-byte units, argument j's count of them (kBytes: x bytes; Deref(k): as
//   many as argument k points to), read, written, or filled whole by the call.
// kSize: a structure whose first DWORD is its size, x or y (j: NULL allowed).
// kMust, kOnly: flags with all of x set; flags of x only.
// kNeed: not NULL, unless argument j is not. kMod: a module the process holds (j: NULL allowed; x: one
//   mapped as data allowed). kPath: a fully qualified path. kOnCom: COM initialised on the thread.
// kFree: released by its own function, once (j: the kinds; x: NULL ignored). kRelease: a release of what
//   the caller holds outside the boundary.
// kGet: acquired on success, the result or what argument i points to (j: the kind; x: the argument with
//   its access); kGetSized: with the size in argument x and the owner in argument y; kGetLoaded: a module,
//   one mapped as data when argument y has any of the flags x.
enum Op { kOpen, kIn, kInOut, kOut, kSize, kMust, kOnly, kNeed };
enum MoreOps { kMod = kNeed + 1, kPath, kOnCom, kFree, kRelease, kGet, kGetSized, kGetLoaded };
constexpr int kThread = -2, kResult = -1, kBytes = -1;
constexpr int Deref(int k) { return -3 - k; }
struct Rule {
  int op;
  int i = 0, j = 0;
  DWORD x = 0, y = 0;
};
Rule Size(int i, DWORD size, DWORD or_ = 0, bool optional = false) { return {kSize, i, optional, size, or_ ? or_ : size}; }
Rule Get(int kind, int from = kResult, int accessArg = -1) { return {kGet, from, kind, DWORD(accessArg), 0}; }
Rule GetSized(int kind, int sizeArg, int ownerArg) { return {kGetSized, kResult, kind, DWORD(sizeArg), DWORD(ownerArg)}; }

// --- The contract table: one row per function the tool calls: its page of Microsoft's documentation,
// "<function> function (<header>)"; how it fails and the errors that page gives for a failure as the tool
// calls it; its rules, and a function for a rule of no generic kind.
struct Ctx;
struct Head {  // the function, its page's header, how it fails and with which errors (HRESULTs among them)
  const char *name, *header;
  Fails fails;
  std::initializer_list<long long> codes;
};
struct Row : Head {
  std::vector<Rule> rules = {};
  void (*more)(Ctx&) = nullptr;
  std::vector<DWORD> errors = std::vector<DWORD>(codes.begin(), codes.end());
  bool releases = std::any_of(rules.begin(), rules.end(), [](const Rule& u) { return u.op == kFree || u.op == kRelease; });
};

// One call being checked: before it goes on (after false), where the checks act and releases are
// counted, then once it succeeded, with its result r, where acquisitions are counted.
struct Ctx {
  const Row& row;
  const ULONG_PTR* a;
  bool after;
  ULONG_PTR r;
  std::vector<std::string> broken;

  // A rule's text is made only when the rule is broken: the checker runs on every call.
  Ctx& need(bool ok, int i, const char* rule) { return ok ? *this : say(i, rule); }
  Ctx& say(int i, const std::string& rule) {
    return broken.push_back((i < 0 ? "the calling thread" : "argument " + std::to_string(i)) + ": " + rule), *this;
  }
  Entry* find(ULONG_PTR v, int kind) {
    const auto it = g_live.find({Family(kind), v});
    return it == g_live.end() ? nullptr : &it->second;
  }
  Entry* use(int i, unsigned kinds, DWORD anyOf) {
    Entry* e = find(a[i], __builtin_ctz(kinds));
    if (!e || !(kinds & Of(e->kind)))
      say(i, std::string("an open ") + Name(__builtin_ctz(kinds)) + (e ? ", not a " : "") + (e ? Name(e->kind) : ""));
    else
      need(!anyOf || (e->access & (anyOf | GENERIC_ALL | MAXIMUM_ALLOWED)), i, "opened with the access the call needs");
    return e;
  }
  // What the call acquired; a value held without a release owed is taken over.
  void got(int kind, ULONG_PTR v, DWORD access, ULONG_PTR size = 0, ULONG_PTR owner = 0) {
    auto [it, fresh] = g_live.try_emplace({Family(kind), v});
    if (fresh || !Owed(it->second.kind)) it->second = Entry{kind, 0, row.name, access, size, owner, g_seq++};
    it->second.count += Owed(kind);
  }
  // Released by the function that matches its acquisition, once; a module's resources go with it.
  void free(int i, ULONG_PTR v, unsigned kinds) {
    const auto it = g_live.find({Family(__builtin_ctz(kinds)), v});
    if (it == g_live.end() || !Owed(it->second.kind) || !(kinds & Of(it->second.kind)))
      return ++g_unmatched, void(say(i, std::string("an open ") + Name(__builtin_ctz(kinds)) + ", released once"));
    if (--it->second.count > 0) return;
    g_live.erase(it);
    for (auto e = g_live.begin(); e != g_live.end();)
      e = e->second.owner == v && !Owed(e->second.kind) ? g_live.erase(e) : std::next(e);
  }
  // A buffer of the size given, within the block that holds it. One the call fills is used whole first:
  // Windows may use all of the size the caller gives, and a size larger than the buffer tramples what
  // lies behind it.
  void buf(int i, ULONG_PTR bytes, bool whole) {
    const ULONG_PTR p = a[i];
    if (!bytes) return;
    if (!p) return void(say(i, "a buffer where a size is given"));
    const size_t before = broken.size();
    for (const auto& [key, e] : g_live)
      if ((e.kind == kHeapBlock || e.kind == kLocal) && p >= key.second && p < key.second + e.size)
        need(p + bytes <= key.second + e.size, i, "no larger than its block");
    if (whole && broken.size() == before) memset(reinterpret_cast<void*>(p), 0xFD, bytes);
  }
  // A module the process holds: loaded through the boundary, or by its own loader.
  void mod(int i, bool dataToo) {
    if (const Entry* e = find(a[i], kModule)) return void(need(dataToo || e->kind != kDataModule, i, "loaded for running"));
    HMODULE held = nullptr;
    const DWORD how = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    need(GetModuleHandleExW(how, LPCWSTR(a[i]), &held) && ULONG_PTR(held) == a[i], i, "a module the process holds");
  }

  void apply(const Rule& u) {
    const ULONG_PTR v = u.i >= 0 ? a[u.i] : u.i == kThread ? GetCurrentThreadId() : r;
    if (after && u.op == kGet)  // CreateFileW's file may be a device
      got(u.j == kFile && Device(reinterpret_cast<LPCWSTR>(a[0])) ? kDevice : u.j,
          u.i >= 0 ? *reinterpret_cast<ULONG_PTR*>(v) : v, u.x + 1 ? DWORD(a[u.x]) : 0);
    if (after && u.op == kGetSized) got(u.j, v, 0, u.x + 1 ? a[u.x] : 0, u.y + 1 ? a[u.y] : 0);
    if (after && u.op == kGetLoaded) got(DWORD(a[u.y]) & u.x ? kDataModule : kModule, v, 0);
    if (after) return;
    if (u.op == kOpen && (u.j != int(Of(kKey)) || !Predefined(v))) use(u.i, u.j, u.x);  // a predefined key is open
    const DWORD* const deref = u.j < kBytes ? reinterpret_cast<const DWORD*>(a[Deref(u.j)]) : nullptr;
    if (u.op >= kIn && u.op <= kOut)
      buf(u.i, u.x * (u.j == kBytes ? 1 : u.j >= 0 ? DWORD(a[u.j]) : deref ? *deref : 0), u.op == kOut);
    if (u.op == kSize)
      need(v ? *reinterpret_cast<DWORD*>(v) == u.x || *reinterpret_cast<DWORD*>(v) == u.y : u.j, u.i,
           "cbSize or dwSize of its structure");
    if (u.op == kMust) need((DWORD(v) & u.x) == u.x, u.i, "flags the call needs");
    if (u.op == kOnly) need(!(DWORD(v) & ~u.x), u.i, "only flags the call takes");
    if (u.op == kNeed) need(v || a[u.j], u.i, "not NULL");
    if (u.op == kMod && (v || !u.j)) mod(u.i, u.x);
    if (u.op == kPath) need(FullPath(reinterpret_cast<LPCWSTR>(v)), u.i, "a fully qualified path");
    if (u.op == kOnCom) need(find(GetCurrentThreadId(), kCom), kThread, "COM initialised on it (CoInitializeEx)");
    if (u.op == kFree && (v || !u.x) && (u.j != int(Of(kKey)) || !Predefined(v))) free(u.i, v, u.j);
  }
};

constexpr unsigned kHandles = Of(kFile) | Of(kDevice) | Of(kMutex), kLoaded = Of(kModule) | Of(kDataModule);
constexpr DWORD kReadAccess = GENERIC_READ | FILE_READ_DATA, kWriteAccess = GENERIC_WRITE | FILE_WRITE_DATA;
constexpr DWORD kAsData = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
constexpr DWORD kProxyCaps =
    EOAC_MUTUAL_AUTH | EOAC_STATIC_CLOAKING | EOAC_DYNAMIC_CLOAKING | EOAC_ANY_AUTHORITY | EOAC_MAKE_FULLSIC | EOAC_DEFAULT;
const std::initializer_list<long long> kLoadErrors = {ERROR_MOD_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_BAD_EXE_FORMAT,
                                                      ERROR_DLL_INIT_FAILED};

const Row kRows[] = {
    // -- kernel32: errors, memory, time, process. A system text with no inserts (none are given), into a
    // buffer it allocates (LocalFree frees it). A function without a row (the last error and the error mode,
    // the time, the process and its command line, a pause, the debugger's output, the native system
    // information, VariantInit) cannot fail, and no rule of its page can break as the tool calls it.
    {{"FormatMessageA", "winbase.h", kZero, {ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND}},
     {{kMust, 0, 0, FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, 0},
      {kInOut, 4, kBytes, sizeof(LPSTR)},
      Get(kLocal, 4)}},
    {{"LocalAlloc", "winbase.h", kNull, {ERROR_NOT_ENOUGH_MEMORY}}, {GetSized(kLocal, 1, -1)}},
    {{"LocalFree", "winbase.h", kSame, {ERROR_INVALID_HANDLE}}, {{kFree, 0, Of(kLocal), true}}},
    // The process heap, which lasts as long as the process (the page gives NULL and a last error for a
    // failure); a block of it fails without telling an error, and goes back to it once (NULL is undefined).
    {{"GetProcessHeap", "heapapi.h", kNull, {}}, {Get(kHeap)}},
    {{"HeapAlloc", "heapapi.h", kNull, {}}, {{kOpen, 0, Of(kHeap)}, GetSized(kHeapBlock, 2, 0)}},
    {{"HeapFree", "heapapi.h", kZero, {ERROR_INVALID_PARAMETER}}, {{kOpen, 0, Of(kHeap)}, {kFree, 2, Of(kHeapBlock)}}},
    // Flags of its page and two terminated strings: neither of its errors can come, so it cannot fail.
    {{"CompareStringW", "stringapiset.h", kNever, {}}},
    // Flags 0, a size query and then a target of the size it gave: none of its page's errors can come
    // (without WC_ERR_INVALID_CHARS an unpaired surrogate becomes the default character).
    {{"WideCharToMultiByte", "stringapiset.h", kNever, {}}, {{kOut, 4, 5, 1}}},
    {{"GetVersionExW", "sysinfoapi.h", kZero, {ERROR_INSUFFICIENT_BUFFER}},
     {Size(0, sizeof(OSVERSIONINFOW), sizeof(OSVERSIONINFOEXW)), {kInOut, 0, Deref(0), 1}}},
    {{"GetProductInfo", "sysinfoapi.h", kZero, {}}},
    {{"SetDefaultDllDirectories", "libloaderapi.h", kZero, {ERROR_INVALID_PARAMETER}}},

    // -- kernel32: files, devices, kernel objects. A move of 0 from the end cannot go below the start (no
    // ERROR_NEGATIVE_SEEK); without an OVERLAPPED the count written or returned needs a place; the model
    // number's control code asks for no access.
    {{"CreateFileW",
      "fileapi.h",
      kInvalid,
      {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}},
     {Get(kFile, kResult, 1)}},
    {{"SetFilePointer", "fileapi.h", kSeek, {}}, {{kOpen, 0, Of(kFile), kReadAccess | kWriteAccess}}},
    {{"WriteFile", "fileapi.h", kZero, {ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION}},
     {{kOpen, 0, Of(kFile) | Of(kDevice), kWriteAccess | FILE_APPEND_DATA}, {kIn, 1, 2, 1}, {kNeed, 3, 4}}},
    {{"FlushFileBuffers", "fileapi.h", kZero, {ERROR_ACCESS_DENIED, ERROR_DISK_FULL}},
     {{kOpen, 0, Of(kFile), kWriteAccess}}},
    {{"CloseHandle", "handleapi.h", kZero, {ERROR_INVALID_HANDLE}}, {{kFree, 0, kHandles}}},
    {{"DeviceIoControl", "ioapiset.h", kZero, {ERROR_INVALID_FUNCTION, ERROR_NOT_READY, ERROR_GEN_FAILURE}},
     {{kOpen, 0, Of(kDevice)}, {kIn, 2, 3, 1}, {kOut, 4, 5, 1}, {kNeed, 6, 7}}},
    {{"CreateMutexW", "synchapi.h", kNull, {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}}, {Get(kMutex)}},
    // Of the process's own pseudo handle, which has every access: it cannot fail.
    {{"IsWow64Process", "wow64apiset.h", kNever, {}}},
    {{"Wow64DisableWow64FsRedirection", "wow64apiset.h", kZero, {ERROR_INVALID_FUNCTION}}, {Get(kCookie, 0)}},
    {{"Wow64RevertWow64FsRedirection", "wow64apiset.h", kZero, {ERROR_INVALID_FUNCTION}}, {{kFree, 0, Of(kCookie)}}},

    // -- kernel32: modules and resources. A module by its full path: the tool runs elevated, and a bare
    // name is looked for in its own folder first (Dynamic-Link Library Security); the flags
    // of Windows 7 without KB2533623 (no LOAD_LIBRARY_SEARCH_). A resource of the module it names.
    {{"GetModuleHandleW", "libloaderapi.h", kNull, {ERROR_MOD_NOT_FOUND}}, {Get(kBorrowed)}},
    {{"GetModuleFileNameW", "libloaderapi.h", kZero, {ERROR_MOD_NOT_FOUND, ERROR_INVALID_HANDLE}},
     {{kMod, 0, true, false}, {kOut, 1, 2, sizeof(wchar_t)}}},
    {{"GetProcAddress", "libloaderapi.h", kNull, {ERROR_PROC_NOT_FOUND}}, {{kMod, 0, false, false}}},
    {{"GetSystemDirectoryW", "sysinfoapi.h", kZero, {ERROR_NOT_ENOUGH_MEMORY}}, {{kOut, 0, 1, sizeof(wchar_t)}}},
    {{"LoadLibraryW", "libloaderapi.h", kNull, kLoadErrors}, {{kPath, 0}, Get(kModule)}},
    {{"LoadLibraryExW", "libloaderapi.h", kNull, kLoadErrors},
     {{kPath, 0}, {kOnly, 2, 0, 0xFF, 0}, {kGetLoaded, kResult, 0, kAsData, 2}}},
    {{"FreeLibrary", "libloaderapi.h", kZero, {ERROR_INVALID_HANDLE}}, {{kFree, 0, kLoaded}}},
    {{"FindResourceW", "libloaderapi.h", kNull, {ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND}},
     {{kMod, 0, true, true}, GetSized(kResource, -1, 0)}},
    {{"SizeofResource", "libloaderapi.h", kZero, {ERROR_RESOURCE_DATA_NOT_FOUND}}, {{kOpen, 1, Of(kResource)}}},
    {{"LoadResource", "libloaderapi.h", kNull, {ERROR_RESOURCE_DATA_NOT_FOUND}},
     {{kOpen, 1, Of(kResource)}, GetSized(kResData, -1, 0)}},
    // The same pointer as the data's handle.
    {{"LockResource", "libloaderapi.h", kNull, {}}, {{kOpen, 0, Of(kResData)}}},

    // -- user32, comctl32. Kept: dwICC 0xFFFFFFFF; the page defines 16 ICC_ flags and Windows may refuse
    // the undefined bits and register nothing; the tool ignores the result, and its boxes need no common control.
    {{"LoadStringW", "winuser.h", kZero, {ERROR_RESOURCE_NAME_NOT_FOUND}},
     {{kMod, 0, false, true}, {kInOut, 2, 3, sizeof(wchar_t)}}},
    {{"MessageBoxW", "winuser.h", kZero, {ERROR_NOT_ENOUGH_MEMORY}}},
    {{"GetSystemMetrics", "winuser.h", kZero, {}}},
    {{"InitCommonControlsEx", "commctrl.h", kZero, {}}, {Size(0, sizeof(INITCOMMONCONTROLSEX))}},

    // -- shell32, shlwapi: paths in buffers of MAX_PATH characters where they change. PathRemoveFileSpecW's
    // FALSE is "nothing removed", no failure, and cannot come of the module's full path.
    {{"CommandLineToArgvW", "shellapi.h", kNull, {ERROR_NOT_ENOUGH_MEMORY}}, {Get(kLocal)}},
    {{"PathFileExistsW", "shlwapi.h", kZero, {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}}},
    {{"PathRemoveFileSpecW", "shlwapi.h", kNever, {}}, {{kInOut, 0, kBytes, MAX_PATH * sizeof(wchar_t)}}},
    {{"PathAppendW", "shlwapi.h", kZero, {}}, {{kInOut, 0, kBytes, MAX_PATH * sizeof(wchar_t)}}},

    // -- advapi32: a subkey of an open or predefined key; reading needs query access, writing set access;
    // the data's size with the data, the bytes past the value left as they were; a string's size counting
    // its terminator, a REG_DWORD four bytes. With TokenHandle NULL CheckTokenMembership duplicates the
    // thread's primary token: no ERROR_NO_IMPERSONATION_TOKEN.
    {{"RegOpenKeyExW", "winreg.h", kStatus, {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
     {{kOpen, 0, Of(kKey)}, Get(kKey, 4, 3)}},
    {{"RegCreateKeyExW", "winreg.h", kStatus, {ERROR_ACCESS_DENIED, ERROR_CHILD_MUST_BE_VOLATILE}},
     {{kOpen, 0, Of(kKey)}, Get(kKey, 7, 5)}},
    {{"RegQueryValueExW", "winreg.h", kStatus, {ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ERROR_ACCESS_DENIED}},
     {{kOpen, 0, Of(kKey), KEY_QUERY_VALUE | GENERIC_READ}, {kInOut, 4, Deref(5), 1}}},
    {{"RegSetValueExW", "winreg.h", kStatus, {ERROR_ACCESS_DENIED, ERROR_NO_SYSTEM_RESOURCES}},
     {{kOpen, 0, Of(kKey), KEY_SET_VALUE | GENERIC_WRITE}, {kIn, 4, 5, 1}},
     [](Ctx& c) {
       const DWORD type = DWORD(c.a[3]), cb = DWORD(c.a[5]);
       const BYTE* data = reinterpret_cast<const BYTE*>(c.a[4]);
       c.need(type != REG_DWORD || cb == sizeof(DWORD), 5, "four bytes for REG_DWORD")
           .need((type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) ||
                     (data && cb >= 2 && cb % 2 == 0 && !data[cb - 1] && !data[cb - 2]),
                 5, "the string and its null");
     }},
    {{"RegCloseKey", "winreg.h", kStatus, {ERROR_INVALID_HANDLE}}, {{kFree, 0, Of(kKey)}}},
    {{"AllocateAndInitializeSid", "securitybaseapi.h", kZero, {ERROR_NOT_ENOUGH_MEMORY}}, {Get(kSid, 10)}},
    {{"CheckTokenMembership", "securitybaseapi.h", kZero, {ERROR_ACCESS_DENIED}}, {{kOpen, 1, Of(kSid)}}},
    {{"FreeSid", "securitybaseapi.h", kSame, {}}, {{kFree, 0, Of(kSid)}}},

    // -- setupapi, newdev: SP_DEVINFO_DATA, SP_DEVICE_INTERFACE_DATA and the detail's fixed part with their
    // own cbSize (8 for the detail on 64-bit Windows); a set destroyed once. The package by full path, from
    // a 64-bit process (no ERROR_IN_WOW64), run by an administrator.
    {{"SetupDiGetClassDevsW", "setupapi.h", kInvalid, {ERROR_NOT_ENOUGH_MEMORY}}, {Get(kDevInfo)}},
    {{"SetupDiEnumDeviceInterfaces", "setupapi.h", kZero, {ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER}},
     {{kOpen, 0, Of(kDevInfo)}, Size(1, sizeof(SP_DEVINFO_DATA), 0, true), Size(4, sizeof(SP_DEVICE_INTERFACE_DATA))}},
    {{"SetupDiGetDeviceInterfaceDetailW",
      "setupapi.h",
      kZero,
      {ERROR_NOT_ENOUGH_MEMORY, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_USER_BUFFER}},
     {{kOpen, 0, Of(kDevInfo)},
      Size(1, sizeof(SP_DEVICE_INTERFACE_DATA)),
      Size(2, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), 0, true),
      {kInOut, 2, 3, 1},
      Size(5, sizeof(SP_DEVINFO_DATA), 0, true)}},
    {{"SetupDiOpenDevRegKey", "setupapi.h", kInvalid, {ERROR_KEY_DOES_NOT_EXIST, ERROR_ACCESS_DENIED}},
     {{kOpen, 0, Of(kDevInfo)}, Size(1, sizeof(SP_DEVINFO_DATA)), Get(kKey, kResult, 5)}},
    {{"SetupDiEnumDeviceInfo", "setupapi.h", kZero, {ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER}},
     {{kOpen, 0, Of(kDevInfo)}, Size(2, sizeof(SP_DEVINFO_DATA))}},
    {{"SetupDiGetDeviceRegistryPropertyW", "setupapi.h", kZero, {ERROR_INVALID_DATA, ERROR_INSUFFICIENT_BUFFER}},
     {{kOpen, 0, Of(kDevInfo)}, Size(1, sizeof(SP_DEVINFO_DATA)), {kOut, 4, 5, 1}}},
    {{"SetupDiDestroyDeviceInfoList", "setupapi.h", kZero, {ERROR_INVALID_HANDLE}}, {{kFree, 0, Of(kDevInfo)}}},
    {{"UpdateDriverForPlugAndPlayDevicesW",
      "newdev.h",
      kZero,
      {ERROR_NO_MORE_ITEMS, ERROR_NO_SUCH_DEVINST, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
     {{kPath, 2}}},

    // -- version. Kept: pBlock is the locked RT_VERSION resource, read in place where the page speaks of
    // GetFileVersionInfo's copy (Windows' VerQueryValueW reads a 32-bit block without writing to it).
    {{"VerQueryValueW", "winver.h", kZero, {}}, {{kOpen, 0, Of(kResData)}}},

    // -- ole32, oleaut32: each success of CoInitializeEx undone by CoUninitialize on the thread; security,
    // objects and proxies after it. With -1 services CoInitializeSecurity has no list to find no package
    // in, CoCreateInstance with no outer object no aggregation to refuse. A proxy takes mutual
    // authentication, cloaking, any authority, full SIC and the default as capabilities.
    {{"CoInitializeEx", "combaseapi.h", kHresult, {E_INVALIDARG, E_OUTOFMEMORY, E_UNEXPECTED, RPC_E_CHANGED_MODE}},
     {{kGet, kThread, kCom, DWORD(-1), 0}}},
    {{"CoUninitialize", "combaseapi.h", kNever, {}}, {{kFree, kThread, Of(kCom)}}},
    {{"CoInitializeSecurity", "combaseapi.h", kHresult, {RPC_E_TOO_LATE, E_OUTOFMEMORY}}, {{kOnCom}}},
    {{"CoCreateInstance", "combaseapi.h", kHresult, {REGDB_E_CLASSNOTREG, E_NOINTERFACE}}, {{kOnCom}}},
    {{"CoSetProxyBlanket", "combaseapi.h", kHresult, {E_INVALIDARG, E_OUTOFMEMORY}},
     {{kOnCom}, {kNeed, 0}, {kOnly, 7, 0, kProxyCaps, 0}}},
    {{"SysAllocString", "oleauto.h", kNull, {}}, {Get(kBstr)}},
    {{"SysFreeString", "oleauto.h", kNever, {}}, {{kFree, 0, Of(kBstr), true}}},
    {{"VariantClear", "oleauto.h", kHresult, {DISP_E_BADVARTYPE, E_INVALIDARG}}, {{kRelease}}},
};

// Runs a row's rules, tells what they found broken; leaves the thread's last error as it was.
void Check(const Row& row, const ULONG_PTR* a, const void* site, bool after, ULONG_PTR r) {
  const DWORD error = ::GetLastError();
  Ctx c{row, a, after, r, {}};
  for (const Rule& rule : row.rules) c.apply(rule);
  if (row.more && !after) row.more(c);
  for (const std::string& rule : c.broken) {
    std::ostringstream text;
    text << row.name << " at " << site << ": " << rule << " [" << row.name << " function (" << row.header << ")]";
    g_handler ? g_handler(text.str()) : void(ADD_FAILURE() << text.str());
  }
  ::SetLastError(error);
}

bool Ok(Fails f, ULONG_PTR r) {
  return f == kZero || f == kNull     ? r != 0
         : f == kInvalid              ? r && r != ULONG_PTR(INVALID_HANDLE_VALUE)
         : f == kHresult              ? LONG(r) >= 0
         : f == kSeek                 ? DWORD(r) != INVALID_SET_FILE_POINTER
         : f == kStatus || f == kSame ? r == 0
                                      : true;
}

template <class T> ULONG_PTR Word(const T& v) { return (ULONG_PTR)v; }
ULONG_PTR Word(const GUID& v) { return ULONG_PTR(&v); }  // a reference (REFCLSID, REFIID) as its address

// --- The checked entries: the rules before the call; the fault hook; the call; the rules after it.
template <class F, F os::Api::*E> struct Checked;
template <class R, class... A, R (*os::Api::*E)(A...)> struct Checked<R (*)(A...), E> {
  static inline const Row* row;
  static R Call(A... args) {
    const ULONG_PTR a[sizeof...(A) + 1] = {Word(args)...};
    const void* const site = __builtin_return_address(0);
    ++checking;
    Check(*row, a, site, false, 0);
    const testing_os::Call call{row->name, a, site, row->fails, row->releases, row->errors};
    const std::optional<DWORD> error = fault ? fault(call) : std::nullopt;
    ULONG_PTR r = 0;
    if constexpr (std::is_void_v<R>) {
      (behind.*E)(args...);
    } else if (error) {
      if (row->releases || *error == ERROR_INSUFFICIENT_BUFFER || *error == ERROR_MORE_DATA) (behind.*E)(args...);
      if (*error) ::SetLastError(*error);
      // The failure value, by Fails: kNever, kZero, kNull, kInvalid, kStatus, kHresult, kSeek, kSame.
      const ULONG_PTR failure[] = {0, 0, 0, ULONG_PTR(INVALID_HANDLE_VALUE), *error, *error, INVALID_SET_FILE_POINTER, a[0]};
      r = failure[row->fails];
      --checking;
      return (R)r;
    } else {
      r = Word((behind.*E)(args...));
    }
    const DWORD lastError = ::GetLastError();
    const bool ok = Ok(row->fails, r);
    if (ok) Check(*row, a, site, true, r);
    if (ended) ended(call, ok, row->fails == kStatus || row->fails == kHresult ? DWORD(r) : ok ? 0 : lastError);
    ::SetLastError(lastError);
    --checking;
    if constexpr (!std::is_void_v<R>) return (R)r;
  }
};

const Row& Find(const char* name) {
  for (const Row& row : kRows)
    if (!strcmp(row.name, name)) return row;
  static std::map<std::string, Row> rest;
  return rest.try_emplace(name, Row{{name, "", kNever, {}}}).first->second;
}

}  // namespace

Contracts::Contracts() {
  if (g_installed) throw std::logic_error("one contract checker at a time");
  behind = os::api;
#define CHECK_ENTRY(fn)                                           \
  Checked<decltype(os::Api::fn), &os::Api::fn>::row = &Find(#fn); \
  os::api.fn = behind.fn ? &Checked<decltype(os::Api::fn), &os::Api::fn>::Call : nullptr;
  OS_FUNCTIONS(CHECK_ENTRY)
#undef CHECK_ENTRY
  g_installed = true;
}

Contracts::~Contracts() { os::api = behind, g_installed = false; }
bool Contracts::Installed() { return g_installed; }
void OnViolation(void (*handler)(const std::string&)) { g_handler = handler; }

// --- Leaks: what the checker saw acquired since a LeakCheck began and not released.
LeakCheck::LeakCheck() : _start(g_seq), _unmatched(g_unmatched) {
  if (!g_installed) throw std::logic_error("a leak check counts through the contract checker");
}
std::string LeakCheck::Describe() const {
  std::ostringstream out;
  for (const auto& [key, e] : g_live)
    if (Owed(e.kind) && e.seq >= _start) out << Name(e.kind) << ' ' << key.second << " of " << e.by << " not released\n";
  if (g_unmatched > _unmatched) out << g_unmatched - _unmatched << " released without being held\n";
  return out.str();
}

}  // namespace testing_os
