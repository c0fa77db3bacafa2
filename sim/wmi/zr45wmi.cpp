// In-process stand-in for the administrative WMI locator, shaped like Windows 7's
// WMI and its Win32_QuickFixEngineering provider (CIMWin32) as Microsoft documents
// them, where Wine's own WMI reports one fixed row: ConnectServer's rules for a
// local connection, proxy blankets as COM takes them, a provider that impersonates
// its client, WQL data queries, and answers that take time. Settings, under
// HKLM\Software\ZR45Sim, read at query time: "HotFixIds" (REG_MULTI_SZ), one row
// per string; "WmiLatencyMs" (REG_DWORD; absent or 0: at once), how long after the
// query the provider answers. The stand-ins' clock (standin.h) gets "WMI query"
// when a query is made and "WMI rows" when its answer is ready. A setting of the
// same key makes one method call fail as a remote WMI can: "WmiFailCall" = N fails
// the Nth call of the WBEM and proxy-security methods after the locator's creation
// with the HRESULT "WmiFailError", giving nothing back; "WmiCalls" tells how many
// such calls the last locator took.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>

#include <cwchar>
#include <cwctype>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "standin.h"

namespace {

// The administrative locator; MinGW's headers do not name it.
const CLSID CLSID_WbemAdministrativeLocator = {0xCB8555CC, 0x9128, 0x11D1, {0xAD, 0x9B, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};
const wchar_t* const kSettingsKey = standin::kSettingsKey;
const wchar_t kClassName[] = L"Win32_QuickFixEngineering";

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

bool OneOf(DWORD value, std::initializer_list<DWORD> values) {
  for (DWORD v : values)
    if (v == value) return true;
  return false;
}

wchar_t Fold(wchar_t c) {
  wchar_t upper = c;
  LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &c, 1, &upper, 1);
  return upper;
}

std::wstring ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  GetComputerNameW(name, &size);
  return name;
}

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

#define ZR45_IUNKNOWN_METHODS                                        \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); } \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

// ---------------------------------------------------------------- security

// A proxy's security blanket. Until SetBlanket names them, a proxy carries the
// process's defaults (CoInitializeSecurity), which no in-process server can learn:
// Windows has no call that reads them back, and Wine's CoInitializeSecurity keeps
// nothing. They stay the DEFAULT constants here and are never refused.
struct Blanket {
  DWORD authn = RPC_C_AUTHN_DEFAULT, authz = RPC_C_AUTHZ_DEFAULT;
  DWORD level = RPC_C_AUTHN_LEVEL_DEFAULT, imp = RPC_C_IMP_LEVEL_DEFAULT, caps = EOAC_NONE;
};

// IClientSecurity::SetBlanket takes single values of COM's constants; an
// authentication level of none only without an authentication service; only the
// capabilities a proxy can take, one kind of cloaking, and no cloaking with an
// identity of the caller's own. Anything else is E_INVALIDARG.
HRESULT CheckBlanket(DWORD authn, DWORD authz, DWORD level, DWORD imp, const void* identity, DWORD caps) {
  const DWORD cloaking = EOAC_STATIC_CLOAKING | EOAC_DYNAMIC_CLOAKING;
  const bool valid =
      OneOf(authn, {RPC_C_AUTHN_NONE, RPC_C_AUTHN_DCE_PRIVATE, RPC_C_AUTHN_DCE_PUBLIC, RPC_C_AUTHN_DEC_PUBLIC,
                    RPC_C_AUTHN_GSS_NEGOTIATE, RPC_C_AUTHN_WINNT, RPC_C_AUTHN_GSS_SCHANNEL, RPC_C_AUTHN_GSS_KERBEROS,
                    RPC_C_AUTHN_DPA, RPC_C_AUTHN_MSN, 20 /* KERNEL */, RPC_C_AUTHN_DIGEST, 30 /* NEGO_EXTENDER */,
                    31 /* PKU2U */, RPC_C_AUTHN_MQ, RPC_C_AUTHN_DEFAULT}) &&
      OneOf(authz, {RPC_C_AUTHZ_NONE, RPC_C_AUTHZ_NAME, RPC_C_AUTHZ_DCE, RPC_C_AUTHZ_DEFAULT}) &&
      level <= RPC_C_AUTHN_LEVEL_PKT_PRIVACY && imp <= RPC_C_IMP_LEVEL_DELEGATE &&
      (level != RPC_C_AUTHN_LEVEL_NONE || authn == RPC_C_AUTHN_NONE || authn == RPC_C_AUTHN_DEFAULT) &&
      !(caps & ~(EOAC_MUTUAL_AUTH | cloaking | EOAC_ANY_AUTHORITY | EOAC_MAKE_FULLSIC | EOAC_DEFAULT)) &&
      (caps & cloaking) != cloaking && !((caps & cloaking) && identity && identity != COLE_DEFAULT_AUTHINFO);
  return valid ? S_OK : E_INVALIDARG;
}

