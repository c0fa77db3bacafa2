// The tool's whole OS surface: one entry per Windows function it calls, with the
// function's own name and signature. Production code calls os::api.Name(...);
// tests swap single entries for the scope of a test.
#pragma once

#include "os/win.h"

// X: functions the executable imports (KnownDLLs of Windows 7, and comctl32,
// which the manifest binds to the side-by-side assembly). S: functions of DLLs
// that are not KnownDLLs, which Windows would look for beside the executable
// first; BindSystemDlls takes them from the System32 copies. L: functions of
// kernel32 that older releases lack, looked up at run time (the import table
// must not name them): NULL until BindKernel32, and after it where kernel32
// lacks them.
#define OS_FUNCTIONS_BY_ORIGIN(X, S, L)          \
  /* kernel32: errors, memory, time, process */  \
  X(GetLastError)                                \
  X(SetLastError)                                \
  X(GetErrorMode)                                \
  X(SetErrorMode)                                \
  X(GetLocalTime)                                \
  X(GetCurrentProcessId)                         \
  X(GetCurrentProcess)                           \
  X(GetCommandLineW)                             \
  X(Sleep)                                       \
  X(OutputDebugStringA)                          \
  X(FormatMessageA)                              \
  X(LocalAlloc)                                  \
  X(LocalFree)                                   \
  X(GetProcessHeap)                              \
  X(HeapAlloc)                                   \
  X(HeapFree)                                    \
  X(CompareStringW)                              \
  X(WideCharToMultiByte)                         \
  X(GetVersionExW)                               \
  L(GetNativeSystemInfo)                         \
  L(GetProductInfo)                              \
  L(SetDefaultDllDirectories)                    \
  /* kernel32: files, devices, kernel objects */ \
  X(CreateFileW)                                 \
  X(SetFilePointer)                              \
  X(WriteFile)                                   \
  X(FlushFileBuffers)                            \
  X(CloseHandle)                                 \
  X(DeviceIoControl)                             \
  X(CreateMutexW)                                \
  X(IsWow64Process)                              \
  X(Wow64DisableWow64FsRedirection)              \
  X(Wow64RevertWow64FsRedirection)               \
  /* kernel32: modules and resources */          \
  X(GetModuleHandleW)                            \
  X(GetModuleFileNameW)                          \
  X(GetProcAddress)                              \
  X(GetSystemDirectoryW)                         \
  X(LoadLibraryW)                                \
  X(LoadLibraryExW)                              \
  X(FreeLibrary)                                 \
  X(FindResourceW)                               \
  X(SizeofResource)                              \
  X(LoadResource)                                \
  X(LockResource)                                \
  /* user32, comctl32 */                         \
  X(LoadStringW)                                 \
  X(MessageBoxW)                                 \
  X(GetSystemMetrics)                            \
  X(InitCommonControlsEx)                        \
  /* shell32, shlwapi */                         \
  X(CommandLineToArgvW)                          \
  X(PathFileExistsW)                             \
  X(PathRemoveFileSpecW)                         \
  X(PathAppendW)                                 \
  /* advapi32: registry and security */          \
  X(RegOpenKeyExW)                               \
  X(RegCreateKeyExW)                             \
  X(RegQueryValueExW)                            \
  X(RegSetValueExW)                              \
  X(RegCloseKey)                                 \
  X(AllocateAndInitializeSid)                    \
  X(CheckTokenMembership)                        \
  X(FreeSid)                                     \
  /* setupapi, newdev */                         \
  X(SetupDiGetClassDevsW)                        \
  X(SetupDiEnumDeviceInterfaces)                 \
  X(SetupDiGetDeviceInterfaceDetailW)            \
  X(SetupDiOpenDevRegKey)                        \
  X(SetupDiEnumDeviceInfo)                       \
  X(SetupDiGetDeviceRegistryPropertyW)           \
  X(SetupDiDestroyDeviceInfoList)                \
  S(UpdateDriverForPlugAndPlayDevicesW)          \
  /* version */                                  \
  S(VerQueryValueW)                              \
  /* ole32, oleaut32 */                          \
  X(CoInitializeEx)                              \
  X(CoUninitialize)                              \
  X(CoInitializeSecurity)                        \
  X(CoCreateInstance)                            \
  X(CoSetProxyBlanket)                           \
  X(SysAllocString)                              \
  X(SysFreeString)                               \
  X(VariantInit)                                 \
  X(VariantClear)

// Every entry, whatever its origin.
#define OS_FUNCTIONS(X) OS_FUNCTIONS_BY_ORIGIN(X, X, X)

namespace os {

struct Api {
#define OS_DECLARE_ENTRY(name) decltype(&::name) name;
  OS_FUNCTIONS(OS_DECLARE_ENTRY)
#undef OS_DECLARE_ENTRY
};

// Points at the real functions; besides the binding below, only tests change an
// entry. The S entries fail with ERROR_PROC_NOT_FOUND until BindSystemDlls
// binds them, and after it when their System32 copy cannot be loaded; a caller
// of an L entry checks it for NULL first.
extern Api api;

// Points the L entries at kernel32's exports, NULL for those it lacks.
void BindKernel32();
// The tool runs elevated: no DLL may come from its own folder. Called first in
// the entry point, in this order: the L entries are bound, and searches by name
// then go to System32 only (where Windows has SetDefaultDllDirectories: Windows
// 7 with KB2533623)...
void RestrictDllSearch();
// ...and the S entries are bound from the System32 copies of their DLLs.
void BindSystemDlls();

}  // namespace os
