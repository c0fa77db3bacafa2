#include "tests/run/fake_machine.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>

#include "app/run.h"
#include "diag/runlog.h"
#include "host/guards.h"
#include "os/api.h"
#include "tests/support/fake.h"
#include "tests/support/fake_wmi.h"
#include "tests/support/leaks.h"

namespace run_testing {
namespace {

const GUID kControllerClass = {0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
const HDEVINFO kControllerSet = reinterpret_cast<HDEVINFO>(0x5E71);
const HDEVINFO kAcpiSet = reinterpret_cast<HDEVINFO>(0x5E72);
const HANDLE kDevice = reinterpret_cast<HANDLE>(0xDE71);
const wchar_t kDevicePath[] = L"\\\\?\\root#zrplat#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}";
const wchar_t* const kAcpiIds[] = {L"ACPI\\PNP0A08", L"ACPI\\IFX0102"};
const wchar_t kControllerKey[] = L"Software\\VadrelRunTest\\Controller";
const wchar_t kRecordKey[] = L"Software\\Kestrova\\Vadrel";
const wchar_t kPreinstallFile[] = L"C:\\Util\\Version.doc";
const wchar_t kDriverFile[] = L"C:\\Windows\\System32\\Drivers\\tpm.sys";
const wchar_t kPackageFile[] = L"C:\\Windows\\INF\\tpm.inf";

const Machine* g_m = nullptr;
Result* g_r = nullptr;
os::Api g_real;
HANDLE g_log = INVALID_HANDLE_VALUE;
bool g_installed = false;
std::wstring g_dir;  // where the run's executable seems to be, and its log goes

void Event(std::string e, bool argumentsRight = true) {
  if (!argumentsRight) e += " (bad arguments)";
  if (g_r->events.empty() || g_r->events.back() != e) g_r->events.push_back(e);
}

WINBOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// --- The OS boundary's answers.

int WINAPI LoadText(HINSTANCE h, UINT id, LPWSTR buffer, int cch) {
  Event(id == 103 ? std::string("caption") : "msg " + std::to_string(id));
  return g_real.LoadStringW(h, id, buffer, cch);
}
UINT WINAPI SetMode(UINT mode) {
  Event("errormode", mode == (SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
  return SEM_NOGPFAULTERRORBOX;
}
DWORD WINAPI ModulePath(HMODULE, LPWSTR buffer, DWORD cch) {
  wcsncpy_s(buffer, cch, (g_dir + L"vadrel.exe").c_str(), _TRUNCATE);
  return static_cast<DWORD>(wcslen(buffer));
}
HANDLE WINAPI OpenFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                       DWORD flags, HANDLE tmpl) {
  if (_wcsicmp(path, kDevicePath) == 0) return kDevice;
  HANDLE h = g_real.CreateFileW(path, access, share, sa, disposition, flags, tmpl);
  if (_wcsicmp(path, (g_dir + L"vadrel.log").c_str()) == 0) {
    Event("log");
    g_log = h;
  }
  return h;
}
WINBOOL WINAPI Write(HANDLE h, LPCVOID data, DWORD cb, LPDWORD written, LPOVERLAPPED ov) {
  if (h == g_log) Event("line");
  return g_real.WriteFile(h, data, cb, written, ov);
}
WINBOOL WINAPI Version(LPOSVERSIONINFOW p) {
  Event("windows");
  const DWORD size = p->dwOSVersionInfoSize;
  memset(p, 0, size);
  *p = {size, 6, 1, 7601, VER_PLATFORM_WIN32_NT, {}};
  if (size == sizeof(OSVERSIONINFOEXW))
    reinterpret_cast<OSVERSIONINFOEXW*>(p)->wProductType = g_m->server ? VER_NT_SERVER : VER_NT_WORKSTATION;
  return TRUE;
}

// The platform controller's interface set, and the ACPI devices.
HDEVINFO WINAPI ClassDevs(const GUID* guid, PCWSTR enumerator, HWND hwnd, DWORD flags) {
  if (guid && IsEqualGUID(*guid, kControllerClass) && flags == (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
    Event("model");
    return kControllerSet;
  }
  if (!guid && enumerator && wcscmp(enumerator, L"ACPI") == 0 && flags == (DIGCF_PRESENT | DIGCF_ALLCLASSES)) {
    Event("tpm");
    return kAcpiSet;
  }
  return g_real.SetupDiGetClassDevsW(guid, enumerator, hwnd, flags);
}
WINBOOL WINAPI Interfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  if (set != kControllerSet || index > 0 || !g_m->controller) return Fail(ERROR_NO_MORE_ITEMS);
  data->InterfaceClassGuid = kControllerClass;
  data->Flags = SPINT_ACTIVE;
  return TRUE;
}
WINBOOL WINAPI Detail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD cb,
                      PDWORD required, PSP_DEVINFO_DATA element) {
  const DWORD need =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(kDevicePath));
  if (required) *required = need;
  if (!detail || cb < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(detail->DevicePath, kDevicePath, sizeof(kDevicePath));
  if (element) element->DevInst = 1;
  return TRUE;
}
// The controller's driver key: a scratch key of the user's with a driver recent enough.
HKEY WINAPI DriverKey(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM) {
  HKEY key = nullptr;
  RegSetKeyValueW(HKEY_CURRENT_USER, kControllerKey, L"DriverVersion", REG_SZ, L"1.0.8.0", sizeof(L"1.0.8.0"));
  RegOpenKeyExW(HKEY_CURRENT_USER, kControllerKey, 0, KEY_READ, &key);
  return key;
}
WINBOOL WINAPI Ioctl(HANDLE h, DWORD code, LPVOID in, DWORD cbIn, LPVOID out, DWORD cbOut, LPDWORD returned,
                     LPOVERLAPPED ov) {
  if (h != kDevice) return g_real.DeviceIoControl(h, code, in, cbIn, out, cbOut, returned, ov);
  if (!g_m->modelReadable || cbOut < 128) return Fail(ERROR_GEN_FAILURE);
  memset(out, 0, cbOut);
  memcpy(static_cast<BYTE*>(out) + 40, g_m->model, strnlen(g_m->model, 12));
  *returned = 128;
  return TRUE;
}
WINBOOL WINAPI DeviceAt(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  if (set != kAcpiSet) return g_real.SetupDiEnumDeviceInfo(set, index, data);
  if (index >= (g_m->tpmDevice ? 2u : 1u)) return Fail(ERROR_NO_MORE_ITEMS);
  data->DevInst = index;
  return TRUE;
}
WINBOOL WINAPI Property(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer, DWORD cb,
                        PDWORD required) {
  if (set != kAcpiSet) return g_real.SetupDiGetDeviceRegistryPropertyW(set, data, property, type, buffer, cb, required);
  if (property != SPDRP_HARDWAREID) return Fail(ERROR_INVALID_DATA);
  const wchar_t* id = kAcpiIds[data->DevInst];
  const DWORD need = static_cast<DWORD>((wcslen(id) + 2) * sizeof(wchar_t));  // a list of one
  if (required) *required = need;
  if (!buffer || cb < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (type) *type = REG_MULTI_SZ;
  memset(buffer, 0, need);
  memcpy(buffer, id, wcslen(id) * sizeof(wchar_t));
  return TRUE;
}

HRESULT WINAPI ComInit(LPVOID reserved, DWORD flags) {
  Event("com", reserved == nullptr && flags == COINIT_MULTITHREADED);
  return g_m->comFails ? RPC_E_CHANGED_MODE : S_OK;
}
decltype(os::api.CoCreateInstance) g_wmiCreate;
HRESULT WINAPI Create(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
  Event("hotfix");
  return g_wmiCreate(clsid, outer, context, iid, out);
}

const wchar_t* DriverImage() { return g_installed ? g_m->driverAfter : g_m->driver; }
WINBOOL WINAPI Exists(LPCWSTR path) {
  if (_wcsicmp(path, kPackageFile) == 0) {
    Event("package");
    return g_m->package;
  }
  if (_wcsicmp(path, kDriverFile) == 0) {
    Event("driver");
    return DriverImage() != nullptr;
  }
  return g_real.PathFileExistsW(path);
}
HMODULE WINAPI Load(LPCWSTR path) {
  if (_wcsicmp(path, kDriverFile) != 0) return g_real.LoadLibraryW(path);
  Event("driver");
  if (!DriverImage()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring image(self);
  image = image.substr(0, image.find_last_of(L'\\') + 1) + RUN_IMAGE_DIR_FROM_TESTS + L"\\" + DriverImage();
  return g_real.LoadLibraryW(image.c_str());
}
WINBOOL WINAPI Install(HWND owner, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL reboot) {
  Event("install", !owner && wcscmp(id, L"ACPI\\IFX0102") == 0 && wcscmp(inf, kPackageFile) == 0 &&
                       flags == INSTALLFLAG_NONINTERACTIVE);
  g_installed = true;
  if (reboot) *reboot = g_m->rebootRequired;
  SetLastError(g_m->installerError);
  return g_m->installerError == 0;
}
int WINAPI ShowBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  Event("box");
  g_r->boxes.push_back({owner, text ? text : L"", caption ? caption : L"", type});
  if ((type & MB_TYPEMASK) != MB_OKCANCEL) return IDOK;
  if (g_m->answer == 0) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return g_m->answer;
}

// --- The machine's files and registry around a run.

void DeleteRecord() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, KEY_WOW64_64KEY, 0); }

void WriteEarlierRecord() {
  const DWORD status = kEarlierStatus, code = 0;
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRecordKey, L"status", REG_DWORD, &status, sizeof(status));
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRecordKey, L"code", REG_DWORD, &code, sizeof(code));
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRecordKey, L"updatedver", REG_SZ, kEarlierUpdated, sizeof(kEarlierUpdated));
}

