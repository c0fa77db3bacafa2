// Fault injection over the whole run, inside a simulated ZR-45 (zr45.py exec).
// Each mode runs once cleanly, recording every call through the OS boundary;
// then once per call N with call N failing, once per N with every call from N
// on failing, once per call site and each further error its page gives, once
// per C++ allocation N with allocation N failing, once per method call N of the
// WMI locator with that call failing (an RPC error, then a WBEM one). The
// contract checker fails a call as its contract row says Windows fails it. Each
// run must end with the outcome the failure gives by the tool's rules, keep
// every contract of the boundary and release what it acquired; a run with one
// failure must also leave the record, the log, the options and the boxes the
// rules say. Only what Wine cannot give is faked: the command line, the pauses,
// the answers to the boxes and the installer's copy of the driver file.
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

// The check or part of the run in progress when a call is made, and the outcome a failure of one of its
// calls gives (kClean: none, by the rules).
using Step = int;
enum : Step { Entry, Options, LogOpen, Com, Instance, Controls, Admin, Model, ModelRule, Windows, Tpm };
enum : Step { Hotfix = Tpm + 1, Package, Repaired, OldDriver, Confirm, Install, ReadBack, Record, Report };
const DWORD kOutcome[] = {kClean, kClean, kClean, 12,     13, kClean, 1,  15, 16,     kClean,
                          29,     26,     28,     kClean, 27, kClean, 12, 12, kClean, kClean};

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
const Mode kModes[] = {
    {"silent", L"vadrel.exe /s", L"old", false, false, false, 0, {Confirm}},
    {"interactive", L"vadrel.exe", L"old", true, false, false, 0, {LogOpen}},
    {"forced", L"vadrel.exe /s /f", L"old", true, false, false, 0, {Model, ModelRule, Hotfix, Repaired, OldDriver, Confirm}},
    {"already-repaired", L"vadrel.exe /s", L"repaired", true, false, false, 2, {OldDriver, Confirm, Install, ReadBack}},
    {"retries-restart", L"vadrel.exe /s", L"old", false, true, false, 0, {Confirm}},
    {"cancel", L"vadrel.exe", L"old", false, false, true, 11, {LogOpen, Install, ReadBack}}};
constexpr long kModelRuleStride = 16;

// What one run did, as seen from the boundary. Its planned failure: the failable call that fails
// (-1: none), once or for good, and with which error; the C++ allocation that fails; the WMI method
// call that fails, from 1, and with what.
using Box = std::tuple<std::wstring, std::wstring, UINT, bool>;  // text, caption, style, owner
struct Run {
  long failAt = -1, newFailAt = -1;
  bool persist = false, noArgv = false;  // noArgv: the command line's split failed
  std::optional<DWORD> failError;
  DWORD wmiFailAt = 0, wmiError = 0;
  long calls = 0, news = 0, lines = 0, messages = -1;
  Step step = Entry;
  std::string role;                 // which record value the registry calls serve
  std::vector<std::string> writes;  // record values, in the order the run tried them
  std::set<Step> steps = {Entry};
  std::vector<Box> boxes;  // every box the run tried to show
};
// A failable call of the clean run: where it came from; its page's errors; the record value it serves,
// its step, the message and the log line in progress; whether the run log made it; whether it releases;
// whether it succeeded, else its error.
struct CleanCall {
  const char* name;
  const void* site;
  const std::vector<DWORD>* errors;
  std::string role;
  Step step;
  long message, line;
  bool log, releases, ok;
  DWORD error;
};
Run g_run;
const Mode* g_mode = nullptr;
HANDLE g_held = INVALID_HANDLE_VALUE;  // tpm.sys as another program holds it
// The clean run remembers each call; only the run's own allocations count.
bool g_recording = false, g_countNews = false, g_comLeaked = false;
std::vector<CleanCall> g_calls;
std::vector<std::pair<Step, long>> g_news;  // the step and the message in progress at each allocation
DWORD g_wmiCalls = 0;
std::set<DWORD64> g_logFunctions;
std::set<std::string> g_contractsTold;
std::vector<std::string> g_contracts;  // the contracts the current run broke

bool Is(const char* name, const char* wanted) { return name && strcmp(name, wanted) == 0; }
std::string Narrow(const wchar_t* text) { return text ? std::string(text, text + wcslen(text)) : std::string(); }

