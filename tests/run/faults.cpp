// Fault injection over the whole run, inside a simulated ZR-45 that needs the
// repair (zr45.py exec). Each mode runs once cleanly, recording every call
// through the OS boundary; then once per call N with call N failing, once per
// N with every call from N on failing, and once per C++ allocation N with
// allocation N failing. After each run the run's invariants are checked.
// Only what Wine cannot give is faked: the command line, the pauses and the
// answer to the boxes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <new>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "app/run.h"
#include "diag/runlog.h"
#include "host/guards.h"
#include "os/api.h"
#include "tests/support/leaks.h"
#include "tpm/driverversion.h"
// After the Windows headers it builds on.
#include <psapi.h>

namespace {

const wchar_t kRecordKey[] = L"Software\\Kestrova\\Vadrel";
const wchar_t kLog[] = L"C:\\Orlinth\\vadrel.log";
const wchar_t kOldImage[] = L"C:\\zr45sim\\images\\old.sys";
const wchar_t kPackageImage[] = L"C:\\Windows\\INF\\tpm\\tpm.sys";
constexpr DWORD kEarlierStatus = 638;

// The check in progress when a call is made; each may end the run with its codes.
enum Step { Entry, Com, Instance, Admin, Model, Windows, Tpm, Hotfix, Package, Driver, Confirm, Install };
// A failure is never a verdict on the model (17); the hotfix query gives 12
// when its request strings cannot be allocated.
const std::set<DWORD> kStepCodes[] = {{}, {12}, {13}, {1}, {15, 16}, {18}, {29}, {26, 12}, {28}, {27}, {11}, {12}};

// Findings that are behaviour the tool keeps.
struct Allowance {
  const char* call;
  DWORD code;
  const char* rule;  // the rule that does not hold
  int times;         // in one mode at most
  const char* why;
};
const Allowance kAllowed[] = {
    {"CoInitializeEx", 12, "log", 1, "a run without COM leaves the start line and message 104, no return-code line"},
    {"new", 17, "exit", 1, "the standard library's regex_match answers no match when one of its allocations fails"},
};
int g_excused[std::size(kAllowed)];

struct Mode {
  const char* name;
  const wchar_t* commandLine;
  bool earlierRecord;  // an earlier repair left "status" 638
  // The model rule's thousand allocations are alike in every mode: the silent runs fail them.
  Step firstAllocationStep;
};
const Mode kModes[] = {{"silent", L"vadrel.exe /s", false, Entry},
                       {"interactive", L"vadrel.exe", true, Windows},
                       {"forced", L"vadrel.exe /s /f", true, Entry}};

// What one run did, as seen from the boundary.
struct Run {
  long failAt = -1;  // the failable call that fails; -1: none
  bool persist = false;
  long newFailAt = -1;  // the C++ allocation that fails
  long calls = 0, news = 0;
  const char* failedName = nullptr;
  Step step = Entry, failedStep = Entry;
  std::vector<std::string> recordWrites;  // value names, in the order the run tried them
  bool logOpened = false;
};
Run g_run;
const Mode* g_mode = nullptr;
bool g_recording = false;  // the clean run: remember each call
std::vector<const void*> g_sites;
std::vector<const char*> g_names;
std::vector<Step> g_steps, g_newSteps;
bool g_countNews = false;
int g_quiet = 0;  // inside the harness or below the boundary: allocations not the program's
struct Quiet {
  Quiet() { ++g_quiet; }
  ~Quiet() { --g_quiet; }
};

// Notes the step a call starts, and record writes, before it may fail.
template <class... A>
void Observe(const char* name, A...) {
  static const struct { const char* name; Step step; } kMarks[] = {
      {"CoInitializeEx", Com}, {"CreateMutexW", Instance}, {"AllocateAndInitializeSid", Admin},
      {"GetVersionExW", Windows}, {"CoInitializeSecurity", Hotfix}, {"IsWow64Process", Driver},
      {"UpdateDriverForPlugAndPlayDevicesW", Install}};
  for (const auto& mark : kMarks)
    if (strcmp(name, mark.name) == 0 && g_run.step < mark.step) g_run.step = mark.step;
}
void Observe(const char*, const GUID* guid, PCWSTR, HWND, DWORD) { g_run.step = guid ? Model : Tpm; }
void Observe(const char* name, LPCWSTR path) {
  if (strcmp(name, "PathFileExistsW") == 0 && wcscmp(path, kDriverPackagePath) == 0) g_run.step = Package;
  if (strcmp(name, "GetModuleHandleW") == 0 && path && wcscmp(path, L"kernel32.dll") == 0) g_run.step = Windows;
}
void Observe(const char*, HWND, LPCWSTR, LPCWSTR, UINT type) {
  if ((type & MB_TYPEMASK) == MB_OKCANCEL) g_run.step = Confirm;
}
void Observe(const char*, HKEY, LPCWSTR name, DWORD, DWORD, const BYTE*, DWORD) {
  char narrow[32] = {};
  wcstombs(narrow, name, sizeof(narrow) - 1);
  g_run.recordWrites.push_back(narrow);
}
void Observe(const char*, LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  if (_wcsicmp(path, kLog) == 0) g_run.logOpened = true;
}

bool Inject(const char* name, const void* site) {
  const long n = g_run.calls++;
  if (g_recording) {
    g_sites.push_back(site);
    g_names.push_back(name);
    g_steps.push_back(g_run.step);
  }
  const bool fail = g_run.failAt >= 0 && (n == g_run.failAt || (g_run.persist && n > g_run.failAt));
  if (n == g_run.failAt) {
    g_run.failedName = name;
    g_run.failedStep = g_steps[n];
  }
  return fail;
}

// How a call fails: the value its type gives (null, FALSE, zero, an error
// status or HRESULT), the last error by function where it matters.
const char* const kNeverFail[] = {"GetLastError", "GetErrorMode", "SetErrorMode", "GetCurrentProcessId",
                                  "GetCurrentProcess", "GetCommandLineW", "GetProcessHeap"};
const char* const kInvalidHandle[] = {"CreateFileW", "SetupDiGetClassDevsW", "SetupDiOpenDevRegKey"};
// A release that fails still releases, so that a run leaves nothing behind for the next.
const char* const kReleases[] = {"CloseHandle", "RegCloseKey", "FreeLibrary", "SetupDiDestroyDeviceInfoList",
                                 "HeapFree", "LocalFree", "FreeSid", "VariantClear"};
const struct {
  const char* name;
  DWORD error;
} kErrors[] = {{"CreateFileW", ERROR_ACCESS_DENIED}, {"WriteFile", ERROR_DISK_FULL},
               {"FlushFileBuffers", ERROR_DISK_FULL}, {"DeviceIoControl", ERROR_GEN_FAILURE},
               {"LoadLibraryW", ERROR_MOD_NOT_FOUND}, {"LoadLibraryExW", ERROR_SHARING_VIOLATION},
               {"GetProcAddress", ERROR_PROC_NOT_FOUND},
               {"FindResourceW", ERROR_RESOURCE_TYPE_NOT_FOUND}, {"VerQueryValueW", ERROR_RESOURCE_TYPE_NOT_FOUND},
               {"CheckTokenMembership", ERROR_NO_TOKEN}, {"SetupDiEnumDeviceInterfaces", ERROR_GEN_FAILURE},
               {"SetupDiEnumDeviceInfo", ERROR_GEN_FAILURE}, {"SetupDiGetDeviceRegistryPropertyW", ERROR_GEN_FAILURE},
               {"SetupDiGetDeviceInterfaceDetailW", ERROR_GEN_FAILURE},
               {"UpdateDriverForPlugAndPlayDevicesW", ERROR_ACCESS_DENIED}};

template <size_t N>
bool OneOf(const char* name, const char* const (&names)[N]) {
  return std::any_of(names, names + N, [&](const char* n) { return strcmp(n, name) == 0; });
}

// Whether the planned failure hit one of these calls.
template <size_t N>
bool FailedOneOf(const char* const (&names)[N]) {
  return g_run.failedName && OneOf(g_run.failedName, names);
}

// One entry of the boundary wrapped: counts the call, and fails it when planned.
template <class F, F os::Api::*Entry>
struct Hook;
template <class R, class... A, R (*os::Api::*Entry)(A...)>
struct Hook<R (*)(A...), Entry> {
  static inline R (*next)(A...);
  static inline const char* name;
  static inline bool failable, release, invalidHandle;
  static inline DWORD error;

