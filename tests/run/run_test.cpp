// Whole runs through RunVadrel on a faked machine: every outcome the tool can
// end with, the forced run, the confirmation and the entry sequence.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/run/fake_machine.h"

namespace {

using run_testing::Machine;
using run_testing::Record;
using run_testing::Result;

enum class Kept { Untouched, Failure, Completion };  // what the run does to the record

struct OutcomeRow {
  const char* name;
  DWORD code;
  UINT message;  // 0: none
  Kept record;
  DWORD status;              // written by a completion
  const wchar_t* updated;    // written by a completion; null: not written
  void (*setup)(Machine&);
};

const OutcomeRow kOutcomes[] = {
    {"Repaired", 0, 111, Kept::Completion, 0, L"6.1.7601.19146", [](Machine&) {}},
    {"RepairedNeedsRestart", 0, 111, Kept::Completion, 638, L"6.1.7601.19146",
     [](Machine& m) { m.rebootRequired = TRUE; }},
    {"NotAdministrator", 1, 106, Kept::Untouched, 0, nullptr, [](Machine& m) { m.admin = false; }},
    {"AlreadyRepaired", 2, 108, Kept::Failure, 0, nullptr,
     [](Machine& m) { m.driver = run_testing::kRepairedDriver; }},
    {"OtherPreinstallImage", 3, 116, Kept::Failure, 0, nullptr,
     [](Machine& m) { m.preinstall = "ZR-45MK1\r\nJNS\r\nV38.2XL12\r\nM00\r\n"; }},
    {"NoPreinstallFile", 3, 116, Kept::Failure, 0, nullptr, [](Machine& m) { m.preinstall = nullptr; }},
    {"NotConfirmed", 11, 0, Kept::Failure, 0, nullptr, [](Machine& m) { m.answer = IDCANCEL; }},
    {"ComUnavailable", 12, 104, Kept::Untouched, 0, nullptr, [](Machine& m) { m.comFails = true; }},
    {"InstallerError", 12, 104, Kept::Completion, ERROR_ACCESS_DENIED, nullptr,
     [](Machine& m) {
       m.installerOk = FALSE;
       m.installerError = ERROR_ACCESS_DENIED;
     }},
    {"VersionUnreadableAfterInstall", 12, 104, Kept::Completion, 1, nullptr,
     [](Machine& m) { m.driverAfter = nullptr; }},
    {"HotfixQueryOutOfMemory", 12, 104, Kept::Untouched, 0, nullptr,
     [](Machine& m) { m.hotfixOutOfMemory = true; }},
    {"OtherInstance", 13, 0, Kept::Untouched, 0, nullptr, [](Machine& m) { m.otherInstance = true; }},
    {"NoPlatformController", 15, 114, Kept::Failure, 0, nullptr, [](Machine& m) { m.controller = false; }},
    {"ModelUnreadable", 16, 104, Kept::Failure, 0, nullptr, [](Machine& m) { m.modelReadable = false; }},
    {"OtherModel", 17, 107, Kept::Failure, 0, nullptr, [](Machine& m) { m.model = "ZR-46A1234K5"; }},
    {"EmptyModel", 17, 107, Kept::Failure, 0, nullptr, [](Machine& m) { m.model = ""; }},
    {"ModelMatchedInPart", 17, 107, Kept::Failure, 0, nullptr, [](Machine& m) { m.model = "ZR45A1234K5X"; }},
    {"WindowsServer", 18, 105, Kept::Failure, 0, nullptr,
     [](Machine& m) { m.windows = run_testing::Windows::Win7Server; }},
    {"Windows8", 18, 105, Kept::Failure, 0, nullptr,
     [](Machine& m) { m.windows = run_testing::Windows::Win8Workstation; }},
    {"HotfixMissing", 26, 112, Kept::Failure, 0, nullptr, [](Machine& m) { m.hotfixes = {L"KB1234567"}; }},
    {"NoDriverFile", 27, 117, Kept::Failure, 0, nullptr, [](Machine& m) { m.driver = nullptr; }},
    {"OtherDriverBuild", 27, 117, Kept::Failure, 0, nullptr,
     [](Machine& m) { m.driver = run_testing::kOtherDriver; }},
    {"NoDriverPackage", 28, 113, Kept::Failure, 0, nullptr, [](Machine& m) { m.package = false; }},
    {"InstallerFindsNoDriver", 28, 104, Kept::Completion, ERROR_NO_MORE_ITEMS, nullptr,
     [](Machine& m) {
       m.installerOk = FALSE;
       m.installerError = ERROR_NO_MORE_ITEMS;
     }},
    {"NoTpmDevice", 29, 107, Kept::Failure, 0, nullptr, [](Machine& m) { m.devices = {L"ACPI\\PNP0A08"}; }},
    {"InstallerFindsNoDevice", 29, 104, Kept::Completion, 0xE000020B, nullptr,
     [](Machine& m) {
       m.installerOk = FALSE;
       m.installerError = 0xE000020B;
     }},
    {"StillOldDriver", 30, 104, Kept::Completion, 1, L"6.1.7600.16385",
     [](Machine& m) { m.driverAfter = run_testing::kOldDriver; }},
};

std::string Narrow(const std::wstring& text) {
  char sz[4096] = {};
  WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, sz, sizeof(sz), nullptr, nullptr);
  return sz;
}

