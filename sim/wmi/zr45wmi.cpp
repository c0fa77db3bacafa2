// In-process stand-in for the administrative WMI locator: it answers
// Win32_QuickFixEngineering in root\cimv2 with the rows listed in the
// simulated machine's settings, HKLM\Software\ZR45Sim "HotFixIds"
// (REG_MULTI_SZ, read at query time). Everything else is WBEM_E_NOT_SUPPORTED.
// A setting of the same key makes one method call fail as a remote WMI can:
// "WmiFailCall" = N fails the Nth call of the WBEM and proxy-security methods
// after the locator's creation with the HRESULT "WmiFailError", giving nothing
// back; "WmiCalls" tells how many such calls the last locator took.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>

#include <string>
#include <vector>

namespace {

// The administrative locator; MinGW's headers do not name it.
const CLSID CLSID_WbemAdministrativeLocator = {0xCB8555CC, 0x9128, 0x11D1, {0xAD, 0x9B, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};
const wchar_t kSettingsKey[] = L"Software\\ZR45Sim";
const wchar_t kClassName[] = L"Win32_QuickFixEngineering";
const wchar_t kKeyProperty[] = L"HotFixID";
// The class's other properties: present on every row, never filled in here.
const wchar_t* const kNullProperties[] = {
    L"Caption", L"CSName", L"Description", L"FixComments", L"InstallDate",
    L"InstalledBy", L"InstalledOn", L"Name", L"ServicePackInEffect", L"Status"};

// Live objects plus LockServer locks, for DllCanUnloadNow.
LONG g_outstanding = 0;

// The calls counted since the locator was made, and the one to fail.
LONG g_calls = 0;
DWORD g_failCall = 0;
HRESULT g_failError = S_OK;

DWORD Setting(const wchar_t* name) {
  DWORD value = 0, size = sizeof(value);
  return RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS
             ? value
             : 0;
}

// Counts one method call; true when it is the one to fail.
bool FailsNow() {
  const DWORD calls = static_cast<DWORD>(InterlockedIncrement(&g_calls));
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"WmiCalls", REG_DWORD, &calls, sizeof(calls));
  return calls == g_failCall;
}

bool SameText(const wchar_t* a, const wchar_t* b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

bool SameText(const std::wstring& a, const wchar_t* b) { return SameText(a.c_str(), b); }

// Reference counting shared by every object of the server.
class RefCounted {
 public:
  RefCounted() { InterlockedIncrement(&g_outstanding); }
  virtual ~RefCounted() { InterlockedDecrement(&g_outstanding); }
  ULONG AddRefImpl() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG ReleaseImpl() {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  LONG refs_ = 1;
};

#define ZR45_IUNKNOWN_METHODS                                                          \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }                   \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

// Proxy security as COM asks for it (CoSetProxyBlanket, CoQueryProxyBlanket):
// the values are kept and reported back; nothing is enforced in process.
class ProxySecurity : public IClientSecurity {
 public:
  HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** principal,
                                         DWORD* level, DWORD* imp, void** info, DWORD* caps) override {
    if (FailsNow()) return g_failError;
    if (authn) *authn = authn_;
    if (authz) *authz = authz_;
    if (principal) *principal = nullptr;
    if (level) *level = level_;
    if (imp) *imp = imp_;
    if (info) *info = nullptr;
    if (caps) *caps = caps_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR*, DWORD level,
                                       DWORD imp, void*, DWORD caps) override {
    if (FailsNow()) return g_failError;
    authn_ = authn;
    authz_ = authz;
    level_ = level;
    imp_ = imp;
    caps_ = caps;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown** copy) override {
    if (copy) *copy = nullptr;
    return E_NOTIMPL;
  }

 private:
  DWORD authn_ = RPC_C_AUTHN_WINNT, authz_ = RPC_C_AUTHZ_NONE;
  DWORD level_ = RPC_C_AUTHN_LEVEL_CONNECT, imp_ = RPC_C_IMP_LEVEL_IMPERSONATE, caps_ = EOAC_NONE;
};

// One row of Win32_QuickFixEngineering.
class HotfixRow final : public IWbemClassObject, RefCounted {
 public:
  explicit HotfixRow(std::wstring id) : id_(std::move(id)) {}
  ZR45_IUNKNOWN_METHODS
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemClassObject)) {
      *out = static_cast<IWbemClassObject*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type,
                                LONG* flavor) override {
    if (FailsNow()) return g_failError;
    if (!name || flags != 0) return WBEM_E_INVALID_PARAMETER;
    const wchar_t* text = nullptr;
    bool known = false;
    if (SameText(name, kKeyProperty)) {
      text = id_.c_str();
      known = true;
    } else if (SameText(name, L"__CLASS")) {
      text = kClassName;
      known = true;
    } else {
      for (const wchar_t* p : kNullProperties) known = known || SameText(name, p);
    }
    if (!known) return WBEM_E_NOT_FOUND;
    if (value) {
      VariantInit(value);
      if (text) {
        BSTR copy = SysAllocString(text);
        if (!copy) return WBEM_E_OUT_OF_MEMORY;
        V_VT(value) = VT_BSTR;
        V_BSTR(value) = copy;
      } else {
        V_VT(value) = VT_NULL;
      }
    }
    if (type) *type = CIM_STRING;
    if (flavor) *flavor = SameText(name, L"__CLASS") ? WBEM_FLAVOR_ORIGIN_SYSTEM : WBEM_FLAVOR_ORIGIN_PROPAGATED;
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }

