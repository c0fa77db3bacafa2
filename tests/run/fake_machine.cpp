#include "tests/run/fake_machine.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

#include "app/run.h"
#include "diag/runlog.h"
#include "host/guards.h"
#include "os/api.h"
#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace run_testing {
namespace {

const GUID kControllerClass = {0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
const CLSID kAdministrativeLocator = {0xCB8555CC, 0x9128, 0x11D1, {0xAD, 0x9B, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};
const IID kLocatorIid = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const HDEVINFO kControllerSet = reinterpret_cast<HDEVINFO>(0x5E71);
const HDEVINFO kAcpiSet = reinterpret_cast<HDEVINFO>(0x5E72);
const HANDLE kDevice = reinterpret_cast<HANDLE>(0xDE71);
const wchar_t kDevicePath[] = L"\\\\?\\root#zrplat#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}";
const wchar_t kControllerKey[] = L"Software\\VadrelRunTest\\Controller";
const wchar_t kRecordParent[] = L"Software\\Kestrova";
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

void Event(const std::string& e) {
  if (g_r->events.empty() || g_r->events.back() != e) g_r->events.push_back(e);
}

std::wstring ExeDir() {
  wchar_t sz[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, sz, MAX_PATH);
  std::wstring dir(sz);
  return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

// --- The WMI graph: a locator, its namespace, a query's results, one object per hotfix.

#define NOT_USED \
  override { return E_NOTIMPL; }

template <class I>
class Counted : public I {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** pp) override {
    *pp = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  I* Handed() {
    AddRef();
    return this;
  }
  long refs = 0;
};

class Hotfix : public Counted<IWbemClassObject> {
 public:
  explicit Hotfix(std::wstring id) : id_(std::move(id)) {}
  const std::wstring& id() const { return id_; }
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE*, LONG*) override {
    if (_wcsicmp(name, L"HotFixID") != 0) return WBEM_E_NOT_FOUND;
    V_VT(value) = VT_BSTR;
    V_BSTR(value) = ::SysAllocString(id_.c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) NOT_USED
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) NOT_USED
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) NOT_USED
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) NOT_USED
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) NOT_USED
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) NOT_USED
  HRESULT STDMETHODCALLTYPE EndEnumeration() NOT_USED
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) NOT_USED
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) NOT_USED
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) NOT_USED
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) NOT_USED
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) NOT_USED
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) NOT_USED
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) NOT_USED
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) NOT_USED
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) NOT_USED
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) NOT_USED
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) NOT_USED
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) NOT_USED
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) NOT_USED
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() NOT_USED
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) NOT_USED
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) NOT_USED

 private:
  std::wstring id_;
};

class Results : public Counted<IEnumWbemClassObject> {
 public:
  std::vector<Hotfix*> rows;
  size_t next = 0;
  HRESULT STDMETHODCALLTYPE Next(LONG, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
    ULONG n = 0;
    for (; n < count && next < rows.size(); ++n) objects[n] = rows[next++]->Handed();
    *returned = n;
    return n == count ? S_OK : static_cast<HRESULT>(WBEM_S_FALSE);
  }
  HRESULT STDMETHODCALLTYPE Reset() NOT_USED
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) NOT_USED
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) NOT_USED
};

class Namespace : public Counted<IWbemServices> {
 public:
  std::vector<std::unique_ptr<Hotfix>> hotfixes;
  Results results;
  // WQL as far as the tool uses it: the class, and a HotFixID equality.
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                                      IEnumWbemClassObject** out) override {
    std::wstring q(query);
    if (_wcsicmp(language, L"WQL") != 0 || q.find(L"Win32_QuickFixEngineering") == std::wstring::npos)
      return WBEM_E_INVALID_QUERY;
    std::wstring wanted;
    const size_t open = q.find(L'"');
    if (open != std::wstring::npos) wanted = q.substr(open + 1, q.find(L'"', open + 1) - open - 1);
    results.rows.clear();
    results.next = 0;
    for (auto& h : hotfixes)
      if (wanted.empty() || _wcsicmp(h->id().c_str(), wanted.c_str()) == 0) results.rows.push_back(h.get());
    *out = results.Handed();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**)
      NOT_USED
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) NOT_USED
  HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**)
      NOT_USED
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) NOT_USED
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) NOT_USED
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) NOT_USED
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) NOT_USED
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) NOT_USED
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) NOT_USED
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject**) NOT_USED
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                       IWbemObjectSink*) NOT_USED
  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                       IWbemClassObject**, IWbemCallResult**) NOT_USED
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                            IWbemObjectSink*) NOT_USED
};

