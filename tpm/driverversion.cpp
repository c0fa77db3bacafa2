#include "tpm/driverversion.h"

#include <algorithm>
#include <cwchar>

#include "diag/trace.h"
#include "os/owners.h"

namespace {

constexpr int kLoadAttempts = 10;
constexpr DWORD kLoadPauseMs = 1000;

}  // namespace

// Loading runs the image's own code and loader paths: any exception raised
// during the load, a processor fault included, counts as a failed attempt.
// MSVC guards the call with __try (the function holds no objects with
// destructors, as __try requires); other compilers with a routine written in
// assembly, whose unwind data does not depend on compiler flags.
#ifdef _MSC_VER
namespace {
HMODULE LoadDriverGuarded(bool* pbFaulted) {
  __try {
    return os::api.LoadLibraryW(kDriverPath);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    *pbFaulted = true;
    return nullptr;
  }
}
}  // namespace
#else
// tpm/loadguard_x64.S
extern "C" HMODULE vadrel_LoadLibraryGuarded(decltype(os::api.LoadLibraryW) pfnLoad, LPCWSTR pszPath, BOOL* pbFaulted);

namespace {
HMODULE LoadDriverGuarded(bool* pbFaulted) {
  BOOL bFaulted = FALSE;
  const HMODULE hModule = vadrel_LoadLibraryGuarded(os::api.LoadLibraryW, kDriverPath, &bFaulted);
  *pbFaulted = bFaulted != FALSE;
  return hModule;
}
}  // namespace
#endif

