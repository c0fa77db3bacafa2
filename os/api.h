// The tool's whole OS surface: one entry per Windows function it calls, with the
// function's own name and signature. Production code calls os::api.Name(...);
// tests swap single entries for the scope of a test.
#pragma once

#include "os/win.h"

#define OS_FUNCTIONS(X)                                                        \
  /* kernel32: errors, memory, time, process */                               \
  X(GetLastError)                                                              \
  X(SetLastError)                                                              \
  X(GetErrorMode)                                                              \
  X(SetErrorMode)                                                              \
  X(GetLocalTime)                                                              \
  X(GetCurrentProcessId)                                                       \
  X(GetCurrentProcess)                                                         \
  X(GetCommandLineW)                                                           \
  X(Sleep)                                                                     \
  X(OutputDebugStringA)                                                        \
  X(FormatMessageA)                                                            \
  X(LocalAlloc)                                                                \
  X(LocalFree)                                                                 \
  X(GetProcessHeap)                                                            \
  X(HeapAlloc)                                                                 \
  X(HeapFree)                                                                  \
  X(CompareStringW)                                                            \
  X(WideCharToMultiByte)                                                       \
  X(GetVersionExW)                                                             \
  /* kernel32: files, devices, kernel objects */                              \
  X(CreateFileW)                                                               \
  X(SetFilePointer)                                                            \
  X(WriteFile)                                                                 \
  X(FlushFileBuffers)                                                          \
  X(CloseHandle)                                                               \
  X(DeviceIoControl)                                                           \
  X(CreateMutexW)                                                              \
  X(IsWow64Process)                                                            \
  X(Wow64DisableWow64FsRedirection)                                            \
  X(Wow64RevertWow64FsRedirection)                                             \
  /* kernel32: modules and resources */                                       \
  X(GetModuleHandleW)                                                          \
  X(GetModuleFileNameW)                                                        \
  X(GetProcAddress)                                                            \
  X(LoadLibraryW)                                                              \
  X(FreeLibrary)                                                               \
  X(FindResourceW)                                                             \
  X(SizeofResource)                                                            \
  X(LoadResource)                                                              \
  X(LockResource)                                                              \
  /* user32, comctl32 */                                                      \
  X(LoadStringW)                                                               \
  X(MessageBoxW)                                                               \
  X(GetSystemMetrics)                                                          \
  X(InitCommonControlsEx)                                                      \
  /* shell32, shlwapi */                                                      \
  X(CommandLineToArgvW)                                                        \
  X(PathFileExistsW)                                                           \
  X(PathRemoveFileSpecW)                                                       \
  X(PathAppendW)                                                               \
  /* advapi32: registry and security */                                       \
  X(RegOpenKeyExW)                                                             \
  X(RegCreateKeyExW)                                                           \
  X(RegQueryValueExW)                                                          \
  X(RegSetValueExW)                                                            \
  X(RegCloseKey)                                                               \
  X(AllocateAndInitializeSid)                                                  \
  X(CheckTokenMembership)                                                      \
  X(FreeSid)                                                                   \
  /* setupapi, newdev */                                                      \
  X(SetupDiGetClassDevsW)                                                      \
  X(SetupDiEnumDeviceInterfaces)                                               \
  X(SetupDiGetDeviceInterfaceDetailW)                                          \
  X(SetupDiOpenDevRegKey)                                                      \
  X(SetupDiEnumDeviceInfo)                                                     \
  X(SetupDiGetDeviceRegistryPropertyW)                                         \
  X(SetupDiDestroyDeviceInfoList)                                              \
  X(UpdateDriverForPlugAndPlayDevicesW)                                        \
  /* version */                                                               \
  X(VerQueryValueW)                                                            \
  /* ole32, oleaut32 */                                                       \
  X(CoInitializeEx)                                                            \
  X(CoUninitialize)                                                            \
  X(CoInitializeSecurity)                                                      \
  X(CoCreateInstance)                                                          \
  X(CoSetProxyBlanket)                                                         \
  X(SysAllocString)                                                            \
  X(SysFreeString)                                                             \
  X(VariantInit)                                                               \
  X(VariantClear)

namespace os {

struct Api {
#define OS_DECLARE_ENTRY(name) decltype(&::name) name;
  OS_FUNCTIONS(OS_DECLARE_ENTRY)
#undef OS_DECLARE_ENTRY
};

// Points at the real functions; nothing but tests ever changes an entry.
extern Api api;

}  // namespace os
