/* A DLL that the planting scenarios put beside vadrel.exe under the name of a DLL
   Windows keeps in System32 (newdev.dll, drvstore.dll). Loading it leaves the file
   C:\zr45sim\planted-<its file name>.loaded; its installer call fails with
   ERROR_ACCESS_DENIED. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    WCHAR self[MAX_PATH] = {0}, marker[MAX_PATH + 32] = L"C:\\zr45sim\\planted-";
    const DWORD n = GetModuleFileNameW(instance, self, MAX_PATH);
    const WCHAR* name = self + n;
    while (name > self && name[-1] != L'\\') --name;
    lstrcatW(lstrcatW(marker, name), L".loaded");
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI
    UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId, LPCWSTR infPath, DWORD flags, PBOOL reboot) {
  (void)parent;
  (void)hardwareId;
  (void)infPath;
  (void)flags;
  (void)reboot;
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
