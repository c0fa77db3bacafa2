// Resource ids, shared by the resource script and the code.
#pragma once

// Message catalogue (string table).
#define IDS_CAPTION 103         // caption of every message box
#define IDS_PROCESS_FAILED 104  // COM, model number read, failed re-installation
#define IDS_UNSUPPORTED_OS 105
#define IDS_NOT_ADMINISTRATOR 106
#define IDS_UNSUPPORTED_COMPUTER 107  // unsupported model, or no TPM device
#define IDS_ALREADY_FIXED 108
#define IDS_CONFIRM_REPAIR 110  // OK/Cancel question, interactive runs only
#define IDS_REPAIR_FINISHED 111
#define IDS_HOTFIX_MISSING 112
#define IDS_DRIVER_PACKAGE_MISSING 113
#define IDS_CONTROLLER_NOT_OPENED 114
#define IDS_UNSUPPORTED_PREINSTALL 116
#define IDS_UNEXPECTED_DRIVER 117

// Icon groups.
#define IDI_VADREL 107
#define IDI_VADREL_ALT 108
