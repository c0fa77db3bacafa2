// Fault injection over the whole run, inside a simulated ZR-45 (zr45.py exec).
// Each mode runs once cleanly, recording every call through the OS boundary and
// to the functions the run looks up; then once per call N with call N failing,
// once per N with every call from N on failing, once per call site and each
// further error its documentation gives, once per C++ allocation N with
// allocation N failing, once per method call N of the WMI locator with that call
// failing (an RPC error, then a WBEM one). A call fails as Windows fails it:
// the failure value of its type, with the errors its documentation lists. Each
// run must end with the outcome the failure gives by the tool's rules, leave the
// record, the log, the options and the boxes the rules say, keep every contract
// of the boundary, and release what it acquired. Only what Wine cannot give is
// faked: the command line, the pauses, the answers to the boxes and the
// installer's copy of the driver file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "app/messages.h"
#include "app/options.h"
#include "app/run.h"
#include "diag/runlog.h"
#include "host/guards.h"
#include "os/api.h"
#include "tests/support/catalogue.h"
#include "tests/support/contracts.h"
#include "tests/support/leaks.h"
#include "tpm/driverversion.h"

namespace {

const wchar_t kRecordKey[] = L"Software\\Kestrova\\Vadrel";
const wchar_t kSettingsKey[] = L"Software\\ZR45Sim";
const wchar_t kLog[] = L"C:\\Orlinth\\vadrel.log";
const wchar_t kBareLog[] = L"C:\\zr45sim\\vadrel.log";  // the harness's current folder is C:\zr45sim
const char kLogSeed[] = "earlier run\r\n";
const wchar_t kRepairedVersion[] = L"6.1.7601.19146";     // the package's tpm.sys
constexpr DWORD kEarlierStatus = 638, kEarlierCode = 99;  // no run ends with 99
constexpr DWORD kClean = 0xFFFFFFFF;                      // a failure that changes nothing: the clean outcome
// The RPC server is unavailable; WBEM_E_ACCESS_DENIED.
const DWORD kWmiErrors[] = {0x800706BA, 0x80041003};

// The check or part of the run in progress when a call is made, with the
// outcome a failure of one of its calls gives (kClean: none, by the rules).
enum Step {
  Entry,
  Options,
  LogOpen,
  Com,
  Instance,
  Controls,
  Admin,
  Model,
  ModelRule,
  Windows,
  Tpm,
  Hotfix,
  Package,
  Repaired,
  OldDriver,
  Confirm,
  Install,
  ReadBack,
  Record,
  Report
};
const struct {
  const char* name;
  DWORD outcome;
} kSteps[] = {{"entry", kClean},    {"options", kClean},         {"log", kClean},      {"COM", 12},
              {"instance", 13},     {"controls", kClean},        {"administrator", 1}, {"controller", 15},
              {"model rule", 16},   {"Windows", kClean},         {"TPM device", 29},   {"hotfix", 26},
              {"package", 28},      {"repaired driver", kClean}, {"old driver", 27},   {"confirmation", kClean},
              {"installation", 12}, {"read-back", 12},           {"record", kClean},   {"report", kClean}};

// A mode: its command line; tpm.sys before the run; whether an earlier repair left "status" 638
// ("code" 99); whether another program holds tpm.sys until the first pause (the load retries)
// and the installer asks for a restart; whether the user answers the question with Cancel; the
// clean run's outcome; the steps it never reaches.
struct Mode {
  const char* name;
  const wchar_t *commandLine, *image;
  bool earlierRecord, retries, cancel;
  DWORD planned;
  std::set<Step> skipped;
};
// The model rule's thousand allocations are alike in every mode: only the first fails them.
const Mode kModes[] = {
    {"silent", L"vadrel.exe /s", L"old", false, false, false, 0, {Confirm}},
    {"interactive", L"vadrel.exe", L"old", true, false, false, 0, {LogOpen}},
    {"forced", L"vadrel.exe /s /f", L"old", true, false, false, 0, {Model, ModelRule, Hotfix, Repaired, OldDriver, Confirm}},
    {"already-repaired", L"vadrel.exe /s", L"repaired", true, false, false, 2, {OldDriver, Confirm, Install, ReadBack}},
    {"retries-restart", L"vadrel.exe /s", L"old", false, true, false, 0, {Confirm}},
    {"cancel", L"vadrel.exe", L"old", false, false, true, 11, {LogOpen, Install, ReadBack}}};

// What one run did, as seen from the boundary. Its planned failure: the failable call that fails
// (-1: none), once or for good, and with which error; the C++ allocation that fails; the WMI method
// call that fails, from 1, and with what.
struct Box {
  std::wstring text, caption;
  UINT type;
  bool owner;
  long at;
};
struct Run {
  long failAt = -1, newFailAt = -1;
  bool persist = false;
  std::optional<DWORD> failError;
  DWORD wmiFailAt = 0, wmiError = 0;
  long calls = 0, news = 0, lines = 0;
  int messages = -1;
  const char* failedName = nullptr;
  Step step = Entry, failedStep = Entry;
  std::string role;                 // which record value the registry calls serve
  std::vector<std::string> writes;  // record values, in the order the run tried them
  std::set<Step> steps = {Entry};
  std::vector<Box> boxes;  // every box the run tried to show
};
// A call of the clean run: where it came from; whether the run log made it, the log line and the
// message in progress, the record value it serves; whether it succeeded, else its error.
struct CleanCall {
  const char* name;
  Step step;
  const void* site;
  bool log;
  long line;
  int message;
  std::string role;
  bool ok;
  DWORD error;
};
Run g_run;
const Mode* g_mode = nullptr;
HANDLE g_held = INVALID_HANDLE_VALUE;  // tpm.sys as another program holds it
// The clean run remembers each call, its log lines, boxes and record writes; only the run's own
// allocations count.
bool g_recording = false, g_countNews = false, g_comLeaked = false;
std::vector<CleanCall> g_calls;
std::vector<Step> g_newSteps;
std::vector<int> g_newMessages;  // the message in progress at each allocation
DWORD g_wmiCalls = 0;
std::vector<std::string> g_cleanLines;
std::vector<long> g_lineAt;  // the call that wrote each clean line
std::vector<Box> g_cleanBoxes;
std::set<DWORD64> g_logFunctions;
std::set<std::string> g_contractsTold;
std::vector<std::string> g_contracts;  // the contracts the current run broke
int g_quiet = 0;                       // inside the harness or below the boundary: allocations not the program's
struct Quiet {
  Quiet() { ++g_quiet; }
  ~Quiet() { --g_quiet; }
};

bool Is(const char* name, const char* wanted) { return name && strcmp(name, wanted) == 0; }
template <size_t N> bool OneOf(const char* name, const char* const (&names)[N]) {
  return std::any_of(names, names + N, [&](const char* n) { return Is(name, n); });
}
// The error a failing call reports when none is planned: the first its documentation gives.
DWORD Primary(const char* name) {
  const std::vector<DWORD>& errors = testing_os::DocumentedErrors(name);
  return errors.empty() ? 0 : errors[0];
}

// Marks the step a call starts, which record value and message it serves, before the call may fail.
void Mark(Step step) { g_run.steps.insert(g_run.step = step); }
template <class... A> void Observe(const char* name, A...) {
  static const struct {
    const char* name;
    Step step;
  } kMarks[] = {
      {"CommandLineToArgvW", Options}, {"GetModuleFileNameW", LogOpen},    {"CoInitializeEx", Com},
      {"CreateMutexW", Instance},      {"InitCommonControlsEx", Controls}, {"AllocateAndInitializeSid", Admin},
      {"DeviceIoControl", ModelRule},  {"CoInitializeSecurity", Hotfix},   {"UpdateDriverForPlugAndPlayDevicesW", Install}};
  for (const auto& mark : kMarks)
    if (Is(name, mark.name)) Mark(mark.step);
  // A version read starts: whether the driver is repaired already, or what the installation left.
  if (Is(name, "IsWow64Process") && (g_run.step == Package || g_run.step == Install))
    Mark(g_run.step == Package ? Repaired : ReadBack);
  if (Is(name, "WriteFile")) ++g_run.lines;  // the program writes no file but its log: one call a line
  if (!strncmp(name, "Reg", 3)) g_run.role.clear();
}
void Observe(const char*, const GUID* guid, PCWSTR, HWND, DWORD) { Mark(guid ? Model : Tpm); }
void Observe(const char* name, LPCWSTR path) {
  if (Is(name, "GetModuleHandleW") && !path) ++g_run.messages;      // a message text is being loaded
  if (Is(name, "GetModuleHandleW")) Mark(path ? Windows : Report);  // kernel32 for the version; the program for a text
  if (Is(name, "PathFileExistsW")) Mark(wcscmp(path, kDriverPackagePath) == 0 ? Package : OldDriver);
}
void Observe(const char*, HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  if ((type & MB_TYPEMASK) == MB_OKCANCEL) Mark(Confirm);
  g_run.boxes.push_back({text ? text : L"(null)", caption ? caption : L"(null)", type, owner != nullptr, g_run.calls});
}
template <class... A> void Observe(const char* name, HKEY, LPCWSTR key, A...) {
  if (!key || wcscmp(key, kRecordKey) != 0) return;
  Mark(Record);
  g_run.role = Is(name, "RegOpenKeyExW") ? "read" : "key";  // the status read, or a key for a value to set
}
void Observe(const char* name, HKEY, LPCWSTR value, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
  g_run.role = Is(name, "RegQueryValueExW") && g_run.step == Record ? "read" : "";
}
void Observe(const char*, HKEY, LPCWSTR name, DWORD, DWORD, const BYTE*, DWORD) {
  g_run.writes.emplace_back(name, name + wcslen(name));  // the names are ASCII
  g_run.role = g_run.writes.back();
  for (auto c = g_calls.rbegin(); g_recording && c != g_calls.rend() && c->role == "key"; ++c) c->role = g_run.role;
}

// Whether the run log made the call while writing a line: Write or WriteW is on the stack.
bool InLog() {
  void* frames[32];
  DWORD64 base = 0;
  for (USHORT i = 0, n = RtlCaptureStackBackTrace(0, 32, frames, nullptr); i < n; ++i)
    if (const PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(frames[i]), &base, nullptr))
      if (g_logFunctions.count(base + f->BeginAddress)) return true;
  return false;
}

