// A scripted WMI for the hotfix query: the locator, services, enumerator and
// object it reaches through COM, the COM and OLE entries of the OS boundary it
// is reached by, and a record of every call with its arguments.
#pragma once

#include <cstdio>
#include <string>
#include <type_traits>
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

  // "Name(arguments)/live BSTRs", in order. Null pointers are "0", others "p"
  // (or the fake object's name), texts as they are, unsigned numbers in hex.
  std::vector<std::string> calls;
  std::vector<std::string> finalReleases;
  int liveBstrs = 0, allocations = 0;
  VARIANT* valueSlot = nullptr;
  std::vector<VARIANT*> cleared;
};
inline Wmi* g_wmi = nullptr;

inline std::string Arg(const std::string& s) { return s; }
inline std::string Arg(const void* p) { return p ? "p" : "0"; }
inline std::string Arg(const wchar_t* s) {
  if (!s) return "0";
  std::string text;
  for (; *s; ++s) text += static_cast<char>(*s);
  return text;
}
inline std::string Arg(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return Arg(text);
}
template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
std::string Arg(T v) {
  if constexpr (std::is_signed_v<T>) return std::to_string(v);
  char hex[24];
  snprintf(hex, sizeof(hex), "0x%llx", static_cast<unsigned long long>(v));
  return hex;
}
template <class... A>
void Called(const char* what, const A&... args) {
  std::string call = std::string(what) + "(";
  const char* sep = "";
  ((call += sep + Arg(args), sep = ","), ...);
  g_wmi->calls.push_back(call + ")/" + std::to_string(g_wmi->liveBstrs));
}

// A COM object that counts its references and records its final release.
template <class I>
class Counted : public I {
 public:
  explicit Counted(const char* name) : name_(name) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** pp) override { return *pp = nullptr, E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (--refs_ == 0) g_wmi->finalReleases.push_back(name_);
    return refs_;
  }
  LONG refs() const { return refs_; }
  I* Handed() { return AddRef(), this; }

 private:
  const char* name_;
  LONG refs_ = 0;
};

#define NOT_USED(name, ...) \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return E_NOTIMPL; }
#define QS IWbemQualifierSet**
#define CO IWbemClassObject*
#define CX IWbemContext*
#define SK IWbemObjectSink*
#define CR IWbemCallResult**

class FakeObject : public Counted<IWbemClassObject> {
 public:
  FakeObject() : Counted("object") {}
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    Called("Get", name, flags, value, type, flavor);
    g_wmi->valueSlot = value;
    if (g_wmi->get != S_OK) return g_wmi->get;
    V_VT(value) = g_wmi->valueType;
    if (g_wmi->valueType == VT_BSTR) V_BSTR(value) = ::SysAllocString(g_wmi->valueText.c_str());
    if (g_wmi->valueType == VT_I4) V_I4(value) = 3133977;
    return S_OK;
  }
  NOT_USED(GetQualifierSet, QS) NOT_USED(Put, LPCWSTR, LONG, VARIANT*, CIMTYPE) NOT_USED(Delete, LPCWSTR)
  NOT_USED(GetNames, LPCWSTR, LONG, VARIANT*, SAFEARRAY**) NOT_USED(BeginEnumeration, LONG) NOT_USED(EndEnumeration)
  NOT_USED(Next, LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) NOT_USED(GetPropertyQualifierSet, LPCWSTR, QS)
  NOT_USED(Clone, CO*) NOT_USED(GetObjectText, LONG, BSTR*) NOT_USED(SpawnDerivedClass, LONG, CO*)
  NOT_USED(SpawnInstance, LONG, CO*) NOT_USED(CompareTo, LONG, CO) NOT_USED(GetPropertyOrigin, LPCWSTR, BSTR*)
  NOT_USED(InheritsFrom, LPCWSTR) NOT_USED(GetMethod, LPCWSTR, LONG, CO*, CO*) NOT_USED(DeleteMethod, LPCWSTR)
  NOT_USED(PutMethod, LPCWSTR, LONG, CO, CO) NOT_USED(BeginMethodEnumeration, LONG) NOT_USED(EndMethodEnumeration)
  NOT_USED(NextMethod, LONG, BSTR*, CO*, CO*) NOT_USED(GetMethodQualifierSet, LPCWSTR, QS)
  NOT_USED(GetMethodOrigin, LPCWSTR, BSTR*)
};

class FakeEnum : public Counted<IEnumWbemClassObject> {
 public:
  explicit FakeEnum(FakeObject& object) : Counted("enumerator"), object_(object) {}
  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, CO* objects, ULONG* returned) override {
    Called("Next", timeout, count, objects, returned);
    if (g_wmi->next == WBEM_S_FALSE) return *returned = 0, WBEM_S_FALSE;  // an empty result
    if (g_wmi->next != S_OK) return g_wmi->next;
    objects[0] = object_.Handed();
    return *returned = 1, S_OK;
  }
  NOT_USED(Reset) NOT_USED(NextAsync, ULONG, SK) NOT_USED(Clone, IEnumWbemClassObject**) NOT_USED(Skip, LONG, ULONG)

 private:
  FakeObject& object_;
};

