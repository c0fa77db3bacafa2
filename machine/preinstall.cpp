#include "machine/preinstall.h"

#include <share.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

const char* const kSupportedImages[][4] = {
    {"ZR-45MK1", "JNS", "V37.2XL12", "M00"}, {"ZR-45MK1", "JNS", "V36.2XL12", "M00"},
    {"ZR-45MK1", "MNS", "V37.2XL14", "M00"}, {"ZR-45MK1", "MNS", "V36.2XL14", "M00"},
    {"ZR-45MK1", "YNS", "V37.2XL11", "M00"}, {"ZR-45MK1", "YNS", "V36.2XL11", "M00"},
};
constexpr int kImageLines = 4;

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

bool CLineList::LoadFromFile(const wchar_t* pszPath) {
  Clear();
  if (pszPath == nullptr) return false;
  // The CRT's own text-mode stream on the wide path: "\r\n" reads as "\n",
  // exactly as a text-mode std::ifstream (itself built on the CRT) reads it,
  // and it opens wide paths under both MSVC and MinGW, whose libstdc++ has no
  // wide-path stream constructor. _SH_DENYNO lets others read and write.
  File file(_wfsopen(pszPath, L"rt", _SH_DENYNO));
  if (!file) return false;

  // Lines as std::getline gives them: up to '\n' (not kept); a last line
  // without '\n' counts; end of file before any character ends the list.
  for (int i = 0; i < kMaxLines; ++i) {
    std::string line;
    bool bAny = false;
    bool bEnd = false;
    bool bTooLong = false;
    for (;;) {
      const int c = fgetc(file.get());
      if (c == EOF) {
        bEnd = true;
        break;
      }
      bAny = true;
      if (c == '\n') break;
      line.push_back(static_cast<char>(c));
      if (line.size() > kMaxLineBytes) {
        bTooLong = true;  // already unequal to any expected line: read no further
        break;
      }
    }
    if (!bAny) return true;
    if (!Append(line)) {
      Clear();
      return false;
    }
    if (bEnd || bTooLong) return true;
  }
  return true;
}

bool CLineList::Append(const std::string& text) {
  if (_nCount >= kMaxCount) return false;
  _lines.push_back(std::make_shared<std::string>(text));
  ++_nCount;
  return true;
}

std::shared_ptr<std::string> CLineList::RemoveLast() {
  std::shared_ptr<std::string> line = std::move(_lines.back());
  _lines.pop_back();
  --_nCount;
  return line;
}

int CLineList::Compare(const CLineList& other) const {
  const size_t common = std::min(_lines.size(), other._lines.size());
  for (size_t i = 0; i < common; ++i) {
    // std::string compares bytes as unsigned characters, common length first.
    const int order = _lines[i]->compare(*other._lines[i]);
    if (order != 0) return order < 0 ? -1 : 1;
  }
  if (_nCount == other._nCount) return 0;
  return _nCount < other._nCount ? -1 : 1;
}

void CLineList::Clear() {
  _lines.clear();
  _nCount = 0;
}

bool CheckPreinstallVersion(const wchar_t* pszPath) {
  CLineList file;
  if (!file.LoadFromFile(pszPath)) return false;
  while (file.Count() > kImageLines) file.RemoveLast();

  CLineList image;
  for (const auto& row : kSupportedImages) {
    image.Clear();
    for (const char* line : row) image.Append(line);
    if (file.Compare(image) == 0) return true;
  }
  return false;
}
