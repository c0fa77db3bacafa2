// Fault injection over the whole run, inside a simulated ZR-45 (zr45.py exec).
// Each mode runs once cleanly, recording every call through the OS boundary
// and to the functions the run looks up; then once per call N with call N
// failing, once per N with every call from N on failing, once per C++
// allocation N with allocation N failing, once per method call N of the WMI
// locator with that call failing (an RPC error, then a WBEM one). Each run
// must end with the outcome the failure gives by the tool's rules, and leave
// the record, the log, the boxes, the leak counts and the WMI server's live
// objects as the rules say. Only what Wine cannot give is faked: the command
// line, the pauses, the answer to the boxes and the installer's copy of the
// driver file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "app/options.h"
#include "app/run.h"
#include "diag/runlog.h"
#include "host/guards.h"
#include "os/api.h"
#include "tests/support/leaks.h"
#include "tpm/driverversion.h"

namespace {

const wchar_t kRecordKey[] = L"Software\\Kestrova\\Vadrel";
const wchar_t kSettingsKey[] = L"Software\\ZR45Sim";
const wchar_t kLog[] = L"C:\\Orlinth\\vadrel.log";
const wchar_t kBareLog[] = L"C:\\zr45sim\\vadrel.log";  // the harness's current folder is C:\zr45sim
const char kLogSeed[] = "earlier run\r\n";
constexpr DWORD kEarlierStatus = 638, kEarlierCode = 99;  // no run ends with 99
constexpr DWORD kClean = 0xFFFFFFFF;                      // a failure that changes nothing: the clean outcome
// The RPC server is unavailable; WBEM_E_ACCESS_DENIED.
const DWORD kWmiErrors[] = {0x800706BA, 0x80041003};

// The check or part of the run in progress when a call is made, with the
// outcome a failure of one of its calls gives (kClean: none, by the rules).
enum Step { Entry, Options, LogOpen, Com, Instance, Controls, Admin, Model, ModelRule, Windows, Tpm, Hotfix,
            Package, Repaired, OldDriver, Confirm, Install, ReadBack, Record, Report };
const struct { const char* name; DWORD outcome; } kSteps[] = {
    {"entry", kClean}, {"options", kClean}, {"log", kClean}, {"COM", 12}, {"instance", 13}, {"controls", kClean},
    {"administrator", 1}, {"controller", 15}, {"model rule", 16}, {"Windows", kClean}, {"TPM device", 29},
    {"hotfix", 26}, {"package", 28}, {"repaired driver", kClean}, {"old driver", 27}, {"confirmation", kClean},
    {"installation", 12}, {"read-back", 12}, {"record", kClean}, {"report", kClean}};

// A mode: its command line; tpm.sys before the run; whether an earlier repair left "status" 638
// ("code" 99); whether another program holds tpm.sys until the first pause (the load retries)
// and the installer asks for a restart; the clean run's outcome; the steps it never reaches.
struct Mode {
  const char* name;
  const wchar_t *commandLine, *image;
  bool earlierRecord, retries;
  DWORD planned;
  std::set<Step> skipped;
};
// The model rule's thousand allocations are alike in every mode: only the first fails them.
const Mode kModes[] = {
    {"silent", L"vadrel.exe /s", L"old", false, false, 0, {Confirm}},
    {"interactive", L"vadrel.exe", L"old", true, false, 0, {LogOpen}},
    {"forced", L"vadrel.exe /s /f", L"old", true, false, 0, {Model, ModelRule, Hotfix, Repaired, OldDriver, Confirm}},
    {"already-repaired", L"vadrel.exe /s", L"repaired", true, false, 2, {OldDriver, Confirm, Install, ReadBack}},
    {"retries-restart", L"vadrel.exe /s", L"old", false, true, 0, {Confirm}}};
// Behaviour the tool keeps, once a mode: the standard library's regex_match answers
// no match (17) when one of its allocations fails.
bool g_regexExcused = false;

// What one run did, as seen from the boundary. Its planned failure: the failable call that fails
// (-1: none), once or for good; the C++ allocation that fails; the WMI method call that fails, from 1,
// and with what.
struct Run {
  long failAt = -1, newFailAt = -1;
  bool persist = false;
  DWORD wmiFailAt = 0, wmiError = 0;
  long calls = 0, news = 0;
  const char* failedName = nullptr;
  Step step = Entry, failedStep = Entry;
  std::vector<std::string> writes;  // record values, in the order the run tried them
  std::set<Step> steps = {Entry};
  bool oddBox = false;  // a box not system-modal, with an owner or without the caption
};
// A call of the clean run: where it came from, and whether the run log made it.
struct Call { const char* name; Step step; const void* site; bool log; };
Run g_run;
const Mode* g_mode = nullptr;
HANDLE g_held = INVALID_HANDLE_VALUE;  // tpm.sys as another program holds it
// The clean run remembers each call; only the run's own allocations count.
bool g_recording = false, g_countNews = false, g_comLeaked = false;
std::vector<Call> g_calls;
std::vector<Step> g_newSteps;
std::set<DWORD64> g_logFunctions;
int g_quiet = 0;  // inside the harness or below the boundary: allocations not the program's
struct Quiet { Quiet() { ++g_quiet; } ~Quiet() { --g_quiet; } };

bool Is(const char* name, const char* wanted) { return name && strcmp(name, wanted) == 0; }
template <size_t N>
bool OneOf(const char* name, const char* const (&names)[N]) {
  return std::any_of(names, names + N, [&](const char* n) { return Is(name, n); });
}

// Marks the step a call starts, and record writes, before the call may fail.
void Mark(Step step) { g_run.steps.insert(g_run.step = step); }
template <class... A>
void Observe(const char* name, A...) {
  static const struct { const char* name; Step step; } kMarks[] = {
      {"CommandLineToArgvW", Options}, {"GetModuleFileNameW", LogOpen}, {"CoInitializeEx", Com},
      {"CreateMutexW", Instance}, {"InitCommonControlsEx", Controls}, {"AllocateAndInitializeSid", Admin},
      {"DeviceIoControl", ModelRule}, {"CoInitializeSecurity", Hotfix},
      {"UpdateDriverForPlugAndPlayDevicesW", Install}};
  for (const auto& mark : kMarks)
    if (Is(name, mark.name)) Mark(mark.step);
  // A version read starts: whether the driver is repaired already, or what the installation left.
  if (Is(name, "IsWow64Process") && (g_run.step == Package || g_run.step == Install))
    Mark(g_run.step == Package ? Repaired : ReadBack);
}
void Observe(const char*, const GUID* guid, PCWSTR, HWND, DWORD) { Mark(guid ? Model : Tpm); }
void Observe(const char* name, LPCWSTR path) {
  if (Is(name, "GetModuleHandleW")) Mark(path ? Windows : Report);  // kernel32 for the version; the program for a text
  if (Is(name, "PathFileExistsW")) Mark(wcscmp(path, kDriverPackagePath) == 0 ? Package : OldDriver);
}
void Observe(const char*, HWND, LPCWSTR, LPCWSTR, UINT type) { if ((type & MB_TYPEMASK) == MB_OKCANCEL) Mark(Confirm); }
template <class... A>
void Observe(const char*, HKEY, LPCWSTR key, A...) { if (key && wcscmp(key, kRecordKey) == 0) Mark(Record); }
void Observe(const char*, HKEY, LPCWSTR name, DWORD, DWORD, const BYTE*, DWORD) {
  g_run.writes.emplace_back(name, name + wcslen(name));  // the names are ASCII
}

// Whether the run log's own code made the call: one of its functions is on the stack.
bool InLog() {
  void* frames[32];
  DWORD64 base = 0;
  for (USHORT i = 0, n = RtlCaptureStackBackTrace(0, 32, frames, nullptr); i < n; ++i)
    if (const PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(frames[i]), &base, nullptr))
      if (g_logFunctions.count(base + f->BeginAddress)) return true;
  return false;
}