class Locator : public Counted<IWbemLocator> {
 public:
  Namespace cimv2;
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR ns, const BSTR, const BSTR, const BSTR, LONG, const BSTR,
                                          IWbemContext*, IWbemServices** out) override {
    if (_wcsicmp(ns, L"root\\cimv2") != 0) return WBEM_E_INVALID_NAMESPACE;
    *out = cimv2.Handed();
    return S_OK;
  }
  long Held() const {
    long n = refs + cimv2.refs + cimv2.results.refs;
    for (const auto& h : cimv2.hotfixes) n += h->refs;
    return n;
  }
};

#undef NOT_USED

Locator* g_wmi = nullptr;

// --- The OS boundary's answers.

LPWSTR WINAPI CommandLine() {
  Event("options");
  return const_cast<LPWSTR>(g_m->commandLine);
}
int WINAPI LoadText(HINSTANCE h, UINT id, LPWSTR buffer, int cch) {
  Event(id == 103 ? std::string("caption") : "msg " + std::to_string(id));
  return g_real.LoadStringW(h, id, buffer, cch);
}
UINT WINAPI ErrorModeNow() { return SEM_NOGPFAULTERRORBOX; }
UINT WINAPI SetMode(UINT mode) {
  Event("errormode");
  g_r->errorMode = mode;
  return SEM_NOGPFAULTERRORBOX;
}
DWORD WINAPI ModulePath(HMODULE h, LPWSTR buffer, DWORD cch) {
  if (h != GetModuleHandleW(nullptr)) return g_real.GetModuleFileNameW(h, buffer, cch);
  const std::wstring path = g_dir + L"vadrel.exe";
  wcsncpy_s(buffer, cch, path.c_str(), _TRUNCATE);
  return static_cast<DWORD>(wcslen(buffer));
}
HANDLE WINAPI OpenFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                       DWORD flags, HANDLE tmpl) {
  if (_wcsicmp(path, kDevicePath) == 0) return kDevice;
  HANDLE h = g_real.CreateFileW(path, access, share, sa, disposition, flags, tmpl);
  const size_t n = wcslen(path);
  if (n >= 10 && _wcsicmp(path + n - 10, L"vadrel.log") == 0) {
    Event("log");
    g_log = h;
  }
  return h;
}
WINBOOL WINAPI Write(HANDLE h, LPCVOID data, DWORD cb, LPDWORD written, LPOVERLAPPED ov) {
  if (h == g_log) Event("line");
  return g_real.WriteFile(h, data, cb, written, ov);
}
WINBOOL WINAPI Close(HANDLE h) { return h == kDevice ? TRUE : g_real.CloseHandle(h); }
HANDLE WINAPI Mutex(LPSECURITY_ATTRIBUTES sa, WINBOOL owner, LPCWSTR name) {
  Event("instance");
  return g_real.CreateMutexW(sa, owner, name);
}
WINBOOL WINAPI Controls(const INITCOMMONCONTROLSEX* icc) {
  Event("controls");
  g_r->controlsAsked = icc->dwSize == 8 && icc->dwICC == 0xFFFFFFFF;
  return TRUE;
}
WINBOOL WINAPI Membership(HANDLE, PSID, PBOOL member) {
  Event("admin");
  *member = g_m->admin;
  return TRUE;
}
WINBOOL WINAPI Version(LPOSVERSIONINFOW p) {
  Event("windows");
  const DWORD size = p->dwOSVersionInfoSize;
  memset(p, 0, size);
  p->dwOSVersionInfoSize = size;
  p->dwMajorVersion = 6;
  p->dwMinorVersion = g_m->windows == Windows::Win8Workstation ? 2 : 1;
  p->dwBuildNumber = 7601;
  p->dwPlatformId = VER_PLATFORM_WIN32_NT;
  if (size == sizeof(OSVERSIONINFOEXW))
    reinterpret_cast<OSVERSIONINFOEXW*>(p)->wProductType =
        g_m->windows == Windows::Win7Server ? VER_NT_SERVER : VER_NT_WORKSTATION;
  return TRUE;
}

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
WINBOOL WINAPI DestroySet(HDEVINFO set) {
  return set == kControllerSet || set == kAcpiSet ? TRUE : g_real.SetupDiDestroyDeviceInfoList(set);
}
WINBOOL WINAPI Interfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  if (set != kControllerSet || index > 0 || !g_m->controller) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = kControllerClass;
  data->Flags = SPINT_ACTIVE;
  return TRUE;
}
WINBOOL WINAPI Detail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD cb,
                      PDWORD required, PSP_DEVINFO_DATA element) {
  const DWORD need =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(kDevicePath));
  if (required) *required = need;
  if (!detail || cb < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(detail->DevicePath, kDevicePath, sizeof(kDevicePath));
  if (element) element->DevInst = 1;
  return TRUE;
}
HKEY WINAPI DriverKey(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM) {
  HKEY key = nullptr;
  return RegOpenKeyExW(HKEY_CURRENT_USER, kControllerKey, 0, KEY_READ, &key) == ERROR_SUCCESS
             ? key
             : static_cast<HKEY>(INVALID_HANDLE_VALUE);
}
WINBOOL WINAPI Ioctl(HANDLE h, DWORD code, LPVOID in, DWORD cbIn, LPVOID out, DWORD cbOut, LPDWORD returned,
                     LPOVERLAPPED ov) {
  if (h != kDevice) return g_real.DeviceIoControl(h, code, in, cbIn, out, cbOut, returned, ov);
  if (!g_m->modelReadable || cbOut < 128) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  memset(out, 0, cbOut);
  memcpy(static_cast<BYTE*>(out) + 40, g_m->model, strnlen(g_m->model, 12));
  *returned = 128;
  return TRUE;
}
WINBOOL WINAPI DeviceAt(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  if (set != kAcpiSet) return g_real.SetupDiEnumDeviceInfo(set, index, data);
  if (index >= g_m->devices.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->DevInst = index;
  return TRUE;
}
WINBOOL WINAPI Property(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer, DWORD cb,
                        PDWORD required) {
  if (set != kAcpiSet) return g_real.SetupDiGetDeviceRegistryPropertyW(set, data, property, type, buffer, cb, required);
  if (property != SPDRP_HARDWAREID) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  std::wstring list = g_m->devices[data->DevInst];
  list.push_back(L'\0');
  const DWORD need = static_cast<DWORD>((list.size() + 1) * sizeof(wchar_t));
  if (required) *required = need;
  if (!buffer || cb < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (type) *type = REG_MULTI_SZ;
  memcpy(buffer, list.c_str(), need);
  return TRUE;
}

HRESULT WINAPI ComInit(LPVOID reserved, DWORD flags) {
  Event("com");
  ++g_r->coInits;
  g_r->comAsked = reserved == nullptr && flags == COINIT_MULTITHREADED;
  return g_m->comFails ? RPC_E_CHANGED_MODE : S_OK;
}
void WINAPI ComEnd() {
  Event("uncom");
  ++g_r->coUninits;
}
HRESULT WINAPI Security(PSECURITY_DESCRIPTOR, LONG, SOLE_AUTHENTICATION_SERVICE*, void*, DWORD, DWORD, void*, DWORD,
                        void*) {
  return S_OK;
}
HRESULT WINAPI Create(REFCLSID clsid, LPUNKNOWN, DWORD, REFIID iid, LPVOID* out) {
  Event("hotfix");
  *out = nullptr;
  if (!IsEqualCLSID(clsid, kAdministrativeLocator) || !IsEqualIID(iid, kLocatorIid)) return REGDB_E_CLASSNOTREG;
  *out = static_cast<IWbemLocator*>(g_wmi->Handed());
  return S_OK;
}
HRESULT WINAPI Blanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, RPC_AUTH_IDENTITY_HANDLE, DWORD) {
  return S_OK;
}
BSTR WINAPI Text(const OLECHAR* s) { return g_m->hotfixOutOfMemory ? nullptr : g_real.SysAllocString(s); }

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
  return g_real.LoadLibraryW((ExeDir() + RUN_IMAGE_DIR_FROM_TESTS + L"\\" + DriverImage()).c_str());
}
void WINAPI Pause(DWORD) {}
WINBOOL WINAPI Install(HWND owner, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL reboot) {
  Event("install");
  g_installed = true;
  g_r->installAsked = !owner && wcscmp(id, L"ACPI\\IFX0102") == 0 && wcscmp(inf, kPackageFile) == 0 &&
                      flags == INSTALLFLAG_NONINTERACTIVE;
  if (reboot) *reboot = g_m->rebootRequired;
  SetLastError(g_m->installerOk ? 0 : g_m->installerError);
  return g_m->installerOk;
}
int WINAPI ShowBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  Event("box");
  g_r->boxes.push_back({owner, text ? text : L"", caption ? caption : L"", type});
  if ((type & MB_TYPEMASK) != MB_OKCANCEL) return IDOK;
  if (g_m->answer == 0) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return g_m->answer;
}

