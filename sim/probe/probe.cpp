// zr45probe: looks at the simulated machine from inside Wine, through the same
// Windows interfaces a program on the machine would use, and prints JSON.
//   zr45probe machine              what the machine shows (model, OS, devices, files)
//   zr45probe key HKLM\SUB\KEY     every value of a key: name, type, byte length, data
//   zr45probe version PATH         ProductVersion text and fixed FILEVERSION of a file
//   zr45probe state PATH KEY...    both at once: {"version": ..., "keys": {KEY: ...}}
//   zr45probe hold-mutex NAME READY RELEASE MS
//       creates the named mutex, writes READY, holds the mutex until RELEASE
//       exists or MS milliseconds have passed
//   zr45probe start-service NAME MS
//       starts the service and waits up to MS milliseconds for it to run
#include <windows.h>
#include <initguid.h>
#include <setupapi.h>
#include <wbemcli.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// {80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}
const GUID kControllerInterface = {0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
const DWORD kModelNumberRequest = 0x00222940;
const CLSID kAdministrativeLocator = {0xCB8555CC, 0x9128, 0x11D1, {0xAD, 0x9B, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
std::string Quote(const std::wstring& w) { return Quote(Utf8(w)); }

std::string Hex(const BYTE* p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(buf, sizeof buf, "%02x", p[i]);
    s += buf;
  }
  return s;
}

// A JSON object built field by field.
struct Obj {
  std::string body;
  Obj& Raw(const char* name, const std::string& json) {
    if (!body.empty()) body += ", ";
    body += Quote(std::string(name)) + ": " + json;
    return *this;
  }
  Obj& Str(const char* name, const std::wstring& v) { return Raw(name, Quote(v)); }
  Obj& Str(const char* name, const std::string& v) { return Raw(name, Quote(v)); }
  Obj& Num(const char* name, unsigned long long v) { return Raw(name, std::to_string(v)); }
  Obj& Bool(const char* name, bool v) { return Raw(name, v ? "true" : "false"); }
  std::string Json() const { return "{" + body + "}"; }
};

std::string List(const std::vector<std::string>& items) {
  std::string s = "[";
  for (size_t i = 0; i < items.size(); ++i) s += (i ? ", " : "") + items[i];
  return s + "]";
}

std::vector<std::string> MultiSz(const wchar_t* p) {
  std::vector<std::string> out;
  for (; p && *p; p += wcslen(p) + 1) out.push_back(Quote(std::wstring(p)));
  return out;
}

std::string DescribeValue(DWORD type, const BYTE* data, DWORD size) {
  Obj o;
  static const char* names[] = {
      "REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ"};
  o.Str("type", type < 8 ? names[type] : std::to_string(type)).Num("bytes", size);
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && size >= sizeof(wchar_t)) {
    std::wstring text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
    o.Str("text", text.c_str());  // up to the first terminator
    size_t nonzero_tail = 0;
    for (size_t i = wcslen(text.c_str()); i < text.size(); ++i)
      if (text[i]) ++nonzero_tail;
    o.Num("nonzero_after_text", nonzero_tail);
  } else if (type == REG_DWORD && size == 4) {
    DWORD v;
    memcpy(&v, data, 4);
    o.Num("dword", v);
  } else if (type == REG_MULTI_SZ) {
    std::vector<wchar_t> copy(size / sizeof(wchar_t) + 2, 0);
    memcpy(copy.data(), data, size);
    o.Raw("strings", List(MultiSz(copy.data())));
  } else {
    o.Str("hex", Hex(data, size));
  }
  return o.Json();
}

HKEY RootOf(std::wstring& path) {
  const struct {
    const wchar_t* name;
    HKEY key;
  } roots[] = {{L"HKLM\\", HKEY_LOCAL_MACHINE},
               {L"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
               {L"HKCU\\", HKEY_CURRENT_USER},
               {L"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER}};
  for (const auto& r : roots) {
    size_t n = wcslen(r.name);
    if (path.compare(0, n, r.name) == 0) {
      path = path.substr(n);
      return r.key;
    }
  }
  return nullptr;
}

std::string DumpKey(std::wstring path) {
  HKEY root = RootOf(path);
  Obj o;
  HKEY key = nullptr;
  LONG status = root ? RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) : ERROR_INVALID_PARAMETER;
  o.Bool("exists", status == ERROR_SUCCESS);
  if (status != ERROR_SUCCESS) return o.Json();
  Obj values;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD cch = 256, type = 0, size = 0;
    if (RegEnumValueW(key, i, name, &cch, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(size + 4, 0);
    cch = 256;
    if (RegEnumValueW(key, i, name, &cch, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    values.Raw(Utf8(name).c_str(), DescribeValue(type, data.data(), size));
  }
  RegCloseKey(key);
  o.Raw("values", values.Json());
  return o.Json();
}

std::string FileVersion(const std::wstring& path) {
  Obj o;
  o.Bool("exists", GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES);
  DWORD handle = 0, size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (!size) return o.Json();
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return o.Json();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len) && fixed) {
    wchar_t buf[64];
    swprintf(buf, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
             HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    o.Str("fixed_file_version", buf);
  }
  WORD* translation = nullptr;
  if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len) &&
      translation && len >= 4) {
    wchar_t sub[128];
    swprintf(sub, 128, L"\\StringFileInfo\\%04x%04x\\ProductVersion", translation[0], translation[1]);
    wchar_t* text = nullptr;
    if (VerQueryValueW(info.data(), sub, reinterpret_cast<void**>(&text), &len) && text)
      o.Str("product_version", std::wstring(text));
  }
  return o.Json();
}

std::string Controller() {
  Obj o;
  HDEVINFO set = SetupDiGetClassDevsW(&kControllerInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return o.Bool("present", false).Json();
  SP_DEVICE_INTERFACE_DATA iface = {sizeof(iface)};
  std::vector<std::string> paths;
  std::wstring first_path, version;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kControllerInterface, i, &iface); ++i) {
    DWORD need = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &need, nullptr);
    std::vector<BYTE> buf(need + 8, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA dev = {sizeof(dev)};
    if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, need, nullptr, &dev)) continue;
    paths.push_back(Quote(std::wstring(detail->DevicePath)));
    if (i == 0) {
      first_path = detail->DevicePath;
      HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
      if (key != INVALID_HANDLE_VALUE) {
        wchar_t text[256] = {};
        DWORD cb = sizeof(text) - sizeof(wchar_t);
        if (RegQueryValueExW(key, L"DriverVersion", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &cb) == ERROR_SUCCESS)
          version = text;
        RegCloseKey(key);
      }
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  o.Bool("present", !paths.empty()).Raw("interfaces", List(paths)).Str("driver_version", version);
  if (first_path.empty()) return o.Json();
  HANDLE h = CreateFileW(first_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  o.Bool("opens", h != INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return o.Num("open_error", GetLastError()).Json();
  BYTE reply[128] = {};
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h, kModelNumberRequest, nullptr, 0, reply, sizeof(reply), &got, nullptr);
  DWORD error = ok ? 0 : GetLastError();
  CloseHandle(h);
  o.Bool("request_ok", ok != FALSE).Num("request_error", error).Num("reply_bytes", got);
  if (ok && got >= 52) {
    o.Str("model_field", std::string(reinterpret_cast<char*>(reply + 40), strnlen(reinterpret_cast<char*>(reply + 40), 12)));
    if (got > 95) o.Num("extended_length", reply[95]);
  }
  return o.Json();
}

std::string AcpiDevices() {
  std::vector<std::string> devices;
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"ACPI", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return "[]";
  SP_DEVINFO_DATA dev = {sizeof(dev)};
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    wchar_t id[512] = {};
    SetupDiGetDeviceInstanceIdW(set, &dev, id, 512, nullptr);
    std::vector<BYTE> ids(4096, 0);
    Obj o;
    o.Str("instance", std::wstring(id));
    if (SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, nullptr, ids.data(),
                                          static_cast<DWORD>(ids.size() - 4), nullptr))
      o.Raw("hardware_ids", List(MultiSz(reinterpret_cast<wchar_t*>(ids.data()))));
    devices.push_back(o.Json());
  }
  SetupDiDestroyDeviceInfoList(set);
  return List(devices);
}

std::string Hotfixes() {
  Obj o;
  IWbemLocator* locator = nullptr;
  HRESULT hr = CoCreateInstance(kAdministrativeLocator, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                IID_IWbemLocator, reinterpret_cast<void**>(&locator));
  if (FAILED(hr)) return o.Num("error", static_cast<unsigned long>(hr)).Json();
  IWbemServices* services = nullptr;
  BSTR ns = SysAllocString(L"root\\cimv2");
  hr = locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
  SysFreeString(ns);
  std::vector<std::string> ids;
  if (SUCCEEDED(hr)) {
    IEnumWbemClassObject* rows = nullptr;
    BSTR lang = SysAllocString(L"WQL");
    BSTR query = SysAllocString(L"SELECT * FROM Win32_QuickFixEngineering");
    hr = services->ExecQuery(lang, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &rows);
    SysFreeString(lang);
    SysFreeString(query);
    while (SUCCEEDED(hr) && rows) {
      IWbemClassObject* row = nullptr;
      ULONG n = 0;
      if (rows->Next(5000, 1, &row, &n) != S_OK || n == 0) break;
      VARIANT v;
      VariantInit(&v);
      if (SUCCEEDED(row->Get(L"HotFixID", 0, &v, nullptr, nullptr)) && v.vt == VT_BSTR)
        ids.push_back(Quote(std::wstring(v.bstrVal)));
      VariantClear(&v);
      row->Release();
    }
    if (rows) rows->Release();
    services->Release();
  }
  locator->Release();
  if (FAILED(hr)) o.Num("error", static_cast<unsigned long>(hr));
  return o.Raw("hotfix_ids", List(ids)).Json();
}

std::string Lines(const wchar_t* path) {
  FILE* f = _wfopen(path, L"rb");
  if (!f) return "null";
  std::vector<std::string> lines;
  std::string line;
  int c;
  while ((c = fgetc(f)) != EOF) {
    if (c == '\n') {
      lines.push_back(Quote(line));
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  if (!line.empty()) lines.push_back(Quote(line));
  fclose(f);
  return List(lines);
}

std::string Machine() {
  Obj o;
  OSVERSIONINFOEXW v = {sizeof(v)};
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&v));
  wchar_t ver[128];
  swprintf(ver, 128, L"%lu.%lu.%lu SP%u", v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber, v.wServicePackMajor);
  Obj os;
  os.Str("version", ver).Num("product_type", v.wProductType);
  o.Raw("windows", os.Json());
  Obj ui;
  ui.Num("ui_language", GetUserDefaultUILanguage()).Num("ansi_code_page", GetACP());
  o.Raw("language", ui.Json());
  o.Raw("platform_controller", Controller());
  o.Raw("acpi_devices", AcpiDevices());
  o.Raw("wmi", Hotfixes());
  // The stand-ins' clock holds the run that follows: the probe's own query is not the tool's.
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\ZR45Sim", L"Clock");
  o.Raw("version_doc", Lines(L"C:\\Util\\Version.doc"));
  o.Bool("tpm_inf", GetFileAttributesW(L"C:\\Windows\\INF\\tpm.inf") != INVALID_FILE_ATTRIBUTES);
  o.Raw("tpm_sys", FileVersion(L"C:\\Windows\\System32\\Drivers\\tpm.sys"));
  return o.Json();
}

int HoldMutex(const wchar_t* name, const wchar_t* ready, const wchar_t* release, DWORD ms) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) return 2;
  HANDLE f = CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 3;
  CloseHandle(f);
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (GetFileAttributesW(release) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(50);
  }
  CloseHandle(mutex);
  return 0;
}

