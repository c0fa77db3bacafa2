// launcher.exe <program> [arguments...]
// Runs the program as a standard user would: with a restricted copy of this
// process's token in which BUILTIN\Administrators (S-1-5-32-544) is deny-only,
// so CheckTokenMembership reports no membership. Waits for it and returns its
// exit code. The child's children inherit the token.
// Exit codes of its own: 250 usage, 251 token, 252 process start, 253 wait.
#include <windows.h>

#include <stdio.h>

namespace {

enum : int { kUsage = 250, kToken = 251, kStart = 252, kWait = 253 };

int Fail(int code, const char* what) {
  DWORD error = GetLastError();
  fprintf(stderr, "launcher: %s failed, error %lu\n", what, static_cast<unsigned long>(error));
  return code;
}

// The command line after the launcher's own name, unchanged. The name is split
// the way CommandLineToArgvW splits the first argument: quotes toggle, no escapes.
wchar_t* ChildCommandLine(wchar_t* line) {
  bool quoted = false;
  while (*line && (quoted || (*line != L' ' && *line != L'\t'))) {
    if (*line == L'"') quoted = !quoted;
    ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

}  // namespace

int wmain() {
  wchar_t* child = ChildCommandLine(GetCommandLineW());
  if (*child == L'\0') {
    fprintf(stderr, "usage: launcher.exe <program> [arguments...]\n");
    return kUsage;
  }

  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &token))
    return Fail(kToken, "OpenProcessToken");
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins)) {
    int rc = Fail(kToken, "AllocateAndInitializeSid");
    CloseHandle(token);
    return rc;
  }
  SID_AND_ATTRIBUTES disable = {admins, 0};
  HANDLE restricted = nullptr;
  BOOL made = CreateRestrictedToken(token, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted);
  DWORD error = GetLastError();
  FreeSid(admins);
  CloseHandle(token);
  if (!made) {
    SetLastError(error);
    return Fail(kToken, "CreateRestrictedToken");
  }

  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessAsUserW(restricted, nullptr, child, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    int rc = Fail(kStart, "CreateProcessAsUserW");
    CloseHandle(restricted);
    return rc;
  }
  CloseHandle(restricted);
  CloseHandle(pi.hThread);
  DWORD code = kWait;
  if (WaitForSingleObject(pi.hProcess, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(pi.hProcess, &code)) {
    int rc = Fail(kWait, "waiting for the program");
    CloseHandle(pi.hProcess);
    return rc;
  }
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}
