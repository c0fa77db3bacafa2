// Stand-in for newdev.dll's UpdateDriverForPlugAndPlayDevicesW, installing as
// Windows documents it on top of Wine's SetupAPI, which selects the driver,
// copies its files and sets the device's Service. Wine's own newdev installs for
// any id that matches exactly and never compares, fails or asks for a restart.
//
// For each present device that lists HardwareId among its hardware or compatible
// ids (without regard to case, as Windows matches device ids):
//   - the package's best driver for the device is selected from FullInfPath;
//   - without INSTALLFLAG_FORCE it is installed only when it is a better match
//     than the driver the device is bound to: an id earlier in the device's lists,
//     or the same one with a newer DriverVer (date, then version);
//   - the installation binds the device's driver key to the package as Windows
//     does: DriverDesc, ProviderName, DriverDate, DriverDateData, DriverVersion,
//     MatchingDeviceId (InfPath and InfSection come from Wine's SetupAPI).
// No such device: ERROR_NO_SUCH_DEVINST; devices but nothing installed:
// ERROR_NO_MORE_ITEMS. A device that left is not present (Windows' "Determining
// Whether a Device Is Plugged In": the function fails with ERROR_NO_SUCH_DEVINST
// when the device is not plugged in) and keeps its driver; Windows' DIGCF_PRESENT
// list comes from the machine's SetupAPI layer (sim/setupapi).
//
// It runs in the calling process, as Windows' does, and checks what Windows would
// show about that process (standin.h): the error mode, and which drvstore.dll the
// process's DLL search finds when the installer loads it by name, as Windows'
// installer loads its driver store library. A restart needed with no
// bRebootRequired to report it in would have Windows prompt for one.
//
// Settings in HKLM\Software\ZR45Sim, read per call:
//   "InstallerError"    REG_DWORD  nonzero: fail with this last error before
//                                  installing (failures the machine cannot give)
//   "InstallerReboot"   REG_DWORD  1: an installation reports that a restart is needed
// Records there: "InstallerCall" (REG_SZ, written first) and, for an installation
// that replaced a bound driver, "InstallerReplaced" (REG_SZ, that driver's
// DriverVer as "mm/dd/yyyy,w.x.y.z"); on the stand-ins' clock "InstallerLoaded" and
// "InstallerUnloaded" (process attach and detach) and "InstallerReturned" (a
// successful call, as it returns).
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <string>
#include <vector>
#include <wchar.h>

#include "../standin.h"
#include "../wine/failed_loads.h"

namespace {

DWORD ReadDword(HKEY key, const wchar_t* name) {
  DWORD value = 0, type = 0, size = sizeof(value);
  if (!key || RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return 0;
  return value;
}

std::wstring ReadText(HKEY key, const wchar_t* name) {
  wchar_t text[512] = {};
  DWORD type = 0, size = sizeof(text) - sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS || type != REG_SZ)
    return {};
  return text;
}

void WriteText(HKEY key, const wchar_t* name, const std::wstring& text) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::wstring Lower(std::wstring s) {
  CharLowerBuffW(&s[0], static_cast<DWORD>(s.size()));
  return s;
}

// A DriverVer: the date as a FILETIME (midnight UTC), then the version.
struct DriverVer {
  ULONGLONG date = 0;
  ULONGLONG version = 0;
  std::wstring version_text;
  bool operator>(const DriverVer& o) const { return date != o.date ? date > o.date : version > o.version; }
};

ULONGLONG VersionNumber(const wchar_t* text) {
  unsigned part[4] = {};
  swscanf(text, L"%u.%u.%u.%u", &part[0], &part[1], &part[2], &part[3]);
  return (ULONGLONG(part[0] & 0xFFFF) << 48) | (ULONGLONG(part[1] & 0xFFFF) << 32) | (ULONGLONG(part[2] & 0xFFFF) << 16) |
         (part[3] & 0xFFFF);
}

std::wstring DateText(ULONGLONG date, const wchar_t* format) {
  FILETIME ft = {static_cast<DWORD>(date), static_cast<DWORD>(date >> 32)};
  SYSTEMTIME st = {};
  FileTimeToSystemTime(&ft, &st);
  wchar_t text[16];
  _snwprintf_s(text, _countof(text), _TRUNCATE, format, st.wMonth, st.wDay, st.wYear);
  return text;
}

// "mm/dd/yyyy,w.x.y.z" (or "-" between the date's fields) from the install
// section's DriverVer, which takes precedence, else from [Version]'s.
bool PackageDriverVer(HINF inf, const wchar_t* install_section, DriverVer* out) {
  INFCONTEXT line;
  if (!SetupFindFirstLineW(inf, install_section, L"DriverVer", &line) &&
      !SetupFindFirstLineW(inf, L"Version", L"DriverVer", &line))
    return false;
  wchar_t date[32] = {}, version[64] = {};
  if (!SetupGetStringFieldW(&line, 1, date, _countof(date), nullptr)) return false;
  SetupGetStringFieldW(&line, 2, version, _countof(version), nullptr);
  SYSTEMTIME st = {};
  wchar_t sep1 = 0, sep2 = 0;
  unsigned month = 0, day = 0, year = 0;
  if (swscanf(date, L"%u%lc%u%lc%u", &month, &sep1, &day, &sep2, &year) != 5) return false;
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wYear = static_cast<WORD>(year);
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft)) return false;
  out->date = (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  out->version = VersionNumber(version);
  out->version_text = version;
  return true;
}

