#include "machine/preinstall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "os/win.h"
// After the Windows headers it builds on.
#include <psapi.h>
#include "tests/support/child.h"

namespace {

const char* const kRows[6][4] = {
    {"ZR-45MK1", "JNS", "V37.2XL12", "M00"}, {"ZR-45MK1", "JNS", "V36.2XL12", "M00"},
    {"ZR-45MK1", "MNS", "V37.2XL14", "M00"}, {"ZR-45MK1", "MNS", "V36.2XL14", "M00"},
    {"ZR-45MK1", "YNS", "V37.2XL11", "M00"}, {"ZR-45MK1", "YNS", "V36.2XL11", "M00"},
};
const std::string kRow1 = "ZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n";

std::wstring TempDir() {
  wchar_t base[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, base);
  return std::wstring(base) + L"vadrel_image_" + std::to_wstring(GetCurrentProcessId());
}

// Real files in a directory of the test's own, written with Win32 calls.
class Image : public ::testing::Test {
 protected:
  void SetUp() override { CreateDirectoryW(dir_.c_str(), nullptr); }
  void TearDown() override {
    for (const std::wstring& path : written_) DeleteFileW(path.c_str());
    RemoveDirectoryW(dir_.c_str());
  }
  // Writes the bytes, then repeats `tail` `times` times after them.
  std::wstring Write(const std::string& bytes, const std::string& tail = "", size_t times = 0) {
    const std::wstring path = dir_ + L"\\Version" + std::to_wstring(written_.size()) + L".doc";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    written_.push_back(path);
    DWORD cb = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cb, nullptr);
    std::string chunk;
    for (size_t left = times; left > 0;) {
      const size_t n = std::min<size_t>(left, (1 << 20) / std::max<size_t>(tail.size(), 1) + 1);
      chunk.clear();
      for (size_t i = 0; i < n; ++i) chunk += tail;
      WriteFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &cb, nullptr);
      left -= n;
    }
    CloseHandle(h);
    return path;
  }

  std::wstring dir_ = TempDir();
  std::vector<std::wstring> written_;
};

TEST_F(Image, EverySupportedRowInEveryLineEnding) {
  for (const auto& row : kRows)
    for (const char* eol : {"\r\n", "\n"})
      for (bool bFinalBreak : {true, false}) {
        std::string text = std::string(row[0]) + eol + row[1] + eol + row[2] + eol + row[3];
        if (bFinalBreak) text += eol;
        EXPECT_TRUE(CheckPreinstallVersion(Write(text).c_str())) << testing::PrintToString(text);
      }
}

TEST_F(Image, LinesAfterTheFourthAreIgnored) {
  for (const std::string& rest : {std::string("anything\r\n"), std::string("\n"), std::string("\r\n\r\n"),
                                  std::string("x\ny\nz\n"), std::string("\xff\xfe\0z", 4)})
    EXPECT_TRUE(CheckPreinstallVersion(Write(kRow1 + rest).c_str())) << testing::PrintToString(rest);
}

TEST_F(Image, RefusedImages) {
  const std::string refused[] = {
      "ZR-45MK1\r\njns\r\nV37.2XL12\r\nM00\r\n",             // case
      "ZR-45MK1\r\nJNS\r\nV37.2XL12 \r\nM00\r\n",            // blank at the end
      "ZR-45MK1\r\n\tJNS\r\nV37.2XL12\r\nM00\r\n",           // tab at the start
      " ZR-45MK1\nJNS\nV37.2XL12\nM00\n",                    //
      "ZR-45MK1\r\nJNS\r\nV37.2XL14\r\nM00\r\n",             // variant and version of two rows
      "ZR-45MK1\r\nYNS\r\nV36.2XL12\r\nM00\r\n",             //
      "ZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM01\r\n",             //
      "\r\nZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n",         // leading empty line
      "\xEF\xBB\xBFZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n",  // byte order mark
      "ZR-45MK1\r\nJNS\r\nV37.2XL12\r\n",                    // three lines
      "ZR-45MK1\r\nJNS\r\nV37.2XL12",                        //
      "ZR-45MK1\rJNS\rV37.2XL12\rM00\r",                     // a lone CR is no line break
      "ZR-45MK1\nJNS\n\nV37.2XL12\nM00\n",                   // empty line in between
      std::string("ZR-45MK1\0\nJNS\nV37.2XL12\nM00\n", 27),  // zero byte kept in the line
      "\n\n\n\n",                                            //
      "",                                                    // empty file
  };
  for (const std::string& text : refused)
    EXPECT_FALSE(CheckPreinstallVersion(Write(text).c_str())) << testing::PrintToString(text);

  // UTF-16 little endian, with and without byte order mark.
  const std::wstring wide = L"ZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n";
  const std::string utf16(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
  EXPECT_FALSE(CheckPreinstallVersion(Write(utf16).c_str()));
  EXPECT_FALSE(CheckPreinstallVersion(Write("\xFF\xFE" + utf16).c_str()));

  EXPECT_FALSE(CheckPreinstallVersion((dir_ + L"\\missing.doc").c_str()));
  EXPECT_FALSE(CheckPreinstallVersion((dir_ + L"\\no\\such\\dir\\Version.doc").c_str()));
  EXPECT_FALSE(CheckPreinstallVersion(dir_.c_str()));  // a directory
}

TEST_F(Image, LoadKeepsLinesByteForByteWithinTheBounds) {
  CLineList list;
  ASSERT_TRUE(list.LoadFromFile(Write("a\r\n \tb\r\n\r\nc\rd\n\xe9\nsix\nseven\n").c_str()));
  ASSERT_EQ(list.Count(), CLineList::kMaxLines);
  const char* const expected[] = {"\xe9", "c\rd", "", " \tb", "a"};
  for (const char* line : expected) EXPECT_EQ(*list.RemoveLast(), line);

  // A line of the bound is read whole; one byte more ends the reading there.
  const std::string atBound(CLineList::kMaxLineBytes, 'x');
  ASSERT_TRUE(list.LoadFromFile(Write("a\n" + atBound + "\nb\n" + atBound + "y" + "z\nc\n").c_str()));
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.RemoveLast()->size(), CLineList::kMaxLineBytes + 1);
  EXPECT_EQ(*list.RemoveLast(), "b");
  EXPECT_EQ(*list.RemoveLast(), atBound);

  // Line counts as std::getline finds them; a load replaces what the list held.
  struct Row {
    const char* bytes;
    int count;
  } const counts[] = {{"", 0}, {"\n", 1}, {"a", 1}, {"a\n", 1}, {"a\r\n", 1}, {"a\nb", 2}, {"a\n\n", 2},
                      {"\r\n\r\n\r\n", 3}};
  for (const Row& row : counts) {
    ASSERT_TRUE(list.LoadFromFile(Write(row.bytes).c_str()));
    EXPECT_EQ(list.Count(), row.count) << testing::PrintToString(std::string(row.bytes));
  }

  EXPECT_FALSE(list.LoadFromFile((dir_ + L"\\missing.doc").c_str()));
  EXPECT_EQ(list.Count(), 0);
}