// Wine's "net start" gives up after a few seconds, and a loaded machine can
// take longer to bring up the first driver in winedevice.exe.
int StartAndWait(const wchar_t* name, DWORD ms) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return 2;
  SC_HANDLE svc = OpenServiceW(scm, name, SERVICE_START | SERVICE_QUERY_STATUS);
  int rc = 3;
  if (svc) {
    if (StartServiceW(svc, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
      rc = 4;
      SERVICE_STATUS st = {};
      for (DWORD waited = 0; waited <= ms; waited += 100) {
        if (!QueryServiceStatus(svc, &st)) break;
        if (st.dwCurrentState == SERVICE_RUNNING) {
          rc = 0;
          break;
        }
        if (st.dwCurrentState != SERVICE_START_PENDING) break;
        Sleep(100);
      }
    }
    CloseServiceHandle(svc);
  }
  CloseServiceHandle(scm);
  return rc;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring cmd = argc > 1 ? argv[1] : L"";
  std::string out;
  if (cmd == L"machine") {
    // Like the tool, no system error boxes (the WMI stand-in checks it of its callers).
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    out = Machine();
    CoUninitialize();
  } else if (cmd == L"key" && argc == 3) {
    out = DumpKey(argv[2]);
  } else if (cmd == L"version" && argc == 3) {
    out = FileVersion(argv[2]);
  } else if (cmd == L"state" && argc >= 3) {
    Obj keys;
    for (int i = 3; i < argc; ++i) keys.Raw(Utf8(argv[i]).c_str(), DumpKey(argv[i]));
    out = Obj().Raw("version", FileVersion(argv[2])).Raw("keys", keys.Json()).Json();
  } else if (cmd == L"hold-mutex" && argc == 6) {
    return HoldMutex(argv[2], argv[3], argv[4], wcstoul(argv[5], nullptr, 10));
  } else if (cmd == L"start-service" && argc == 4) {
    return StartAndWait(argv[2], wcstoul(argv[3], nullptr, 10));
  } else {
    fprintf(stderr,
            "usage: zr45probe machine | key HKLM\\PATH | version PATH | state PATH KEY... |"
            " hold-mutex NAME READY RELEASE MS"
            " | start-service NAME MS\n");
    return 1;
  }
  fwrite(out.data(), 1, out.size(), stdout);
  fputc('\n', stdout);
  return 0;
}
