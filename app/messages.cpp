#include "app/messages.h"

#include <new>

#include "app/options.h"
#include "diag/runlog.h"
#include "os/owners.h"
#include "res/resource.h"

wchar_t szCaption[kCaptionLength];

namespace {

constexpr int kGrowth = 4096;  // UTF-16 units per step of the load buffer

// An empty text that costs nothing when memory is out: the shared owner of a
// static string owns nothing, so building it cannot fail.
std::shared_ptr<std::wstring> EmptyText() {
  try {
    return std::make_shared<std::wstring>();
  } catch (const std::bad_alloc&) {
    static std::wstring empty;
    return std::shared_ptr<std::wstring>(std::shared_ptr<std::wstring>(), &empty);
  }
}

os::HeapMem AllocateText(int capacity) {
  return os::HeapMem(
      os::api.HeapAlloc(os::api.GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(capacity) * sizeof(wchar_t)));
}

}  // namespace

void LoadCaption(HINSTANCE hInstance) {
  // Longer texts are cut to kCaptionLength - 1 units and the terminator.
  os::api.LoadStringW(hInstance, IDS_CAPTION, szCaption, kCaptionLength);
}

std::shared_ptr<std::wstring> LoadMessage(UINT uId) {
  HMODULE hModule = os::api.GetModuleHandleW(nullptr);
  int capacity = kGrowth;
  os::HeapMem buffer = AllocateText(capacity);
  if (!buffer) return EmptyText();
  int length = os::api.LoadStringW(hModule, uId, static_cast<LPWSTR>(buffer.get()), capacity);
  // A text that fills the buffer may have been cut: load it again into a larger one.
  while (length >= capacity - 1) {
    capacity += kGrowth;
    buffer = AllocateText(capacity);
    if (!buffer) return EmptyText();
    length = os::api.LoadStringW(hModule, uId, static_cast<LPWSTR>(buffer.get()), capacity);
  }
  if (length <= 0) return EmptyText();
  try {
    return std::make_shared<std::wstring>(static_cast<const wchar_t*>(buffer.get()), static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    return EmptyText();
  }
}

void ReportMessage(UINT uId) {
  // Callers may report between a failing call and reading its error.
  os::LastErrorKeeper keep;
  const std::shared_ptr<std::wstring> text = LoadMessage(uId);
  if (RunOptions::silent) {
    // The text is an argument, never the format: a percent sign stays literal.
    theRunLog.WriteW(L"%s", text->c_str());
  } else {
    os::api.MessageBoxW(nullptr, text->c_str(), szCaption, MB_SYSTEMMODAL);
  }
}
