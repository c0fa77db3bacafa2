// Program entry: the command line is read again inside the run.
#include "app/run.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
  return static_cast<int>(RunVadrel(hInstance));
}
