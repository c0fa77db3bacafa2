// Product version of "C:\Windows\System32\Drivers\tpm.sys".
#pragma once

#include "os/win.h"

constexpr int kVersionLength = 260;
// True when szVersion holds the driver's product version text.
bool GetDriverFileVersion(WCHAR (&szVersion)[kVersionLength]);
// True only when the version can be read and equals pszExpected exactly.
bool IsDriverVersion(const WCHAR* pszExpected);
