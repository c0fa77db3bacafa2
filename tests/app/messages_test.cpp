#include "app/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/options.h"
#include "diag/runlog.h"
#include "tests/app/catalogue_texts.h"
#include "tests/diag/runlog_files.h"
#include "tests/support/fake.h"
#include "tests/support/leaks.h"

namespace {

void ExpectCatalogue(bool japanese) {
  for (const CatalogueText& entry : kCatalogue) {
    testing_os::LeakCheck leaks;
    const std::shared_ptr<std::wstring> text = LoadMessage(entry.id);
    ASSERT_TRUE(text) << entry.id;
    EXPECT_EQ(*text, japanese ? entry.japanese : entry.english) << "message " << entry.id;
    EXPECT_EQ(leaks.Outstanding(), 0) << leaks.Describe();
  }
  LoadCaption(::GetModuleHandleW(nullptr));
  EXPECT_STREQ(szCaption, L"Orlinth");
}

TEST(Catalogue, EnglishTexts) { ExpectCatalogue(false); }
TEST(JapaneseUiCatalogue, JapaneseTexts) { ExpectCatalogue(true); }

// LoadStringW as the resource loader behaves, over a text of a chosen length.
size_t g_textLength = 0;
std::vector<int> g_capacities;
int WINAPI LoadLongText(HINSTANCE, UINT, LPWSTR buffer, int capacity) {
  g_capacities.push_back(capacity);
  if (buffer[0] != L'\0' || buffer[capacity - 1] != L'\0') return -1;  // not zero-filled
  const int n = static_cast<int>(std::min<size_t>(g_textLength, static_cast<size_t>(capacity - 1)));
  for (int i = 0; i < n; ++i) buffer[i] = static_cast<wchar_t>(L'a' + i % 26);
  buffer[n] = L'\0';
  return n;
}

// A text that fills the buffer may have been cut: it is loaded again into a
// larger one. A buffer that cannot be had gives the empty text.
TEST(Catalogue, LongTextsGrowTheBuffer) {
  static int allowed;  // allocations that succeed; -1: all
  static const struct {
    size_t length;
    int allocations;
    std::vector<int> capacities;
    size_t loaded;
  } rows[] = {
      {4094, -1, {4096}, 4094},
      {4095, -1, {4096, 8192}, 4095},
      {9000, -1, {4096, 8192, 12288}, 9000},
      {5000, 0, {}, 0},
      {5000, 1, {4096}, 0},
  };
  FAKE(LoadStringW, &LoadLongText);
  FAKE(HeapAlloc, [](HANDLE heap, DWORD flags, SIZE_T cb) -> LPVOID {
    return allowed-- != 0 ? ::HeapAlloc(heap, flags, cb) : nullptr;
  });
  for (const auto& row : rows) {
    SCOPED_TRACE(row.length);
    g_textLength = row.length;
    g_capacities.clear();
    allowed = row.allocations;
    testing_os::LeakCheck leaks;
    const std::shared_ptr<std::wstring> text = LoadMessage(104);
    EXPECT_EQ(g_capacities, row.capacities);
    ASSERT_TRUE(text);
    ASSERT_EQ(text->size(), row.loaded);
    if (row.loaded) {
      EXPECT_EQ(text->back(), static_cast<wchar_t>(L'a' + (row.length - 1) % 26));
    }
    EXPECT_EQ(leaks.Outstanding() + leaks.Unmatched(), 0) << leaks.Describe();
  }
}

// A text goes to the log in a silent run, to a box otherwise, as text: a
// percent sign is never read as a conversion. The last error stays.
TEST(Report, PercentSignsAreTextInLogAndBox) {
  static std::vector<std::wstring> boxes;
  runlog_test::ScratchFile file(L"report");
  runlog_test::FixedClock clock;
  FAKE(LoadStringW, [](HINSTANCE, UINT, LPWSTR buffer, int capacity) -> int {
    wcsncpy_s(buffer, capacity, L"100% %s %d %n done", _TRUNCATE);
    return static_cast<int>(wcslen(buffer));
  });
  FAKE(MessageBoxW, [](HWND, LPCWSTR text, LPCWSTR, UINT) -> int {
    boxes.push_back(text);
    ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  });
  theRunLog.Open(file.path());
  for (const bool silent : {true, false}) {
    RunOptions::silent = silent;
    ::SetLastError(0x2A5B);
    ReportMessage(104);
    EXPECT_EQ(::GetLastError(), 0x2A5Bu) << silent;
  }
  theRunLog._hFile.reset();
  RunOptions::silent = false;
  EXPECT_EQ(file.Read(), std::string(runlog_test::kStamp) + "100% %s %d %n done\r\n");
  EXPECT_EQ(boxes, std::vector<std::wstring>{L"100% %s %d %n done"});
}

}  // namespace
