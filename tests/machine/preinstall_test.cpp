#include "machine/preinstall.h"

#include <gtest/gtest.h>

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

// Real files in a directory of the test's own, written with Win32 calls.
class Image : public ::testing::Test {
 protected:
  void SetUp() override { CreateDirectoryW(dir_.c_str(), nullptr); }
  void TearDown() override {
    for (const std::wstring& path : written_) DeleteFileW(path.c_str());
    RemoveDirectoryW(dir_.c_str());
  }
  // Writes the head, then `megabytes` chunks of about 1 MB of `unit` repeated.
  std::wstring Write(const std::string& head, const std::string& unit = "", int megabytes = 0) {
    const std::wstring path = dir_ + L"\\Version" + std::to_wstring(written_.size()) + L".doc";
    written_.push_back(path);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    std::string chunk;
    while (megabytes > 0 && !unit.empty() && chunk.size() + unit.size() <= (1u << 20)) chunk += unit;
    DWORD cb = 0;
    WriteFile(h, head.data(), static_cast<DWORD>(head.size()), &cb, nullptr);
    for (int i = 0; i < megabytes; ++i) WriteFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &cb, nullptr);
    CloseHandle(h);
    return path;
  }
  bool Check(const std::string& bytes) { return CheckPreinstallVersion(Write(bytes).c_str()); }

  std::wstring dir_ = [] {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    return std::wstring(base) + L"vadrel_image_" + std::to_wstring(GetCurrentProcessId());
  }();
  std::vector<std::wstring> written_;
};

TEST_F(Image, EverySupportedRowInEveryLineEndingAndLinesAfterTheFourth) {
  for (const auto& row : kRows)
    for (const char* eol : {"\r\n", "\n"})
      for (bool bFinalBreak : {true, false}) {
        std::string text = std::string(row[0]) + eol + row[1] + eol + row[2] + eol + row[3];
        if (bFinalBreak) text += eol;
        EXPECT_TRUE(Check(text)) << testing::PrintToString(text);
      }
  for (const std::string& rest : {std::string("anything\r\n"), std::string("\r\n\r\n"), std::string("\xff\xfe\0z", 4)})
    EXPECT_TRUE(Check(kRow1 + rest)) << testing::PrintToString(rest);
}

TEST_F(Image, RefusedImages) {
  const std::wstring wide = L"ZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n";
  const std::string utf16(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
  const std::string refused[] = {
      "ZR-45MK1\r\njns\r\nV37.2XL12\r\nM00\r\n",             // case
      "ZR-45MK1\r\nJNS\r\nV37.2XL12 \r\nM00\r\n",            // blank at the end
      "ZR-45MK1\r\n\tJNS\r\nV37.2XL12\r\nM00\r\n",           // tab at the start
      "ZR-45MK1\r\nJNS\r\nV37.2XL14\r\nM00\r\n",             // variant and version of two rows
      "ZR-45MK1\r\nYNS\r\nV36.2XL12\r\nM00\r\n",             //
      "ZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM01\r\n",             //
      "\r\nZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n",         // leading empty line
      "\xEF\xBB\xBFZR-45MK1\r\nJNS\r\nV37.2XL12\r\nM00\r\n",  // byte order mark
      utf16,                                                 // UTF-16 little endian
      "\xFF\xFE" + utf16,                                    //
      "ZR-45MK1\r\nJNS\r\nV37.2XL12\r\n",                    // three lines
      "ZR-45MK1\rJNS\rV37.2XL12\rM00\r",                     // a lone CR is no line break
      "",                                                    // empty file
  };
  for (const std::string& text : refused) EXPECT_FALSE(Check(text)) << testing::PrintToString(text);
  EXPECT_FALSE(CheckPreinstallVersion((dir_ + L"\\missing.doc").c_str()));
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
    std::string unit;
    int megabytes;
    bool bAccepted;
  } const rows[] = {
      {"", "ZZZZZZZZZZZZZZZZ", 50, false},           // one line of 50 MB
      {kRow1, "0123456789ABCDEF", 50, true},         // a fifth line of 50 MB
      {kRow1, "ZR-45MK1\r\n", 30, true},             // three million lines
  };
  const int tinyPeak = testing_os::RunChild("PreinstallPeakMegabytes", Write(kRow1));
  ASSERT_GT(tinyPeak, 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.head + row.unit));
    const std::wstring path = Write(row.head, row.unit, row.megabytes);
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
  const struct {
    Lines a, b;
    int sign;
  } rows[] = {{{"a", "b"}, {"a", "b"}, 0}, {{"a"}, {"a", "b"}, -1}, {{"ab"}, {"a"}, 1},
              {{"abc", "x"}, {"abd"}, -1}, {{"\x80"}, {"a"}, 1}};
  for (const auto& row : rows) {
    CLineList a, b;
    for (const std::string& s : row.a) a.Append(s);
    for (const std::string& s : row.b) b.Append(s);
    const int ab = a.Compare(b), ba = b.Compare(a);
    EXPECT_EQ((ab > 0) - (ab < 0), row.sign) << testing::PrintToString(row.a);
    EXPECT_EQ((ba > 0) - (ba < 0), -row.sign);
  }
}

}  // namespace