// --- The machine's files and registry around a run.

void DeleteRecord() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordParent, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
    RegDeleteTreeW(key, L"Vadrel");
    RegCloseKey(key);
  }
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void WriteRecord(const Record& r) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  if (r.hasStatus) SetDword(key, L"status", r.status);
  if (r.hasCode) SetDword(key, L"code", r.code);
  if (r.hasUpdated)
    RegSetValueExW(key, L"updatedver", 0, REG_SZ, reinterpret_cast<const BYTE*>(r.updated.c_str()),
                   static_cast<DWORD>((r.updated.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

Record ReadRecord() {
  Record r;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return r;
  r.key = true;
  DWORD type = 0, cb = sizeof(DWORD);
  r.hasStatus = RegQueryValueExW(key, L"status", nullptr, &type, reinterpret_cast<BYTE*>(&r.status), &cb) ==
                    ERROR_SUCCESS && type == REG_DWORD;
  cb = sizeof(DWORD);
  r.hasCode = RegQueryValueExW(key, L"code", nullptr, &type, reinterpret_cast<BYTE*>(&r.code), &cb) ==
                  ERROR_SUCCESS && type == REG_DWORD;
  wchar_t text[300] = {};
  cb = sizeof(text) - sizeof(wchar_t);
  r.hasUpdated = RegQueryValueExW(key, L"updatedver", nullptr, &type, reinterpret_cast<BYTE*>(text), &cb) ==
                     ERROR_SUCCESS && type == REG_SZ;
  if (r.hasUpdated) r.updated = text;
  RegCloseKey(key);
  return r;
}

void SetControllerVersion(const wchar_t* version) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kControllerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, L"DriverVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                 static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void PlacePreinstallFile(const char* content) {
  DeleteFileW(kPreinstallFile);
  if (!content) return;
  CreateDirectoryW(L"C:\\Util", nullptr);
  std::ofstream out("C:\\Util\\Version.doc", std::ios::binary);
  out << content;
}

// Log lines as written: CR LF ends a line, a bare LF belongs to its text.
std::vector<std::string> ReadLog(const std::wstring& path, bool* exists) {
  std::vector<std::string> lines;
  FILE* file = _wfopen(path.c_str(), L"rb");
  *exists = file != nullptr;
  if (!file) return lines;
  std::string text;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof(chunk), file)) > 0;) text.append(chunk, n);
  fclose(file);
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

