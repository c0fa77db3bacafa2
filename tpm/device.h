// Finds a present ACPI device by one of its hardware ids.
#pragma once

#include "os/win.h"

// On true the caller owns *phDevInfo (SetupDiDestroyDeviceInfoList) and
// *pDevInfoData names the device; on false *phDevInfo is INVALID_HANDLE_VALUE.
bool FindTpmDevice(const wchar_t* pszHardwareId, HDEVINFO* phDevInfo, SP_DEVINFO_DATA* pDevInfoData);