// Marks the step a call starts, which record value and message it serves, before the call may fail.
void Mark(Step step) { g_run.steps.insert(g_run.step = step); }
void Observe(const testing_os::Call& c) {
  // The steps these calls start.
  static const char* const kMarkNames[] = {"CommandLineToArgvW",   "GetModuleFileNameW",
                                           "CoInitializeEx",       "CreateMutexW",
                                           "InitCommonControlsEx", "AllocateAndInitializeSid",
                                           "DeviceIoControl",      "GetSystemMetrics",
                                           "CoInitializeSecurity", "UpdateDriverForPlugAndPlayDevicesW"};
  static const Step kMarkSteps[] = {Options, LogOpen, Com, Instance, Controls, Admin, ModelRule, Windows, Hotfix, Install};
  const char* const name = c.name;
  const auto text = [&](int i) { return c.a[i] ? reinterpret_cast<LPCWSTR>(c.a[i]) : L"(null)"; };
  for (size_t i = 0; i < std::size(kMarkSteps); ++i)
    if (Is(name, kMarkNames[i])) Mark(kMarkSteps[i]);
  // A version read starts: whether the driver is repaired already, or what the installation left.
  if (Is(name, "IsWow64Process") && (g_run.step == Package || g_run.step == Install))
    Mark(g_run.step == Package ? Repaired : ReadBack);
  if (Is(name, "WriteFile")) ++g_run.lines;  // the program writes no file but its log: one call a line
  if (Is(name, "SetupDiGetClassDevsW")) Mark(c.a[0] ? Model : Tpm);
  if (Is(name, "GetModuleHandleW")) ++g_run.messages, Mark(Report);  // the program's module, for a message text
  if (Is(name, "PathFileExistsW")) Mark(wcscmp(text(0), kDriverPackagePath) == 0 ? Package : OldDriver);
  if (Is(name, "MessageBoxW") && (c.a[3] & MB_TYPEMASK) == MB_OKCANCEL) Mark(Confirm);
  if (Is(name, "MessageBoxW")) g_run.boxes.push_back({text(1), text(2), UINT(c.a[3]), c.a[0] != 0});
  if (strncmp(name, "Reg", 3) != 0) return;
  g_run.role.clear();
  if ((Is(name, "RegOpenKeyExW") || Is(name, "RegCreateKeyExW")) && !wcscmp(text(1), kRecordKey))
    Mark(Record), g_run.role = Is(name, "RegOpenKeyExW") ? "read" : "key";  // the status read, or a key for a value to set
  if (Is(name, "RegQueryValueExW") && g_run.step == Record) g_run.role = "read";
  if (Is(name, "RegSetValueExW")) {
    g_run.writes.push_back(g_run.role = Narrow(text(1)));  // the names are ASCII
    for (auto k = g_calls.rbegin(); g_recording && k != g_calls.rend() && k->role == "key"; ++k) k->role = g_run.role;
  }
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
// the one planned for the call it starts at, else the first its page gives.
bool Failed(long n) { return g_run.failAt >= 0 && (n == g_run.failAt || (g_run.persist && n > g_run.failAt)); }
DWORD ErrorOf(long n, const std::vector<DWORD>& errors) {
  return n == g_run.failAt && g_run.failError ? *g_run.failError : errors.empty() ? 0 : errors[0];
}

// The program's own module is always there to be found, and the process heap lasts as long as the
// process: the two are never failed.
bool Failable(const testing_os::Call& c) {
  return c.fails != testing_os::kNever && !(Is(c.name, "GetModuleHandleW") && !c.a[0]) && !Is(c.name, "GetProcessHeap");
}

// Counts one failable call; the error it fails with, or none.
std::optional<DWORD> Fault(const testing_os::Call& c) {
  Observe(c);
  if (!Failable(c)) return std::nullopt;
  const long n = g_run.calls++;
  // A line's own write belongs to that line, counted as it was observed.
  if (g_recording)
    g_calls.push_back({c.name, c.site, &c.errors, g_run.role, g_run.step, g_run.messages,
                       g_run.lines - Is(c.name, "WriteFile"), InLog(), c.releases, true, 0});
  if (!Failed(n)) return std::nullopt;
  g_run.noArgv |= Is(c.name, "CommandLineToArgvW");
  return ErrorOf(n, c.errors);
}
// How a call of the clean run ended.
void Ended(const testing_os::Call& c, bool ok, DWORD error) {
  if (g_recording && Failable(c)) g_calls.back().ok = ok, g_calls.back().error = ok ? 0 : error;
}

}  // namespace