std::wstring ReadRecord() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return L"";
  std::wstring text = L"key";
  for (const wchar_t* name : {L"status", L"code", L"updatedver"}) {
    union {
      DWORD number;
      wchar_t text[512];
    } data = {};
    DWORD type = 0, cb = sizeof(data) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &cb) != ERROR_SUCCESS) continue;
    text += L" " + std::wstring(name) +
            (type == REG_DWORD ? L"=" + std::to_wstring(data.number)
                               : type == REG_SZ ? L"=\"" + std::wstring(data.text) + L"\"" : L" of another type");
  }
  RegCloseKey(key);
  return text;
}

void PlacePreinstallFile(const char* content) {
  DeleteFileW(kPreinstallFile);
  if (!content) return;
  CreateDirectoryW(L"C:\\Util", nullptr);
  std::ofstream("C:\\Util\\Version.doc", std::ios::binary) << content;
}

// Log lines as written: CR LF ends a line, a bare LF belongs to its text.
std::vector<std::string> ReadLog(const std::wstring& path, bool* exists) {
  std::vector<std::string> lines;
  std::ifstream in(path.c_str(), std::ios::binary);
  if (!(*exists = in.is_open())) return lines;
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start).substr(std::min<size_t>(20, end - start)));
  if (start < text.size()) lines.push_back("unterminated: " + text.substr(start));
  return lines;
}

}  // namespace

