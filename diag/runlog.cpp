#include "diag/runlog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "os/api.h"

CFileLogging theRunLog;

namespace {

constexpr size_t kMessageSize = 2048;  // 2047 characters and the terminator
constexpr size_t kLineSize = 2078;
// The whole line, CR LF included, stays within 2047 characters: the message
// is cut before the line end ever is.
constexpr size_t kLineLimit = 2048;
constexpr size_t kLineEndLength = 2;

os::HeapMem AllocateZeroed(size_t cb) {
  return os::HeapMem(os::api.HeapAlloc(os::api.GetProcessHeap(), HEAP_ZERO_MEMORY, cb));
}

int FormatStamped(char* line, size_t size, const SYSTEMTIME& st, const char* message) {
  _snprintf_s(line, size, _TRUNCATE, "%04d/%02d/%02d %02d:%02d:%02d %s", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
              st.wSecond, message);
  return static_cast<int>(strlen(line));
}

int FormatStamped(wchar_t* line, size_t size, const SYSTEMTIME& st, const wchar_t* message) {
  _snwprintf_s(line, size, _TRUNCATE, L"%04d/%02d/%02d %02d:%02d:%02d %s", st.wYear, st.wMonth, st.wDay, st.wHour,
               st.wMinute, st.wSecond, message);
  int length = static_cast<int>(wcslen(line));
  // A cut between the halves of a surrogate pair would leave half a character.
  if (length > 0 && static_cast<size_t>(length) == size - 1 && IS_HIGH_SURROGATE(line[length - 1])) line[--length] = L'\0';
  return length;
}

// "yyyy/mm/dd hh:mm:ss message" at local time, then CR LF; returns the length.
template <class Ch> int FormatLine(Ch* line, const Ch* message) {
  SYSTEMTIME st;
  os::api.GetLocalTime(&st);
  int length = FormatStamped(line, kLineLimit - kLineEndLength, st, message);
  line[length++] = '\r';
  line[length++] = '\n';
  line[length] = '\0';
  return length;
}

void WriteBytes(HANDLE hFile, const char* bytes, size_t cb) {
  DWORD dwWritten = 0;
  os::api.WriteFile(hFile, bytes, static_cast<DWORD>(cb), &dwWritten, nullptr);
  os::api.FlushFileBuffers(hFile);
}

}  // namespace

void CFileLogging::Open(const wchar_t* pszPath) {
  _hFile.reset();
  _hFile.reset(
      os::api.CreateFileW(pszPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr));
  if (_hFile) os::api.SetFilePointer(_hFile.get(), 0, nullptr, FILE_END);
}

void CFileLogging::Write(const char* format, ...) {
  if (!IsOpen()) return;
  os::LastErrorKeeper keep;
  os::HeapMem message = AllocateZeroed(kMessageSize);
  os::HeapMem line = AllocateZeroed(kLineSize);
  if (!message || !line) return;
  char* pszMessage = static_cast<char*>(message.get());
  char* pszLine = static_cast<char*>(line.get());

  va_list args;
  va_start(args, format);
  // The CRT's own formatter: "%S" in a narrow format is a wide string.
  _vsnprintf_s(pszMessage, kMessageSize, _TRUNCATE, format, args);
  va_end(args);
  const int length = FormatLine(pszLine, pszMessage);
  WriteBytes(_hFile.get(), pszLine, static_cast<size_t>(length));
}

void CFileLogging::WriteW(const wchar_t* format, ...) {
  if (!IsOpen()) return;
  os::LastErrorKeeper keep;
  os::HeapMem message = AllocateZeroed(kMessageSize * sizeof(wchar_t));
  os::HeapMem line = AllocateZeroed(kLineSize * sizeof(wchar_t));
  if (!message || !line) return;
  wchar_t* pszMessage = static_cast<wchar_t*>(message.get());
  wchar_t* pszLine = static_cast<wchar_t*>(line.get());

  va_list args;
  va_start(args, format);
  // In a wide format "%s" is wide and "%S" narrow.
  _vsnwprintf_s(pszMessage, kMessageSize, _TRUNCATE, format, args);
  va_end(args);
  FormatLine(pszLine, pszMessage);
  message.reset();

  const int cb = os::api.WideCharToMultiByte(CP_THREAD_ACP, 0, pszLine, -1, nullptr, 0, nullptr, nullptr);
  if (cb == 0) return;
  os::HeapMem bytes = AllocateZeroed(static_cast<size_t>(cb));
  if (!bytes) return;
  char* pszBytes = static_cast<char*>(bytes.get());
  if (os::api.WideCharToMultiByte(CP_THREAD_ACP, 0, pszLine, -1, pszBytes, cb, nullptr, nullptr))
    WriteBytes(_hFile.get(), pszBytes, strlen(pszBytes));
}

bool CFileLogging::IsOpen() { return _hFile.get() != INVALID_HANDLE_VALUE; }

void GetRunLogPath(HMODULE hModule, wchar_t (&pszPath)[MAX_PATH]) {
  wmemset(pszPath, L'\0', MAX_PATH);
  if (os::api.GetModuleFileNameW(hModule, pszPath, MAX_PATH) != 0) {
    os::api.PathRemoveFileSpecW(pszPath);
    os::api.PathAppendW(pszPath, L"vadrel.log");
  } else {
    wcsncpy_s(pszPath, MAX_PATH, L"vadrel.log", _TRUNCATE);
  }
}
