// Whole runs through RunVadrel on a faked machine: every outcome the tool can
// end with, the forced run and the entry sequence.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/run/fake_machine.h"

namespace {

using run_testing::Machine;
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
    {"AlreadyRepaired", 2, 108, Kept::Failure, 0, nullptr, [](Machine& m) { m.driver = run_testing::kRepairedDriver; }},
    {"OtherPreinstallImage", 3, 116, Kept::Failure, 0, nullptr,
     [](Machine& m) { m.preinstall = "ZR-45MK1\r\nJNS\r\nV38.2XL12\r\nM00\r\n"; }},
    // Anything but OK to the question declines; so does a question that cannot be shown.
    {"NotConfirmed", 11, 0, Kept::Failure, 0, nullptr, [](Machine& m) { m.answer = IDCANCEL; }},
    {"AnsweredNo", 11, 0, Kept::Failure, 0, nullptr, [](Machine& m) { m.answer = IDNO; }},
    {"QuestionNotShown", 11, 0, Kept::Failure, 0, nullptr, [](Machine& m) { m.answer = 0; }},
    {"ComUnavailable", 12, 104, Kept::Untouched, 0, nullptr, [](Machine& m) { m.comFails = true; }},
    {"InstallerError", 12, 104, Kept::Completion, ERROR_ACCESS_DENIED, nullptr,
     [](Machine& m) { m.installerError = ERROR_ACCESS_DENIED; }},
    {"VersionUnreadableAfterInstall", 12, 104, Kept::Completion, 1, nullptr,
     [](Machine& m) { m.driverAfter = nullptr; }},
    {"HotfixQueryOutOfMemory", 12, 104, Kept::Untouched, 0, nullptr, [](Machine& m) { m.hotfixOutOfMemory = true; }},
    {"OtherInstance", 13, 0, Kept::Untouched, 0, nullptr, [](Machine& m) { m.otherInstance = true; }},
    {"NoPlatformController", 15, 114, Kept::Failure, 0, nullptr, [](Machine& m) { m.controller = false; }},
    {"ModelUnreadable", 16, 104, Kept::Failure, 0, nullptr, [](Machine& m) { m.modelReadable = false; }},
    {"OtherModel", 17, 107, Kept::Failure, 0, nullptr, [](Machine& m) { m.model = "ZR-46A1234K5"; }},
    {"WindowsServer", 18, 105, Kept::Failure, 0, nullptr, [](Machine& m) { m.server = true; }},
    {"HotfixMissing", 26, 112, Kept::Failure, 0, nullptr, [](Machine& m) { m.hotfix = false; }},
    {"OtherDriverBuild", 27, 117, Kept::Failure, 0, nullptr, [](Machine& m) { m.driver = run_testing::kOtherDriver; }},
    {"NoDriverPackage", 28, 113, Kept::Failure, 0, nullptr, [](Machine& m) { m.package = false; }},
    {"InstallerFindsNoDriver", 28, 104, Kept::Completion, ERROR_NO_MORE_ITEMS, nullptr,
     [](Machine& m) { m.installerError = ERROR_NO_MORE_ITEMS; }},
    {"NoTpmDevice", 29, 107, Kept::Failure, 0, nullptr, [](Machine& m) { m.tpmDevice = false; }},
    {"InstallerFindsNoDevice", 29, 104, Kept::Completion, 0xE000020B, nullptr,
     [](Machine& m) { m.installerError = 0xE000020B; }},
    {"StillOldDriver", 30, 104, Kept::Completion, 1, L"6.1.7600.16385",
     [](Machine& m) { m.driverAfter = run_testing::kOldDriver; }},
};

std::string Narrow(const std::wstring& text) {
  char sz[4096] = {};
  WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, sz, sizeof(sz), nullptr, nullptr);
  return sz;
}

std::wstring RecordText(DWORD status, DWORD code, const wchar_t* updated) {
  return L"key status=" + std::to_wstring(status) + L" code=" + std::to_wstring(code) +
         (updated ? L" updatedver=\"" + std::wstring(updated) + L"\"" : L"");
}