// Every C++ allocation of the run counts; the planned one fails.
void* operator new(size_t cb) {
  if (g_countNews && !testing_os::checking) {
    if (g_recording) g_countNews = false, g_news.push_back({g_run.step, g_run.messages}), g_countNews = true;
    if (g_run.news++ == g_run.newFailAt) throw std::bad_alloc();
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
  const char* const name = call.name;
  if (!call.ok && call.error == error) return kClean;              // it failed that way anyway: a size query
  if (call.releases || Is(name, "FormatMessageA")) return kClean;  // a release still releases; error text
  if (Is(name, "GetVersionExW")) return 18;   // of the Windows step's calls only the version tells the release
  if (Is(name, "SysAllocString")) return 12;  // no memory for the query's strings: a failure of its own, unrecorded
  if (Is(name, "CoInitializeSecurity")) return error == static_cast<DWORD>(RPC_E_TOO_LATE) ? kClean : 26;  // set earlier
  if (Is(name, "UpdateDriverForPlugAndPlayDevicesW"))  // no better driver, no such device, anything else
    return error == ERROR_NO_MORE_ITEMS ? 28 : error == static_cast<DWORD>(ERROR_NO_SUCH_DEVINST) ? 29 : 12;
  if (Is(name, "SetupDiGetDeviceRegistryPropertyW") && error == ERROR_INSUFFICIENT_BUFFER) return kClean;  // asked again
  if (Is(name, "MessageBoxW") && call.step == Confirm) return 11;  // a box that cannot be shown is no OK
  if (!std::set<Step>{Repaired, OldDriver, ReadBack}.count(call.step)) return kOutcome[call.step];
  // The next attempt loads it; a process not under WOW64.
  if (Is(name, "LoadLibraryW") || Is(name, "LoadLibraryExW")) return kClean;
  if (call.step == ReadBack) return 12;
  // A version that cannot be read is not the repaired one; on a repaired machine not the old one either.
  return call.step == OldDriver || g_mode->planned == 2 ? 27 : kClean;
}

// The outcome the planned failure of this run gives.
DWORD ExpectedOutcome() {
  DWORD code = g_run.wmiFailAt ? 26 : kClean;
  // A message text that cannot be made is empty; the controller not opened; elsewhere a failure of its own.
  if (const long a = g_run.newFailAt; a >= 0)
    code = g_news[a].first == Report || g_news[a].first == Confirm ? kClean : g_news[a].first == Model ? 15 : 12;
  // A failure that lasts stops the first later call whose failure counts.
  for (long n = g_run.failAt; n >= 0 && n < static_cast<long>(g_calls.size()) && code == kClean;
       n = g_run.persist ? n + 1 : -1)
    code = Expected(g_calls[n], ErrorOf(n, *g_calls[n].errors));
  return code == kClean ? g_mode->planned : code;
}

const CleanCall* FailedCall() { return g_run.failAt >= 0 ? &g_calls[g_run.failAt] : nullptr; }

// The catalogue message the outcome reports, or none.
const wchar_t* Message(DWORD code) {
  static const std::map<DWORD, unsigned> kMessages = {{0, 111},  {1, 106},  {2, 108},  {3, 116},  {12, 104},
                                                      {15, 114}, {16, 104}, {17, 107}, {18, 105}, {26, 112},
                                                      {27, 117}, {28, 113}, {29, 107}, {30, 104}};
  const auto it = kMessages.find(code);  // the installer's own 28 and 29 are failures
  return it == kMessages.end()
             ? nullptr
             : testing_catalogue::English(g_run.steps.count(Install) && (code == 28 || code == 29) ? 104 : it->second);
}

// --- The machine around a run.

// The record's values as text, by name: the status and code, and updatedver.
using RecordState = std::map<std::string, std::string>;

RecordState ReadRecord(std::vector<std::string>& broken) {
  RecordState r;
  for (const wchar_t* name : {L"status", L"code"}) {
    DWORD data = 0, cb = sizeof(data), type = 0;
    if (!RegGetValueW(HKEY_LOCAL_MACHINE, kRecordKey, name, RRF_RT_ANY, &type, &data, &cb))
      r[Narrow(name)] =
          type == REG_DWORD && cb == 4 ? std::to_string(data) : (broken.push_back("record: not a REG_DWORD"), "?");
  }
  wchar_t text[300] = {};
  DWORD cb = sizeof(text), type = 0;
  if (!RegGetValueW(HKEY_LOCAL_MACHINE, kRecordKey, L"updatedver", RRF_RT_ANY | RRF_NOEXPAND, &type, text, &cb)) {
    r["updatedver"] = Narrow(text);
    // The whole 260-character buffer: the text, then zeros.
    if (type != REG_SZ || cb != 520 || std::any_of(text + wcslen(text), text + 260, [](wchar_t c) { return c != 0; }))
      broken.push_back("record: \"updatedver\" not 520 bytes of REG_SZ, the text then zeros");
  }
  return r;
}

void SetDword(LPCWSTR key, LPCWSTR name, DWORD v) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, name, REG_DWORD, &v, sizeof(v));
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