 private:
  std::wstring id_;
};

// A forward-only result set, fixed when the query ran.
class RowEnumerator final : public IEnumWbemClassObject, public ProxySecurity, RefCounted {
 public:
  explicit RowEnumerator(std::vector<std::wstring> ids) : ids_(std::move(ids)) {}
  ZR45_IUNKNOWN_METHODS
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumWbemClassObject))
      *out = static_cast<IEnumWbemClassObject*>(this);
    else if (IsEqualIID(riid, IID_IClientSecurity))
      *out = static_cast<IClientSecurity*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                 ULONG* returned) override {
    if (!objects || !returned || (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE)))
      return WBEM_E_INVALID_PARAMETER;
    *returned = 0;
    if (FailsNow()) return g_failError;
    while (*returned < count && next_ < ids_.size()) {
      objects[*returned] = new HotfixRow(ids_[next_++]);
      ++*returned;
    }
    return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG count) override {
    ULONG skipped = 0;
    while (skipped < count && next_ < ids_.size()) {
      ++next_;
      ++skipped;
    }
    return skipped == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }
  // Forward-only, as the caller asked with WBEM_FLAG_FORWARD_ONLY.
  HRESULT STDMETHODCALLTYPE Reset() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** copy) override {
    if (copy) *copy = nullptr;
    return WBEM_E_NOT_SUPPORTED;
  }

 private:
  std::vector<std::wstring> ids_;
  size_t next_ = 0;
};