std::vector<UINT> Result::Reported() const {
  std::vector<UINT> ids;
  for (const auto& e : events)
    if (e.compare(0, 4, "msg ") == 0) ids.push_back(static_cast<UINT>(std::stoul(e.substr(4))));
  return ids;
}

int Result::Count(const char* step) const { return static_cast<int>(std::count(events.begin(), events.end(), step)); }

std::wstring CatalogueText(UINT uId) {
  wchar_t text[4096] = {};
  LoadStringW(GetModuleHandleW(nullptr), uId, text, 4096);
  return text;
}

Result RunOn(const Machine& machine, bool earlierRecord) {
  Result result;
  g_m = &machine;
  g_r = &result;
  g_installed = false;
  g_log = INVALID_HANDLE_VALUE;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  g_dir = std::wstring(temp) + L"vadrel-run-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(g_dir.c_str(), nullptr);
  const std::wstring logPath = g_dir + L"vadrel.log";
  DeleteFileW(logPath.c_str());
  DeleteRecord();
  if (earlierRecord) WriteEarlierRecord();
  PlacePreinstallFile(machine.preinstall);
  // Each run starts as a new process would: guard without handle, log closed.
  theInstanceGuard._hMutex.reset();
  theRunLog._hFile.reset();
  HANDLE other = machine.otherInstance ? CreateMutexW(nullptr, FALSE, L"Kestrova_Orlinth_Mutex") : nullptr;
  g_real = os::api;
  {
    testing_wmi::Wmi wmi;
    wmi.next = machine.hotfix ? S_OK : static_cast<HRESULT>(WBEM_S_FALSE);
    wmi.failingAllocation = machine.hotfixOutOfMemory ? 1 : 0;
    testing_wmi::FakeWmi fakeWmi(wmi);
    g_wmiCreate = os::api.CoCreateInstance;
    FAKE(CoCreateInstance, &Create);
    FAKE(GetCommandLineW, []() -> LPWSTR {
      Event("options");
      return const_cast<LPWSTR>(g_m->commandLine);
    });
    FAKE(LoadStringW, &LoadText);
    FAKE(GetErrorMode, []() -> UINT { return SEM_NOGPFAULTERRORBOX; });
    FAKE(SetErrorMode, &SetMode);
    FAKE(GetModuleFileNameW, &ModulePath);
    FAKE(CreateFileW, &OpenFile);
    FAKE(WriteFile, &Write);
    FAKE(CloseHandle, [](HANDLE h) { return h == kDevice ? TRUE : g_real.CloseHandle(h); });
    FAKE(CreateMutexW, [](LPSECURITY_ATTRIBUTES sa, WINBOOL owner, LPCWSTR name) {
      Event("instance");
      return g_real.CreateMutexW(sa, owner, name);
    });
    FAKE(InitCommonControlsEx, [](const INITCOMMONCONTROLSEX* icc) -> WINBOOL {
      Event("controls", icc->dwSize == 8 && icc->dwICC == 0xFFFFFFFF);
      return TRUE;
    });
    FAKE(CheckTokenMembership, [](HANDLE, PSID, PBOOL member) -> WINBOOL {
      Event("admin");
      *member = g_m->admin;
      return TRUE;
    });
    FAKE(GetVersionExW, &Version);
    FAKE(SetupDiGetClassDevsW, &ClassDevs);
    FAKE(SetupDiDestroyDeviceInfoList, [](HDEVINFO set) {
      return set == kControllerSet || set == kAcpiSet ? TRUE : g_real.SetupDiDestroyDeviceInfoList(set);
    });
    FAKE(SetupDiEnumDeviceInterfaces, &Interfaces);
    FAKE(SetupDiGetDeviceInterfaceDetailW, &Detail);
    FAKE(SetupDiOpenDevRegKey, &DriverKey);
    FAKE(DeviceIoControl, &Ioctl);
    FAKE(SetupDiEnumDeviceInfo, &DeviceAt);
    FAKE(SetupDiGetDeviceRegistryPropertyW, &Property);
    FAKE(CoInitializeEx, &ComInit);
    FAKE(CoUninitialize, [] { Event("uncom"); });
    FAKE(PathFileExistsW, &Exists);
    FAKE(LoadLibraryW, &Load);
    FAKE(Sleep, [](DWORD) {});
    FAKE(UpdateDriverForPlugAndPlayDevicesW, &Install);
    FAKE(MessageBoxW, &ShowBox);
    testing_os::LeakCheck leaks;
    result.exitCode = RunVadrel(GetModuleHandleW(nullptr));
    // What the process-wide objects keep until the process ends.
    theRunLog._hFile.reset();
    theInstanceGuard._hMutex.reset();
    result.leaks = leaks.Describe();
    result.comRefs = fakeWmi.locator.refs() + fakeWmi.services.refs() + fakeWmi.results.refs() +
                     fakeWmi.object.refs() + wmi.liveBstrs;
  }
  if (other) CloseHandle(other);
  result.log = ReadLog(logPath, &result.logExists);
  result.record = ReadRecord();
  DeleteFileW(logPath.c_str());
  PlacePreinstallFile(nullptr);
  DeleteRecord();
  g_m = nullptr;
  g_r = nullptr;
  return result;
}

}  // namespace run_testing