// The provider impersonates its client: a client it cannot impersonate (no
// authentication, or a blanket that only lets it identify the client) is refused.
HRESULT ProviderAccess(const Blanket& b) {
  const bool anonymous = b.authn == RPC_C_AUTHN_NONE || b.level == RPC_C_AUTHN_LEVEL_NONE;
  const bool impersonable = !anonymous && b.imp != RPC_C_IMP_LEVEL_ANONYMOUS && b.imp != RPC_C_IMP_LEVEL_IDENTIFY;
  return impersonable ? S_OK : static_cast<HRESULT>(WBEM_E_ACCESS_DENIED);
}

// Proxy security as COM asks for it (CoSetProxyBlanket, CoQueryProxyBlanket).
class ProxySecurity : public IClientSecurity {
 public:
  HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** principal, DWORD* level,
                                         DWORD* imp, void** info, DWORD* caps) override {
    if (FailsNow()) return g_failError;
    if (authn) *authn = blanket_.authn;
    if (authz) *authz = blanket_.authz;
    if (principal) *principal = nullptr;
    if (level) *level = blanket_.level;
    if (imp) *imp = blanket_.imp;
    if (info) *info = nullptr;
    if (caps) *caps = blanket_.caps;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR*, DWORD level, DWORD imp, void* identity,
                                       DWORD caps) override {
    if (FailsNow()) return g_failError;
    const HRESULT hr = CheckBlanket(authn, authz, level, imp, identity, caps);
    if (hr == S_OK) blanket_ = {level == RPC_C_AUTHN_LEVEL_NONE ? RPC_C_AUTHN_NONE : authn, authz, level, imp, caps};
    return hr;
  }
  HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown** copy) override {
    if (copy) *copy = nullptr;
    return E_NOTIMPL;
  }

 protected:
  Blanket blanket_;
};

// ---------------------------------------------------------------- the class

// The class's properties, its own and inherited, and the one system property modeled.
const wchar_t* const kProperties[] = {
    L"__CLASS",     L"Caption",     L"CSName",      L"Description", L"FixComments",         L"HotFixID",
    L"InstallDate", L"InstalledBy", L"InstalledOn", L"Name",        L"ServicePackInEffect", L"Status"};
enum { kClassProperty, kCSName = 2, kHotFixID = 5, kInstallDate, kInstalledBy, kInstalledOn, kPropertyCount = 12 };
using Values = std::vector<std::optional<std::wstring>>;

int PropertyIndex(const wchar_t* name) {
  for (int i = 0; i < kPropertyCount; ++i)
    if (SameText(name, kProperties[i])) return i;
  return -1;
}

// An update as the provider reports it: the computer's name, empty texts where
// the installer and the date are unknown, no value where the class allows none.
Values RowOf(const std::wstring& id) {
  Values row(kPropertyCount);
  row[kClassProperty] = kClassName;
  row[kCSName] = ComputerName();
  row[kHotFixID] = id;
  row[kInstalledBy] = row[kInstalledOn] = std::wstring();
  return row;
}