// The configured rows; no value (or an empty list) means no row.
std::vector<std::wstring> ConfiguredHotfixes() {
  std::vector<std::wstring> ids;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return ids;
  DWORD type = 0, size = 0;
  LSTATUS rc = RegQueryValueExW(key, L"HotFixIds", nullptr, &type, nullptr, &size);
  if (rc == ERROR_SUCCESS && type == REG_MULTI_SZ && size >= sizeof(wchar_t)) {
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    rc = RegQueryValueExW(key, L"HotFixIds", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (rc == ERROR_SUCCESS) {
      for (const wchar_t* p = data.data(); *p; p += wcslen(p) + 1) ids.emplace_back(p);
    }
  }
  RegCloseKey(key);
  return ids;
}

// The WQL this server understands:
//   SELECT * FROM Win32_QuickFixEngineering [WHERE <property> = "<text>" | '<text>']
// Keywords, names and the compared text are matched without case, as WMI does.
struct Query {
  bool filtered = false;
  std::wstring property;
  std::wstring value;
};

class Scanner {
 public:
  explicit Scanner(const wchar_t* text) : p_(text) {}
  void SkipSpace() {
    while (*p_ == L' ' || *p_ == L'\t' || *p_ == L'\r' || *p_ == L'\n') ++p_;
  }
  std::wstring Word() {
    SkipSpace();
    const wchar_t* start = p_;
    while ((*p_ >= L'A' && *p_ <= L'Z') || (*p_ >= L'a' && *p_ <= L'z') || (*p_ >= L'0' && *p_ <= L'9') ||
           *p_ == L'_')
      ++p_;
    return std::wstring(start, p_);
  }
  bool Take(wchar_t c) {
    SkipSpace();
    if (*p_ != c) return false;
    ++p_;
    return true;
  }
  bool Quoted(std::wstring* out) {
    SkipSpace();
    wchar_t quote = *p_;
    if (quote != L'"' && quote != L'\'') return false;
    const wchar_t* start = ++p_;
    while (*p_ && *p_ != quote) ++p_;
    if (*p_ != quote) return false;
    out->assign(start, p_);
    ++p_;
    return true;
  }
  bool AtEnd() {
    SkipSpace();
    return *p_ == L'\0';
  }

 private:
  const wchar_t* p_;
};

bool ParseQuery(const wchar_t* text, Query* query) {
  Scanner s(text);
  if (!SameText(s.Word(), L"SELECT") || !s.Take(L'*') || !SameText(s.Word(), L"FROM") ||
      !SameText(s.Word(), kClassName))
    return false;
  if (s.AtEnd()) return true;
  if (!SameText(s.Word(), L"WHERE")) return false;
  query->filtered = true;
  query->property = s.Word();
  return !query->property.empty() && s.Take(L'=') && s.Quoted(&query->value) && s.AtEnd();
}

class Services final : public IWbemServices, public ProxySecurity, RefCounted {
 public:
  ZR45_IUNKNOWN_METHODS
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemServices))
      *out = static_cast<IWbemServices*>(this);
    else if (IsEqualIID(riid, IID_IClientSecurity))
      *out = static_cast<IClientSecurity*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR text, LONG, IWbemContext*,
                                      IEnumWbemClassObject** result) override {
    if (!result) return WBEM_E_INVALID_PARAMETER;
    *result = nullptr;
    if (FailsNow()) return g_failError;
    if (!language || !text) return WBEM_E_INVALID_PARAMETER;
    if (!SameText(language, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
    Query query;
    if (!ParseQuery(text, &query)) return WBEM_E_INVALID_QUERY;
    if (query.filtered && !SameText(query.property, kKeyProperty)) {
      bool known = false;
      for (const wchar_t* p : kNullProperties) known = known || SameText(query.property, p);
      if (!known) return WBEM_E_INVALID_QUERY;
    }
    std::vector<std::wstring> rows;
    for (std::wstring& id : ConfiguredHotfixes()) {
      // Only HotFixID holds a value; a test against any other property matches no row.
      if (!query.filtered || (SameText(query.property, kKeyProperty) && SameText(id, query.value.c_str())))
        rows.push_back(std::move(id));
    }
    *result = new RowEnumerator(std::move(rows));
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject**, IWbemCallResult**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
};

// Local namespace names WMI accepts for root\cimv2: "root\cimv2", "\\.\root\cimv2",
// with either slash.
bool IsCimv2(const wchar_t* name) {
  std::wstring n(name);
  for (wchar_t& c : n)
    if (c == L'/') c = L'\\';
  if (n.compare(0, 4, L"\\\\.\\") == 0) n.erase(0, 4);
  return SameText(n, L"root\\cimv2");
}

class Locator final : public IWbemLocator, RefCounted {
 public:
  ZR45_IUNKNOWN_METHODS
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemLocator)) {
      *out = static_cast<IWbemLocator*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG,
                                          const BSTR, IWbemContext*, IWbemServices** services) override {
    if (!services) return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    if (FailsNow()) return g_failError;
    if (!resource) return WBEM_E_INVALID_PARAMETER;
    if (!IsCimv2(resource)) return WBEM_E_INVALID_NAMESPACE;
    *services = new Services();
    return WBEM_S_NO_ERROR;
  }
};

class Factory final : public IClassFactory {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // static object
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    g_calls = 0;
    g_failCall = Setting(L"WmiFailCall");
    g_failError = static_cast<HRESULT>(Setting(L"WmiFailError"));
    Locator* locator = new Locator();
    HRESULT hr = locator->QueryInterface(riid, out);
    locator->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      InterlockedIncrement(&g_outstanding);
    else
      InterlockedDecrement(&g_outstanding);
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_WbemAdministrativeLocator)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return InterlockedCompareExchange(&g_outstanding, 0, 0) == 0 ? S_OK : S_FALSE;
}