  static void Install(const char* entry) {
    name = entry;
    failable = !std::is_void_v<R> && !OneOf(entry, kNeverFail);
    release = OneOf(entry, kReleases);
    invalidHandle = OneOf(entry, kInvalidHandle);
    error = ERROR_NOT_ENOUGH_MEMORY;
    for (const auto& e : kErrors)
      if (strcmp(e.name, entry) == 0) error = e.error;
    next = os::api.*Entry;
    os::api.*Entry = &Call;
  }
  static R Call(A... a) {
    Quiet quiet;
    Observe(name, a...);
    if constexpr (!std::is_void_v<R>) {
      if (failable && Inject(name, __builtin_return_address(0))) {
        if (release) next(a...);
        ::SetLastError(error);
        return Failed(a...);
      }
    }
    return next(a...);
  }
  static R Failed(A... a) {
    if constexpr (std::is_pointer_v<R>) {
      if (invalidHandle) return reinterpret_cast<R>(INVALID_HANDLE_VALUE);
      if constexpr (sizeof...(A) == 1 && (std::is_convertible_v<A, R> && ...))
        if (release) return R(a...);  // LocalFree, FreeSid: what was not freed
      return nullptr;
    } else if constexpr (std::is_same_v<R, LONG>) {  // a registry status or an HRESULT
      if (strncmp(name, "Reg", 3) == 0) return ERROR_ACCESS_DENIED;
      // COM security fails as it does in a process that has set it already.
      return strcmp(name, "CoInitializeSecurity") == 0 ? RPC_E_TOO_LATE : E_OUTOFMEMORY;
    } else if constexpr (std::is_same_v<R, DWORD>) {
      return strcmp(name, "SetFilePointer") == 0 ? INVALID_SET_FILE_POINTER : 0;
    } else {
      return R{};
    }
  }
};

void InstallFaults() {
#define HOOK_ENTRY(entry) Hook<decltype(os::Api::entry), &os::Api::entry>::Install(#entry);
  OS_FUNCTIONS(HOOK_ENTRY)
#undef HOOK_ENTRY
}

}  // namespace

