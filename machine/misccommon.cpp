#include "machine/misccommon.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>

const GUID GUID_DEVINTERFACE_PLATFORM_CONTROLLER = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};

namespace MiscCommon {
namespace {

constexpr size_t kTextChars = 256;
constexpr DWORD kVersionBytes = 256;  // what the driver key read may fill: 128 characters

// The model number reply of the driver.
constexpr DWORD kReplyBytes = 128;
constexpr size_t kStandardOffset = 40;
constexpr size_t kStandardBytes = 12;
constexpr size_t kExtendedLengthOffset = 95;
constexpr size_t kExtendedOffset = 96;
constexpr size_t kExtendedKeptStandard = 11;  // standard bytes in front of the continuation
constexpr BYTE kExtendedMin = 12;
constexpr BYTE kExtendedMax = 19;
constexpr ULONGLONG kExtendedCapacity = 20;  // a smaller buffer gets the standard form

// The fixed part of the detail data, which SetupAPI checks against cbSize.
constexpr DWORD kDetailFixedBytes = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
#ifdef _WIN64
static_assert(kDetailFixedBytes == 8, "SetupAPI expects cbSize 8 on 64-bit Windows");
#endif

const wchar_t kClassDevsFailed[] = L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetClassDevs failed.";
const wchar_t kEnumFailed[] = L"MiscCommon::CMiscCommon::OpenDriver: SetupDiEnumDeviceInterfaces failed.";
const wchar_t kDetailFirstFailed[] =
    L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (First time) failed.";
const wchar_t kHeapAllocFailed[] = L"MiscCommon::CMiscCommon::OpenDriver: HeapAlloc failed.";
const wchar_t kDetailSecondFailed[] =
    L"MiscCommon::CMiscCommon::OpenDriver: SetupDiGetDeviceInterfaceDetail (Second time) failed.";
const wchar_t kOpenDevRegKeyFailed[] = L"MiscCommon::CMiscCommon::OpenDriver: SetupDiOpenDevRegKey failed.";
const wchar_t kVersionAllocFailed[] = L"MiscCommon::CMiscCommon::OpenDriver: _szVersion array initialize failed.";
const wchar_t kRegQueryFailed[] = L"MiscCommon::CMiscCommon::OpenDriver: RegQueryValueEx failed.";
const wchar_t kCreateFileFailed[] = L"MiscCommon::CMiscCommon::OpenDriver: CreateFile failed.";
const wchar_t kDeviceIoControlFailed[] = L"MiscCommon::CMiscCommon::GetModelNumber: DeviceIoControl failed.";

// What one OpenDriver call holds, released newest first.
struct OpenState {
  os::DevInfo set;
  os::HeapMem detail;
  os::RegKey key;

