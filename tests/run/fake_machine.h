// A whole machine faked through the OS boundary, for runs of RunVadrel in
// process: knobs for every fact the run asks about, and what the run left.
#pragma once

#include <string>
#include <vector>

#include "os/win.h"

namespace run_testing {

// Stand-in driver images (sim/images), by the version they report.
constexpr wchar_t kOldDriver[] = L"tpm-6.1.7600.16385.sys";
constexpr wchar_t kRepairedDriver[] = L"tpm-6.1.7601.19146.sys";
constexpr wchar_t kOtherDriver[] = L"tpm-6.1.7601.17514.sys";

// The defaults are a ZR-45 that needs the repair, run silently.
struct Machine {
  const wchar_t* commandLine = L"vadrel.exe /s";
  bool otherInstance = false;  // the session mutex exists already
  bool admin = true;
  bool controller = true;      // the platform controller's interface is present
  bool modelReadable = true;   // its model number request succeeds
  const char* model = "ZR-45A1234K5";
  bool server = false;         // Windows 7 Server instead of a workstation
  const char* preinstall = "ZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n";  // C:\Util\Version.doc; null: none
  bool tpmDevice = true;       // ACPI\IFX0102 beside another ACPI device
  bool hotfix = true;          // KB3133977 is installed
  bool hotfixOutOfMemory = false;  // the query's first request string cannot be allocated
  bool package = true;             // C:\Windows\INF\tpm.inf
  const wchar_t* driver = kOldDriver;  // tpm.sys; null: no file
  DWORD installerError = 0;            // 0: the installer succeeds
  BOOL rebootRequired = FALSE;
  const wchar_t* driverAfter = kRepairedDriver;  // tpm.sys after the installation
  int answer = IDOK;  // to the confirmation question; 0: the box cannot be shown
  bool comFails = false;
};

// What an earlier run that repaired and asked for a restart left in the record.
constexpr DWORD kEarlierStatus = 638;
constexpr wchar_t kEarlierUpdated[] = L"6.1.7601.19146";

struct Box {
  HWND owner;
  std::wstring text, caption;
  UINT type;
};

struct Result {
  DWORD exitCode = 0;
  // Entry steps, checks and reports in the order they met the OS boundary:
  // "caption", "options", "errormode", "log", "line" (a log write), "com",
  // "instance", "controls", "admin", "model", "windows", "tpm", "hotfix",
  // "package", "driver", "box", "install", "uncom", and "msg N" for each
  // catalogue text loaded. Repeats in a row are kept once. Steps whose call
  // had other arguments than the tool must pass end in " (bad arguments)".
  std::vector<std::string> events;
  std::vector<Box> boxes;
  bool logExists = false;
  std::vector<std::string> log;  // lines without time stamp and line end
  // The status record: "" without the key, else "key" and " status=N",
  // " code=N" (REG_DWORD), " updatedver=\"TEXT\"" (REG_SZ) for each present.
  std::wstring record;
  std::string leaks;  // what was acquired and not released, or released unacquired
  long comRefs = 0;  // references to the faked WMI objects and request strings still held

  std::vector<UINT> Reported() const;  // the "msg N" ids in order
  int Count(const char* step) const;
};

// Runs RunVadrel on the machine, with the record absent or as an earlier run left it.
Result RunOn(const Machine& machine, bool earlierRecord = false);

// The catalogue text of a message id, from the program's own string table.
std::wstring CatalogueText(UINT uId);

}  // namespace run_testing
