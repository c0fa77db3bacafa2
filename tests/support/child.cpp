#include "tests/support/child.h"

#include <map>
#include <string>

namespace testing_os {
namespace {

std::map<std::string, ChildBody>& Registry() {
  static std::map<std::string, ChildBody> registry;
  return registry;
}

}  // namespace

ChildRegistrar::ChildRegistrar(const char* name, ChildBody body) { Registry()[name] = body; }

int RunChild(const char* name, const std::wstring& arg, DWORD timeoutMs) {
  wchar_t self[MAX_PATH] = {};
  if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return -1;
  std::wstring command = L"\"" + std::wstring(self) + L"\" --child " +
                         std::wstring(name, name + strlen(name)) + L" \"" + arg + L"\"";
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return -1;
  CloseHandle(pi.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(pi.hProcess, &code)) {
    TerminateProcess(pi.hProcess, 1);
    code = static_cast<DWORD>(-1);
  }
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

bool DispatchChild(int argc, wchar_t** argv, int* exitCode) {
  if (argc < 3 || std::wstring(argv[1]) != L"--child") return false;
  std::wstring wide = argv[2];
  auto it = Registry().find(std::string(wide.begin(), wide.end()));
  *exitCode = it == Registry().end() ? 127 : it->second(argc > 3 ? argv[3] : L"");
  return true;
}

}  // namespace testing_os