const std::regex kStartLine("vadrel built on [A-Z][a-z]{2} [ 123][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} started\\.");

void ExpectStartLine(const std::vector<std::string>& log) {
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(std::regex_match(log.front(), kStartLine)) << log.front();
}

// Every box has no owner and the caption; the question alone has OK and Cancel.
void ExpectBoxes(const Result& r, const std::vector<UINT>& ids) {
  ASSERT_EQ(r.boxes.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE("box of message " + std::to_string(ids[i]));
    EXPECT_EQ(r.boxes[i].owner, nullptr);
    EXPECT_EQ(r.boxes[i].text, run_testing::CatalogueText(ids[i]));
    EXPECT_EQ(r.boxes[i].caption, L"Orlinth");
    EXPECT_EQ(r.boxes[i].type, ids[i] == 110 ? UINT(MB_OKCANCEL | MB_SYSTEMMODAL) : UINT(MB_SYSTEMMODAL));
  }
}

void ExpectRecord(const Record& actual, const Record& expected) {
  EXPECT_EQ(actual.key, expected.key);
  EXPECT_EQ(actual.hasStatus, expected.hasStatus);
  if (expected.hasStatus) { EXPECT_EQ(actual.status, expected.status); }
  EXPECT_EQ(actual.hasCode, expected.hasCode);
  if (expected.hasCode) { EXPECT_EQ(actual.code, expected.code); }
  EXPECT_EQ(actual.hasUpdated, expected.hasUpdated);
  if (expected.hasUpdated) { EXPECT_EQ(actual.updated, expected.updated); }
}

Record ExpectedRecord(const OutcomeRow& row, const Record* earlier) {
  if (row.record == Kept::Untouched) return earlier ? *earlier : Record();
  Record r = earlier ? *earlier : Record();
  r.key = r.hasCode = r.hasStatus = true;
  r.code = row.code;
  if (row.record == Kept::Failure) {
    if (!earlier) r.status = 0xFFFFFFFF;  // the marker only where no status was
  } else {
    r.status = row.status;
    if (row.updated) {
      r.hasUpdated = true;
      r.updated = row.updated;
    }
  }
  return r;
}

class Outcomes : public testing::TestWithParam<OutcomeRow> {};

