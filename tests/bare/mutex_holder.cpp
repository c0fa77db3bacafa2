// Holds the tool's session mutex as a running first instance would, until
// told to let go: "mutex_holder READY_FILE RELEASE_FILE". Exit 0 when it held
// the mutex, 2 on bad arguments, 3 when the mutex existed already, 4 when
// nobody released it within a minute.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HANDLE hMutex = CreateMutexW(nullptr, FALSE, L"Kestrova_Orlinth_Mutex");
  if (hMutex == nullptr) return 3;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(hMutex);
    return 3;
  }
  HANDLE hReady = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (hReady != INVALID_HANDLE_VALUE) CloseHandle(hReady);
  int code = 4;
  for (int i = 0; i < 1200; ++i) {
    if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) {
      code = 0;
      break;
    }
    Sleep(50);
  }
  CloseHandle(hMutex);
  return code;
}