class FakeServices : public Counted<IWbemServices> {
 public:
  explicit FakeServices(FakeEnum& results) : Counted("services"), results_(results) {}
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags, CX context,
                                      IEnumWbemClassObject** result) override {
    Called("ExecQuery", language, query, flags, context);
    if (g_wmi->exec != S_OK) return g_wmi->exec;
    return *result = results_.Handed(), S_OK;
  }
  NOT_USED(OpenNamespace, const BSTR, LONG, CX, IWbemServices**, CR) NOT_USED(CancelAsyncCall, SK)
  NOT_USED(QueryObjectSink, LONG, SK*) NOT_USED(GetObject, const BSTR, LONG, CX, CO*, CR)
  NOT_USED(GetObjectAsync, const BSTR, LONG, CX, SK) NOT_USED(PutClass, CO, LONG, CX, CR)
  NOT_USED(PutClassAsync, CO, LONG, CX, SK) NOT_USED(DeleteClass, const BSTR, LONG, CX, CR)
  NOT_USED(DeleteClassAsync, const BSTR, LONG, CX, SK)
  NOT_USED(CreateClassEnum, const BSTR, LONG, CX, IEnumWbemClassObject**)
  NOT_USED(CreateClassEnumAsync, const BSTR, LONG, CX, SK) NOT_USED(PutInstance, CO, LONG, CX, CR)
  NOT_USED(PutInstanceAsync, CO, LONG, CX, SK) NOT_USED(DeleteInstance, const BSTR, LONG, CX, CR)
  NOT_USED(DeleteInstanceAsync, const BSTR, LONG, CX, SK)
  NOT_USED(CreateInstanceEnum, const BSTR, LONG, CX, IEnumWbemClassObject**)
  NOT_USED(CreateInstanceEnumAsync, const BSTR, LONG, CX, SK)
  NOT_USED(ExecQueryAsync, const BSTR, const BSTR, LONG, CX, SK)
  NOT_USED(ExecNotificationQuery, const BSTR, const BSTR, LONG, CX, IEnumWbemClassObject**)
  NOT_USED(ExecNotificationQueryAsync, const BSTR, const BSTR, LONG, CX, SK)
  NOT_USED(ExecMethod, const BSTR, const BSTR, LONG, CX, CO, CO*, CR)
  NOT_USED(ExecMethodAsync, const BSTR, const BSTR, LONG, CX, CO, SK)

 private:
  FakeEnum& results_;
};

#undef NOT_USED
#undef QS
#undef CO
#undef CX
#undef SK
#undef CR

class FakeLocator : public Counted<IWbemLocator> {
 public:
  explicit FakeLocator(FakeServices& services) : Counted("locator"), services_(services) {}
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR ns, const BSTR user, const BSTR password, const BSTR locale,
                                          LONG flags, const BSTR authority, IWbemContext* context,
                                          IWbemServices** result) override {
    // The namespace's length shows it is a real BSTR.
    Called("ConnectServer", ns, SysStringLen(ns), user, password, locale, flags, authority, context);
    if (g_wmi->connect != S_OK) return g_wmi->connect;
    return *result = services_.Handed(), S_OK;
  }

 private:
  FakeServices& services_;
};

// The faked WMI object graph and the COM and OLE entries it is reached by.
class FakeWmi {
 public:
  explicit FakeWmi(Wmi& wmi) { g_wmi = &wmi, current_ = this; }
  ~FakeWmi() { g_wmi = nullptr; }  // not copied: its entries stay replaced while it lives

  FakeObject object;
  FakeEnum results{object};
  FakeServices services{results};
  FakeLocator locator{services};

 private:
  template <class F>
  using Replace = testing_os::Replace<F>;
  static inline FakeWmi* current_;

  Replace<decltype(os::api.CoInitializeSecurity)> security_{
      os::api.CoInitializeSecurity, [](PSECURITY_DESCRIPTOR sd, LONG services, SOLE_AUTHENTICATION_SERVICE* list,
                                       void* reserved1, DWORD level, DWORD impersonation, void* authList, DWORD caps,
                                       void* reserved3) {
        Called("CoInitializeSecurity", sd, services, list, reserved1, level, impersonation, authList, caps, reserved3);
        return g_wmi->security;
      }};
  Replace<decltype(os::api.CoCreateInstance)> create_{
      os::api.CoCreateInstance, [](REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
        Called("CoCreateInstance", clsid, outer, context, iid);
        if (g_wmi->create != S_OK) return g_wmi->create;
        *out = static_cast<IWbemLocator*>(current_->locator.Handed());
        return S_OK;
      }};
  Replace<decltype(os::api.CoSetProxyBlanket)> blanket_{
      os::api.CoSetProxyBlanket, [](IUnknown* proxy, DWORD authn, DWORD authz, OLECHAR* principal, DWORD level,
                                    DWORD impersonation, RPC_AUTH_IDENTITY_HANDLE identity, DWORD caps) {
        const bool services = proxy == static_cast<IWbemServices*>(&current_->services);
        Called("CoSetProxyBlanket", services ? "services" : Arg(proxy), authn, authz, principal, level, impersonation,
               identity, caps);
        return g_wmi->blanket;
      }};
  Replace<decltype(os::api.CompareStringW)> compare_{
      os::api.CompareStringW, [](LCID locale, DWORD flags, LPCWCH first, int cchFirst, LPCWCH second, int cchSecond) {
        Called("CompareStringW", locale, flags, first, cchFirst, second == g_wmi->valueText ? "value" : Arg(second),
               cchSecond);
        return CompareStringW(locale, flags, first, cchFirst, second, cchSecond);
      }};
  Replace<decltype(os::api.SysAllocString)> alloc_{os::api.SysAllocString, [](const OLECHAR* text) -> BSTR {
    if (++g_wmi->allocations == g_wmi->failingAllocation) return nullptr;
    return ++g_wmi->liveBstrs, ::SysAllocString(text);
  }};
  Replace<decltype(os::api.SysFreeString)> free_{os::api.SysFreeString, [](BSTR b) {
    if (b) --g_wmi->liveBstrs;
    ::SysFreeString(b);
  }};
  Replace<decltype(os::api.VariantClear)> clear_{os::api.VariantClear, [](VARIANTARG* v) {
    g_wmi->cleared.push_back(v);
    return VariantClear(v);
  }};
};

}  // namespace testing_wmi