bool Inject(const char* name, const void* site) {
  const long n = g_run.calls++;
  if (g_recording) g_calls.push_back({name, g_run.step, site, InLog()});
  if (n == g_run.failAt) g_run.failedName = name, g_run.failedStep = g_calls[n].step;
  return g_run.failAt >= 0 && (n == g_run.failAt || (g_run.persist && n > g_run.failAt));
}

// How a call fails: the value its type gives (null, FALSE, zero, an error
// status or HRESULT), with a last error no caller takes for a result of its
// own (as it takes a buffer too small, no more items or a mutex that exists).
constexpr DWORD kFailureError = ERROR_ACCESS_DENIED;
const char* const kNeverFail[] = {"GetLastError", "GetErrorMode", "SetErrorMode", "GetCurrentProcessId",
                                  "GetCurrentProcess", "GetCommandLineW", "GetProcessHeap"};
const char* const kInvalidHandle[] = {"CreateFileW", "SetupDiGetClassDevsW", "SetupDiOpenDevRegKey"};
// A release that fails still releases, so that a run leaves nothing behind for the next.
const char* const kReleases[] = {"CloseHandle", "RegCloseKey", "FreeLibrary", "SetupDiDestroyDeviceInfoList",
                                 "HeapFree", "LocalFree", "FreeSid", "VariantClear"};