// Every C++ allocation of the run counts; the planned one fails.
void* operator new(size_t cb) {
  if (g_countNews && !g_quiet) {
    if (g_recording) {
      Quiet quiet;
      g_newSteps.push_back(g_run.step);
    }
    if (g_run.news++ == g_run.newFailAt) {
      g_run.failedName = "new";
      g_run.failedStep = g_newSteps[g_run.newFailAt];
      throw std::bad_alloc();
    }
  }
  if (void* p = malloc(cb ? cb : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

namespace {

// --- The machine around a run.

DWORD ReadDword(const wchar_t* name, DWORD missing) {
  DWORD value = 0, cb = sizeof(value);
  return RegGetValueW(HKEY_LOCAL_MACHINE, kRecordKey, name, RRF_RT_REG_DWORD, nullptr, &value, &cb) == ERROR_SUCCESS
             ? value
             : missing;
}

std::string LastLogLine() {
  FILE* f = _wfopen(kLog, L"rb");
  if (!f) return "";
  std::string text(1 << 16, '\0');
  text.resize(fread(&text[0], 1, text.size(), f));
  fclose(f);
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return "(unterminated)";
  text.resize(text.size() - 2);
  const size_t start = text.rfind("\r\n");
  const std::string line = text.substr(start == std::string::npos ? 0 : start + 2);
  return line.size() > 20 ? line.substr(20) : line;  // after the time stamp
}

os::Api g_real;
char g_current[200] = "";

// Wine 8 keeps the image of an ordinary load that failed on its imports mapped
// for the rest of the process (nothing can then replace the file: error 32);
// Windows unmaps it. The harness models Windows: it unmaps what Wine left.
HMODULE WINAPI LoadLibraryAsWindows(LPCWSTR path) {
  const HMODULE module = ::LoadLibraryW(path);
  const DWORD error = GetLastError();
  MEMORY_BASIC_INFORMATION info;
  for (BYTE* p = nullptr; !module && VirtualQuery(p, &info, sizeof(info)); p += info.RegionSize) {
    wchar_t name[MAX_PATH] = L"";
    if (info.Type == MEM_IMAGE && info.AllocationBase == info.BaseAddress &&
        K32GetMappedFileNameW(GetCurrentProcess(), info.BaseAddress, name, MAX_PATH) &&
        _wcsicmp(name + wcslen(name) - wcslen(path + 2), path + 2) == 0)  // "\??\C:..." against "C:..."
      UnmapViewOfFile(info.BaseAddress);
  }
  SetLastError(error);
  return module;
}

LONG WINAPI Crashed(EXCEPTION_POINTERS* info) {
  printf("finding: crash 0x%08lx in %s\n", info->ExceptionRecord->ExceptionCode, g_current);
  fflush(stdout);
  ExitProcess(3);
}

// One run of the whole program; returns its exit code, and any broken rule.
DWORD RunOnce(const Mode& mode, std::vector<std::string>& broken) {
  os::api = g_real;
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, KEY_WOW64_64KEY, 0);
  if (mode.earlierRecord) {
    const DWORD code = 0;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRecordKey, L"status", REG_DWORD, &kEarlierStatus, sizeof(DWORD));
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRecordKey, L"code", REG_DWORD, &code, sizeof(DWORD));
  }
  DeleteFileW(kLog);
  if (!CopyFileW(kOldImage, kDriverPath, FALSE)) broken.push_back("harness: tpm.sys not restored");
  g_mode = &mode;
  os::api.GetCommandLineW = [] { return const_cast<LPWSTR>(g_mode->commandLine); };
  os::api.Sleep = [](DWORD) {};
  os::api.MessageBoxW = [](HWND, LPCWSTR, LPCWSTR, UINT) { return IDOK; };
  // Wine's installer takes a tenth of a second; its effect here is the copy of the package's driver file.
  os::api.UpdateDriverForPlugAndPlayDevicesW = [](HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL) -> BOOL {
    return CopyFileW(kPackageImage, kDriverPath, FALSE);
  };

  DWORD code = 0xDEAD;
  std::string leaks;
  {
    testing_os::LeakCheck leakCheck;
    const os::Api counted = os::api;
    InstallFaults();
    g_countNews = true;
    try {
      code = RunVadrel(GetModuleHandleW(nullptr));
    } catch (const std::exception& e) {
      broken.push_back(std::string("exception escaped: ") + e.what());
    } catch (...) {
      broken.push_back("exception escaped");
    }
    g_countNews = false;
    os::api = counted;
    // What process exit releases: the session mutex and the log.
    theInstanceGuard._hMutex.reset();
    theRunLog._hFile.reset();
    if (leakCheck.Outstanding() || leakCheck.Unmatched()) leaks = leakCheck.Describe();
  }
  os::api = g_real;
  if (!leaks.empty()) broken.push_back("leak: " + leaks);

  // The record's rules.
  const auto& writes = g_run.recordWrites;
  static const char* const kCom[] = {"CoInitializeEx"};
  const bool comFailed = FailedOneOf(kCom);
  if ((code == 1 || code == 13 || comFailed) &&
      !(writes.empty() && ReadDword(L"status", 0) == (mode.earlierRecord ? kEarlierStatus : 0)))
    broken.push_back("record touched");
  for (size_t i = 0; i < writes.size(); ++i)
    if (writes[i] == "code" && !mode.earlierRecord &&
        std::find(writes.begin(), writes.begin() + i, "status") == writes.begin() + i)
      broken.push_back("code written before status");
  if (mode.earlierRecord && g_run.step < Install && ReadDword(L"status", 0) != kEarlierStatus)
    broken.push_back("refusal changed status");
  // The log ends with the outcome, unless the failure hit the log's own writing.
  static const char* const kLogCalls[] = {"WriteFile", "SetFilePointer", "FlushFileBuffers", "WideCharToMultiByte",
                                          "HeapAlloc"};
  const bool logFault = g_run.persist || g_run.newFailAt >= 0 || FailedOneOf(kLogCalls);
  const std::string expected = "return code = " + std::to_string(code);
  if (g_run.logOpened && !logFault && GetFileAttributesW(kLog) != INVALID_FILE_ATTRIBUTES &&
      LastLogLine() != expected)
    broken.push_back("log: ends with \"" + LastLogLine() + "\"");
  return code;
}

// Whether a run's outcome is one the failure's step may give; a failure that
// lasts may stop any later step too.
bool Allowed(DWORD code, DWORD clean) {
  if (code == clean) return true;
  // Memory running out fails the run, or, for the controller's buffers, the opening of the controller.
  if (g_run.newFailAt >= 0) return code == 12 || (g_run.failedStep == Model && code == 15);
  // Failures of the log's own calls change nothing; nor does COM security set earlier.
  static const char* const kDiagnostic[] = {"CoInitializeSecurity", "WriteFile",          "SetFilePointer",
                                            "FlushFileBuffers",     "FormatMessageA",     "GetModuleFileNameW",
                                            "PathRemoveFileSpecW",  "PathAppendW"};
  if (!g_run.persist && FailedOneOf(kDiagnostic)) return false;
  for (int step = g_run.failedStep; step <= (g_run.persist ? Install : g_run.failedStep); ++step)
    if (kStepCodes[step].count(code)) return true;
  return false;
}

bool Excused(const std::string& finding, DWORD code) {
  for (size_t i = 0; i < std::size(kAllowed); ++i) {
    const Allowance& a = kAllowed[i];
    if (g_run.failedName && strcmp(g_run.failedName, a.call) == 0 && code == a.code &&
        finding.rfind(a.rule, 0) == 0 && g_excused[i] < a.times)
      return ++g_excused[i], true;
  }
  return false;
}

}  // namespace

