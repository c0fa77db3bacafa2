// The factory preinstall image description "C:\Util\Version.doc".
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class CLineList {
 public:
  // Reading is bounded so that no file can exhaust memory: at most the first
  // kMaxLines lines are read, and a line longer than kMaxLineBytes is kept as
  // its first kMaxLineBytes + 1 bytes and ends the reading.
  static constexpr int kMaxLines = 5;
  static constexpr size_t kMaxLineBytes = 4096;
  static constexpr int kMaxCount = 0x7FFFFFFE;

  // Replaces the list with the file's lines (text mode, separator '\n' not kept);
  // false when the file cannot be opened or the list is full.
  bool LoadFromFile(const wchar_t* pszPath);
  bool Append(const std::string& text);       // false when kMaxCount lines are held
  std::shared_ptr<std::string> RemoveLast();  // only on a list that holds lines
  // Line by line as byte strings, then the shorter list first: <0, 0 or >0.
  int Compare(const CLineList& other) const;
  void Clear();
  int Count() const { return _nCount; }

 private:
  int _nCount = 0;
  std::vector<std::shared_ptr<std::string>> _lines;
};

// True when the file's first four lines equal one of the supported images.
bool CheckPreinstallVersion(const wchar_t* pszPath);