// One row of the result: the system property and the properties the query selected.
class HotfixRow final : public IWbemClassObject, RefCounted {
 public:
  HotfixRow(Values values, std::vector<bool> selected) : values_(std::move(values)), selected_(std::move(selected)) {}
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

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    if (FailsNow()) return g_failError;
    if (!name || flags != 0) return WBEM_E_INVALID_PARAMETER;
    const int i = PropertyIndex(name);
    if (i < 0 || !selected_[i]) return WBEM_E_NOT_FOUND;
    if (value) {
      VariantInit(value);
      if (values_[i]) {
        BSTR copy = SysAllocString(values_[i]->c_str());
        if (!copy) return WBEM_E_OUT_OF_MEMORY;
        V_VT(value) = VT_BSTR;
        V_BSTR(value) = copy;
      } else {
        V_VT(value) = VT_NULL;
      }
    }
    if (type) *type = i == kInstallDate ? CIM_DATETIME : CIM_STRING;
    if (flavor) *flavor = i == kClassProperty ? WBEM_FLAVOR_ORIGIN_SYSTEM : WBEM_FLAVOR_ORIGIN_PROPAGATED;
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
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }

 private:
  Values values_;
  std::vector<bool> selected_;
};

// ---------------------------------------------------------------- the result

VOID CALLBACK MarkRowsReady(PVOID, BOOLEAN) { standin::Mark(L"WMI rows"); }

// The enumerator of a query's result: the provider's answer (rows or its
// refusal) arrives when the latency has passed; releasing it earlier cancels it.
class RowEnumerator final : public IEnumWbemClassObject, public ProxySecurity, RefCounted {
 public:
  RowEnumerator(std::vector<Values> rows, std::vector<bool> selected, HRESULT status, DWORD latency, bool forwardOnly)
      : rows_(std::move(rows)),
        selected_(std::move(selected)),
        status_(status),
        ready_(standin::ClockMs() + latency),
        forwardOnly_(forwardOnly) {
    if (latency == 0)
      MarkRowsReady(nullptr, FALSE);
    else
      CreateTimerQueueTimer(&timer_, nullptr, MarkRowsReady, nullptr, latency, 0, WT_EXECUTEONLYONCE);
  }
  ~RowEnumerator() override {
    if (timer_) DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
  }
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

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
    if (!objects || !returned || !ValidTimeout(timeout)) return WBEM_E_INVALID_PARAMETER;
    *returned = 0;
    if (FailsNow()) return g_failError;
    if (!Await(timeout)) return WBEM_S_TIMEDOUT;
    if (FAILED(status_)) return status_;
    while (*returned < count && next_ < rows_.size()) {
      objects[*returned] = new HotfixRow(rows_[next_++], selected_);
      ++*returned;
    }
    return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(LONG timeout, ULONG count) override {
    if (!ValidTimeout(timeout)) return WBEM_E_INVALID_PARAMETER;
    if (!Await(timeout)) return WBEM_S_TIMEDOUT;
    if (FAILED(status_)) return status_;
    ULONG skipped = 0;
    for (; skipped < count && next_ < rows_.size(); ++skipped) ++next_;
    return skipped == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }
  // A forward-only enumerator can neither go back nor be copied.
  HRESULT STDMETHODCALLTYPE Reset() override {
    if (forwardOnly_) return WBEM_E_INVALID_OPERATION;
    next_ = 0;
    return WBEM_S_NO_ERROR;
  }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** copy) override {
    if (copy) *copy = nullptr;
    return forwardOnly_ ? WBEM_E_INVALID_OPERATION : WBEM_E_NOT_SUPPORTED;
  }

 private:
  static bool ValidTimeout(LONG timeout) { return timeout >= 0 || timeout == static_cast<LONG>(WBEM_INFINITE); }

  // Waits for the answer at most timeout milliseconds; true once it is there.
  bool Await(LONG timeout) const {
    const ULONGLONG now = standin::ClockMs();
    if (now >= ready_) return true;
    const ULONGLONG left = ready_ - now;
    const bool enough = timeout == static_cast<LONG>(WBEM_INFINITE) || static_cast<ULONGLONG>(timeout) >= left;
    Sleep(static_cast<DWORD>(enough ? left : timeout));
    return enough;
  }

  std::vector<Values> rows_;
  std::vector<bool> selected_;
  HRESULT status_;
  ULONGLONG ready_;
  bool forwardOnly_;
  HANDLE timer_ = nullptr;
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