// A function the run looks up and calls directly is handed out counted, as the boundary's entries are.
decltype(&::GetProductInfo) g_getProductInfo;
BOOL WINAPI CountedGetProductInfo(DWORD major, DWORD minor, DWORD spMajor, DWORD spMinor, PDWORD type) {
  if (Inject("GetProductInfo", __builtin_return_address(0))) return SetLastError(kFailureError), FALSE;
  return g_getProductInfo(major, minor, spMajor, spMinor, type);
}
template <class R, class... A>
R Handed(R r, A...) { return r; }
FARPROC Handed(FARPROC r, HMODULE, LPCSTR name) {
  if (!r || strcmp(name, "GetProductInfo") != 0) return r;
  g_getProductInfo = reinterpret_cast<decltype(g_getProductInfo)>(reinterpret_cast<void (*)()>(r));
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&CountedGetProductInfo));
}

// One entry of the boundary wrapped: counts the call, and fails it when planned.
template <class F, F os::Api::*Entry>
struct Hook;
template <class R, class... A, R (*os::Api::*Entry)(A...)>
struct Hook<R (*)(A...), Entry> {
  static inline R (*next)(A...);
  static inline const char* name;

  static R Call(A... a) {
    Quiet quiet;
    Observe(name, a...);
    if constexpr (!std::is_void_v<R>) {
      if (!OneOf(name, kNeverFail) && Inject(name, __builtin_return_address(0))) {
        if (OneOf(name, kReleases)) next(a...);
        ::SetLastError(kFailureError);
        return Failed(a...);
      }
      return Handed(next(a...), a...);
    }
    return next(a...);
  }
  static R Failed(A... a) {
    if constexpr (std::is_pointer_v<R>) {
      if (OneOf(name, kInvalidHandle)) return reinterpret_cast<R>(INVALID_HANDLE_VALUE);
      if constexpr (sizeof...(A) == 1 && (std::is_convertible_v<A, R> && ...))
        if (OneOf(name, kReleases)) return R(a...);  // LocalFree, FreeSid: what was not freed
      return nullptr;
    } else if constexpr (std::is_same_v<R, LONG>) {  // a registry status or an HRESULT
      if (strncmp(name, "Reg", 3) == 0) return ERROR_ACCESS_DENIED;
      // COM security fails as it does in a process that has set it already.
      return Is(name, "CoInitializeSecurity") ? RPC_E_TOO_LATE : E_OUTOFMEMORY;
    } else if constexpr (std::is_same_v<R, DWORD>) {
      return Is(name, "SetFilePointer") ? INVALID_SET_FILE_POINTER : 0;
    } else {
      return R{};
    }
  }
};

