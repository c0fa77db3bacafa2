#include "diag/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os/api.h"

BOOL bTraceOn = 0;
BOOL bTraceToStderr = 0;
DWORD dwTraceProcessId = 0;

namespace {
constexpr size_t kMessageSize = 261;  // 260 characters and the terminator
constexpr size_t kLineSize = 522;     // 521 characters and the terminator
}  // namespace

void DebugTrace(const char* format, ...) {
  char szMessage[kMessageSize];
  char szLine[kLineSize];
  memset(szMessage, 0, sizeof(szMessage));
  memset(szLine, 0, sizeof(szLine));
  const DWORD dwSaved = os::api.GetLastError();
  SYSTEMTIME st;
  os::api.GetLocalTime(&st);
  if (!bTraceOn) return;

  va_list args;
  va_start(args, format);
  // The CRT's own formatter: "%S" in a narrow format is a wide string.
  _vsnprintf_s(szMessage, sizeof(szMessage), _TRUNCATE, format, args);
  va_end(args);
  if (dwTraceProcessId == 0) dwTraceProcessId = os::api.GetCurrentProcessId();
  if (bTraceOn) {
    _snprintf_s(szLine, sizeof(szLine), _TRUNCATE, "%lu:[%s] %04u/%02u/%02u %02u:%02u:%02u %s\n", dwTraceProcessId, "VADREL",
                st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, szMessage);
    os::api.OutputDebugStringA(szLine);
    if (bTraceToStderr) {
      fprintf(stderr, "%s", szLine);
      fflush(stderr);
    }
  }
  os::api.SetLastError(dwSaved);
}

void TraceError(DWORD dwError) {
  const DWORD dwSaved = os::api.GetLastError();
  if (dwError == 0) dwError = dwSaved;
  LPSTR pszText = nullptr;
  os::api.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                         nullptr, dwError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&pszText), 0,
                         nullptr);
  // No system text: the line ends after the comma and blank.
  DebugTrace("errorcode=0x%x(%d), %s", dwError, static_cast<int>(dwError), pszText ? pszText : "");
  os::api.LocalFree(pszText);
  os::api.SetLastError(dwSaved);
}