// ---------------------------------------------------------------- WQL

// WQL data queries as WMI documents them:
//   SELECT * | property [, property]... FROM class [WHERE condition]
// A condition joins comparisons with NOT, AND, OR (AND first) and parentheses; a
// comparison is "property op constant" or "constant op property" with =, <>, !=,
// <, >, <=, >=, or "property LIKE pattern", or "property IS [NOT] NULL".
// Keywords and names go without case; string constants stand in single or double
// quotes, with \\, \" and \' for those characters; comparisons ignore case.
struct Token {
  enum Kind { kEnd, kWord, kString, kNumber, kSymbol } kind;
  std::wstring text;
};

bool Tokenize(const wchar_t* p, std::vector<Token>* out) {
  static const wchar_t* const kSymbols[] = {L"<>", L"!=", L"<=", L">=", L"=", L"<", L">", L"*", L",", L"(", L")"};
  for (;;) {
    while (iswspace(*p)) ++p;
    const wchar_t* start = p;
    if (!*p) {
      out->push_back({Token::kEnd, L""});
      return true;
    } else if (iswalpha(*p) || *p == L'_') {
      while (iswalnum(*p) || *p == L'_') ++p;
      out->push_back({Token::kWord, std::wstring(start, p)});
    } else if (iswdigit(*p) || ((*p == L'-' || *p == L'+') && iswdigit(p[1]))) {
      for (++p; iswalnum(*p) || *p == L'.';) ++p;
      out->push_back({Token::kNumber, std::wstring(start, p)});
    } else if (*p == L'"' || *p == L'\'') {
      std::wstring text;
      for (const wchar_t quote = *p++; *p != quote; text += *p++) {
        if (*p == L'\\' && p[1]) ++p;
        if (!*p) return false;
      }
      ++p;
      out->push_back({Token::kString, text});
    } else {
      const wchar_t* symbol = nullptr;
      for (const wchar_t* s : kSymbols)
        if (!symbol && wcsncmp(p, s, wcslen(s)) == 0) symbol = s;
      if (!symbol) return false;
      p += wcslen(symbol);
      out->push_back({Token::kSymbol, symbol});
    }
  }
}

struct Node {
  enum Kind { kOr, kAnd, kNot, kCompare, kLike, kIsNull } kind;
  int left = -1, right = -1;
  std::wstring property, op;
  Token constant = {Token::kEnd, L""};

  static Node Of(Kind kind, int left = -1, int right = -1) {
    Node node;
    node.kind = kind, node.left = left, node.right = right;
    return node;
  }
};

struct Query {
  std::wstring className;
  std::vector<std::wstring> selected;  // empty: *
  std::vector<Node> nodes;
  int where = -1;
};

class Parser {
 public:
  Parser(std::vector<Token> tokens, Query* query) : t_(std::move(tokens)), q_(query) {}

  bool Statement() {
    if (!Keyword(L"SELECT")) return false;
    if (!Symbol(L"*")) {
      do q_->selected.push_back(Name());
      while (!q_->selected.back().empty() && Symbol(L","));
      if (q_->selected.back().empty()) return false;
    }
    if (!Keyword(L"FROM") || (q_->className = Name()).empty()) return false;
    if (Keyword(L"WHERE") && (q_->where = Or()) < 0) return false;
    return t_[i_].kind == Token::kEnd;
  }

