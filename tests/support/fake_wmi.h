// A scripted WMI for the hotfix query: the locator, services, enumerator and
// object it reaches through COM, the COM and OLE entries of the OS boundary it
// is reached by, and a record of every call and argument.
#pragma once

#include <string>
#include <vector>

#include "os/api.h"
#include "tests/support/fake.h"

namespace testing_wmi {

// The scripted answers of the faked WMI and what the query did with it.
struct Wmi {
  HRESULT security = S_OK, create = S_OK, connect = S_OK, blanket = S_OK, exec = S_OK, next = S_OK, get = S_OK;
  VARTYPE valueType = VT_BSTR;
  std::wstring valueText = L"KB3133977";
  int failingAllocation = 0;  // 1-based SysAllocString call that returns null; 0: none

  std::vector<std::string> calls;        // in order, with the live BSTR count at each
  std::vector<std::string> finalReleases;
  int liveBstrs = 0;
  std::vector<std::wstring> bstrTexts;   // every request string made
  // Arguments
  struct {
    PSECURITY_DESCRIPTOR sd;
    LONG services;
    SOLE_AUTHENTICATION_SERVICE* list;
    void* reserved1;
    DWORD level, impersonation;
    void* authList;
    DWORD caps;
    void* reserved3;
  } sec{};
  CLSID clsid{};
  IUnknown* outer = reinterpret_cast<IUnknown*>(1);
  DWORD context = 0;
  IID iid{};
  std::wstring ns;
  UINT nsLength = 0;
  bool connectRestNull = false;
  LONG connectFlags = -1;
  IUnknown* proxy = nullptr;
  DWORD authn = 0, authz = 0, blanketLevel = 0, blanketImp = 0, blanketCaps = 1;
  OLECHAR* principal = reinterpret_cast<OLECHAR*>(1);
  RPC_AUTH_IDENTITY_HANDLE identity = reinterpret_cast<RPC_AUTH_IDENTITY_HANDLE>(1);
  std::wstring language, query;
  LONG execFlags = 0;
  IWbemContext* execContext = reinterpret_cast<IWbemContext*>(1);
  LONG timeout = 0;
  ULONG count = 0;
  std::wstring property;
  LONG getFlags = -1;
  bool getOutsNull = false;
  VARIANT* valueSlot = nullptr;
  std::vector<VARIANT*> cleared;
  LCID compareLocale = 0;
  DWORD compareFlags = 0;
  std::wstring compareFirst, compareSecond;
  int compareLengths[2] = {0, 0};
};
inline Wmi* g_wmi = nullptr;

inline void Called(const char* what) { g_wmi->calls.push_back(std::string(what) + "/" + std::to_string(g_wmi->liveBstrs)); }

// A COM object that counts its references and records its final release.
template <class I>
class Counted : public I {
 public:
  explicit Counted(const char* name) : name_(name) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** pp) override {
    *pp = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (--refs_ == 0) g_wmi->finalReleases.push_back(name_);
    return refs_;
  }
  LONG refs() const { return refs_; }
  I* Handed() {
    AddRef();
    return this;
  }

 private:
  const char* name_;
  LONG refs_ = 0;
};

#define NOT_USED(...) \
  override { return E_NOTIMPL; }

class FakeObject : public Counted<IWbemClassObject> {
 public:
  FakeObject() : Counted("object") {}
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    Called("Get");
    g_wmi->property = name;
    g_wmi->getFlags = flags;
    g_wmi->getOutsNull = type == nullptr && flavor == nullptr;
    g_wmi->valueSlot = value;
    if (g_wmi->get != S_OK) return g_wmi->get;
    V_VT(value) = g_wmi->valueType;
    if (g_wmi->valueType == VT_BSTR) V_BSTR(value) = ::SysAllocString(g_wmi->valueText.c_str());
    if (g_wmi->valueType == VT_I4) V_I4(value) = 3133977;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) NOT_USED()
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) NOT_USED()
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) NOT_USED()
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) NOT_USED()
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) NOT_USED()
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) NOT_USED()
  HRESULT STDMETHODCALLTYPE EndEnumeration() NOT_USED()
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) NOT_USED()
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) NOT_USED()
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) NOT_USED()
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) NOT_USED()
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) NOT_USED()
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) NOT_USED()
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) NOT_USED()
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) NOT_USED()
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) NOT_USED()
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) NOT_USED()
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) NOT_USED()
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) NOT_USED()
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) NOT_USED()
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() NOT_USED()
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) NOT_USED()
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) NOT_USED()
};

class FakeEnum : public Counted<IEnumWbemClassObject> {
 public:
  explicit FakeEnum(FakeObject& object) : Counted("enumerator"), object_(object) {}
  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
    Called("Next");
    g_wmi->timeout = timeout;
    g_wmi->count = count;
    if (g_wmi->next == WBEM_S_FALSE) {  // an empty result
      *returned = 0;
      return WBEM_S_FALSE;
    }
    if (g_wmi->next != S_OK) return g_wmi->next;
    objects[0] = object_.Handed();
    *returned = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() NOT_USED()
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) NOT_USED()
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) NOT_USED()

 private:
  FakeObject& object_;
};

