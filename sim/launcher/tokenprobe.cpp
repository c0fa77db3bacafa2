// tokenprobe.exe <report> [exit N] [spawn]
// Writes what its token says about BUILTIN\Administrators, and its arguments, to
// <report> (one "name=value" line each): member=0|1 (CheckTokenMembership with the
// thread's effective token), denyonly=0|1 (the group is in the token for denial
// only), args=<count>|<arg>|<arg>... With "spawn" it first runs itself again,
// with <report>.child, and waits. Exits with N (default 0).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

PSID Administrators() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &sid);
  return sid;
}

int DenyOnly(PSID admins) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return -1;
  DWORD size = 0;
  GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
  std::vector<BYTE> buffer(size ? size : 1);
  int result = -1;
  if (GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) {
    const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    result = 0;
    for (DWORD i = 0; i < groups->GroupCount; ++i)
      if (EqualSid(groups->Groups[i].Sid, admins) && (groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY))
        result = 1;
  }
  CloseHandle(token);
  return result;
}

std::string Utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  int exitCode = 0;
  bool spawn = false;
  for (int i = 2; i < argc; ++i) {
    if (wcscmp(argv[i], L"exit") == 0 && i + 1 < argc) exitCode = _wtoi(argv[++i]);
    else if (wcscmp(argv[i], L"spawn") == 0) spawn = true;
  }
  if (spawn) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" \"" + argv[1] + L".child\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 3;
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }

  PSID admins = Administrators();
  BOOL member = FALSE;
  int memberText = admins && CheckTokenMembership(nullptr, admins, &member) ? (member ? 1 : 0) : -1;
  int denyOnly = admins ? DenyOnly(admins) : -1;
  if (admins) FreeSid(admins);

  FILE* out = _wfopen(argv[1], L"wb");
  if (!out) return 4;
  fprintf(out, "member=%d\ndenyonly=%d\nargs=%d", memberText, denyOnly, argc - 1);
  for (int i = 1; i < argc; ++i) fprintf(out, "|%s", Utf8(argv[i]).c_str());
  fprintf(out, "\n");
  fclose(out);
  return exitCode;
}
