// The installer stand-in as a program reaches it: imported from newdev.dll,
// found beside the program, chosen over Wine's own by the native override.
// Runs in a prefix of its own (a successful copy replaces the TPM driver file).
#include <windows.h>
#include <newdev.h>

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

namespace {

const wchar_t kDriver[] = L"C:\\windows\\system32\\drivers\\tpm.sys";

std::wstring Beside(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path);
  return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

HKEY Settings() {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\ZR45Sim", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  return key;
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void SetText(HKEY key, const wchar_t* name, const std::wstring& value) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring RecordedCall() {
  HKEY key = Settings();
  wchar_t text[1024] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t), type = 0;
  LSTATUS rc = RegQueryValueExW(key, L"InstallerCall", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_SZ ? text : L"<none>";
}

void PutFile(const std::wstring& path, const std::string& bytes) {
  FILE* out = _wfopen(path.c_str(), L"wb");
  if (!out) return;
  fwrite(bytes.data(), 1, bytes.size(), out);
  fclose(out);
}

std::string FileText(const std::wstring& path) {
  FILE* in = _wfopen(path.c_str(), L"rb");
  if (!in) return "<absent>";
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), in)) > 0;) text.append(buffer, n);
  fclose(in);
  return text;
}

// Wine marks its own DLLs in the DOS stub; the loaded newdev.dll must not carry the mark.
TEST(Zr45Newdev, IsNotWinesOwn) {
  HMODULE loaded = GetModuleHandleW(L"newdev.dll");
  ASSERT_NE(loaded, nullptr);
  const char* stub = reinterpret_cast<const char*>(loaded) + 0x40;
  EXPECT_NE(std::string(stub, 16), "Wine builtin DLL") << "is WINEDLLOVERRIDES=newdev=n set?";
}

struct InstallCase {
  const char* what;
  DWORD error;       // "InstallerError"; ~0u: value absent
  DWORD reboot;      // "InstallerReboot"; ~0u: value absent
  const char* copy;  // content of the "InstallerCopyFrom" file; nullptr: no value; "": a missing file
  bool rebootPointer;
  BOOL result;
  DWORD lastError;
  BOOL rebootAfter;   // as left in the caller's flag (starts as 7)
  bool driverReplaced;
};

TEST(Zr45Newdev, FollowsTheSettings) {
  const InstallCase cases[] = {
      {"no settings: success", ~0u, ~0u, nullptr, true, TRUE, 0, FALSE, false},
      {"success without restart", 0, 0, nullptr, true, TRUE, 0, FALSE, false},
      {"success asking for a restart", 0, 1, nullptr, true, TRUE, 0, TRUE, false},
      {"restart asked, no flag to set", 0, 1, nullptr, false, TRUE, 0, FALSE, false},
      {"no better match", 259, 0, nullptr, true, FALSE, 259, 7, false},
      {"no such device", 0xE000020B, 1, nullptr, true, FALSE, 0xE000020B, 7, false},
      {"other error leaves the driver", 5, 0, "NEW DRIVER", true, FALSE, 5, 7, false},
      {"success copies the driver", 0, 0, "NEW DRIVER", true, TRUE, 0, FALSE, true},
      {"copy with restart", 0, 1, "NEWER DRIVER", true, TRUE, 0, TRUE, true},
      {"missing copy source fails", 0, 0, "", true, FALSE, ERROR_FILE_NOT_FOUND, 7, false},
  };
  const std::wstring source = Beside(L"newdev-test-source.sys");
  for (const InstallCase& c : cases) {
    SCOPED_TRACE(c.what);
    PutFile(kDriver, "OLD DRIVER");
    DeleteFileW(source.c_str());
    HKEY key = Settings();
    ASSERT_NE(key, nullptr);
    RegDeleteValueW(key, L"InstallerError");
    RegDeleteValueW(key, L"InstallerReboot");
    RegDeleteValueW(key, L"InstallerCopyFrom");
    RegDeleteValueW(key, L"InstallerCall");
    if (c.error != ~0u) SetDword(key, L"InstallerError", c.error);
    if (c.reboot != ~0u) SetDword(key, L"InstallerReboot", c.reboot);
    if (c.copy) {
      SetText(key, L"InstallerCopyFrom", source);
      if (*c.copy) PutFile(source, c.copy);
    }
    RegCloseKey(key);

    BOOL reboot = 7;
    SetLastError(12345);
    BOOL result = UpdateDriverForPlugAndPlayDevicesW(nullptr, L"ACPI\\IFX0102", L"C:\\Windows\\INF\\tpm.inf",
                                                     INSTALLFLAG_NONINTERACTIVE, c.rebootPointer ? &reboot : nullptr);
    DWORD error = GetLastError();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(error, c.lastError);
    if (c.rebootPointer) {
      EXPECT_EQ(reboot, c.rebootAfter);
    }
    EXPECT_EQ(FileText(kDriver), c.driverReplaced ? std::string(c.copy) : std::string("OLD DRIVER"));
    EXPECT_EQ(RecordedCall(), std::wstring(L"hwnd=0000000000000000 hwid=ACPI\\IFX0102 inf=C:\\Windows\\INF\\tpm.inf "
                                           L"flags=4 reboot=") +
                                  (c.rebootPointer ? L"set" : L"null"));
  }
  DeleteFileW(source.c_str());
}

TEST(Zr45Newdev, RecordsEveryArgument) {
  HKEY key = Settings();
  RegDeleteValueW(key, L"InstallerError");
  RegDeleteValueW(key, L"InstallerCopyFrom");
  RegCloseKey(key);
  BOOL reboot = FALSE;
  UpdateDriverForPlugAndPlayDevicesW(reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1A2B)), L"acpi\\ifx0102",
                                     L"D:\\pkg\\other.inf", INSTALLFLAG_FORCE | INSTALLFLAG_READONLY, &reboot);
  EXPECT_EQ(RecordedCall(), L"hwnd=0000000000001A2B hwid=acpi\\ifx0102 inf=D:\\pkg\\other.inf flags=3 reboot=set");
  UpdateDriverForPlugAndPlayDevicesW(nullptr, nullptr, nullptr, 0, nullptr);
  EXPECT_EQ(RecordedCall(), L"hwnd=0000000000000000 hwid=(null) inf=(null) flags=0 reboot=null");
}

}  // namespace