// The program that held tpm.sys without sharing lets it go (none held: the process's pseudo handle, which
// CloseHandle leaves alone).
// The program that held tpm.sys without sharing lets it go.
void LetGo() {
  if (g_held != INVALID_HANDLE_VALUE) CloseHandle(std::exchange(g_held, INVALID_HANDLE_VALUE));
}

RecordState Before(const Mode& mode) {
  return mode.earlierRecord ? RecordState{{"status", std::to_string(kEarlierStatus)}, {"code", std::to_string(kEarlierCode)}}
                            : RecordState{};
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

// A finding's list, an item a line.
template <class C, class F> std::string List(const C& items, F show) {
  std::string all;
  for (const auto& item : items) all += "\n    | " + show(item);
  return all;
}

// The record's rules: what the run's outcome writes, less what its failing call lost. Under lasting
// failures the record is the clean run's up to the first failure: nothing to check but the outcome.
void CheckRecord(const Mode& mode, DWORD code, std::vector<std::string>& broken) {
  const RecordState actual = ReadRecord(broken);
  static const char* const kOrder[] = {"updatedver", "status", "code"};
  for (size_t i = 1; i < g_run.writes.size(); ++i)
    if (std::find(kOrder, kOrder + 3, g_run.writes[i]) <= std::find(kOrder, kOrder + 3, g_run.writes[i - 1]))
      broken.push_back("record written out of order");
  if (g_run.persist) return;
  const RecordState before = Before(mode);
  RecordState expected = before;
  const bool installed = g_run.steps.count(Install);
  const CleanCall* failed = FailedCall();
  const DWORD error = failed ? ErrorOf(g_run.failAt, *failed->errors) : 0;
  if (!(code == 1 || code == 13 || (code == 12 && !installed))) {  // those leave it alone
    if (installed) {
      if (code == 0 || code == 30) expected["updatedver"] = Narrow(kRepairedVersion);
      const bool installerFailed = failed && Is(failed->name, "UpdateDriverForPlugAndPlayDevicesW");
      expected["status"] = std::to_string(code == 0 ? (mode.retries ? 638 : 0) : installerFailed ? error : 1);
    } else if (failed && failed->role == "read") {  // a refusal whose read of "status" failed:
      if (error == ERROR_FILE_NOT_FOUND) expected["status"] = std::to_string(~0u);  // gone as it was read: marked
    } else if (!expected.count("status")) {
      expected["status"] = std::to_string(~0u);  // a refusal marks a status that is not there, and keeps one that is
    }
    expected["code"] = std::to_string(code);
    // A value whose setting failed, or "updatedver" whose key did not open (one attempt only).
    if (failed &&
        (Is(failed->name, "RegSetValueExW") || (Is(failed->name, "RegCreateKeyExW") && failed->role == "updatedver"))) {
      before.count(failed->role) ? void(expected[failed->role] = before.at(failed->role))
                                 : void(expected.erase(failed->role));
    }
  }
  const auto show = [](const auto& item) { return item.first + "=" + item.second; };
  if (actual != expected) broken.push_back("record:" + List(actual, show) + "\n  the rules give:" + List(expected, show));
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

// What the user sees: the options; in a silent run the log beside the program, appended to, with the
// start line, the outcome's message and the return code, and no box; otherwise the question and the
// outcome's message as system-modal boxes with the caption. Under lasting failures, only the options.
void CheckLogAndBoxes(const Mode& mode, DWORD code, std::vector<std::string>& broken) {
  // The options the modes' command lines give (/s, /f: force only with silent); none when the command line
  // could not be split (an interactive run).
  const bool silent = !g_run.noArgv && wcsstr(g_mode->commandLine, L" /s"),
             force = silent && wcsstr(g_mode->commandLine, L" /f");
  if (RunOptions::silent != silent || RunOptions::force != force) broken.push_back("options: a run of another mode");
  if (g_run.persist) return;
  const CleanCall* failed = FailedCall();
  // The caption's load is the run's first call; a message whose load failed is empty.
  const std::wstring caption = Failed(0) ? L"" : L"Orlinth";
  // A message's text is lost when its buffer or its string cannot be had.
  const auto text = [&](long message, const std::wstring& clean) {
    const long a = g_run.newFailAt;
    if (a >= 0 && g_news[a] == std::pair<Step, long>(Report, message)) return std::wstring();
    return failed && failed->message == message && failed->step == Report && !failed->log &&
                   (Is(failed->name, "HeapAlloc") || Is(failed->name, "LoadStringW"))
               ? std::wstring()
               : clean;
  };
  const bool noCom = failed && Is(failed->name, "CoInitializeEx");
  const wchar_t* const message = noCom ? testing_catalogue::English(104) : Message(code);

  // Boxes: none in a silent run; else the question when the checks passed, then the outcome's message.
  std::vector<Box> expected;
  if (!silent && (g_run.steps.count(Install) || code == 11))
    expected.push_back({text(0, testing_catalogue::English(110)), caption, MB_OKCANCEL | MB_SYSTEMMODAL, false});
  if (!silent && message) expected.push_back({text(long(expected.size()), message), caption, MB_SYSTEMMODAL, false});
  if (g_run.boxes != expected)
    broken.push_back("boxes: " + std::to_string(g_run.boxes.size()) + " shown, not the outcome's as the rules give");

  // The log.
  const std::optional<std::string> main = ReadBytes(kLog), bare = ReadBytes(kBareLog);
  const bool bareName = failed && Is(failed->name, "GetModuleFileNameW");
  const bool noLog =
      !silent || (failed && failed->step == LogOpen && (Is(failed->name, "PathAppendW") || Is(failed->name, "CreateFileW")));
  if (noLog) return main != kLogSeed || bare ? broken.push_back("log: written where no log should be") : void();
  if (bareName ? main != kLogSeed || !bare : bare.has_value())
    return broken.push_back(bareName ? "log: not the bare name in the current folder" : "log: in the current folder");
  const std::string file = (bareName ? bare : main).value_or("");
  // A file pointer not moved to the end writes over the earlier lines from the start.
  const bool overwrites = failed && Is(failed->name, "SetFilePointer");
  const std::string seed = bareName ? "" : kLogSeed;
  if (!overwrites && file.compare(0, seed.size(), seed) != 0) return broken.push_back("log: earlier lines lost");
  std::vector<std::string> want = {"(start line)"};
  if (message) want.push_back(Narrow(text(0, message).c_str()));
  if (!noCom) want.push_back("return code = " + std::to_string(code));
  // A line whose own writing failed is lost, that line alone (its flush failing loses nothing).
  if (failed && failed->log && !failed->releases && !Is(failed->name, "FlushFileBuffers") &&
      failed->line < static_cast<long>(want.size()))
    want.erase(want.begin() + failed->line);
  const std::vector<std::string> got = Bodies(overwrites ? file : file.substr(seed.size()), broken);
  const auto show = [](const std::string& line) { return line.substr(0, 60); };
  if (got != want) broken.push_back("log:" + List(got, show) + "\n  the rules give:" + List(want, show));
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
  // The cancelled run's kernel32 lacks the functions the tool looks up, as older releases do.
  if (mode.cancel) os::api.GetNativeSystemInfo = nullptr, os::api.GetProductInfo = nullptr;
  DWORD code = 0xDEAD;
  g_contracts.clear();
  {
    testing_os::Contracts contracts;
    testing_os::LeakCheck leakCheck;
    testing_os::fault = Fault, testing_os::ended = Ended;
    g_countNews = true;
    try {
      code = RunVadrel(GetModuleHandleW(nullptr));
    } catch (...) {
      broken.push_back("exception escaped");
    }
    g_countNews = false;
    // What process exit releases: the session mutex and the log, past the planned failures.
    testing_os::fault = nullptr, testing_os::ended = nullptr;
    theInstanceGuard._hMutex.reset();
    theRunLog._hFile.reset();
    if (const std::string leaks = leakCheck.Describe(); !leaks.empty()) broken.push_back("leak: " + leaks);
  }
  os::api = g_real;
  LetGo();
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
    for (const auto& [site, n] : sites)
      for (size_t e = 1; e < g_calls[n].errors->size(); ++e) plan.push_back({n, (*g_calls[n].errors)[e]});
  } else {
    const long length = kind < 2 ? long(g_calls.size()) : kind == 3 ? long(g_news.size()) : long(g_wmiCalls);
    // The model rule's thousand allocations are the regular expression library's, alike in every mode
    // and alike each to the next: only the first mode fails them, one in kModelRuleStride.
    for (long n = 0; n < length; ++n)
      if (kind != 3 || g_news[n].first != ModelRule || (&mode == kModes && n % kModelRuleStride == 0))
        plan.push_back({n, std::nullopt});
  }
  for (const auto& [n, error] : plan) {
    g_run = Run();
    (kind == 3 ? g_run.newFailAt : g_run.failAt) = kind <= 3 ? n : -1;
    g_run.persist = kind == 1, g_run.failError = error, g_run.wmiError = kind > 3 ? kWmiErrors[kind - 4] : 0;
    g_run.wmiFailAt = g_run.wmiError ? n + 1 : 0;
    snprintf(g_current, sizeof(g_current), "%s: %s %ld (%s) %lx", mode.name, kKinds[kind], n,
             kind < 3 ? g_calls[n].name : "", error.value_or(0));
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
  os::BindKernel32(), os::BindSystemDlls();  // as the entry point does before the run
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
  const ULONGLONG start = GetTickCount64();
  for (const Mode& mode : kModes) {
    g_run = Run();
    g_calls.clear(), g_news.clear();
    g_recording = true;
    snprintf(g_current, sizeof(g_current), "%s clean run", mode.name);
    std::vector<std::string> broken;
    const DWORD clean = RunOnce(mode, broken);
    g_recording = false;
    DWORD cb = sizeof(g_wmiCalls);
    g_wmiCalls = 0;
    if (g_run.steps.count(Hotfix))
      RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"WmiCalls", RRF_RT_REG_DWORD, nullptr, &g_wmiCalls, &cb);
    // The clean run does what the mode plans: its outcome, its steps, its record.
    if (clean != mode.planned) broken.push_back("exit " + std::to_string(clean));
    for (Step s = Entry; s <= Report; ++s)
      if (g_run.steps.count(s) == mode.skipped.count(s)) broken.push_back("step " + std::to_string(s));
    const std::vector<std::string> planned = mode.planned == 0    ? std::vector<std::string>{"updatedver", "status", "code"}
                                             : mode.earlierRecord ? std::vector<std::string>{"code"}
                                                                  : std::vector<std::string>{"status", "code"};
    if (g_run.writes != planned) broken.push_back("record writes other than planned");
    for (const std::string& b : broken) printf("finding: %s clean: %s\n", mode.name, b.c_str()), ++findings;
    long runs = 1;
    for (int kind = 0; kind < 6; ++kind) runs += Series(mode, kind, findings);
    printf("%s: clean exit %lu, %zu failable calls, %zu allocations, %ld runs, %.1f s so far\n", mode.name, clean,
           g_calls.size(), g_news.size(), runs, (GetTickCount64() - start) / 1000.0);
  }
  printf("%d findings\n", findings);
  return findings ? 1 : 0;
}