// The device's hardware ids, then its compatible ids: an earlier id is a better match.
std::vector<std::wstring> DeviceIds(HDEVINFO set, SP_DEVINFO_DATA* dev) {
  std::vector<std::wstring> ids;
  for (DWORD property : {SPDRP_HARDWAREID, SPDRP_COMPATIBLEIDS}) {
    std::vector<wchar_t> buf(4096, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, dev, property, nullptr, reinterpret_cast<BYTE*>(buf.data()),
                                           static_cast<DWORD>((buf.size() - 2) * sizeof(wchar_t)), nullptr))
      continue;
    for (const wchar_t* p = buf.data(); *p; p += wcslen(p) + 1) ids.push_back(Lower(p));
  }
  return ids;
}

size_t RankOf(const std::vector<std::wstring>& device_ids, const std::wstring& id) {
  const std::wstring lower = Lower(id);
  for (size_t i = 0; i < device_ids.size(); ++i)
    if (device_ids[i] == lower) return i;
  return SIZE_MAX;
}

// The driver the device is bound to, from its driver key.
struct Bound {
  bool present = false;
  size_t rank = SIZE_MAX;
  DriverVer ver;
};

Bound BoundDriver(HDEVINFO set, SP_DEVINFO_DATA* dev, const std::vector<std::wstring>& device_ids) {
  Bound bound;
  HKEY key = SetupDiOpenDevRegKey(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return bound;
  const std::wstring matching = ReadText(key, L"MatchingDeviceId");
  bound.present = !matching.empty();
  bound.rank = RankOf(device_ids, matching);
  // A driver without a date counts as dated 00/00/0000.
  DWORD type = 0, size = sizeof(bound.ver.date);
  if (RegQueryValueExW(key, L"DriverDateData", nullptr, &type, reinterpret_cast<BYTE*>(&bound.ver.date), &size) !=
          ERROR_SUCCESS ||
      type != REG_BINARY || size != sizeof(bound.ver.date))
    bound.ver.date = 0;
  bound.ver.version_text = ReadText(key, L"DriverVersion");
  bound.ver.version = VersionNumber(bound.ver.version_text.c_str());
  RegCloseKey(key);
  return bound;
}

// The DIF requests Windows' installer sends for a device, after the driver is selected.
const DI_FUNCTION kInstallSteps[] = {DIF_ALLOW_INSTALL,     DIF_INSTALLDEVICEFILES, DIF_REGISTER_COINSTALLERS,
                                     DIF_INSTALLINTERFACES, DIF_INSTALLDEVICE,      DIF_NEWDEVICEWIZARD_FINISHINSTALL};

bool CallInstaller(DI_FUNCTION step, HDEVINFO set, SP_DEVINFO_DATA* dev) {
  return SetupDiCallClassInstaller(step, set, dev) || GetLastError() == ERROR_DI_DO_DEFAULT;
}

// The package's selected driver for the device: its line in the INF and the
// device id it matches.
struct Candidate {
  SP_DRVINFO_DATA_W info = {sizeof(SP_DRVINFO_DATA_W)};
  std::wstring section, description, matching;
  size_t rank = SIZE_MAX;
};

DWORD SelectDriver(HDEVINFO set, SP_DEVINFO_DATA* dev, const wchar_t* inf_path, const std::vector<std::wstring>& device_ids,
                   Candidate* out) {
  SP_DEVINSTALL_PARAMS_W params = {sizeof(params)};
  if (!SetupDiGetDeviceInstallParamsW(set, dev, &params)) return GetLastError();
  wcsncpy_s(params.DriverPath, inf_path, _TRUNCATE);
  params.Flags |= DI_ENUMSINGLEINF;
  if (!SetupDiSetDeviceInstallParamsW(set, dev, &params) || !SetupDiBuildDriverInfoList(set, dev, SPDIT_COMPATDRIVER))
    return GetLastError();
  // A package with no driver for the device is no better match.
  if (!CallInstaller(DIF_SELECTBESTCOMPATDRV, set, dev) || !SetupDiGetSelectedDriverW(set, dev, &out->info))
    return ERROR_NO_MORE_ITEMS;
  std::vector<BYTE> buf(8192, 0);
  auto* detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_W*>(buf.data());
  detail->cbSize = sizeof(*detail);
  if (!SetupDiGetDriverInfoDetailW(set, dev, &out->info, detail, static_cast<DWORD>(buf.size()), nullptr))
    return GetLastError();
  out->section = detail->SectionName;
  out->description = detail->DrvDescription;
  for (const wchar_t* id = detail->HardwareID; *id; id += wcslen(id) + 1) {
    const size_t rank = RankOf(device_ids, id);
    if (rank < out->rank) {
      out->rank = rank;
      out->matching = Lower(id);
    }
  }
  return ERROR_SUCCESS;
}

// What Windows writes into the driver key of a device it binds to a driver.
void BindDriverKey(HDEVINFO set, SP_DEVINFO_DATA* dev, const Candidate& driver, const DriverVer& ver) {
  HKEY key = SetupDiOpenDevRegKey(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_SET_VALUE);
  if (key == INVALID_HANDLE_VALUE) return;
  WriteText(key, L"DriverDesc", driver.description);
  WriteText(key, L"ProviderName", driver.info.ProviderName);
  WriteText(key, L"DriverVersion", ver.version_text);
  WriteText(key, L"DriverDate", DateText(ver.date, L"%u-%u-%u"));
  RegSetValueExW(key, L"DriverDateData", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&ver.date), sizeof(ver.date));
  // Windows keeps the matching id in lower case.
  WriteText(key, L"MatchingDeviceId", driver.matching);
  RegCloseKey(key);
}