TEST_CHILD(PreinstallPeakMegabytes) {
  CheckPreinstallVersion(arg.c_str());
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return static_cast<int>(counters.PeakWorkingSetSize >> 20);
}

TEST_F(Image, HugeFilesAreDecidedQuicklyInBoundedMemory) {
  struct Row {
    std::string head;
    std::string tail;
    size_t times;
    bool bAccepted;
  } const rows[] = {
      {"", "ZZZZZZZZZZZZZZZZ", 50 << 16, false},             // one line of 50 MB
      {"ZR-45MK1\nJNS\nV37.2XL12\n", "M00M00M00M00M00M", 50 << 16, false},
      {kRow1, "0123456789ABCDEF", 50 << 16, true},           // a fifth line of 50 MB
      {kRow1, "ZR-45MK1\r\n", 3000000, true},                // three million lines
  };
  const int tinyPeak = testing_os::RunChild("PreinstallPeakMegabytes", Write(kRow1));
  ASSERT_GT(tinyPeak, 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.head + row.tail));
    const std::wstring path = Write(row.head, row.tail, row.times);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CheckPreinstallVersion(path.c_str()), row.bAccepted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    const int peak = testing_os::RunChild("PreinstallPeakMegabytes", path);
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, tinyPeak + 8) << "megabytes at peak, " << tinyPeak << " for a small file";
  }
}

TEST(LineList, CompareOrdersLinesThenCounts) {
  using Lines = std::vector<std::string>;
  struct Row {
    Lines a, b;
    int sign;
  } const rows[] = {
      {{"a", "b"}, {"a", "b"}, 0},   {{}, {}, 0},
      {{"a"}, {"a", "b"}, -1},       {{""}, {}, 1},
      {{"ab"}, {"a"}, 1},            {{"a"}, {"b"}, -1},
      {{"abc", "x"}, {"abd"}, -1},   {{"b"}, {"a", "z"}, 1},
      {{"\x80"}, {"a"}, 1},          {{std::string("a\0b", 3)}, {"a"}, 1},
  };
  for (const Row& row : rows) {
    CLineList a, b;
    for (const std::string& s : row.a) ASSERT_TRUE(a.Append(s));
    for (const std::string& s : row.b) ASSERT_TRUE(b.Append(s));
    const int ab = a.Compare(b), ba = b.Compare(a);
    EXPECT_EQ((ab > 0) - (ab < 0), row.sign) << testing::PrintToString(row.a) << " vs " << testing::PrintToString(row.b);
    EXPECT_EQ((ba > 0) - (ba < 0), -row.sign);
  }
}

TEST(LineList, RemoveLastHandsTheLineOver) {
  CLineList list;
  std::string text = "first";
  list.Append(text);
  text = "second";  // the list holds a copy
  list.Append(text);
  std::shared_ptr<std::string> last = list.RemoveLast();
  EXPECT_EQ(list.Count(), 1);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(*last, "second");
  CLineList empty;
  EXPECT_EQ(list.Compare(empty), 0);
}

}  // namespace