void InstallFaults() {
#define HOOK_ENTRY(entry)                                                         \
  Hook<decltype(os::Api::entry), &os::Api::entry>::name = #entry;                 \
  Hook<decltype(os::Api::entry), &os::Api::entry>::next = os::api.entry;          \
  os::api.entry = &Hook<decltype(os::Api::entry), &os::Api::entry>::Call;
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
      g_run.failedName = "new", g_run.failedStep = g_newSteps[g_run.newFailAt];
      throw std::bad_alloc();
    }
  }
  if (void* p = malloc(cb ? cb : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

namespace {

// --- What the rules give.

// The outcome one failing call gives: its check's, or kClean.
DWORD Expected(const char* name, Step step) {
  static const char* const kRetried[] = {"LoadLibraryW", "LoadLibraryExW", "IsWow64Process"};
  if (OneOf(name, kReleases) || Is(name, "FormatMessageA")) return kClean;  // a release still releases; error text
  if (Is(name, "GetVersionExW")) return 18;  // of the Windows step's calls only the version tells the release
  if (Is(name, "SysAllocString")) return 12;  // no memory for the query's strings: a failure of its own, unrecorded
  if (Is(name, "CoInitializeSecurity")) return kClean;  // COM security set earlier
  if (Is(name, "MessageBoxW") && step == Confirm) return 11;  // a box that cannot be shown is no OK
  if (step != Repaired && step != OldDriver && step != ReadBack) return kSteps[step].outcome;
  if (OneOf(name, kRetried)) return kClean;  // the next attempt loads it; a process not under WOW64
  if (step == ReadBack) return Is(name, "CompareStringW") ? kClean : 12;  // "not the old build" is repaired
  // A version that cannot be read is not the repaired one; on a repaired machine not the old one either.
  return step == OldDriver || g_mode->planned == 2 ? 27 : kClean;
}

// The outcome the planned failure of this run gives.
DWORD ExpectedOutcome() {
  DWORD code = g_run.wmiFailAt ? 26 : kClean;
  // A message text that cannot be made is empty; the controller not opened; elsewhere a failure of its own.
  if (g_run.newFailAt >= 0)
    code = g_run.failedStep == Report || g_run.failedStep == Confirm ? kClean : g_run.failedStep == Model ? 15 : 12;
  // A failure that lasts stops the first later call whose failure counts.
  for (long n = g_run.failAt; n >= 0 && n < static_cast<long>(g_calls.size()) && code == kClean;
       n = g_run.persist ? n + 1 : -1)
    code = Expected(g_calls[n].name, g_calls[n].step);
  return code == kClean ? g_mode->planned : code;
}

// --- The machine around a run.

std::optional<DWORD> ReadDword(const wchar_t* name) {
  DWORD value = 0, cb = sizeof(value);
  const LSTATUS s = RegGetValueW(HKEY_LOCAL_MACHINE, kRecordKey, name, RRF_RT_REG_DWORD, nullptr, &value, &cb);
  return s ? std::nullopt : std::optional(value);
}

void SetDword(const wchar_t* key, const wchar_t* name, DWORD value) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, name, REG_DWORD, &value, sizeof(value));
}

std::optional<std::string> ReadBytes(const wchar_t* path) {
  FILE* f = _wfopen(path, L"rb");
  if (!f) return std::nullopt;
  std::string text(1 << 16, '\0');
  text.resize(fread(&text[0], 1, text.size(), f));
  return fclose(f), text;
}

os::Api g_real;
char g_current[200] = "";
HRESULT(STDAPICALLTYPE* g_canUnloadWmi)() = nullptr;

// The program that held tpm.sys without sharing lets it go.
void LetGo() { if (g_held != INVALID_HANDLE_VALUE) CloseHandle(std::exchange(g_held, INVALID_HANDLE_VALUE)); }

// The machine as the mode has it before a run.
void Prepare(const Mode& mode, std::vector<std::string>& broken) {
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, KEY_WOW64_64KEY, 0);
  if (mode.earlierRecord) SetDword(kRecordKey, L"status", kEarlierStatus), SetDword(kRecordKey, L"code", kEarlierCode);
  FILE* log = _wfopen(kLog, L"wb");
  if (log) fputs(kLogSeed, log), fclose(log);
  DeleteFileW(kBareLog);
  const std::wstring image = std::wstring(L"C:\\zr45sim\\images\\") + mode.image + L".sys";
  if (!log || !CopyFileW(image.c_str(), kDriverPath, FALSE)) broken.push_back("harness: machine not restored");
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"Clock");  // each load of tpm.sys marks it
  SetDword(kSettingsKey, L"WmiFailCall", g_run.wmiFailAt);
  SetDword(kSettingsKey, L"WmiFailError", g_run.wmiError);
  if (mode.retries) g_held = CreateFileW(kDriverPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The record's rules, against what the run tried.
void CheckRecord(const Mode& mode, DWORD code, std::vector<std::string>& broken) {
  const bool installed = g_run.steps.count(Install), recordHit = g_run.failedStep == Record;
  const std::optional<DWORD> status = ReadDword(L"status"), recorded = ReadDword(L"code");
  const auto before = [&](DWORD value) { return mode.earlierRecord ? std::optional(value) : std::nullopt; };
  const std::optional<DWORD> statusBefore = before(kEarlierStatus), codeBefore = before(kEarlierCode);
  // Refusals before any check that records, COM, and memory running out leave it alone.
  if (code == 1 || code == 13 || (code == 12 && !installed)) {
    if (!g_run.writes.empty() || status != statusBefore || recorded != codeBefore) broken.push_back("record touched");
    return;
  }
  // What a failure of the record's own calls may lose: a value whose setting failed; the marker
  // when "status" could not be read (it may exist); "updatedver" when its key did not open. A
  // key that does not open for "status" or "code" opens at the second, write-only attempt.
  const bool setLost = g_run.persist || (recordHit && Is(g_run.failedName, "RegSetValueExW"));
  const bool markerLost =
      setLost || (recordHit && (Is(g_run.failedName, "RegOpenKeyExW") || Is(g_run.failedName, "RegQueryValueExW")));
  if (recorded != code && (!setLost || recorded != codeBefore)) broken.push_back("\"code\" is not the exit code");
  static const char* const kOrder[] = {"updatedver", "status", "code"};
  long next = installed ? 0 : 1;  // a refusal never writes "updatedver"
  for (const std::string& w : g_run.writes) {
    const long rank = std::find(kOrder, kOrder + 3, w) - kOrder;
    if (rank < next) broken.push_back("record written out of order");
    next = rank + 1;
  }
  if (!installed) {  // a refusal: an existing status stays, whatever fails; none becomes the marker
    if (statusBefore ? status != statusBefore : status ? *status != 0xFFFFFFFF : !markerLost)
      broken.push_back("refusal: an existing \"status\" changed, or no marker where none was");
    return;
  }
  const bool installerFailed = Is(g_run.failedName, "UpdateDriverForPlugAndPlayDevicesW");
  const DWORD installStatus = code == 0 ? (mode.retries ? 638 : 0) : installerFailed ? kFailureError : 1;
  if (!setLost && status != installStatus) broken.push_back("\"status\" is not the installation's");
}

// The rules of what the user sees: the options, where the log is, that it is appended to,
// its lines, and the boxes.
void CheckLogAndBoxes(const Mode& mode, DWORD code, std::vector<std::string>& broken) {
  // A command line that cannot be split makes an interactive run; a failed comparison, one option less.
  const bool unsplit = Is(g_run.failedName, "CommandLineToArgvW");
  const bool silent = !unsplit && wcsstr(mode.commandLine, L"/s"), force = silent && wcsstr(mode.commandLine, L"/f");
  if ((RunOptions::silent != silent || RunOptions::force != force) &&
      !(g_run.failAt >= 0 && g_run.failedStep <= Options && !unsplit))
    broken.push_back("options: a run of another mode");
  if (g_run.oddBox && !(g_run.failedStep == Entry && Is(g_run.failedName, "LoadStringW")))  // the caption's
    broken.push_back("box: not system-modal, with an owner or without the caption");
  if (g_run.persist) return;
  static const char* const kNoLog[] = {"PathRemoveFileSpecW", "PathAppendW", "CreateFileW"};
  const std::optional<std::string> main = ReadBytes(kLog), bare = ReadBytes(kBareLog);
  const bool bareName = Is(g_run.failedName, "GetModuleFileNameW");  // the bare name, in the current folder
  if (!RunOptions::silent || (g_run.failedStep == LogOpen && OneOf(g_run.failedName, kNoLog)))
    return main != kLogSeed || bare ? broken.push_back("log: written where no log should be") : void();
  if (bareName ? main != kLogSeed || !bare : bare.has_value())
    return broken.push_back(bareName ? "log: not the bare name in the current folder" : "log: in the current folder");
  std::string text = (bareName ? bare : main).value_or("");
  if (!bareName && text.compare(0, sizeof(kLogSeed) - 1, kLogSeed) == 0)
    text.erase(0, sizeof(kLogSeed) - 1);
  else if (!bareName && !Is(g_run.failedName, "SetFilePointer"))
    broken.push_back("log: earlier lines lost");
  if (g_run.failAt >= 0 && g_calls[g_run.failAt].log && !Is(g_run.failedName, "FlushFileBuffers")) return;
  // The start line, the one message (none for 13), and the outcome (none when COM failed).
  const bool noCom = Is(g_run.failedName, "CoInitializeEx");
  const size_t before = text.size() < 3 ? std::string::npos : text.rfind("\r\n", text.size() - 3);
  const std::string last = text.substr(std::min(text.size(), (before == std::string::npos ? 0 : before + 2) + 20));
  const std::string expected = noCom ? "The process failed.\n\nPlease try other ways described on the support web.\r\n"
                                     : "return code = " + std::to_string(code) + "\r\n";
  const long lines = std::count(text.begin(), text.end(), '\r');  // the message texts break lines with LF alone
  if (lines != (code == 13 || noCom ? 2 : 3) || last != expected)
    broken.push_back("log: " + std::to_string(lines) + " lines, the last \"" + last + "\"");
}

// One run of the whole program; returns its exit code, and any broken rule.
DWORD RunOnce(const Mode& mode, std::vector<std::string>& broken) {
  os::api = g_real;
  g_mode = &mode;
  Prepare(mode, broken);
  os::api.GetCommandLineW = [] { return const_cast<LPWSTR>(g_mode->commandLine); };
  os::api.Sleep = [](DWORD) { LetGo(); };  // meanwhile
  os::api.MessageBoxW = [](HWND owner, LPCWSTR, LPCWSTR caption, UINT type) {
    g_run.oddBox |= owner || (type & ~MB_OKCANCEL) != MB_SYSTEMMODAL || wcscmp(caption, L"Orlinth") != 0;
    return IDOK;
  };
  // Wine's installer takes a tenth of a second; its effect here is the copy of the package's driver file.
  os::api.UpdateDriverForPlugAndPlayDevicesW = [](HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL restart) -> BOOL {
    *restart = g_mode->retries;
    return CopyFileW(L"C:\\Windows\\INF\\tpm\\tpm.sys", kDriverPath, FALSE);
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
    } catch (...) {
      broken.push_back("exception escaped");
    }
    g_countNews = false;
    os::api = counted;
    // What process exit releases: the session mutex and the log.
    theInstanceGuard._hMutex.reset();
    theRunLog._hFile.reset();
    leaks = leakCheck.Describe();
  }
  os::api = g_real;
  LetGo();
  if (!leaks.empty()) broken.push_back("leak: " + leaks);
  // COM objects: the server, kept loaded by the harness, has none left.
  if (!g_comLeaked && g_canUnloadWmi() != S_OK) g_comLeaked = true, broken.push_back("leak: WMI objects left alive");
  CheckRecord(mode, code, broken);
  CheckLogAndBoxes(mode, code, broken);
  return code;
}