DWORD Install(const wchar_t* hardware_id, const wchar_t* inf_path, DWORD flags, HKEY settings) {
  if (!hardware_id || !*hardware_id || !inf_path) return ERROR_INVALID_PARAMETER;
  if (flags & ~INSTALLFLAG_BITS) return ERROR_INVALID_FLAGS;
  if (GetFileAttributesW(inf_path) == INVALID_FILE_ATTRIBUTES) return ERROR_FILE_NOT_FOUND;
  HINF inf = SetupOpenInfFileW(inf_path, nullptr, INF_STYLE_WIN4, nullptr);
  if (inf == INVALID_HANDLE_VALUE) return GetLastError();

  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring drivers = std::wstring(system) + L"\\drivers\\";

  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    SetupCloseInfFile(inf);
    return error;
  }
  bool matched = false, installed = false;
  DWORD failure = ERROR_SUCCESS;
  SP_DEVINFO_DATA dev = {sizeof(dev)};
  for (DWORD i = 0; failure == ERROR_SUCCESS && SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    const std::vector<std::wstring> ids = DeviceIds(set, &dev);
    if (RankOf(ids, hardware_id) == SIZE_MAX) continue;
    matched = true;

    Candidate driver;
    DriverVer ver;
    DWORD status = SelectDriver(set, &dev, inf_path, ids, &driver);
    if (status == ERROR_SUCCESS) {
      wchar_t actual[LINE_LEN] = {};
      SetupDiGetActualSectionToInstallW(inf, driver.section.c_str(), actual, LINE_LEN, nullptr, nullptr);
      if (!PackageDriverVer(inf, actual, &ver)) ver = DriverVer();  // dated 00/00/0000
    }
    const Bound bound = BoundDriver(set, &dev, ids);
    const bool better = !bound.present || driver.rank < bound.rank || (driver.rank == bound.rank && ver > bound.ver);
    if (status == ERROR_SUCCESS && !better && !(flags & INSTALLFLAG_FORCE)) status = ERROR_NO_MORE_ITEMS;
    if (status == ERROR_NO_MORE_ITEMS) continue;
    if (status == ERROR_SUCCESS) {
      // Only a failed load of a driver linked as a DLL leaves one: Windows keeps none.
      ReleaseFailedLoads(drivers.c_str());
      for (DI_FUNCTION step : kInstallSteps)
        if (status == ERROR_SUCCESS && !CallInstaller(step, set, &dev)) status = GetLastError();
    }
    failure = status;
    if (failure != ERROR_SUCCESS) break;
    BindDriverKey(set, &dev, driver, ver);
    if (bound.present)
      WriteText(settings, L"InstallerReplaced", DateText(bound.ver.date, L"%02u/%02u/%04u") + L"," + bound.ver.version_text);
    installed = true;
  }
  SetupDiDestroyDeviceInfoList(set);
  SetupCloseInfFile(inf);
  if (failure != ERROR_SUCCESS) return failure;
  if (!matched) return ERROR_NO_SUCH_DEVINST;
  return installed ? ERROR_SUCCESS : ERROR_NO_MORE_ITEMS;
}