// The "status" marker goes only where no status was; an earlier "updatedver" stays.
std::wstring ExpectedRecord(const OutcomeRow& row, bool earlier) {
  const wchar_t* kept = earlier ? run_testing::kEarlierUpdated : nullptr;
  if (row.record == Kept::Untouched) return earlier ? RecordText(run_testing::kEarlierStatus, 0, kept) : L"";
  const DWORD status = row.record == Kept::Completion ? row.status : earlier ? run_testing::kEarlierStatus : 0xFFFFFFFF;
  return RecordText(status, row.code, row.updated ? row.updated : kept);
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

class Outcomes : public testing::TestWithParam<OutcomeRow> {};

TEST_P(Outcomes, ExitMessagesLogRecordAndRelease) {
  const OutcomeRow& row = GetParam();
  const std::regex startLine(
      "vadrel built on [A-Z][a-z]{2} [ 123][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} started\\.");
  // Only an interactive run asks, so only it can be declined.
  for (const bool silent : {true, false}) {
    if (silent && row.code == 11) continue;
    for (const bool earlier : {false, true}) {
      SCOPED_TRACE(std::string(silent ? "silent" : "interactive") + (earlier ? ", earlier record" : ", no record"));
      Machine m;
      m.commandLine = silent ? L"vadrel.exe /s" : L"vadrel.exe";
      row.setup(m);
      const Result r = run_testing::RunOn(m, earlier);

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
        EXPECT_TRUE(std::regex_match(r.log[0], startLine)) << r.log[0];
        for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(r.log[i], lines[i]);
      } else {
        ExpectBoxes(r, shown);
        EXPECT_FALSE(r.logExists);
      }
      EXPECT_EQ(r.record, ExpectedRecord(row, earlier));
      EXPECT_EQ(r.Count("install"), row.record == Kept::Completion ? 1 : 0);
      EXPECT_EQ(r.Count("com"), 1);
      EXPECT_EQ(r.Count("uncom"), m.comFails ? 0 : 1);
      EXPECT_EQ(r.leaks, "");
      EXPECT_EQ(r.comRefs, 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Run, Outcomes, testing::ValuesIn(kOutcomes),
                         [](const testing::TestParamInfo<OutcomeRow>& info) { return std::string(info.param.name); });

// A machine on which every check a forced run skips fails: the model (no
// controller to ask), the image, the hotfix and the driver version.
void FailSkippedChecks(Machine& m) {
  m.controller = false;
  m.preinstall = nullptr;
  m.hotfix = false;
  m.driver = run_testing::kRepairedDriver;
}

TEST(ForcedRun, SkipsOnlyModelImageHotfixAndDriverVersion) {
  const struct {
    const char* name;
    void (*setup)(Machine&);
    DWORD silent;  // "/s", and "/f" alone
    DWORD forced;  // "/s /f"
  } kForced[] = {
      {"AllSkippedChecksFail", [](Machine&) {}, 15, 0},
      {"OtherInstance", [](Machine& m) { m.otherInstance = true; }, 13, 13},
      {"NotAdministrator", [](Machine& m) { m.admin = false; }, 1, 1},
      {"WindowsServer", [](Machine& m) { m.server = true; }, 15, 18},
      {"NoTpmDevice", [](Machine& m) { m.tpmDevice = false; }, 15, 29},
      {"NoDriverPackage", [](Machine& m) { m.package = false; }, 15, 28},
  };
  for (const auto& row : kForced) {
    SCOPED_TRACE(row.name);
    Machine m;
    FailSkippedChecks(m);
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
    EXPECT_EQ(r.Count("install"), row.forced == 0 ? 1 : 0);
    EXPECT_EQ(r.leaks, "");
  }
}

// The entry's steps and the arguments of its calls, in a silent, an
// interactive and a forced run that end with the repair.
TEST(EntrySequence, StepsMeetTheSystemInOrder) {
  const struct {
    const wchar_t* commandLine;
    bool failSkipped;
    std::vector<std::string> steps;
  } kRuns[] = {
      {L"vadrel.exe /s", false,
       {"caption", "options", "errormode", "log", "line", "com", "instance", "controls", "admin", "model", "windows",
        "tpm", "hotfix", "package", "driver", "install", "driver", "msg 111", "line", "uncom"}},
      {L"vadrel.exe", false,
       {"caption", "options", "errormode", "com", "instance", "controls", "admin", "model", "windows", "tpm",
        "hotfix", "package", "driver", "msg 110", "box", "install", "driver", "msg 111", "box", "uncom"}},
      {L"vadrel.exe -f x /s", true,
       {"caption", "options", "errormode", "log", "line", "com", "instance", "controls", "admin", "windows", "tpm",
        "package", "install", "driver", "msg 111", "line", "uncom"}},
  };
  for (const auto& run : kRuns) {
    Machine m;
    if (run.failSkipped) FailSkippedChecks(m);
    m.commandLine = run.commandLine;
    const Result r = run_testing::RunOn(m);
    EXPECT_EQ(r.events, run.steps);
    EXPECT_EQ(r.exitCode, 0u);
  }
}

}  // namespace