TEST_P(Outcomes, ExitMessagesLogRecordAndRelease) {
  const OutcomeRow& row = GetParam();
  const Record earlier = run_testing::EarlierRecord();
  // Only an interactive run asks, so only it can be declined.
  for (const bool silent : {true, false}) {
    if (silent && row.code == 11) continue;
    for (const Record* before : {static_cast<const Record*>(nullptr), &earlier}) {
      SCOPED_TRACE(std::string(silent ? "silent" : "interactive") + (before ? ", earlier record" : ", no record"));
      Machine m;
      m.commandLine = silent ? L"vadrel.exe /s" : L"vadrel.exe";
      row.setup(m);
      const Result r = run_testing::RunOn(m, before);

      EXPECT_EQ(r.exitCode, row.code);
      std::vector<UINT> shown;
      if (!silent && (row.record == Kept::Completion || row.code == 11)) shown.push_back(110);
      if (row.message) shown.push_back(row.message);
      EXPECT_EQ(r.Reported(), shown);
      if (silent) {
        EXPECT_TRUE(r.boxes.empty());
        std::vector<std::string> lines = {"start"};
        if (row.message) lines.push_back(Narrow(run_testing::CatalogueText(row.message)));
        if (!m.comFails) lines.push_back("return code = " + std::to_string(row.code));
        ASSERT_EQ(r.log.size(), lines.size());
        ExpectStartLine(r.log);
        for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(r.log[i], lines[i]);
      } else {
        ExpectBoxes(r, shown);
        EXPECT_FALSE(r.logExists);
      }
      ExpectRecord(r.record, ExpectedRecord(row, before));
      EXPECT_EQ(r.Ran("install"), row.record == Kept::Completion);
      EXPECT_EQ(r.coInits, 1);
      EXPECT_EQ(r.coUninits, m.comFails ? 0 : 1);
      EXPECT_EQ(r.leaks, 0) << r.leakText;
      EXPECT_EQ(r.comRefs, 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Run, Outcomes, testing::ValuesIn(kOutcomes),
                         [](const testing::TestParamInfo<OutcomeRow>& info) { return std::string(info.param.name); });

// A machine on which every check a forced run skips fails.
void FailSkippedChecks(Machine& m) {
  m.controller = false;
  m.preinstall = nullptr;
  m.hotfixes = {};
  m.driver = run_testing::kRepairedDriver;
}

struct ForcedRow {
  const char* name;
  void (*setup)(Machine&);
  DWORD silent;  // "/s"
  DWORD forced;  // "/s /f"
};

const ForcedRow kForced[] = {
    {"NoController", [](Machine& m) { m.controller = false; }, 15, 0},
    {"OtherModel", [](Machine& m) { m.model = "XX-45A1234K5"; }, 17, 0},
    {"NoPreinstallFile", [](Machine& m) { m.preinstall = nullptr; }, 3, 0},
    {"NoHotfix", [](Machine& m) { m.hotfixes = {}; }, 26, 0},
    {"AlreadyRepaired", [](Machine& m) { m.driver = run_testing::kRepairedDriver; }, 2, 0},
    {"NoDriverFile", [](Machine& m) { m.driver = nullptr; }, 27, 0},
    {"AllSkippedChecksFail", FailSkippedChecks, 15, 0},
    {"OtherInstance", [](Machine& m) {
       FailSkippedChecks(m);
       m.otherInstance = true;
     }, 13, 13},
    {"NotAdministrator", [](Machine& m) {
       FailSkippedChecks(m);
       m.admin = false;
     }, 1, 1},
    {"WindowsServer", [](Machine& m) {
       FailSkippedChecks(m);
       m.windows = run_testing::Windows::Win7Server;
     }, 15, 18},
    {"NoTpmDevice", [](Machine& m) {
       FailSkippedChecks(m);
       m.devices = {};
     }, 15, 29},
    {"NoDriverPackage", [](Machine& m) {
       FailSkippedChecks(m);
       m.package = false;
     }, 15, 28},
};

TEST(ForcedRun, SkipsOnlyModelImageHotfixAndDriverVersion) {
  for (const ForcedRow& row : kForced) {
    SCOPED_TRACE(row.name);
    Machine m;
    row.setup(m);
    m.commandLine = L"vadrel.exe /s";
    EXPECT_EQ(run_testing::RunOn(m).exitCode, row.silent);
    // Without /s the force option is ignored: the same stops, with boxes.
    m.commandLine = L"vadrel.exe /f";
    const Result plain = run_testing::RunOn(m);
    EXPECT_EQ(plain.exitCode, row.silent);
    EXPECT_FALSE(plain.logExists);

    m.commandLine = L"vadrel.exe /S -F";
    const Result r = run_testing::RunOn(m);
    EXPECT_EQ(r.exitCode, row.forced);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_EQ(r.Ran("install"), row.forced == 0);
    EXPECT_FALSE(r.Ran("model"));
    EXPECT_FALSE(r.Ran("hotfix"));
    EXPECT_EQ(r.leaks, 0) << r.leakText;
  }
}

TEST(ForcedRun, GoesFromTheDriverPackageStraightToTheInstallation) {
  Machine m;
  FailSkippedChecks(m);
  m.commandLine = L"vadrel.exe -f x /s";
  const Result r = run_testing::RunOn(m);
  const std::vector<std::string> steps = {"caption", "options", "errormode", "log",  "line",    "com",
                                          "instance", "controls", "admin",   "windows", "tpm", "package",
                                          "install",  "driver",   "msg 111", "line",    "uncom"};
  EXPECT_EQ(r.events, steps);
  EXPECT_EQ(r.exitCode, 0u);
}

TEST(EntrySequence, StepsMeetTheSystemInOrder) {
  struct {
    const wchar_t* commandLine;
    std::vector<std::string> steps;
  } const kRuns[] = {
      {L"vadrel.exe /s",
       {"caption", "options", "errormode", "log", "line", "com", "instance", "controls", "admin", "model", "windows",
        "tpm", "hotfix", "package", "driver", "install", "driver", "msg 111", "line", "uncom"}},
      {L"vadrel.exe",
       {"caption", "options", "errormode", "com", "instance", "controls", "admin", "model", "windows", "tpm",
        "hotfix", "package", "driver", "msg 110", "box", "install", "driver", "msg 111", "box", "uncom"}},
  };
  for (const auto& run : kRuns) {
    Machine m;
    m.commandLine = run.commandLine;
    const Result r = run_testing::RunOn(m);
    EXPECT_EQ(r.events, run.steps);
    EXPECT_EQ(r.errorMode, UINT(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
    EXPECT_TRUE(r.controlsAsked);
    EXPECT_TRUE(r.comAsked);
    EXPECT_TRUE(r.installAsked);
  }
}

TEST(Confirmation, AnythingButOkEndsTheRunWithNothingMoreShown) {
  const struct {
    int answer;
    DWORD code;
    std::vector<UINT> boxes;
  } kAnswers[] = {
      {IDOK, 0, {110, 111}}, {IDCANCEL, 11, {110}}, {0, 11, {110}},
      {IDNO, 11, {110}},     {IDABORT, 11, {110}},
  };
  for (const auto& a : kAnswers) {
    SCOPED_TRACE("answer " + std::to_string(a.answer));
    Machine m;
    m.commandLine = L"vadrel.exe";
    m.answer = a.answer;
    const Result r = run_testing::RunOn(m);
    EXPECT_EQ(r.exitCode, a.code);
    ExpectBoxes(r, a.boxes);
    EXPECT_EQ(r.Ran("install"), a.code == 0);
    EXPECT_EQ(r.record.code, a.code);
  }
}

}  // namespace
