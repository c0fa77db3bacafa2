// The WMI stand-in reached the way a client reaches WMI: registered for the
// administrative locator class, created by COM, asked through the WMI interfaces.
// Runs in a prefix of its own (the registration replaces Wine's own locator).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The administrative locator; MinGW's headers do not name it.
const CLSID CLSID_WbemAdministrativeLocator = {0xCB8555CC, 0x9128, 0x11D1, {0xAD, 0x9B, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};
const wchar_t kQuery[] = L"SELECT * FROM Win32_QuickFixEngineering WHERE HotFixId=\"KB3133977\"";
const wchar_t kAll[] = L"SELECT * FROM Win32_QuickFixEngineering";

std::wstring Beside(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

void Register() {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                            L"Software\\Classes\\CLSID\\{CB8555CC-9128-11D1-AD9B-00C04FD8FDFF}\\InprocServer32",
                            0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::wstring dll = Beside(L"zr45wmi.dll");
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                 static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t)));
  RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Both"), 10);
  RegCloseKey(key);
}

// Sets HotFixIds: nullptr removes it; type lets a test store a wrong kind of value.
void Configure(const std::vector<const wchar_t*>* ids, DWORD type = REG_MULTI_SZ) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\ZR45Sim", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  if (!ids) {
    RegDeleteValueW(key, L"HotFixIds");
  } else {
    std::wstring data;
    for (const wchar_t* id : *ids) data.append(id).push_back(L'\0');
    data.push_back(L'\0');
    RegSetValueExW(key, L"HotFixIds", 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size() * sizeof(wchar_t)));
  }
  RegCloseKey(key);
}

template <class T>
struct Ptr {
  T* p = nullptr;
  Ptr() = default;
  Ptr(const Ptr&) = delete;
  ~Ptr() { reset(); }
  void reset() {
    if (p) p->Release();
    p = nullptr;
  }
  T** out() {
    reset();
    return &p;
  }
  T* operator->() const { return p; }
};

struct Bstr {
  BSTR s;
  explicit Bstr(const wchar_t* text) : s(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(s); }
};

HRESULT Connect(const wchar_t* ns, Ptr<IWbemServices>* services) {
  Ptr<IWbemLocator> locator;
  HRESULT hr = CoCreateInstance(CLSID_WbemAdministrativeLocator, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                IID_IWbemLocator, reinterpret_cast<void**>(locator.out()));
  if (hr != S_OK) return hr;
  Bstr name(ns);
  return locator->ConnectServer(name.s, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services->out());
}

// Every row's HotFixID, read one object per Next as a client does.
std::vector<std::wstring> Rows(const wchar_t* query, HRESULT* last = nullptr) {
  std::vector<std::wstring> ids;
  Ptr<IWbemServices> services;
  EXPECT_EQ(Connect(L"root\\cimv2", &services), S_OK);
  if (!services.p) return ids;
  Ptr<IEnumWbemClassObject> rows;
  Bstr wql(L"WQL"), text(query);
  EXPECT_EQ(services->ExecQuery(wql.s, text.s, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                rows.out()),
            S_OK);
  if (!rows.p) return ids;
  for (int guard = 0; guard < 100; ++guard) {
    Ptr<IWbemClassObject> row;
    ULONG got = 99;
    HRESULT hr = rows->Next(static_cast<LONG>(WBEM_INFINITE), 1, row.out(), &got);
    if (last) *last = hr;
    if (hr != S_OK) {
      EXPECT_EQ(got, 0u);
      break;
    }
    EXPECT_EQ(got, 1u);
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(row->Get(L"HotFixID", 0, &v, nullptr, nullptr), S_OK);
    EXPECT_EQ(V_VT(&v), VT_BSTR);
    if (V_VT(&v) == VT_BSTR) ids.emplace_back(V_BSTR(&v));
    VariantClear(&v);
  }
  return ids;
}

using Ids = std::vector<const wchar_t*>;
using Texts = std::vector<std::wstring>;

struct RowCase {
  const char* what;
  bool present;
  Ids configured;
  const wchar_t* query;
  Texts expected;
};

