// A whole machine faked through the OS boundary, for runs of RunVadrel in
// process: knobs for every fact the run asks about, and what the run left.
#pragma once

#include <string>
#include <vector>

#include "os/win.h"

namespace run_testing {

enum class Windows { Win7Workstation, Win7Server, Win8Workstation };

// Stand-in driver images (sim/images), by the version they report.
constexpr wchar_t kOldDriver[] = L"tpm-6.1.7600.16385.sys";
constexpr wchar_t kRepairedDriver[] = L"tpm-6.1.7601.19146.sys";
constexpr wchar_t kOtherDriver[] = L"tpm-6.1.7601.17514.sys";

constexpr char kSupportedImage[] = "ZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n";

// The defaults are a ZR-45 that needs the repair, run silently.
struct Machine {
  const wchar_t* commandLine = L"vadrel.exe /s";
  bool otherInstance = false;  // the session mutex exists already
  bool admin = true;
  bool controller = true;      // the platform controller's interface is present
  bool modelReadable = true;   // its model number request succeeds
  const char* model = "ZR-45A1234K5";
  Windows windows = Windows::Win7Workstation;
  const char* preinstall = kSupportedImage;  // C:\Util\Version.doc; null: no file
  std::vector<std::wstring> devices = {L"ACPI\\PNP0A08", L"ACPI\\IFX0102"};  // hardware id of each
  std::vector<std::wstring> hotfixes = {L"KB2533552", L"KB3133977"};
  bool hotfixOutOfMemory = false;  // the query's request strings cannot be allocated
  bool package = true;             // C:\Windows\INF\tpm.inf
  const wchar_t* driver = kOldDriver;  // tpm.sys; null: no file
  BOOL installerOk = TRUE;
  DWORD installerError = 0;
  BOOL rebootRequired = FALSE;
  const wchar_t* driverAfter = kRepairedDriver;  // tpm.sys after the installation
  int answer = IDOK;  // to the confirmation question; 0: the box cannot be shown
  bool comFails = false;
};

// The status record: each value present or not.
struct Record {
  bool key = false;
  bool hasStatus = false, hasCode = false, hasUpdated = false;
  DWORD status = 0, code = 0;
  std::wstring updated;
};

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
  // catalogue text loaded. Repeats in a row are kept once.
  std::vector<std::string> events;
  std::vector<Box> boxes;
  bool logExists = false;
  std::vector<std::string> log;  // lines without time stamp and line end
  Record record;
  int coInits = 0, coUninits = 0;
  // The arguments of single calls, as the run passed them.
  UINT errorMode = 0;          // given to SetErrorMode; the mode before is SEM_NOGPFAULTERRORBOX
  bool controlsAsked = false;  // every common control class, dwSize 8
  bool comAsked = false;       // no reserved pointer, multithreaded apartment
  bool installAsked = false;   // ACPI\IFX0102, tpm.inf, non-interactive, no owner
  int leaks = 0;
  std::string leakText;
  long comRefs = 0;  // references to the faked WMI objects still held

  std::vector<UINT> Reported() const;  // the "msg N" ids in order
  bool Ran(const char* step) const;
};

// Runs RunVadrel on the machine. The record starts absent, or as *pEarlier.
Result RunOn(const Machine& machine, const Record* pEarlier = nullptr);

// The catalogue text of a message id, from the program's own string table.
std::wstring CatalogueText(UINT uId);

// The record an earlier successful run with a restart left.
Record EarlierRecord();

}  // namespace run_testing