bool Result::Ran(const char* step) const {
  for (const auto& e : events)
    if (e == step) return true;
  return false;
}

std::wstring CatalogueText(UINT uId) {
  wchar_t text[4096] = {};
  LoadStringW(GetModuleHandleW(nullptr), uId, text, 4096);
  return text;
}

Record EarlierRecord() {
  Record r;
  r.key = r.hasStatus = r.hasCode = r.hasUpdated = true;
  r.status = 638;
  r.code = 0;
  r.updated = L"6.1.7601.19146";
  return r;
}

Result RunOn(const Machine& machine, const Record* pEarlier) {
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
  if (pEarlier) WriteRecord(*pEarlier);
  SetControllerVersion(L"1.0.8.0");
  PlacePreinstallFile(machine.preinstall);
  // Each run starts as a new process would: guard without handle, log closed.
  theInstanceGuard._hMutex.reset();
  theRunLog._hFile.reset();
  HANDLE other = machine.otherInstance ? CreateMutexW(nullptr, FALSE, L"Kestrova_Orlinth_Mutex") : nullptr;

  Locator wmi;
  for (const auto& id : machine.hotfixes) wmi.cimv2.hotfixes.push_back(std::make_unique<Hotfix>(id));
  g_wmi = &wmi;
  g_real = os::api;
  {
    FAKE(GetCommandLineW, &CommandLine);
    FAKE(LoadStringW, &LoadText);
    FAKE(GetErrorMode, &ErrorModeNow);
    FAKE(SetErrorMode, &SetMode);
    FAKE(GetModuleFileNameW, &ModulePath);
    FAKE(CreateFileW, &OpenFile);
    FAKE(WriteFile, &Write);
    FAKE(CloseHandle, &Close);
    FAKE(CreateMutexW, &Mutex);
    FAKE(InitCommonControlsEx, &Controls);
    FAKE(CheckTokenMembership, &Membership);
    FAKE(GetVersionExW, &Version);
    FAKE(SetupDiGetClassDevsW, &ClassDevs);
    FAKE(SetupDiDestroyDeviceInfoList, &DestroySet);
    FAKE(SetupDiEnumDeviceInterfaces, &Interfaces);
    FAKE(SetupDiGetDeviceInterfaceDetailW, &Detail);
    FAKE(SetupDiOpenDevRegKey, &DriverKey);
    FAKE(DeviceIoControl, &Ioctl);
    FAKE(SetupDiEnumDeviceInfo, &DeviceAt);
    FAKE(SetupDiGetDeviceRegistryPropertyW, &Property);
    FAKE(CoInitializeEx, &ComInit);
    FAKE(CoUninitialize, &ComEnd);
    FAKE(CoInitializeSecurity, &Security);
    FAKE(CoCreateInstance, &Create);
    FAKE(CoSetProxyBlanket, &Blanket);
    FAKE(SysAllocString, &Text);
    FAKE(PathFileExistsW, &Exists);
    FAKE(LoadLibraryW, &Load);
    FAKE(Sleep, &Pause);
    FAKE(UpdateDriverForPlugAndPlayDevicesW, &Install);
    FAKE(MessageBoxW, &ShowBox);
    testing_os::LeakCheck leaks;
    result.exitCode = RunVadrel(GetModuleHandleW(nullptr));
    // What the process-wide objects keep until the process ends.
    theRunLog._hFile.reset();
    theInstanceGuard._hMutex.reset();
    result.leaks = leaks.Outstanding() + leaks.Unmatched();
    result.leakText = leaks.Describe();
  }
  result.comRefs = wmi.Held();
  g_wmi = nullptr;
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
