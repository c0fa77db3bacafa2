// What the simulated machine's in-process stand-ins (the installer, the WMI
// server, the framework loader) share: a clock of their own, to measure the
// pauses the tool promises, and a record of what a real machine would show
// about the process that called them. Both go to HKLM\Software\ZR45Sim:
//   "Clock"            REG_MULTI_SZ  "event=milliseconds", in the order marked
//   "ProcessFindings"  REG_MULTI_SZ  one text per broken promise; absent when none
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace standin {

const wchar_t kSettingsKey[] = L"Software\\ZR45Sim";

// Milliseconds on the machine's monotonic clock, the same for every stand-in.
inline ULONGLONG ClockMs() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<ULONGLONG>(now.QuadPart / frequency.QuadPart * 1000 +
                                now.QuadPart % frequency.QuadPart * 1000 / frequency.QuadPart);
}

// Adds one text to the end of a REG_MULTI_SZ value of the settings key.
inline void Append(const wchar_t* name, const std::wstring& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  DWORD type = 0, size = 0;
  std::vector<wchar_t> list;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
    list.assign(size / sizeof(wchar_t) + 1, L'\0');
    RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(list.data()), &size);
    list.resize(size / sizeof(wchar_t));
  }
  while (!list.empty() && list.back() == L'\0') list.pop_back();  // the list's own end
  if (!list.empty()) list.push_back(L'\0');
  list.insert(list.end(), text.begin(), text.end());
  list.insert(list.end(), {L'\0', L'\0'});
  RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                 static_cast<DWORD>(list.size() * sizeof(wchar_t)));
  RegCloseKey(key);
}

// An event on the stand-ins' clock.
inline void Mark(const std::wstring& event) { Append(L"Clock", event + L"=" + std::to_wstring(ClockMs())); }

// Something a real machine would have shown about the calling process.
inline void Finding(const std::wstring& text) { Append(L"ProcessFindings", text); }

// The tool keeps the system's critical-error and missing-file boxes out of its
// runs, which nobody may be there to answer (SetErrorMode); on a real machine a
// failing load or a drive without its medium would otherwise stop the run on a
// box. Checked whenever a stand-in is called from the tool's process.
inline void CheckErrorMode(const wchar_t* who) {
  const UINT wanted = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
  if ((GetErrorMode() & wanted) != wanted)
    Finding(std::wstring(who) + L": error mode " + std::to_wstring(GetErrorMode()) +
            L" lets Windows show critical-error and missing-file boxes");
}

}  // namespace standin