// One series of a mode's runs, of one kind: one failing call, calls failing from one on,
// one failing allocation, one failing WMI method call with each error. Returns the runs
// and counts the findings.
long Series(const Mode& mode, int kind, long length, int& findings) {
  static const char* const kKinds[] = {"call fails", "calls fail from", "allocation fails", "WMI call fails",
                                       "WMI call fails"};
  long runs = 0;
  for (long n = 0; n < length; ++n) {
    if (kind == 2 && g_newSteps[n] == ModelRule && &mode != kModes) continue;
    ++runs;
    g_run = Run();
    (kind == 2 ? g_run.newFailAt : g_run.failAt) = kind < 3 ? n : -1;
    g_run.persist = kind == 1;
    g_run.wmiError = kind == 3 || kind == 4 ? kWmiErrors[kind - 3] : 0;
    if (g_run.wmiError) g_run.wmiFailAt = n + 1, g_run.failedName = "WMI", g_run.failedStep = Hotfix;
    snprintf(g_current, sizeof(g_current), "%s: %s %ld (%s)", mode.name, kKinds[kind], n,
             kind < 2 ? g_calls[n].name : kind == 2 ? kSteps[g_newSteps[n]].name : "");
    std::vector<std::string> broken;
    const DWORD code = RunOnce(mode, broken), expected = ExpectedOutcome();
    const bool excused = Is(g_run.failedName, "new") && g_run.failedStep == ModelRule && code == 17 &&
                         !std::exchange(g_regexExcused, true);
    if (code != expected && !excused)
      broken.push_back("exit " + std::to_string(code) + ", the rules give " + std::to_string(expected));
    for (const std::string& b : broken) printf("finding: %s: %s\n", g_current, b.c_str()), ++findings;
  }
  return runs;
}

}  // namespace