TEST(Zr45Wmi, ReportsTheConfiguredRowsThatMatchTheQuery) {
  const RowCase cases[] = {
      {"no value", false, {}, kQuery, {}},
      {"empty list", true, {}, kQuery, {}},
      {"the hotfix among others", true, {L"KB2919355", L"KB3133977", L"KB976932"}, kQuery, {L"KB3133977"}},
      {"lower-case id still matches", true, {L"kb3133977"}, kQuery, {L"kb3133977"}},
      {"other hotfixes only", true, {L"KB2919355", L"KB313397"}, kQuery, {}},
      {"whole class in order", true, {L"KB1", L"KB3133977", L"KB2"}, kAll, {L"KB1", L"KB3133977", L"KB2"}},
      {"single quotes, spaces, lower-case keywords", true, {L"KB2", L"KB3133977"},
       L"select *  from win32_quickfixengineering where hotfixid = 'kb3133977'", {L"KB3133977"}},
      {"another property matches nothing", true, {L"KB3133977"},
       L"SELECT * FROM Win32_QuickFixEngineering WHERE Description=\"KB3133977\"", {}},
  };
  for (const RowCase& c : cases) {
    SCOPED_TRACE(c.what);
    Configure(c.present ? &c.configured : nullptr);
    HRESULT last = S_OK;
    EXPECT_EQ(Rows(c.query, &last), c.expected);
    EXPECT_EQ(last, WBEM_S_FALSE);
  }
}

TEST(Zr45Wmi, AValueOfAnotherTypeGivesNoRows) {
  Ids ids{L"KB3133977"};
  Configure(&ids, REG_SZ);
  EXPECT_EQ(Rows(kAll), Texts{});
}

TEST(Zr45Wmi, ReadsTheSettingAtEachQuery) {
  Ids first{L"KB3133977"};
  Configure(&first);
  Ptr<IWbemServices> services;
  ASSERT_EQ(Connect(L"root\\cimv2", &services), S_OK);
  Ids second{L"KB1"};
  Configure(&second);
  EXPECT_EQ(Rows(kQuery), Texts{});
  EXPECT_EQ(Rows(kAll), Texts{L"KB1"});
}

// The calls and arguments a client of the hotfix query makes, one object asked for.
TEST(Zr45Wmi, AnswersTheHotfixQueryAsAClientMakesIt) {
  Ids ids{L"KB2919355", L"KB3133977"};
  Configure(&ids);
  EXPECT_TRUE(SUCCEEDED(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr)));
  Ptr<IWbemServices> services;
  ASSERT_EQ(Connect(L"root\\cimv2", &services), S_OK);
  ASSERT_EQ(CoSetProxyBlanket(services.p, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
            S_OK);
  DWORD level = 0, imp = 0;
  EXPECT_EQ(CoQueryProxyBlanket(services.p, nullptr, nullptr, nullptr, &level, &imp, nullptr, nullptr), S_OK);
  EXPECT_EQ(level, static_cast<DWORD>(RPC_C_AUTHN_LEVEL_PKT));
  EXPECT_EQ(imp, static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE));

  Ptr<IEnumWbemClassObject> rows;
  Bstr wql(L"WQL"), text(kQuery);
  ASSERT_EQ(services->ExecQuery(wql.s, text.s, 0x30, nullptr, rows.out()), S_OK);
  Ptr<IWbemClassObject> row;
  ULONG got = 0;
  ASSERT_EQ(rows->Next(static_cast<LONG>(WBEM_INFINITE), 1, row.out(), &got), S_OK);
  EXPECT_EQ(got, 1u);
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(row->Get(L"HotFixId", 0, &v, nullptr, nullptr), S_OK);
  ASSERT_EQ(V_VT(&v), VT_BSTR);
  EXPECT_STREQ(V_BSTR(&v), L"KB3133977");
  VariantClear(&v);
}

struct RefusalCase {
  const char* what;
  const wchar_t* ns;
  const wchar_t* language;
  const wchar_t* query;
  ULONG expected;  // an HRESULT
};

TEST(Zr45Wmi, RefusesWhatItDoesNotServe) {
  const RefusalCase cases[] = {
      {"another namespace", L"root\\default", L"WQL", kAll, WBEM_E_INVALID_NAMESPACE},
      {"another language", L"root\\cimv2", L"SQL", kAll, WBEM_E_INVALID_QUERY_TYPE},
      {"another class", L"root\\cimv2", L"WQL", L"SELECT * FROM Win32_Process", WBEM_E_INVALID_QUERY},
      {"unknown property", L"root\\cimv2", L"WQL",
       L"SELECT * FROM Win32_QuickFixEngineering WHERE Nothing=\"x\"", WBEM_E_INVALID_QUERY},
      {"unclosed text", L"root\\cimv2", L"WQL",
       L"SELECT * FROM Win32_QuickFixEngineering WHERE HotFixID=\"KB3133977", WBEM_E_INVALID_QUERY},
      {"trailing words", L"root\\cimv2", L"WQL", L"SELECT * FROM Win32_QuickFixEngineering ORDER", WBEM_E_INVALID_QUERY},
      {"local machine path", L"\\\\.\\root\\cimv2", L"WQL", L"SELECT HotFixID FROM Win32_QuickFixEngineering",
       WBEM_E_INVALID_QUERY},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    Ptr<IWbemServices> services;
    HRESULT hr = Connect(c.ns, &services);
    if (hr != S_OK) {
      EXPECT_EQ(static_cast<ULONG>(hr), c.expected);
      EXPECT_EQ(services.p, nullptr);
      continue;
    }
    Ptr<IEnumWbemClassObject> rows;
    Bstr language(c.language), text(c.query);
    EXPECT_EQ(static_cast<ULONG>(services->ExecQuery(language.s, text.s, 0, nullptr, rows.out())), c.expected);
    EXPECT_EQ(rows.p, nullptr);
  }
}