 private:
  bool Keyword(const wchar_t* word) {
    if (t_[i_].kind != Token::kWord || !SameText(t_[i_].text, word)) return false;
    return ++i_, true;
  }
  bool Symbol(const wchar_t* symbol) {
    if (t_[i_].kind != Token::kSymbol || t_[i_].text != symbol) return false;
    return ++i_, true;
  }
  // A property or class name: a word that is not one of WQL's keywords.
  std::wstring Name() {
    static const wchar_t* const kKeywords[] = {L"SELECT", L"FROM", L"WHERE", L"AND",  L"OR",   L"NOT",
                                               L"IS",     L"ISA",  L"LIKE",  L"NULL", L"TRUE", L"FALSE"};
    if (t_[i_].kind != Token::kWord) return L"";
    for (const wchar_t* k : kKeywords)
      if (SameText(t_[i_].text, k)) return L"";
    return t_[i_++].text;
  }
  std::wstring Operator() {
    for (const wchar_t* op : {L"=", L"<>", L"!=", L"<", L">", L"<=", L">="})
      if (Symbol(op)) return op;
    return L"";
  }
  // 'a' < P is P > 'a'.
  static std::wstring Turned(const std::wstring& op) {
    if (op == L"<" || op == L">") return op == L"<" ? L">" : L"<";
    if (op == L"<=" || op == L">=") return op == L"<=" ? L">=" : L"<=";
    return op;
  }
  bool Constant(Token* out) {
    const Token& t = t_[i_];
    const bool constant =
        t.kind == Token::kString || t.kind == Token::kNumber ||
        (t.kind == Token::kWord && (SameText(t.text, L"NULL") || SameText(t.text, L"TRUE") || SameText(t.text, L"FALSE")));
    if (constant) *out = t_[i_++];
    return constant;
  }
  int Add(Node node) {
    q_->nodes.push_back(std::move(node));
    return static_cast<int>(q_->nodes.size()) - 1;
  }
  int Join(Node::Kind kind, int (Parser::*operand)(), const wchar_t* keyword) {
    int left = (this->*operand)();
    while (left >= 0 && Keyword(keyword)) {
      const int right = (this->*operand)();
      left = right < 0 ? -1 : Add(Node::Of(kind, left, right));
    }
    return left;
  }
  int Or() { return Join(Node::kOr, &Parser::And, L"OR"); }
  int And() { return Join(Node::kAnd, &Parser::Unary, L"AND"); }
  int Unary() {
    if (Keyword(L"NOT")) {
      const int operand = Unary();
      return operand < 0 ? -1 : Add(Node::Of(Node::kNot, operand));
    }
    if (Symbol(L"(")) {
      const int inner = Or();
      return inner >= 0 && Symbol(L")") ? inner : -1;
    }
    return Comparison();
  }
  int Comparison() {
    Node node = Node::Of(Node::kCompare);
    if (Constant(&node.constant)) {  // constant op property: the same test seen from the property
      node.op = Turned(Operator());
      node.property = Name();
      return node.op.empty() || node.property.empty() ? -1 : Add(node);
    }
    if ((node.property = Name()).empty()) return -1;
    if (Keyword(L"IS")) {
      const bool negated = Keyword(L"NOT");
      if (!Keyword(L"NULL")) return -1;
      node.kind = Node::kIsNull;
      const int test = Add(node);
      return negated ? Add(Node::Of(Node::kNot, test)) : test;
    }
    if (Keyword(L"LIKE")) {
      node.kind = Node::kLike;
      node.op = L"LIKE";
    } else {
      node.op = Operator();
    }
    return !node.op.empty() && Constant(&node.constant) ? Add(node) : -1;
  }

  std::vector<Token> t_;
  size_t i_ = 0;
  Query* q_;
};

// Parses a query and checks it against the class, in the order WMI reports:
// the syntax, then the class, then the properties, then the constants' types.
HRESULT ParseQuery(const wchar_t* text, Query* query) {
  std::vector<Token> tokens;
  if (!Tokenize(text, &tokens) || !Parser(std::move(tokens), query).Statement()) return WBEM_E_INVALID_QUERY;
  // This machine's root\cimv2 holds the one class the tool queries.
  if (!SameText(query->className, kClassName)) return WBEM_E_INVALID_CLASS;
  for (const std::wstring& name : query->selected)
    if (PropertyIndex(name.c_str()) < 0) return WBEM_E_INVALID_QUERY;
  for (const Node& node : query->nodes)
    if (node.kind >= Node::kCompare && PropertyIndex(node.property.c_str()) < 0) return WBEM_E_INVALID_QUERY;
  // Every property of the class is a string (or a date as text): only a string constant fits.
  for (const Node& node : query->nodes)
    if ((node.kind == Node::kCompare || node.kind == Node::kLike) && node.constant.kind != Token::kString)
      return WBEM_E_INVALID_QUERY;
  return S_OK;
}

