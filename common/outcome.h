// Every outcome code the tool produces: the process exit code and the
// registry value "code". No other value is ever returned.
#pragma once

#include "os/win.h"

namespace Outcome {
constexpr DWORD Repaired = 0;               // driver re-bound, old build gone (message 111)
constexpr DWORD NotAdministrator = 1;       // 106, nothing recorded
constexpr DWORD AlreadyRepaired = 2;        // 108
constexpr DWORD UnsupportedPreinstall = 3;  // 116
constexpr DWORD NotConfirmed = 11;          // no message
constexpr DWORD Failed = 12;                // 104: COM, installer error, version unreadable
constexpr DWORD OtherInstance = 13;         // no message, nothing recorded
constexpr DWORD ControllerNotOpened = 15;   // 114
constexpr DWORD ModelNotRead = 16;          // 104
constexpr DWORD UnsupportedModel = 17;      // 107
constexpr DWORD UnsupportedOs = 18;         // 105
constexpr DWORD HotfixMissing = 26;         // 112
constexpr DWORD UnexpectedDriver = 27;      // 117
constexpr DWORD PackageMissing = 28;        // 113, or 104 when the installer finds no driver (259)
constexpr DWORD NoTpmDevice = 29;           // 107, or 104 when the installer finds no device
constexpr DWORD StillOldDriver = 30;        // 104
}  // namespace Outcome