  void Release() {
    key.reset();
    detail.reset();
    set.reset();
  }
};

}  // namespace

CMiscCommon::CMiscCommon() : _szErrorText(new WCHAR[kTextChars]()), _nVersion{0, 0, 0, 0} {}

CMiscCommon::~CMiscCommon() { CloseDriver(); }

namespace {

void SetText(WCHAR* pszTarget, const wchar_t* pszText) { wcsncpy_s(pszTarget, kTextChars, pszText, _TRUNCATE); }

// A failure whose system error the caller may still read: the error is taken
// right after the failing call and put back once everything is released.
DWORD FailKeepingError(OpenState& state, WCHAR* pszErrorText, const wchar_t* pszText, DWORD dwResult) {
  const DWORD dwError = os::api.GetLastError();
  state.Release();
  os::api.SetLastError(dwError);
  SetText(pszErrorText, pszText);
  return dwResult;
}

DWORD Fail(OpenState& state, WCHAR* pszErrorText, const wchar_t* pszText, DWORD dwResult) {
  state.Release();
  SetText(pszErrorText, pszText);
  return dwResult;
}

}  // namespace

DWORD CMiscCommon::OpenDriver() {
  WCHAR* const pszError = _szErrorText.get();
  OpenState state;

  state.set.reset(os::api.SetupDiGetClassDevsW(&GUID_DEVINTERFACE_PLATFORM_CONTROLLER, nullptr, nullptr,
                                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!state.set) return Fail(state, pszError, kClassDevsFailed, 2);

  // Only the first interface of the class is ever used.
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof(iface);
  if (!os::api.SetupDiEnumDeviceInterfaces(state.set.get(), nullptr, &GUID_DEVINTERFACE_PLATFORM_CONTROLLER, 0, &iface))
    return FailKeepingError(state, pszError, kEnumFailed, 6);

  // Size query, then the one retry with a buffer of the size reported.
  DWORD cbRequired = 0;
  os::api.SetupDiGetDeviceInterfaceDetailW(state.set.get(), &iface, nullptr, 0, &cbRequired, nullptr);
  if (os::api.GetLastError() != ERROR_INSUFFICIENT_BUFFER) return FailKeepingError(state, pszError, kDetailFirstFailed, 2);
  // Never smaller than the fixed part that cbSize is written into.
  const DWORD cbDetail = std::max(cbRequired, kDetailFixedBytes);
  state.detail.reset(os::api.HeapAlloc(os::api.GetProcessHeap(), 0, cbDetail));
  if (!state.detail) return FailKeepingError(state, pszError, kHeapAllocFailed, 5);
  auto* const pDetail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(state.detail.get());
  pDetail->cbSize = kDetailFixedBytes;
  SP_DEVINFO_DATA element = {};
  element.cbSize = sizeof(element);
  if (!os::api.SetupDiGetDeviceInterfaceDetailW(state.set.get(), &iface, pDetail, cbDetail, &cbRequired, &element))
    return FailKeepingError(state, pszError, kDetailSecondFailed, 2);

  // The version is read once per object; a later open reuses it.
  if (!_szVersion) {
    const HKEY hKey = os::api.SetupDiOpenDevRegKey(state.set.get(), &element, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (hKey == INVALID_HANDLE_VALUE) return FailKeepingError(state, pszError, kOpenDevRegKeyFailed, 2);
    state.key.reset(hKey);

    _szVersion.reset(new (std::nothrow) WCHAR[kTextChars]());
    if (!_szVersion) return Fail(state, pszError, kVersionAllocFailed, 2);

    DWORD cbData = kVersionBytes;
    const LSTATUS status = os::api.RegQueryValueExW(state.key.get(), L"DriverVersion", nullptr, nullptr,
                                                    reinterpret_cast<LPBYTE>(_szVersion.get()), &cbData);
    if (status != ERROR_SUCCESS) {
      _szVersion.reset();
      // The registry returns its error rather than setting it: kept as the last error.
      os::api.SetLastError(static_cast<DWORD>(status));
      return FailKeepingError(state, pszError, kRegQueryFailed, 2);
    }
    // The stored value need not end in a zero: end the text where the data
    // ends, and never past the buffer, before it is scanned.
    _szVersion[std::min<size_t>(cbData / sizeof(WCHAR), kTextChars - 1)] = L'\0';

    // Fields the text does not supply keep their values.
    int fields[4] = {static_cast<int>(_nVersion[0]), static_cast<int>(_nVersion[1]), static_cast<int>(_nVersion[2]),
                     static_cast<int>(_nVersion[3])};
    swscanf(_szVersion.get(), L"%d.%d.%d.%d", &fields[0], &fields[1], &fields[2], &fields[3]);
    for (int i = 0; i < 4; ++i) _nVersion[i] = static_cast<DWORD>(fields[i]);
    state.key.reset();
  }

  state.set.reset();

  _hDevice.reset(
      os::api.CreateFileW(pDetail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!_hDevice) return FailKeepingError(state, pszError, kCreateFileFailed, 11);

  state.detail.reset();
  pszError[0] = L'\0';
  return 0;
}

DWORD CMiscCommon::GetModelNumber(BYTE* buffer, ULONGLONG* length) {
  // Drivers up to 1.0.7 do not know the request.
  if (_nVersion[0] == 0 || (_nVersion[0] == 1 && _nVersion[1] == 0 && _nVersion[2] <= 7)) return 10;
  if (_hDevice.get() == nullptr || !_hDevice) return 8;
  if (length == nullptr || (buffer == nullptr && *length != 0)) return 3;

  BYTE reply[kReplyBytes] = {};
  DWORD cbReturned = 0;
  if (!os::api.DeviceIoControl(_hDevice.get(), IOCTL_GET_MODEL_NUMBER, nullptr, 0, reply, kReplyBytes, &cbReturned,
                               nullptr) ||
      cbReturned != kReplyBytes) {
    SetText(_szErrorText.get(), kDeviceIoControlFailed);
    return 2;
  }

  const BYTE cbExtended = reply[kExtendedLengthOffset];
  BYTE model[kExtendedMax] = {};
  size_t cbModel = 0;
  if (cbExtended != 0 && (cbExtended < kExtendedMin || cbExtended > kExtendedMax)) return 2;
  if (cbExtended != 0 && *length >= kExtendedCapacity) {
    memcpy(model, reply + kStandardOffset, kExtendedKeptStandard);
    memcpy(model + kExtendedKeptStandard, reply + kExtendedOffset, cbExtended - kExtendedKeptStandard);
    cbModel = cbExtended;
  } else {
    memcpy(model, reply + kStandardOffset, kStandardBytes);
    cbModel = kStandardBytes;
  }

  if (*length < cbModel) {
    *length = cbModel;
    return 5;
  }
  memcpy(buffer, model, cbModel);
  *length = cbModel;
  return 0;
}

void CMiscCommon::CloseDriver() { _hDevice.reset(); }

}  // namespace MiscCommon