// LIKE: % any run of characters, _ any one, [set], [a-f] or [^set] one of (or not
// of) those; without case.
bool Like(const wchar_t* s, const wchar_t* p) {
  if (!*p) return !*s;
  if (*p == L'%') return Like(s, p + 1) || (*s && Like(s + 1, p));
  if (!*s) return false;
  if (*p != L'[') return (*p == L'_' || Fold(*p) == Fold(*s)) && Like(s + 1, p + 1);
  const bool negated = *++p == L'^';
  bool in = false;
  for (p += negated; *p && *p != L']'; ++p) {
    if (p[1] == L'-' && p[2] && p[2] != L']') {
      in = in || (Fold(*s) >= Fold(*p) && Fold(*s) <= Fold(p[2]));
      p += 2;
    } else {
      in = in || Fold(*s) == Fold(*p);
    }
  }
  return *p && in != negated && Like(s + 1, p + 1);
}

// Whether a row meets the condition; a test of a property without a value is
// never met (but IS NULL).
bool Meets(const Query& q, int n, const Values& row) {
  const Node& node = q.nodes[n];
  if (node.kind == Node::kOr) return Meets(q, node.left, row) || Meets(q, node.right, row);
  if (node.kind == Node::kAnd) return Meets(q, node.left, row) && Meets(q, node.right, row);
  if (node.kind == Node::kNot) return !Meets(q, node.left, row);
  const std::optional<std::wstring>& value = row[PropertyIndex(node.property.c_str())];
  if (node.kind == Node::kIsNull || !value) return node.kind == Node::kIsNull && !value;
  if (node.kind == Node::kLike) return Like(value->c_str(), node.constant.text.c_str());
  const int order =
      CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, value->c_str(), -1, node.constant.text.c_str(), -1) - CSTR_EQUAL;
  const std::wstring& op = node.op;
  return op == L"="    ? order == 0
         : op == L"<"  ? order < 0
         : op == L">"  ? order > 0
         : op == L"<=" ? order <= 0
         : op == L">=" ? order >= 0
                       : order != 0;
}

// ---------------------------------------------------------------- the services