// Whether the planned failure hits call n (once, or from an earlier call on), and with which error:
// the one planned for the call it starts at, else the first its documentation gives.
bool Failed(long n) { return g_run.failAt >= 0 && (n == g_run.failAt || (g_run.persist && n > g_run.failAt)); }
DWORD ErrorOf(long n, const char* name) { return n == g_run.failAt && g_run.failError ? *g_run.failError : Primary(name); }

// Counts one failable call; the error it fails with, or none.
std::optional<DWORD> Inject(const char* name, const void* site) {
  const long n = g_run.calls++;
  // A line's own write belongs to that line, counted as it was observed.
  const long line = g_run.lines - (Is(name, "WriteFile") ? 1 : 0);
  if (g_recording) g_calls.push_back({name, g_run.step, site, InLog(), line, g_run.messages, g_run.role, true, 0});
  if (n == g_run.failAt) g_run.failedName = name, g_run.failedStep = g_calls[n].step;
  return Failed(n) ? std::optional(ErrorOf(n, name)) : std::nullopt;
}

// How a call fails: the value its type gives (null, FALSE, zero, an error status or HRESULT),
// with the error its documentation gives. A release that fails still releases, so that a run
// leaves nothing behind for the next; a call that reports a needed size still reports it.
const char* const kInvalidHandle[] = {"CreateFileW", "SetupDiGetClassDevsW", "SetupDiOpenDevRegKey"};
const char* const kReleases[] = {"CloseHandle", "RegCloseKey", "FreeLibrary", "SetupDiDestroyDeviceInfoList",
                                 "HeapFree",    "LocalFree",   "FreeSid",     "VariantClear"};

