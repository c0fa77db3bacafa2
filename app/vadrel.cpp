// Program entry.
#include "os/api.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 12; }
