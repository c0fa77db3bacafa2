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

using runlog_test::kStamp;

std::string Narrow(const std::wstring& text, UINT codePage) {
  const int cb = ::WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(cb), '\0');
  ::WideCharToMultiByte(codePage, 0, text.c_str(), -1, &bytes[0], cb, nullptr, nullptr);
  bytes.pop_back();
  return bytes;
}

const CatalogueText* Text(UINT id) {
  for (const CatalogueText& entry : kCatalogue)
    if (entry.id == id) return &entry;
  return nullptr;
}

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

TEST(Catalogue, IdsWithoutTextAreEmpty) {
  for (UINT id : {0u, 102u, 109u, 115u, 118u, 65535u}) {
    const std::shared_ptr<std::wstring> text = LoadMessage(id);
    ASSERT_TRUE(text) << id;
    EXPECT_TRUE(text->empty()) << id;
  }
}

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

TEST(Catalogue, LongTextsGrowTheBuffer) {
  static const struct {
    size_t length;
    std::vector<int> capacities;
  } rows[] = {
      {4094, {4096}},
      {4095, {4096, 8192}},  // fills the buffer: may have been cut
      {9000, {4096, 8192, 12288}},
  };
  FAKE(LoadStringW, &LoadLongText);
  for (const auto& row : rows) {
    g_textLength = row.length;
    g_capacities.clear();
    testing_os::LeakCheck leaks;
    const std::shared_ptr<std::wstring> text = LoadMessage(104);
    EXPECT_EQ(g_capacities, row.capacities) << row.length;
    ASSERT_EQ(text->size(), row.length);
    EXPECT_EQ((*text)[row.length - 1], static_cast<wchar_t>(L'a' + (row.length - 1) % 26));
    EXPECT_EQ(leaks.Outstanding() + leaks.Unmatched(), 0) << leaks.Describe();
  }
}

TEST(Catalogue, OutOfMemoryGivesEmptyText) {
  static int allowed;
  FAKE(LoadStringW, &LoadLongText);
  for (int n : {0, 1}) {  // the first buffer, or the grown one, cannot be had
    allowed = n;
    g_textLength = 5000;
    FAKE(HeapAlloc, [](HANDLE heap, DWORD flags, SIZE_T cb) -> LPVOID {
      return allowed-- > 0 ? ::HeapAlloc(heap, flags, cb) : nullptr;
    });
    testing_os::LeakCheck leaks;
    const std::shared_ptr<std::wstring> text = LoadMessage(104);
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->empty()) << n;
    EXPECT_EQ(leaks.Outstanding() + leaks.Unmatched(), 0) << leaks.Describe();
  }
}

TEST(Caption, LoadedFromTheProgramIntoItsBuffer) {
  static HINSTANCE module;
  static UINT id;
  static LPWSTR buffer;
  static int capacity;
  FAKE(LoadStringW, [](HINSTANCE h, UINT i, LPWSTR b, int n) -> int {
    module = h, id = i, buffer = b, capacity = n;
    return 0;
  });
  LoadCaption(::GetModuleHandleW(nullptr));
  EXPECT_EQ(module, ::GetModuleHandleW(nullptr));
  EXPECT_EQ(id, 103u);
  EXPECT_EQ(buffer, szCaption);
  EXPECT_EQ(capacity, 100);
}

// The run log of a silent run, or a recorded message box of an interactive one.
class Report : public ::testing::Test {
 protected:
  struct Box {
    HWND owner;
    std::wstring text, caption;
    UINT type;
  };
  static std::vector<Box>& Boxes() {
    static std::vector<Box> boxes;
    return boxes;
  }
  void SetUp() override {
    Boxes().clear();
    LoadCaption(::GetModuleHandleW(nullptr));
    theRunLog.Open(file_.path());
    ASSERT_TRUE(theRunLog.IsOpen());
  }
  void TearDown() override {
    theRunLog._hFile.reset();
    RunOptions::silent = false;
  }
  runlog_test::ScratchFile file_{L"report"};
  runlog_test::FixedClock clock_;
  testing_os::Replace<decltype(os::api.MessageBoxW)> box_{
      os::api.MessageBoxW, [](HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) -> int {
        Boxes().push_back({owner, text, caption, type});
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }};
};

TEST_F(Report, SilentRunWritesEachTextAsOneLine) {
  RunOptions::silent = true;
  std::string expected;
  for (const CatalogueText& entry : kCatalogue) {
    ::SetLastError(0x2A5B);
    ReportMessage(entry.id);
    EXPECT_EQ(::GetLastError(), 0x2A5Bu);
    expected += kStamp + Narrow(entry.english, CP_ACP) + "\r\n";
  }
  EXPECT_EQ(file_.Read(), expected);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(Report, InteractiveRunShowsSystemModalBox) {
  RunOptions::silent = false;
  ::SetLastError(0x2A5B);
  ReportMessage(107);
  EXPECT_EQ(::GetLastError(), 0x2A5Bu);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].owner, nullptr);
  EXPECT_EQ(Boxes()[0].text, Text(107)->english);
  EXPECT_EQ(Boxes()[0].caption, L"Orlinth");
  EXPECT_EQ(Boxes()[0].type, static_cast<UINT>(MB_SYSTEMMODAL));
  EXPECT_EQ(file_.Read(), "") << "an interactive run logs nothing";
}

TEST_F(Report, PercentSignsAreText) {
  FAKE(LoadStringW, [](HINSTANCE, UINT, LPWSTR buffer, int capacity) -> int {
    wcsncpy_s(buffer, capacity, L"100% %s %d %n done", _TRUNCATE);
    return static_cast<int>(wcslen(buffer));
  });
  RunOptions::silent = true;
  ReportMessage(104);
  RunOptions::silent = false;
  ReportMessage(104);
  EXPECT_EQ(file_.Read(), std::string(kStamp) + "100% %s %d %n done\r\n");
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, L"100% %s %d %n done");
}

class JapaneseUiReport : public Report {};

TEST_F(JapaneseUiReport, SilentRunWritesShiftJis) {
  ASSERT_EQ(::GetACP(), 932u);
  RunOptions::silent = true;
  ReportMessage(108);
  EXPECT_EQ(file_.Read(), kStamp + Narrow(Text(108)->japanese, 932) + "\r\n");
  EXPECT_TRUE(Boxes().empty());
}

}  // namespace
