#include "app/patch.h"

#include "app/messages.h"
#include "app/options.h"
#include "common/outcome.h"
#include "host/guards.h"
#include "host/reg.h"
#include "host/winversion.h"
#include "machine/misccommon.h"
#include "machine/model.h"
#include "machine/preinstall.h"
#include "os/owners.h"
#include "res/resource.h"
#include "tpm/device.h"
#include "tpm/driverversion.h"
#include "tpm/hotfix.h"

namespace {

const wchar_t kPreinstallFile[] = L"C:\\Util\\Version.doc";

// Model number as read through the platform controller: 0 when it is one of
// ours, else the outcome that stops the run and the message it shows.
struct Refusal {
  DWORD dwCode;
  UINT uMessage;
};

Refusal CheckModel(MiscCommon::CMiscCommon& controller) {
  if (controller.OpenDriver() != 0) return {Outcome::ControllerNotOpened, IDS_CONTROLLER_NOT_OPENED};
  BYTE model[20] = {};
  ULONGLONG cbModel = sizeof(model);
  if (controller.GetModelNumber(model, &cbModel) != 0) return {Outcome::ModelNotRead, IDS_PROCESS_FAILED};
  if (!IsSupportedModelNumber(model, static_cast<size_t>(cbModel)))
    return {Outcome::UnsupportedModel, IDS_UNSUPPORTED_COMPUTER};
  return {0, 0};
}

bool TpmDevicePresent() {
  HDEVINFO hDevInfo = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA devInfoData = {};
  if (!FindTpmDevice(kTpmHardwareId, &hDevInfo, &devInfoData)) return false;
  os::DevInfo found(hDevInfo);  // only the presence matters: destroyed at once
  return true;
}

}  // namespace

bool CheckPreconditions(DWORD& dwCode) {
  CAuthority authority;
  CReg reg;
  const bool forced = RunOptions::silent && RunOptions::force;

  auto stop = [&](DWORD dwStop, UINT uMessage) {
    ReportMessage(uMessage);
    dwCode = dwStop;
    reg.RecordFailure(dwStop);
    return false;
  };

  // Another instance stops the run silently and leaves the record alone.
  if (!theInstanceGuard.IsOnlyInstance()) {
    dwCode = Outcome::OtherInstance;
    return false;
  }

  INITCOMMONCONTROLSEX icc = {};
  icc.dwSize = sizeof(icc);
  icc.dwICC = 0xFFFFFFFF;
  os::api.InitCommonControlsEx(&icc);

  if (!authority.IsMember(GroupAdministrators)) {
    ReportMessage(IDS_NOT_ADMINISTRATOR);
    dwCode = Outcome::NotAdministrator;
    return false;
  }

  if (!forced) {
    MiscCommon::CMiscCommon controller;  // closed and released when the check ends, after its report
    const Refusal refusal = CheckModel(controller);
    if (refusal.dwCode != 0) return stop(refusal.dwCode, refusal.uMessage);
  }

  CWinVersion version;
  if (version._wOsKind != kOsKindWindows7) return stop(Outcome::UnsupportedOs, IDS_UNSUPPORTED_OS);

  if (!forced) {
    wchar_t szPreinstall[MAX_PATH] = {};
    wcscpy_s(szPreinstall, kPreinstallFile);
    if (!CheckPreinstallVersion(szPreinstall)) return stop(Outcome::UnsupportedPreinstall, IDS_UNSUPPORTED_PREINSTALL);
  }

  if (!TpmDevicePresent()) return stop(Outcome::NoTpmDevice, IDS_UNSUPPORTED_COMPUTER);

  if (!forced && !IsHotfixInstalled()) return stop(Outcome::HotfixMissing, IDS_HOTFIX_MISSING);

  if (!os::api.PathFileExistsW(kDriverPackagePath)) return stop(Outcome::PackageMissing, IDS_DRIVER_PACKAGE_MISSING);

  // A forced run re-installs whatever build is installed.
  if (forced) return true;

  if (IsDriverVersion(kRepairedDriverVersion)) return stop(Outcome::AlreadyRepaired, IDS_ALREADY_FIXED);

  if (!os::api.PathFileExistsW(kDriverPath) || !IsDriverVersion(kOldDriverVersion))
    return stop(Outcome::UnexpectedDriver, IDS_UNEXPECTED_DRIVER);

  if (RunOptions::silent) return true;

  const std::shared_ptr<std::wstring> question = LoadMessage(IDS_CONFIRM_REPAIR);
  if (os::api.MessageBoxW(nullptr, question->c_str(), szCaption, MB_OKCANCEL | MB_SYSTEMMODAL) == IDOK) return true;
  // Declined: recorded, but nothing more is shown.
  dwCode = Outcome::NotConfirmed;
  reg.RecordFailure(dwCode);
  return false;
}