int wmain() {
  SetUnhandledExceptionFilter(&Crashed);
  os::BindSystemDlls();  // as the entry point does before the run
  setvbuf(stdout, nullptr, _IONBF, 0);
  g_real = os::api;
  g_real.LoadLibraryW = &LoadLibraryAsWindows;
  int findings = 0;
  std::set<const void*> sites;
  const ULONGLONG start = GetTickCount64();
  for (const Mode& mode : kModes) {
    g_run = Run();
    g_sites.clear();
    g_names.clear();
    g_steps.clear();
    g_newSteps.clear();
    std::fill(std::begin(g_excused), std::end(g_excused), 0);
    g_recording = true;
    std::vector<std::string> broken;
    snprintf(g_current, sizeof(g_current), "%s clean run", mode.name);
    const DWORD clean = RunOnce(mode, broken);
    g_recording = false;
    const long calls = g_run.calls, news = g_run.news;
    for (const std::string& b : broken) printf("finding: %s clean: %s\n", mode.name, b.c_str()), ++findings;
    sites.insert(g_sites.begin(), g_sites.end());
    int runs = 1;
    for (int kind = 0; kind < 3; ++kind) {
      const long total = kind == 2 ? news : calls;
      for (long n = 0; n < total; ++n) {
        if (kind == 2 && g_newSteps[n] < mode.firstAllocationStep) continue;
        ++runs;
        g_run = Run();
        (kind == 2 ? g_run.newFailAt : g_run.failAt) = n;
        g_run.persist = kind == 1;
        static const char* const kKinds[] = {"call fails", "calls fail from", "allocation fails"};
        snprintf(g_current, sizeof(g_current), "%s: %s %ld (%s)", mode.name, kKinds[kind], n,
                 kind == 2 ? "new" : g_names[n]);
        broken.clear();
        const DWORD code = RunOnce(mode, broken);
        if (!Allowed(code, clean)) broken.push_back("exit " + std::to_string(code) + " at step " +
                                                    std::to_string(g_run.failedStep));
        for (const std::string& b : broken)
          if (!Excused(b, code)) printf("finding: %s: %s\n", g_current, b.c_str()), ++findings;
      }
    }
    printf("%s: clean exit %lu, %ld failable calls, %ld allocations, %d runs, %.1f s so far\n", mode.name, clean,
           calls, news, runs, (GetTickCount64() - start) / 1000.0);
  }
  for (const Allowance& a : kAllowed)
    printf("allowed: %s -> %lu, %s, %d a mode: %s\n", a.call, a.code, a.rule, a.times, a.why);
  printf("%zu call sites, %d findings\n", sites.size(), findings);
  return findings ? 1 : 0;
}
