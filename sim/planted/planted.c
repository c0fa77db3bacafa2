/* A DLL named newdev.dll that the planting scenarios put beside vadrel.exe.
   Loading it leaves the file C:\zr45sim\planted-newdev.loaded; its installer
   call fails with ERROR_ACCESS_DENIED. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    HANDLE marker = CreateFileW(L"C:\\zr45sim\\planted-newdev.loaded", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId,
                                                                    LPCWSTR infPath, DWORD flags, PBOOL reboot) {
  (void)parent;
  (void)hardwareId;
  (void)infPath;
  (void)flags;
  (void)reboot;
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
