// Installs "C:\Windows\INF\tpm.inf" for ACPI\IFX0102 again, reads the driver
// version back and writes the completion record. Returns the outcome code.
#pragma once

#include "os/win.h"

DWORD ReinstallTpmDriver();
