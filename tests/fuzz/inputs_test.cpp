// Inputs from outside the program, generated from fixed seeds: the factory
// image file and the driver's version resource. Each
// answer must agree with a plain statement of its rule, with nothing left open
// and nothing read or written past the input: what the code reads or fills
// lies at the end of a page, followed by one it may not touch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "machine/preinstall.h"
#include "tests/support/fake.h"
#include "tests/support/leaks.h"
#include "tpm/driverversion.h"

constexpr int kInputs = 4000;

// The end of 16 KB of memory followed by a page never committed.
BYTE* const kPageEnd = static_cast<BYTE*>(VirtualAlloc(VirtualAlloc(nullptr, 0x5000, MEM_RESERVE, PAGE_NOACCESS), 0x4000,
                                                       MEM_COMMIT, PAGE_READWRITE)) +
                       0x4000;

const char* const kRows[] = {"ZR-45MK1\nJNS\nV37.2XL12\nM00", "ZR-45MK1\nJNS\nV36.2XL12\nM00",
                             "ZR-45MK1\nMNS\nV37.2XL14\nM00", "ZR-45MK1\nMNS\nV36.2XL14\nM00",
                             "ZR-45MK1\nYNS\nV37.2XL11\nM00", "ZR-45MK1\nYNS\nV36.2XL11\nM00"};

// Read as the C runtime's text mode reads a file (Ctrl-Z ends the text, CR LF reads
// as LF, any other CR stays), the text begins with the four lines of one of the rows,
// the last of them ended by LF or by the end of the text.
static bool PlainImageRule(const std::string& bytes) {
  std::string text = bytes.substr(0, bytes.find('\x1a'));
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  return std::any_of(std::begin(kRows), std::end(kRows), [&](const std::string& row) {
    return text == row || text.compare(0, row.size() + 1, row + '\n') == 0;
  });
}

TEST(OutsideInputs, FactoryImage) {
  const char* const breaks[] = {"\r\n", "\n", "\r", "\x1a", "\r\r\n", "\n\r", ""};
  std::mt19937 rng(1);
  for (int n = 0; n < kInputs / 2; ++n) {  // files take longer
    std::string bytes;
    for (char c : std::string(kRows[rng() % 6]) + "\nZR-45MK1\n")
      bytes += c == '\n' ? breaks[rng() % (rng() % 4 ? 2 : 7)] : std::string(1, c);
    for (int edits = rng() % 3; edits > 0; --edits)  // inserted or replaced
      bytes.replace(rng() % (bytes.size() + 1), rng() % 2, 1, "JMY64\r\n\x1a\0 "[rng() % 10]);
    bytes.resize(rng() % 4 ? bytes.size() : rng() % (bytes.size() + 1));
    std::ofstream("fuzz_image.doc", std::ios::binary) << bytes;
    ASSERT_EQ(CheckPreinstallVersion(L"fuzz_image.doc"), PlainImageRule(bytes)) << testing::PrintToString(bytes);
  }
  // A handle any check left open keeps the file from being deleted.
  EXPECT_TRUE(DeleteFileW(L"fuzz_image.doc")) << GetLastError();
}

// One block of a version resource: its length, value length, type and key, then the
// value and the children, each starting on a 32-bit boundary of the block.
static std::string Block(const std::wstring& key, const std::string& value, size_t cchValue, WORD wType,
                         const std::vector<std::string>& children = {}) {
  std::string b = std::string(6, '\0') + std::string(reinterpret_cast<const char*>(key.c_str()), key.size() * 2 + 2);
  b.resize((b.size() + 3) & ~3u);
  b += value;
  for (const std::string& child : children) b.resize((b.size() + 3) & ~3u), b += child;
  const WORD header[3] = {static_cast<WORD>(b.size()), static_cast<WORD>(cchValue), wType};
  return b.replace(0, 6, reinterpret_cast<const char*>(header), 6);
}

static std::string g_blob;

// The version text is the ProductVersion string of the table that the first entry of
// the translation table names: up to its first zero, its stated length or the end of
// the resource. A text of 260 units or more, or a resource shorter than it says, is
// unreadable.
TEST(OutsideInputs, VersionResource) {
  // A module with a version resource of its own, read as the generated one.
  FAKE(LoadLibraryW, [](LPCWSTR) { return LoadLibraryW(L"version.dll"); });
  FAKE(SizeofResource, [](HMODULE, HRSRC) { return static_cast<DWORD>(g_blob.size()); });
  FAKE(LoadResource, [](HMODULE, HRSRC) { return memcpy(kPageEnd - g_blob.size(), g_blob.data(), g_blob.size()); });
  testing_os::LeakCheck leaks;
  std::mt19937 rng(3);
  for (int n = 0; n < kInputs; ++n) {
    const WORD table[4] = {WORD(rng() % 2 ? 0x0409 : rng()), WORD(rng() % 2 ? 0x04b0 : rng()), 0x0411, 0x03a4};
    const std::string translation(reinterpret_cast<const char*>(table), (rng() % 4 ? 2 : rng() % 5) * sizeof(WORD));
    const bool bNamed = rng() % 4, bProduct = rng() % 8;  // the table and the string sought are there
    wchar_t key[9] = {};
    swprintf(key, 9, L"%04x%04x", table[0] ^ !bNamed, table[1]);
    std::wstring text(rng() % 4 ? rng() % 16 : 256 + rng() % 6, L'7');
    for (wchar_t& c : text) c = L"6.1.7600\x3042"[rng() % (rng() % 16 ? 8 : 10)];
    const std::string value(reinterpret_cast<const char*>(text.c_str()), (text.size() + (rng() % 4 != 0)) * 2);
    // Any stated length but for an empty value, for which VerQueryValueW may point anywhere.
    const size_t cchValue = rng() % 8 || value.empty() ? value.size() / 2 : rng() % 300;
    const std::string product = Block(bProduct ? L"ProductVersion" : L"ProductVersiom", value, cchValue, 1);
    std::vector<std::string> children = {
        Block(L"VarFileInfo", "", 0, 1, {Block(L"Translation", translation, translation.size(), 0)}),
        Block(L"StringFileInfo", "", 0, 1,
              {Block(key, "", 0, 1, {Block(L"FileVersion", std::string("6\0\0\0", 4), 2, 1), product})})};
    if (rng() % 2) std::reverse(children.begin(), children.end());
    children.resize(rng() % 8 ? 2 : rng() % 3);
    g_blob = Block(L"VS_VERSION_INFO", std::string(52, '\0'), 52, 0, children);
    const size_t cbWhole = g_blob.size(), at = g_blob.find(product) + 36;  // past its header and key
    if (rng() % 8 == 0) g_blob.resize(rng() % cbWhole);
    std::wstring expected;
    for (size_t i = at; i < at + 2 * cchValue && i + 2 <= g_blob.size() && (g_blob[i] || g_blob[i + 1]); i += 2)
      expected += static_cast<wchar_t>(static_cast<BYTE>(g_blob[i]) | static_cast<BYTE>(g_blob[i + 1]) << 8);
    const bool readable = g_blob.size() == cbWhole && children.size() == 2 && translation.size() >= 4 && bNamed &&
                          bProduct && expected.size() < 260;
    WCHAR szVersion[kVersionLength] = {};
    ASSERT_EQ(GetDriverFileVersion(szVersion) ? szVersion : L"unreadable", readable ? expected : L"unreadable") << n;
  }
  EXPECT_EQ(leaks.Describe(), "");
}