template <class... A> bool Failable(const char* name, A... a) {
  const std::vector<DWORD>& errors = testing_os::DocumentedErrors(name);
  if (!errors.empty() && errors[0] == testing_os::kCannotFail) return false;
  // The program's own module is always there to be found.
  if constexpr (sizeof...(A) == 1 && (std::is_same_v<A, LPCWSTR> && ...))
    return !Is(name, "GetModuleHandleW") || ((a != nullptr) && ...);
  return true;
}

// A function the run looks up and calls directly is handed out counted, as the boundary's entries are.
decltype(&::GetProductInfo) g_getProductInfo;
BOOL WINAPI CountedGetProductInfo(DWORD major, DWORD minor, DWORD spMajor, DWORD spMinor, PDWORD type) {
  if (Inject("GetProductInfo", testing_os::site)) return FALSE;  // it tells no error
  return g_getProductInfo(major, minor, spMajor, spMinor, type);
}
template <class R, class... A> R Handed(R r, A...) { return r; }
FARPROC Handed(FARPROC r, HMODULE, LPCSTR name) {
  if (!r || strcmp(name, "GetProductInfo") != 0) return r;
  g_getProductInfo = reinterpret_cast<decltype(g_getProductInfo)>(reinterpret_cast<void (*)()>(r));
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&CountedGetProductInfo));
}

// One entry of the boundary wrapped: counts the call, and fails it when planned.
template <class F, F os::Api::*Entry> struct Hook;
template <class R, class... A, R (*os::Api::*Entry)(A...)> struct Hook<R (*)(A...), Entry> {
  static inline R (*next)(A...);
  static inline const char* name;

  static R Call(A... a) {
    Quiet quiet;
    Observe(name, a...);
    if constexpr (!std::is_void_v<R>) {
      const bool failable = Failable(name, a...);
      const std::optional<DWORD> error = failable ? Inject(name, testing_os::site) : std::nullopt;
      if (error) {
        if (OneOf(name, kReleases) || *error == ERROR_INSUFFICIENT_BUFFER || *error == ERROR_MORE_DATA) next(a...);
        if (*error) ::SetLastError(*error);
        return FailureValue(*error, a...);
      }
      R r = next(a...);
      if (failable && g_recording) {  // how the call ended in the clean run
        CleanCall& call = g_calls.back();
        call.ok = Succeeded(r);
        if constexpr (std::is_same_v<R, LONG>)
          call.error = static_cast<DWORD>(r);
        else
          call.error = call.ok ? 0 : ::GetLastError();
      }
      return Handed(r, a...);
    }
    return next(a...);
  }
  template <class T> static bool Succeeded(T r) {
    if constexpr (std::is_pointer_v<T>)
      return r && r != reinterpret_cast<T>(INVALID_HANDLE_VALUE);
    else if constexpr (std::is_same_v<T, LONG>)
      return r >= 0;  // ERROR_SUCCESS, S_OK, S_FALSE
    else
      return Is(name, "SetFilePointer") ? r != static_cast<T>(INVALID_SET_FILE_POINTER) : r != T{};
  }
  static R FailureValue(DWORD error, A... a) {
    if constexpr (std::is_pointer_v<R>) {
      if (OneOf(name, kInvalidHandle)) return reinterpret_cast<R>(INVALID_HANDLE_VALUE);
      if constexpr (sizeof...(A) == 1 && (std::is_convertible_v<A, R> && ...))
        if (OneOf(name, kReleases)) return R(a...);  // LocalFree, FreeSid: what was not freed
      return nullptr;
    } else if constexpr (std::is_same_v<R, LONG>) {
      return static_cast<LONG>(error);  // a registry status or an HRESULT
    } else if constexpr (std::is_same_v<R, DWORD>) {
      return Is(name, "SetFilePointer") ? INVALID_SET_FILE_POINTER : 0;
    } else {
      return R{};
    }
  }
};