// Windows' installer loads the driver store library by name: the calling process's
// DLL search decides which copy runs, and any but System32's is a planted one.
void LoadDriverStore() {
  HMODULE store = LoadLibraryW(L"drvstore.dll");
  if (!store) return standin::Finding(L"installer: drvstore.dll not found (error " + std::to_wstring(GetLastError()) + L")");
  wchar_t path[MAX_PATH] = {}, expected[MAX_PATH] = {};
  GetModuleFileNameW(store, path, MAX_PATH);
  GetSystemDirectoryW(expected, MAX_PATH);
  wcscat_s(expected, L"\\drvstore.dll");
  if (_wcsicmp(path, expected) != 0)
    standin::Finding(std::wstring(L"installer: the DLL search found drvstore.dll at ") + path);
  FreeLibrary(store);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) standin::Mark(L"InstallerLoaded");
  if (reason == DLL_PROCESS_DETACH) standin::Mark(L"InstallerUnloaded");
  return TRUE;
}

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                                          DWORD InstallFlags, PBOOL bRebootRequired) {
  standin::CheckErrorMode(L"installer");
  LoadDriverStore();
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, standin::kSettingsKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key,
                  nullptr);

  wchar_t call[2048] = {};
  _snwprintf_s(call, _countof(call), _TRUNCATE, L"hwnd=%p hwid=%s inf=%s flags=%u reboot=%s", static_cast<void*>(hwndParent),
               HardwareId ? HardwareId : L"(null)", FullInfPath ? FullInfPath : L"(null)",
               static_cast<unsigned>(InstallFlags), bRebootRequired ? L"set" : L"null");
  if (key) WriteText(key, L"InstallerCall", call);

  DWORD error = ReadDword(key, L"InstallerError");
  const DWORD reboot = ReadDword(key, L"InstallerReboot");
  if (error == 0) error = Install(HardwareId, FullInfPath, InstallFlags, key);
  if (key) RegCloseKey(key);
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  if (bRebootRequired) *bRebootRequired = reboot == 1 ? TRUE : FALSE;
  if (!bRebootRequired && reboot == 1)
    standin::Finding(L"installer: a restart is needed and bRebootRequired is null: Windows prompts for it");
  standin::Mark(L"InstallerReturned");
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR, LPCSTR, DWORD, PBOOL) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