TEST(Zr45Wmi, RowsKnowOnlyTheClassProperties) {
  Ids ids{L"KB3133977"};
  Configure(&ids);
  Ptr<IWbemServices> services;
  ASSERT_EQ(Connect(L"root\\cimv2", &services), S_OK);
  Ptr<IEnumWbemClassObject> rows;
  Bstr wql(L"WQL"), text(kAll);
  ASSERT_EQ(services->ExecQuery(wql.s, text.s, 0, nullptr, rows.out()), S_OK);
  Ptr<IWbemClassObject> row;
  ULONG got = 0;
  ASSERT_EQ(rows->Next(0, 1, row.out(), &got), S_OK);

  struct { const wchar_t* name; ULONG hr; VARTYPE vt; const wchar_t* text; } props[] = {
      {L"hotfixid", S_OK, VT_BSTR, L"KB3133977"},
      {L"__CLASS", S_OK, VT_BSTR, L"Win32_QuickFixEngineering"},
      {L"InstalledOn", S_OK, VT_NULL, nullptr},
      {L"NoSuchProperty", WBEM_E_NOT_FOUND, VT_EMPTY, nullptr},
  };
  for (const auto& p : props) {
    SCOPED_TRACE(testing::Message() << static_cast<const void*>(p.name));
    VARIANT v;
    VariantInit(&v);
    CIMTYPE type = 0;
    EXPECT_EQ(static_cast<ULONG>(row->Get(p.name, 0, &v, &type, nullptr)), p.hr);
    EXPECT_EQ(V_VT(&v), p.vt);
    if (p.text && V_VT(&v) == VT_BSTR) {
      EXPECT_STREQ(V_BSTR(&v), p.text);
    }
    if (p.hr == S_OK) {
      EXPECT_EQ(type, CIM_STRING);
    }
    VariantClear(&v);
  }
  // Neither writable nor enumerable: a client relying on that is told so.
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(row->Put(L"HotFixID", 0, &v, 0), WBEM_E_NOT_SUPPORTED);
  Ptr<IWbemClassObject> object;
  Bstr path(L"Win32_QuickFixEngineering.HotFixID=\"KB3133977\"");
  EXPECT_EQ(services->GetObject(path.s, 0, nullptr, object.out(), nullptr), WBEM_E_NOT_SUPPORTED);
  // Everything was asked for; the next call finds nothing left.
  Ptr<IWbemClassObject> none;
  EXPECT_EQ(rows->Next(0, 1, none.out(), &got), WBEM_S_FALSE);
  EXPECT_EQ(got, 0u);
}

TEST(Zr45Wmi, StaysLoadedWhileAnyObjectLives) {
  Ids ids{L"KB3133977", L"KB2"};
  Configure(&ids);
  Ptr<IWbemServices> services;
  ASSERT_EQ(Connect(L"root\\cimv2", &services), S_OK);
  HMODULE dll = GetModuleHandleW(L"zr45wmi.dll");
  ASSERT_NE(dll, nullptr) << "the locator did not come from the stand-in";
  auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  ASSERT_NE(canUnload, nullptr);

  Ptr<IEnumWbemClassObject> rows;
  Bstr wql(L"WQL"), text(kAll);
  ASSERT_EQ(services->ExecQuery(wql.s, text.s, 0, nullptr, rows.out()), S_OK);
  IWbemClassObject* two[2] = {};
  ULONG got = 0;
  ASSERT_EQ(rows->Next(0, 2, two, &got), S_OK);
  ASSERT_EQ(got, 2u);
  // A second reference through QueryInterface must be counted too.
  IUnknown* extra = nullptr;
  ASSERT_EQ(two[0]->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&extra)), S_OK);
  services.reset();
  rows.reset();
  two[1]->Release();
  EXPECT_EQ(two[0]->Release(), 1u);
  EXPECT_EQ(canUnload(), S_FALSE);
  EXPECT_EQ(extra->Release(), 0u);
  EXPECT_EQ(canUnload(), S_OK);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
  Register();
  int rc = RUN_ALL_TESTS();
  CoUninitialize();
  return rc;
}