void InstallFaults() {
#define HOOK_ENTRY(entry)                                                \
  Hook<decltype(os::Api::entry), &os::Api::entry>::name = #entry;        \
  Hook<decltype(os::Api::entry), &os::Api::entry>::next = os::api.entry; \
  os::api.entry = &Hook<decltype(os::Api::entry), &os::Api::entry>::Call;
  OS_FUNCTIONS(HOOK_ENTRY)
#undef HOOK_ENTRY
}

}  // namespace

// Every C++ allocation of the run counts; the planned one fails.
void* operator new(size_t cb) {
  if (g_countNews && !g_quiet && !testing_os::checking) {
    if (g_recording) {
      Quiet quiet;
      g_newSteps.push_back(g_run.step), g_newMessages.push_back(g_run.messages);
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
DWORD Expected(const CleanCall& call, DWORD error) {
  static const char* const kRetried[] = {"LoadLibraryW", "LoadLibraryExW", "IsWow64Process"};
  const char* const name = call.name;
  if (!call.ok && call.error == error) return kClean;                       // it failed that way anyway: a size query
  if (OneOf(name, kReleases) || Is(name, "FormatMessageA")) return kClean;  // a release still releases; error text
  if (Is(name, "GetVersionExW")) return 18;   // of the Windows step's calls only the version tells the release
  if (Is(name, "SysAllocString")) return 12;  // no memory for the query's strings: a failure of its own, unrecorded
  if (Is(name, "CoInitializeSecurity")) return error == static_cast<DWORD>(RPC_E_TOO_LATE) ? kClean : 26;  // set earlier
  if (Is(name, "UpdateDriverForPlugAndPlayDevicesW"))  // no better driver, no such device, anything else
    return error == ERROR_NO_MORE_ITEMS ? 28 : error == static_cast<DWORD>(ERROR_NO_SUCH_DEVINST) ? 29 : 12;
  if (Is(name, "SetupDiGetDeviceRegistryPropertyW") && error == ERROR_INSUFFICIENT_BUFFER) return kClean;  // asked again
  if (Is(name, "MessageBoxW") && call.step == Confirm) return 11;  // a box that cannot be shown is no OK
  if (call.step != Repaired && call.step != OldDriver && call.step != ReadBack) return kSteps[call.step].outcome;
  if (OneOf(name, kRetried)) return kClean;  // the next attempt loads it; a process not under WOW64
  if (call.step == ReadBack) return 12;
  // A version that cannot be read is not the repaired one; on a repaired machine not the old one either.
  return call.step == OldDriver || g_mode->planned == 2 ? 27 : kClean;
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
    code = Expected(g_calls[n], ErrorOf(n, g_calls[n].name));
  return code == kClean ? g_mode->planned : code;
}

long First(const char* name, Step step) {
  for (size_t n = 0; n < g_calls.size(); ++n)
    if (Is(g_calls[n].name, name) && g_calls[n].step == step) return static_cast<long>(n);
  return -1;
}
const CleanCall* FailedCall() { return g_run.failAt >= 0 ? &g_calls[g_run.failAt] : nullptr; }

// The options the command line gives: split as the tool splits it, each argument compared in
// turn with /s, -s, /f and -f, a comparison that fails counting as unequal.
std::pair<bool, bool> ExpectedOptions() {
  if (Failed(First("CommandLineToArgvW", Options))) return {false, false};  // an interactive run
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(g_mode->commandLine, &argc);
  const long first = First("CompareStringW", Options);
  long k = 0;
  const auto equal = [&](const wchar_t* arg, const wchar_t* option) {
    return !Failed(first + k++) && _wcsicmp(arg, option) == 0;
  };
  bool silent = false, force = false;
  for (int i = 0; i < argc; ++i) {
    if (equal(argv[i], L"/s") || equal(argv[i], L"-s"))
      silent = true;
    else if (equal(argv[i], L"/f") || equal(argv[i], L"-f"))
      force = true;
  }
  LocalFree(argv);
  return {silent, silent && force};
}

// The catalogue message the outcome reports, or none.
const wchar_t* Message(DWORD code) {
  static const std::map<DWORD, unsigned> kMessages = {{0, 111},  {1, 106},  {2, 108},  {3, 116},  {12, 104},
                                                      {15, 114}, {16, 104}, {17, 107}, {18, 105}, {26, 112},
                                                      {27, 117}, {28, 113}, {29, 107}, {30, 104}};
  const bool installed = g_run.steps.count(Install);  // the installer's own 28 and 29 are failures
  const auto it = kMessages.find(code);
  if (it == kMessages.end()) return nullptr;
  return testing_catalogue::English(installed && (code == 28 || code == 29) ? 104 : it->second);
}

// --- The machine around a run.

struct RecordState {
  std::optional<DWORD> status, code;
  std::optional<std::wstring> updatedver;
  bool operator==(const RecordState& o) const { return status == o.status && code == o.code && updatedver == o.updatedver; }
};
std::vector<std::pair<long, RecordState>> g_cleanWrites;  // the clean run's record after each write, by call

RecordState ReadRecord(std::vector<std::string>& broken) {
  RecordState r;
  for (auto [name, value] : {std::pair(L"status", &r.status), std::pair(L"code", &r.code)}) {
    DWORD data = 0, cb = sizeof(data), type = 0;
    if (!RegGetValueW(HKEY_LOCAL_MACHINE, kRecordKey, name, RRF_RT_ANY, &type, &data, &cb))
      *value = type == REG_DWORD && cb == 4 ? data : (broken.push_back("record: a value not a REG_DWORD"), data);
  }
  wchar_t text[300] = {};
  DWORD cb = sizeof(text), type = 0;
  if (!RegGetValueW(HKEY_LOCAL_MACHINE, kRecordKey, L"updatedver", RRF_RT_ANY | RRF_NOEXPAND, &type, text, &cb)) {
    r.updatedver = text;
    // The whole 260-character buffer: the text, then zeros.
    if (type != REG_SZ || cb != 520 || std::any_of(text + wcslen(text), text + 260, [](wchar_t c) { return c != 0; }))
      broken.push_back("record: \"updatedver\" not 520 bytes of REG_SZ, the text then zeros");
  }
  return r;
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
void LetGo() {
  if (g_held != INVALID_HANDLE_VALUE) CloseHandle(std::exchange(g_held, INVALID_HANDLE_VALUE));
}

// Sets the record value a call serves (its role) to that of another record.
void Take(RecordState& to, const std::string& role, const RecordState& from) {
  if (role == "status") to.status = from.status;
  if (role == "code") to.code = from.code;
  if (role == "updatedver") to.updatedver = from.updatedver;
}

RecordState Before(const Mode& mode) {
  return mode.earlierRecord ? RecordState{kEarlierStatus, kEarlierCode, {}} : RecordState{};
}

// The machine as the mode has it before a run; the process as a new one starts.
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
  SetDword(kSettingsKey, L"WmiLatencyMs", 0);  // thousands of queries: the provider answers at once
  if (mode.retries) g_held = CreateFileW(kDriverPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  szCaption[0] = L'\0';
}

// The record's rules: what the run's outcome writes, less what its failing calls lost.
void CheckRecord(const Mode& mode, DWORD code, std::vector<std::string>& broken) {
  const RecordState actual = ReadRecord(broken);
  RecordState expected = Before(mode);
  const bool installed = g_run.steps.count(Install);
  const CleanCall* failed = FailedCall();
  const DWORD error = failed ? ErrorOf(g_run.failAt, failed->name) : 0;
  if (g_run.persist) {  // the clean run's writes before the failures began, and none after
    for (const auto& [at, record] : g_cleanWrites)
      if (at < g_run.failAt) expected = record;
  } else if (!(code == 1 || code == 13 || (code == 12 && !installed))) {  // those leave it alone
    if (installed) {
      if (code == 0 || code == 30) expected.updatedver = kRepairedVersion;
      const bool installerFailed = failed && Is(failed->name, "UpdateDriverForPlugAndPlayDevicesW");
      expected.status = code == 0 ? (mode.retries ? 638 : 0) : installerFailed ? error : 1;
    } else if (failed && failed->role == "read") {                      // a refusal whose read of "status" failed:
      if (error == ERROR_FILE_NOT_FOUND) expected.status = 0xFFFFFFFF;  // gone as it was read: marked
    } else if (!expected.status) {
      expected.status = 0xFFFFFFFF;  // a refusal marks a status that is not there, and keeps one that is
    }
    expected.code = code;
    // A value whose setting failed, or "updatedver" whose key did not open (one attempt only).
    if (failed &&
        (Is(failed->name, "RegSetValueExW") || (Is(failed->name, "RegCreateKeyExW") && failed->role == "updatedver")))
      Take(expected, failed->role, Before(mode));
  }
  const auto show = [](const RecordState& r) {
    return "status " + (r.status ? std::to_string(*r.status) : "-") + ", code " + (r.code ? std::to_string(*r.code) : "-") +
           ", updatedver " + (r.updatedver ? std::string(r.updatedver->begin(), r.updatedver->end()) : "-");
  };
  if (!(actual == expected)) broken.push_back("record: " + show(actual) + ", the rules give " + show(expected));
  static const char* const kOrder[] = {"updatedver", "status", "code"};
  for (size_t i = 1; i < g_run.writes.size(); ++i)
    if (std::find(kOrder, kOrder + 3, g_run.writes[i]) <= std::find(kOrder, kOrder + 3, g_run.writes[i - 1]))
      broken.push_back("record written out of order");
}

// The log's lines past their time stamps; a line without its stamp breaks a rule.
std::vector<std::string> Bodies(const std::string& text, std::vector<std::string>& broken) {
  std::vector<std::string> bodies;
  for (size_t at = 0, end; at < text.size(); at = end + 2) {
    end = std::min(text.find("\r\n", at), text.size());
    const std::string line = text.substr(at, end - at);
    int y, mo, d, h, mi, s, n = 0;
    if (sscanf(line.c_str(), "%4d/%2d/%2d %2d:%2d:%2d %n", &y, &mo, &d, &h, &mi, &s, &n) != 6 || n != 20)
      broken.push_back("log: a line without its time stamp");
    const std::string body = line.substr(std::min<size_t>(20, line.size()));
    // The start line names the build's date and time: any such line stands for it.
    const bool start = !body.compare(0, 16, "vadrel built on ") && body.size() == 45 && !body.compare(36, 9, " started.");
    bodies.push_back(start ? "(start line)" : body);
  }
  return bodies;
}

std::string Narrow(const wchar_t* text) { return text ? std::string(text, text + wcslen(text)) : std::string(); }

// What the user sees: the options; in a silent run the log beside the program, appended to, with the
// start line, the outcome's message and the return code, and no box; otherwise the question and the
// outcome's message as system-modal boxes with the caption.
void CheckLogAndBoxes(const Mode& mode, DWORD code, std::vector<std::string>& broken) {
  const auto [silent, force] = ExpectedOptions();
  if (RunOptions::silent != silent || RunOptions::force != force) broken.push_back("options: a run of another mode");
  const CleanCall* failed = FailedCall();
  // The caption's load is the run's first call; a message whose load failed is empty.
  const std::wstring caption = Failed(0) ? L"" : L"Orlinth";
  // A message's text is lost when its buffer or its string cannot be had.
  const auto lost = [](int message) {
    for (size_t n = 0; n < g_calls.size(); ++n)
      if (g_calls[n].message == message && g_calls[n].step == Report && !g_calls[n].log &&
          (Is(g_calls[n].name, "HeapAlloc") || Is(g_calls[n].name, "LoadStringW")) && Failed(static_cast<long>(n)))
        return true;
    return false;
  };
  const auto text = [&](int message, const std::wstring& clean) {
    if (lost(message)) return std::wstring();
    const long a = g_run.newFailAt;
    return a >= 0 && g_newSteps[a] == Report && g_newMessages[a] == message ? std::wstring() : clean;
  };
  const bool noCom = failed && Is(failed->name, "CoInitializeEx") && !g_run.persist;
  const wchar_t* const message = noCom ? testing_catalogue::English(104) : Message(code);

  // Boxes: none in a silent run; else the question when the checks passed, then the outcome's message.
  std::vector<Box> expected;
  if (!silent && (g_run.steps.count(Install) || code == 11))
    expected.push_back({testing_catalogue::English(110), caption, MB_OKCANCEL | MB_SYSTEMMODAL, false, 0});
  if (!silent && message) expected.push_back({message, caption, MB_SYSTEMMODAL, false, 0});
  for (size_t i = 0; i < expected.size(); ++i) expected[i].text = text(static_cast<int>(i), expected[i].text);
  const auto sameBoxes = [&](const std::vector<Box>& want, size_t count) {
    if (count > g_run.boxes.size() || count > want.size()) return false;
    for (size_t i = 0; i < count; ++i)
      if (g_run.boxes[i].text != want[i].text || g_run.boxes[i].caption != want[i].caption ||
          g_run.boxes[i].type != want[i].type || g_run.boxes[i].owner)
        return false;
    return true;
  };
  if (g_run.persist) {  // the boxes before the failures began are the clean run's; later ones have no text
    size_t before = 0;
    while (before < g_cleanBoxes.size() && g_cleanBoxes[before].at < g_run.failAt) ++before;
    bool ok = sameBoxes(g_cleanBoxes, before) && (!silent || g_run.boxes.empty());
    for (size_t i = before; ok && i < g_run.boxes.size(); ++i)
      ok = g_run.boxes[i].text == (i < g_cleanBoxes.size() && !lost(int(i)) ? g_cleanBoxes[i].text : L"") &&
           g_run.boxes[i].caption == caption && !g_run.boxes[i].owner;
    if (!ok) broken.push_back("boxes: other than the clean run's before the failures began, or with a text after");
  } else if (g_run.boxes.size() != expected.size() || !sameBoxes(expected, expected.size())) {
    broken.push_back("boxes: " + std::to_string(g_run.boxes.size()) + " shown, not the outcome's as the rules give");
  }

  // The log.
  static const char* const kNoLog[] = {"PathRemoveFileSpecW", "PathAppendW", "CreateFileW"};
  const std::optional<std::string> main = ReadBytes(kLog), bare = ReadBytes(kBareLog);
  const long open = First("CreateFileW", LogOpen);
  const bool bareName = failed && Is(failed->name, "GetModuleFileNameW") && !g_run.persist;
  const bool noLog = !silent || (failed && failed->step == LogOpen && OneOf(failed->name, kNoLog)) ||
                     (g_run.persist && g_run.failAt <= open);
  if (noLog) return main != kLogSeed || bare ? broken.push_back("log: written where no log should be") : void();
  if (bareName ? main != kLogSeed || !bare : bare.has_value())
    return broken.push_back(bareName ? "log: not the bare name in the current folder" : "log: in the current folder");
  std::string file = (bareName ? bare : main).value_or("");
  // A file pointer not moved to the end writes over the earlier lines from the start.
  const bool overwrites = failed && Is(failed->name, "SetFilePointer") && !g_run.persist;
  const std::string seed = bareName ? "" : kLogSeed;
  if (!overwrites && file.compare(0, seed.size(), seed) != 0) return broken.push_back("log: earlier lines lost");
  if (!overwrites) file.erase(0, seed.size());
  std::vector<std::string> want;
  if (g_run.persist) {  // the lines written before the failures began
    for (size_t i = 0; i < g_lineAt.size() && g_lineAt[i] < g_run.failAt; ++i) want.push_back(g_cleanLines[i]);
  } else {
    want = {"(start line)"};
    if (message) want.push_back(Narrow(text(0, message).c_str()));
    if (!noCom) want.push_back("return code = " + std::to_string(code));
    // A line whose own writing failed is lost, that line alone (its flush failing loses nothing).
    if (failed && failed->log && !OneOf(failed->name, kReleases) && !Is(failed->name, "FlushFileBuffers") &&
        failed->line < static_cast<long>(want.size()))
      want.erase(want.begin() + failed->line);
  }
  const std::vector<std::string> got = Bodies(file, broken);
  const auto join = [](const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += "\n    | " + line.substr(0, 60);
    return all;
  };
  if (got != want) broken.push_back("log:" + join(got) + "\n  the rules give:" + join(want));
}

// One run of the whole program; returns its exit code, and any broken rule.
DWORD RunOnce(const Mode& mode, std::vector<std::string>& broken) {
  os::api = g_real;
  g_mode = &mode;
  Prepare(mode, broken);
  os::api.GetCommandLineW = [] { return const_cast<LPWSTR>(g_mode->commandLine); };
  os::api.Sleep = [](DWORD) { LetGo(); };  // meanwhile
  os::api.MessageBoxW = [](HWND, LPCWSTR, LPCWSTR, UINT type) {
    return (type & MB_TYPEMASK) == MB_OKCANCEL && g_mode->cancel ? IDCANCEL : IDOK;
  };
  // Wine's installer takes a tenth of a second; its effect here is the copy of the package's driver file.
  os::api.UpdateDriverForPlugAndPlayDevicesW = [](HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL restart) -> BOOL {
    *restart = g_mode->retries;
    return CopyFileW(L"C:\\Windows\\INF\\tpm\\tpm.sys", kDriverPath, FALSE);
  };
  DWORD code = 0xDEAD;
  std::string leaks;
  g_contracts.clear();
  InstallFaults();
  {
    testing_os::Contracts contracts;
    testing_os::LeakCheck leakCheck;
    g_countNews = true;
    try {
      code = RunVadrel(GetModuleHandleW(nullptr));
    } catch (...) {
      broken.push_back("exception escaped");
    }
    g_countNews = false;
    // What process exit releases: the session mutex and the log, past the planned failures.
    testing_os::behind = g_real;
    theInstanceGuard._hMutex.reset();
    theRunLog._hFile.reset();
    leaks = leakCheck.Describe();
  }
  os::api = g_real;
  LetGo();
  if (!leaks.empty()) broken.push_back("leak: " + leaks);
  for (const std::string& c : g_contracts)
    if (g_contractsTold.insert(c).second) broken.push_back("contract: " + c);
  // COM objects: the server, kept loaded by the harness, has none left.
  if (!g_comLeaked && g_canUnloadWmi() != S_OK) g_comLeaked = true, broken.push_back("leak: WMI objects left alive");
  CheckRecord(mode, code, broken);
  CheckLogAndBoxes(mode, code, broken);
  return code;
}

// One series of a mode's runs, of one kind: one failing call, calls failing from one on, each
// further documented error once at each call site, one failing allocation, one failing WMI method
// call with each error. Returns the runs and counts the findings.
long Series(const Mode& mode, int kind, int& findings) {
  static const char* const kKinds[] = {"call fails",       "calls fail from", "call fails with",
                                       "allocation fails", "WMI call fails",  "WMI call fails"};
  std::vector<std::pair<long, std::optional<DWORD>>> plan;  // the call or allocation, and the error
  if (kind == 2) {  // a call site's further errors, at its first call that succeeded cleanly
    std::map<const void*, long> sites;
    for (size_t n = 0; n < g_calls.size(); ++n)
      if (!sites.count(g_calls[n].site) || (!g_calls[sites[g_calls[n].site]].ok && g_calls[n].ok))
        sites[g_calls[n].site] = static_cast<long>(n);
    for (const auto& [site, n] : sites) {
      const std::vector<DWORD>& errors = testing_os::DocumentedErrors(g_calls[n].name);
      for (size_t e = 1; e < errors.size(); ++e) plan.push_back({n, errors[e]});
    }
  } else {
    const long length = kind < 2 ? long(g_calls.size()) : kind == 3 ? long(g_newSteps.size()) : 0;
    for (long n = 0; n < length; ++n)
      if (kind != 3 || g_newSteps[n] != ModelRule || &mode == kModes) plan.push_back({n, std::nullopt});
  }
  for (DWORD n = 0; kind > 3 && n < g_wmiCalls; ++n) plan.push_back({long(n), std::nullopt});
  for (const auto& [n, error] : plan) {
    g_run = Run();
    (kind == 3 ? g_run.newFailAt : g_run.failAt) = kind < 3 ? n : -1;
    g_run.persist = kind == 1;
    g_run.failError = error;
    g_run.wmiError = kind > 3 ? kWmiErrors[kind - 4] : 0;
    if (g_run.wmiError) g_run.wmiFailAt = n + 1, g_run.failedName = "WMI", g_run.failedStep = Hotfix;
    snprintf(g_current, sizeof(g_current), "%s: %s %ld (%s) %lx", mode.name, kKinds[kind], n,
             kind < 3    ? g_calls[n].name
             : kind == 3 ? kSteps[g_newSteps[n]].name
                         : "",
             error.value_or(0));
    std::vector<std::string> broken;
    const DWORD code = RunOnce(mode, broken), expected = ExpectedOutcome();
    if (code != expected) broken.push_back("exit " + std::to_string(code) + ", the rules give " + std::to_string(expected));
    for (const std::string& b : broken) printf("finding: %s: %s\n", g_current, b.c_str()), ++findings;
  }
  return static_cast<long>(plan.size());
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
  testing_os::OnViolation([](const std::string& text) { g_contracts.push_back(text); });
  // The run log's line writers, Write and WriteW, to tell the calls each line makes.
  const DWORD64* const logTable = *reinterpret_cast<const DWORD64* const*>(&theRunLog);
  g_logFunctions = {logTable[0], logTable[1]};
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
    g_calls.clear(), g_newSteps.clear(), g_newMessages.clear(), g_cleanWrites.clear();
    g_recording = true;
    snprintf(g_current, sizeof(g_current), "%s clean run", mode.name);
    std::vector<std::string> broken;
    const DWORD clean = RunOnce(mode, broken);
    g_recording = false;
    DWORD cb = sizeof(g_wmiCalls);
    g_wmiCalls = 0;
    if (g_run.steps.count(Hotfix))
      RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"WmiCalls", RRF_RT_REG_DWORD, nullptr, &g_wmiCalls, &cb);
    // What the clean run showed and wrote, for the failing runs to be held to.
    g_cleanBoxes = g_run.boxes;
    const std::string file = ReadBytes(kLog).value_or("");
    g_cleanLines = Bodies(file.substr(std::min(file.size(), sizeof(kLogSeed) - 1)), broken);
    g_lineAt.clear();
    for (size_t n = 0; n < g_calls.size(); ++n)
      if (Is(g_calls[n].name, "WriteFile")) g_lineAt.push_back(static_cast<long>(n));
    RecordState record = Before(mode);
    const RecordState written = ReadRecord(broken);
    for (size_t n = 0; n < g_calls.size(); ++n)
      if (Is(g_calls[n].name, "RegSetValueExW"))
        Take(record, g_calls[n].role, written), g_cleanWrites.push_back({static_cast<long>(n), record});
    // The clean run does what the mode plans: its outcome, its steps, its record.
    if (clean != mode.planned) broken.push_back("exit " + std::to_string(clean));
    for (int s = Entry; s <= Report; ++s)
      if (g_run.steps.count(Step(s)) == mode.skipped.count(Step(s))) broken.push_back(std::string("step ") + kSteps[s].name);
    const std::vector<std::string> planned = mode.planned == 0    ? std::vector<std::string>{"updatedver", "status", "code"}
                                             : mode.earlierRecord ? std::vector<std::string>{"code"}
                                                                  : std::vector<std::string>{"status", "code"};
    if (g_run.writes != planned) broken.push_back("record writes other than planned");
    for (const std::string& b : broken) printf("finding: %s clean: %s\n", mode.name, b.c_str()), ++findings;
    for (const CleanCall& c : g_calls) sites.insert(c.site);
    long runs = 1;
    for (int kind = 0; kind < 6; ++kind) runs += Series(mode, kind, findings);
    printf("%s: clean exit %lu, %zu failable calls, %zu allocations, %ld runs, %.1f s so far\n", mode.name, clean,
           g_calls.size(), g_newSteps.size(), runs, (GetTickCount64() - start) / 1000.0);
  }
  printf("%zu call sites, %d findings\n", sites.size(), findings);
  return findings ? 1 : 0;
}