namespace {

// Windows maps an image without the DLL characteristic, a kernel driver such as
// tpm.sys, as if DONT_RESOLVE_DLL_REFERENCES were given: the ordinary load resolves
// none of its imports, runs none of its code and returns a module. An image with the
// characteristic (an export driver) has its imports resolved, and a driver's, from
// System32\drivers, are on no DLL search path: that load fails (ERROR_MOD_NOT_FOUND),
// and the file is then mapped as an image resource, which resolves nothing either.
// (Wine resolves the imports of every native-subsystem image.) Either module reads
// the same way. The lines traced for an attempt name the ordinary load: they carry
// its error, taken right after it.
os::Module LoadDriverWithRetries() {
  DWORD dwLoadError = ERROR_SUCCESS;
  for (int nAttempt = 1; nAttempt <= kLoadAttempts; ++nAttempt) {
    bool bFaulted = false;
    HMODULE hModule = LoadDriverGuarded(&bFaulted);
    dwLoadError = os::api.GetLastError();
    if (bFaulted) DebugTrace("Exception Occured in LoadLibraryW");
    if (hModule == nullptr) {
      hModule = os::api.LoadLibraryExW(kDriverPath, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
      if (hModule != nullptr) {
        os::api.SetLastError(dwLoadError);
        DebugTrace("LoadLibraryW failed, read as an image resource");
        TraceError(0);
      }
    }
    if (hModule != nullptr) return os::Module(hModule);
    os::api.SetLastError(dwLoadError);
    DebugTrace("LoadLibraryW failed %d time(s)", nAttempt);
    TraceError(0);
    os::api.Sleep(kLoadPauseMs);
  }
  os::api.SetLastError(dwLoadError);
  DebugTrace("LoadLibraryW failed");
  TraceError(0);
  return os::Module();
}

bool FailWithError(const char* pszLine) {
  DebugTrace("%s", pszLine);
  TraceError(0);
  return false;
}

bool ReadProductVersion(HMODULE hModule, WCHAR (&szSubBlock)[kVersionLength], WCHAR (&szVersion)[kVersionLength]) {
  HRSRC hResource = os::api.FindResourceW(hModule, MAKEINTRESOURCEW(1), RT_VERSION);
  if (hResource == nullptr) return FailWithError("FindResource failed");
  const DWORD cbResource = os::api.SizeofResource(hModule, hResource);
  if (cbResource == 0) return FailWithError("SizeofResource failed");
  HGLOBAL hData = os::api.LoadResource(hModule, hResource);
  if (hData == nullptr) return FailWithError("LoadResource failed");
  LPVOID pData = os::api.LockResource(hData);
  if (pData == nullptr) return FailWithError("LockResource failed");
  // VerQueryValueW walks the blocks by the lengths they state: a resource
  // shorter than its first block says would be read past its end.
  if (cbResource < sizeof(WORD) || *static_cast<const WORD*>(pData) > cbResource) {
    DebugTrace("Version resource shorter than it says");
    return false;
  }

  LPVOID pTranslation = nullptr;
  UINT cbTranslation = 0;
  // A table shorter than one entry (language and code page) holds nothing to use.
  if (!os::api.VerQueryValueW(pData, L"\\VarFileInfo\\Translation", &pTranslation, &cbTranslation) ||
      pTranslation == nullptr || cbTranslation < 2 * sizeof(WORD))
    return FailWithError("VerQueryValueW() failed.");
  const WORD* pEntry = static_cast<const WORD*>(pTranslation);
  if (_snwprintf_s(szSubBlock, kVersionLength, _TRUNCATE, L"\\StringFileInfo\\%04x%04x\\ProductVersion", pEntry[0],
                   pEntry[1]) <= 0) {
    DebugTrace("_snwprintf_s failed.");
    return false;
  }

  LPVOID pValue = nullptr;
  UINT cchValue = 0;
  if (!os::api.VerQueryValueW(pData, szSubBlock, &pValue, &cchValue)) return FailWithError("VerQueryValueW() 2nd failed.");
  // The value need not be terminated within the length Windows gives; and
  // that length comes from the resource: a value within the resource is read
  // no further than the resource's end.
  const wchar_t* pszValue = pValue ? static_cast<const wchar_t*>(pValue) : L"";
  const BYTE* const pText = static_cast<const BYTE*>(pValue);
  const BYTE* const pBegin = static_cast<const BYTE*>(pData);
  const BYTE* const pEnd = pBegin + cbResource;
  const size_t cchMax =
      pText >= pBegin && pText < pEnd ? std::min<size_t>(cchValue, (pEnd - pText) / sizeof(wchar_t)) : cchValue;
  const size_t cchText = wcsnlen(pszValue, cchMax);
  const errno_t err =
      wcsncpy_s(szVersion, kVersionLength, pszValue, cchText < static_cast<size_t>(kVersionLength) ? cchText : _TRUNCATE);
  if (err != 0) {
    DebugTrace("wcsncpy_s failed with error %d", err);
    return false;
  }
  return true;
}

}  // namespace

bool GetDriverFileVersion(WCHAR (&szVersion)[kVersionLength]) {
  WCHAR szSubBlock[kVersionLength] = {};
  PVOID pCookie = nullptr;

  BOOL bWow64 = FALSE;
  if (os::api.IsWow64Process(os::api.GetCurrentProcess(), &bWow64) && bWow64) {
    if (!os::api.Wow64DisableWow64FsRedirection(&pCookie)) {
      DebugTrace("Wow64DisableWow64FsRedirection failed");
      TraceError(0);
      return false;
    }
  }

  os::Module module = LoadDriverWithRetries();
  const bool bResult = module && ReadProductVersion(module.get(), szSubBlock, szVersion);
  module.reset();
  if (pCookie != nullptr) os::api.Wow64RevertWow64FsRedirection(pCookie);
  return bResult;
}

bool IsDriverVersion(const WCHAR* pszExpected) {
  WCHAR szVersion[kVersionLength] = {};
  if (!GetDriverFileVersion(szVersion)) return false;
  if (os::api.CompareStringW(LOCALE_INVARIANT, 0, pszExpected, -1, szVersion, -1) == CSTR_EQUAL) return true;
  DebugTrace("Version not match exp:%S res:%S", pszExpected, szVersion);
  return false;
}