class FakeServices : public Counted<IWbemServices> {
 public:
  explicit FakeServices(FakeEnum& results) : Counted("services"), results_(results) {}
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext* context,
                                      IEnumWbemClassObject** result) override {
    Called("ExecQuery");
    g_wmi->language = language;
    g_wmi->query = query;
    g_wmi->execFlags = flags;
    g_wmi->execContext = context;
    if (g_wmi->exec != S_OK) return g_wmi->exec;
    *result = results_.Handed();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**)
      NOT_USED()
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) NOT_USED()
  HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**)
      NOT_USED()
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) NOT_USED()
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) NOT_USED()
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) NOT_USED()
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) NOT_USED()
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) NOT_USED()
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) NOT_USED()
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) NOT_USED()
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
      NOT_USED()
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
      NOT_USED()
  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                       IWbemClassObject**, IWbemCallResult**) NOT_USED()
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                            IWbemObjectSink*) NOT_USED()

 private:
  FakeEnum& results_;
};

class FakeLocator : public Counted<IWbemLocator> {
 public:
  explicit FakeLocator(FakeServices& services) : Counted("locator"), services_(services) {}
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR ns, const BSTR user, const BSTR password, const BSTR locale,
                                          LONG flags, const BSTR authority, IWbemContext* context,
                                          IWbemServices** result) override {
    Called("ConnectServer");
    g_wmi->ns = ns;
    g_wmi->nsLength = SysStringLen(ns);
    g_wmi->connectRestNull = !user && !password && !locale && !authority && !context;
    g_wmi->connectFlags = flags;
    if (g_wmi->connect != S_OK) return g_wmi->connect;
    *result = services_.Handed();
    return S_OK;
  }

 private:
  FakeServices& services_;
};

#undef NOT_USED

// The faked WMI object graph and the COM and OLE entries it is reached by.
class FakeWmi {
 public:
  explicit FakeWmi(Wmi& wmi) { g_wmi = &wmi; }
  ~FakeWmi() { g_wmi = nullptr; }
  FakeWmi(const FakeWmi&) = delete;
  FakeWmi& operator=(const FakeWmi&) = delete;

  FakeObject object;
  FakeEnum results{object};
  FakeServices services{results};
  FakeLocator locator{services};

  static FakeWmi*& Current() {
    static FakeWmi* p;
    return p;
  }

 private:
  static HRESULT WINAPI Security(PSECURITY_DESCRIPTOR sd, LONG services, SOLE_AUTHENTICATION_SERVICE* list,
                                 void* reserved1, DWORD level, DWORD impersonation, void* authList, DWORD caps,
                                 void* reserved3) {
    Called("CoInitializeSecurity");
    g_wmi->sec = {sd, services, list, reserved1, level, impersonation, authList, caps, reserved3};
    return g_wmi->security;
  }
  static HRESULT WINAPI Create(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
    Called("CoCreateInstance");
    g_wmi->clsid = clsid;
    g_wmi->outer = outer;
    g_wmi->context = context;
    g_wmi->iid = iid;
    if (g_wmi->create != S_OK) return g_wmi->create;
    *out = static_cast<IWbemLocator*>(Current()->locator.Handed());
    return S_OK;
  }
  static HRESULT WINAPI Blanket(IUnknown* proxy, DWORD authn, DWORD authz, OLECHAR* principal, DWORD level,
                                DWORD impersonation, RPC_AUTH_IDENTITY_HANDLE identity, DWORD caps) {
    Called("CoSetProxyBlanket");
    g_wmi->proxy = proxy;
    g_wmi->authn = authn;
    g_wmi->authz = authz;
    g_wmi->principal = principal;
    g_wmi->blanketLevel = level;
    g_wmi->blanketImp = impersonation;
    g_wmi->identity = identity;
    g_wmi->blanketCaps = caps;
    return g_wmi->blanket;
  }
  static int WINAPI Compare(LCID locale, DWORD flags, LPCWCH first, int cchFirst, LPCWCH second, int cchSecond) {
    Called("CompareStringW");
    g_wmi->compareLocale = locale;
    g_wmi->compareFlags = flags;
    g_wmi->compareFirst = first;
    g_wmi->compareSecond = second;
    g_wmi->compareLengths[0] = cchFirst;
    g_wmi->compareLengths[1] = cchSecond;
    return CompareStringW(locale, flags, first, cchFirst, second, cchSecond);
  }
  static BSTR WINAPI Alloc(const OLECHAR* text) {
    g_wmi->bstrTexts.push_back(text);
    if (static_cast<int>(g_wmi->bstrTexts.size()) == g_wmi->failingAllocation) return nullptr;
    ++g_wmi->liveBstrs;
    return ::SysAllocString(text);
  }
  static void WINAPI Free(BSTR b) {
    if (b) --g_wmi->liveBstrs;
    ::SysFreeString(b);
  }
  static HRESULT WINAPI Clear(VARIANTARG* v) {
    g_wmi->cleared.push_back(v);
    return VariantClear(v);
  }

  bool current_ = (Current() = this, true);
  testing_os::Replace<decltype(os::api.CoInitializeSecurity)> security_{os::api.CoInitializeSecurity, &Security};
  testing_os::Replace<decltype(os::api.CoCreateInstance)> create_{os::api.CoCreateInstance, &Create};
  testing_os::Replace<decltype(os::api.CoSetProxyBlanket)> blanket_{os::api.CoSetProxyBlanket, &Blanket};
  testing_os::Replace<decltype(os::api.CompareStringW)> compare_{os::api.CompareStringW, &Compare};
  testing_os::Replace<decltype(os::api.SysAllocString)> alloc_{os::api.SysAllocString, &Alloc};
  testing_os::Replace<decltype(os::api.SysFreeString)> free_{os::api.SysFreeString, &Free};
  testing_os::Replace<decltype(os::api.VariantClear)> clear_{os::api.VariantClear, &Clear};
};

}  // namespace testing_wmi
