// The whole run behind the entry point; returns the exit code.
#pragma once

#include "os/win.h"

DWORD RunVadrel(HINSTANCE hInstance);