int wmain() {
  SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* info) -> LONG {
    printf("finding: crash 0x%08lx in %s\n", info->ExceptionRecord->ExceptionCode, g_current);
    ExitProcess(3);
  });
  os::BindSystemDlls();  // as the entry point does before the run
  setvbuf(stdout, nullptr, _IONBF, 0);
  SetCurrentDirectoryW(L"C:\\zr45sim");
  g_real = os::api;
  // The run log's functions, to tell its own calls: Open (not virtual: its address), Write and WriteW.
  const auto open = &CFileLogging::Open;
  DWORD64 openAddress = 0;
  memcpy(&openAddress, &open, sizeof(openAddress));
  const DWORD64* const logTable = *reinterpret_cast<const DWORD64* const*>(&theRunLog);
  g_logFunctions = {openAddress, logTable[0], logTable[1], reinterpret_cast<DWORD64>(&GetRunLogPath)};
  // The WMI server (as the machine registers it) stays loaded for the harness, so that its count
  // of live objects outlives each run.
  const FARPROC canUnload = GetProcAddress(LoadLibraryW(L"C:\\zr45sim\\zr45wmi.dll"), "DllCanUnloadNow");
  if (!canUnload) return printf("finding: no simulated WMI server\n"), 1;
  g_canUnloadWmi = reinterpret_cast<decltype(g_canUnloadWmi)>(reinterpret_cast<void (*)()>(canUnload));

  int findings = 0;
  std::set<const void*> sites;
  const ULONGLONG start = GetTickCount64();
  for (const Mode& mode : kModes) {
    g_run = Run();
    g_calls.clear(), g_newSteps.clear();
    g_recording = true, g_regexExcused = false;
    snprintf(g_current, sizeof(g_current), "%s clean run", mode.name);
    std::vector<std::string> broken;
    const DWORD clean = RunOnce(mode, broken);
    g_recording = false;
    const long calls = g_run.calls, news = g_run.news;
    DWORD wmiCalls = 0, cb = sizeof(wmiCalls);
    if (g_run.steps.count(Hotfix))
      RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"WmiCalls", RRF_RT_REG_DWORD, nullptr, &wmiCalls, &cb);
    // The clean run does what the mode plans: its outcome, its steps, its record.
    if (clean != mode.planned) broken.push_back("exit " + std::to_string(clean));
    for (int s = Entry; s <= Report; ++s)
      if (g_run.steps.count(Step(s)) == mode.skipped.count(Step(s)))
        broken.push_back(std::string("step ") + kSteps[s].name);
    static const std::vector<std::string> kRepair = {"updatedver", "status", "code"}, kRefusal = {"code"};
    if (g_run.writes != (mode.planned ? kRefusal : kRepair)) broken.push_back("record writes other than planned");
    for (const std::string& b : broken) printf("finding: %s clean: %s\n", mode.name, b.c_str()), ++findings;
    for (const Call& c : g_calls) sites.insert(c.site);
    const long lengths[] = {calls, calls, news, long(wmiCalls), long(wmiCalls)};
    long runs = 1;
    for (int kind = 0; kind < 5; ++kind) runs += Series(mode, kind, lengths[kind], findings);
    printf("%s: clean exit %lu, %ld failable calls, %ld allocations, %lu WMI calls, %ld runs, %.1f s so far\n",
           mode.name, clean, calls, news, wmiCalls, runs, (GetTickCount64() - start) / 1000.0);
  }
  printf("allowed: an allocation of the model rule -> 17, once a mode: the standard library's regex_match answers "
         "no match when one of its allocations fails\n");
  printf("%zu call sites, %d findings\n", sites.size(), findings);
  return findings ? 1 : 0;
}
