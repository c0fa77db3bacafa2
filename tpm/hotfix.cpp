#include "tpm/hotfix.h"

#include <cwchar>
#include <new>

#include "os/owners.h"

namespace {

constexpr wchar_t kHotfixId[] = L"KB3133977";

// The administrative WMI locator and the locator interface.
constexpr CLSID kClsidWbemAdministrativeLocator = {
    0xCB8555CC, 0x9128, 0x11D1, {0xAD, 0x9B, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};
constexpr IID kIidWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

// A request string made just before its call; running out of memory abandons the query.
os::Bstr MakeBstr(const wchar_t* psz) {
  os::Bstr bstr(os::api.SysAllocString(psz));
  if (!bstr) throw std::bad_alloc();
  return bstr;
}

}  // namespace

bool IsHotfixInstalled() {
  wchar_t szQuery[256] = {};
  _snwprintf_s(szQuery, 256, _TRUNCATE, L"SELECT * FROM Win32_QuickFixEngineering WHERE HotFixId=\"%s\"", kHotfixId);

  const HRESULT hrSecurity = os::api.CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                                                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  // RPC_E_TOO_LATE: the process's security was set earlier; the query may still run.
  if (FAILED(hrSecurity) && hrSecurity != RPC_E_TOO_LATE) return false;

  // Declared in order of acquisition, so that they go in the reverse order.
  os::ComPtr<IWbemLocator> locator;
  if (os::api.CoCreateInstance(kClsidWbemAdministrativeLocator, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                               kIidWbemLocator, locator.put_void()) != S_OK)
    return false;

  os::ComPtr<IWbemServices> services;
  {
    os::Bstr bstrNamespace = MakeBstr(L"root\\cimv2");
    if (locator->ConnectServer(bstrNamespace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put()) != S_OK)
      return false;
  }

  if (os::api.CoSetProxyBlanket(services.get(), RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE) != S_OK)
    return false;

  os::ComPtr<IEnumWbemClassObject> enumerator;
  {
    os::Bstr bstrLanguage = MakeBstr(L"WQL");
    os::Bstr bstrQuery = MakeBstr(szQuery);
    if (services->ExecQuery(bstrLanguage.get(), bstrQuery.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                            nullptr, enumerator.put()) != S_OK)
      return false;
  }

  // WBEM_S_FALSE (an empty result) is not S_OK either.
  os::ComPtr<IWbemClassObject> object;
  ULONG uReturned = 0;
  if (enumerator->Next(static_cast<long>(WBEM_INFINITE), 1, object.put(), &uReturned) != S_OK) return false;

  os::Variant value;
  {
    os::Bstr bstrProperty = MakeBstr(L"HotFixId");
    if (object->Get(bstrProperty.get(), 0, value.get(), nullptr, nullptr) != S_OK) return false;
  }
  if (V_VT(&*value) != VT_BSTR) return false;

  // A null BSTR is the empty text.
  const wchar_t* pszFound = V_BSTR(&*value) ? V_BSTR(&*value) : L"";
  return os::api.CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, kHotfixId, -1, pszFound, -1) == CSTR_EQUAL;
}
