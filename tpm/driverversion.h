// Product version of "C:\Windows\System32\Drivers\tpm.sys".
#pragma once

#include "os/win.h"

// The files and builds the repair is about.
constexpr wchar_t kTpmHardwareId[] = L"ACPI\\IFX0102";
constexpr wchar_t kDriverPackagePath[] = L"C:\\Windows\\INF\\tpm.inf";
constexpr wchar_t kDriverPath[] = L"C:\\Windows\\System32\\Drivers\\tpm.sys";
constexpr wchar_t kOldDriverVersion[] = L"6.1.7600.16385";
constexpr wchar_t kRepairedDriverVersion[] = L"6.1.7601.19146";

constexpr int kVersionLength = 260;
// True when szVersion holds the driver's product version text.
bool GetDriverFileVersion(WCHAR (&szVersion)[kVersionLength]);
// True only when the version can be read and equals pszExpected exactly.
bool IsDriverVersion(const WCHAR* pszExpected);