// The flags ExecQuery takes.
const LONG kQueryFlags = WBEM_FLAG_USE_AMENDED_QUALIFIERS | WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY |
                         WBEM_FLAG_ENSURE_LOCATABLE | WBEM_FLAG_PROTOTYPE | WBEM_FLAG_DIRECT_READ;

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

  // WMI checks the call and the query; the provider then answers after the latency,
  // as the client it impersonates. WBEM_FLAG_RETURN_IMMEDIATELY returns at once
  // (the answer comes through the enumerator's Next); otherwise the call waits.
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR text, LONG flags, IWbemContext*,
                                      IEnumWbemClassObject** result) override {
    if (!result) return WBEM_E_INVALID_PARAMETER;
    *result = nullptr;
    if (FailsNow()) return g_failError;
    if (!language || !text || (flags & ~kQueryFlags)) return WBEM_E_INVALID_PARAMETER;
    // A prototype (the shape of a result, no rows) is not modeled: refused, never answered with rows.
    if (flags & WBEM_FLAG_PROTOTYPE) return WBEM_E_NOT_SUPPORTED;
    if (!SameText(language, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
    Query query;
    const HRESULT parsed = ParseQuery(text, &query);
    if (parsed != S_OK) return parsed;

    standin::Mark(L"WMI query");
    const HRESULT status = ProviderAccess(blanket_);
    std::vector<Values> rows;
    for (const std::wstring& id : status == S_OK ? ConfiguredHotfixes() : std::vector<std::wstring>()) {
      Values row = RowOf(id);
      if (query.where < 0 || Meets(query, query.where, row)) rows.push_back(std::move(row));
    }
    std::vector<bool> selected(kPropertyCount, query.selected.empty());
    selected[kClassProperty] = true;
    for (const std::wstring& name : query.selected) selected[PropertyIndex(name.c_str())] = true;

    DWORD latency = Setting(L"WmiLatencyMs");
    if (!(flags & WBEM_FLAG_RETURN_IMMEDIATELY)) {
      Sleep(latency);
      latency = 0;
      if (status != S_OK) {
        MarkRowsReady(nullptr, FALSE);
        return status;
      }
    }
    *result =
        new RowEnumerator(std::move(rows), std::move(selected), status, latency, (flags & WBEM_FLAG_FORWARD_ONLY) != 0);
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                       IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject**,
                                       IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                            IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
};

// ---------------------------------------------------------------- the locator

// The flags ConnectServer takes.
const LONG kConnectFlags = WBEM_FLAG_CONNECT_REPOSITORY_ONLY | WBEM_FLAG_CONNECT_USE_MAX_WAIT | WBEM_FLAG_CONNECT_PROVIDERS;

// A locale as "MS_" and a hexadecimal LCID.
bool IsMsLocale(const wchar_t* locale) {
  if (_wcsnicmp(locale, L"MS_", 3) != 0 || !locale[3]) return false;
  for (const wchar_t* p = locale + 3; *p; ++p)
    if (!iswxdigit(*p)) return false;
  return true;
}

// Windows 7 serves another locale in its own; later Windows refuse it.
bool RefusesUnknownLocales() {
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = sizeof(v);
  return GetVersionExW(&v) && (v.dwMajorVersion > 6 || (v.dwMajorVersion == 6 && v.dwMinorVersion > 1));
}

// Blank, "Kerberos:<principal>" or "NTLMDOMAIN:<domain>".
bool IsAuthority(const wchar_t* authority) {
  return !authority || !*authority || _wcsnicmp(authority, L"kerberos:", 9) == 0 ||
         _wcsnicmp(authority, L"ntlmdomain:", 11) == 0;
}

// The namespace of an object path on this computer: "root\cimv2", or with a
// server ".", "localhost" or this computer's name before it, either slash.
// Another server would be reached over DCOM, which nothing here answers.
HRESULT LocalNamespace(const wchar_t* path, std::wstring* name) {
  std::wstring p(path);
  for (wchar_t& c : p)
    if (c == L'/') c = L'\\';
  if (p.compare(0, 2, L"\\\\") == 0) {
    const size_t end = p.find(L'\\', 2);
    const std::wstring server = p.substr(2, end == std::wstring::npos ? end : end - 2);
    if (server != L"." && !SameText(server, L"localhost") && !SameText(server, ComputerName().c_str()))
      return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    p.erase(0, end == std::wstring::npos ? p.size() : end + 1);
  }
  *name = p;
  return S_OK;
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
  // A local connection takes no credentials: the caller's own security context.
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR user, const BSTR password, const BSTR locale,
                                          LONG flags, const BSTR authority, IWbemContext*,
                                          IWbemServices** services) override {
    standin::CheckErrorMode(L"WMI");
    if (!services) return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    if (FailsNow()) return g_failError;
    if (!resource || (flags & ~kConnectFlags) || (user && !*user) || !IsAuthority(authority) ||
        (locale && !IsMsLocale(locale) && RefusesUnknownLocales()))
      return WBEM_E_INVALID_PARAMETER;
    std::wstring name;
    const HRESULT hr = LocalNamespace(resource, &name);
    if (hr != S_OK) return hr;
    if (user || password || (authority && *authority)) return WBEM_E_LOCAL_CREDENTIALS;
    if (!SameText(name, L"root\\cimv2")) return WBEM_E_INVALID_NAMESPACE;
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
