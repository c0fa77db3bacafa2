// boxprobe.exe list                 the message boxes now shown
// boxprobe.exe wait <ms>            the same, once at least one is shown (exit 1 on time-out)
// boxprobe.exe gone <hwnd> <ms>     waits until that box is closed (exit 1 on time-out)
// A message box is a visible top-level window of the dialog class "#32770".
// Output (stdout, UTF-8): one JSON array of
//   {"hwnd": "0x..", "pid": n, "caption": "..", "text": "..",
//    "buttons": [{"id": n, "text": ".."}], "font": "..", "missing_glyphs": n,
//    "rect": [left, top, width, height]}
// "font" is the face of the text's font and "missing_glyphs" the number of the
// text's printable characters that face has no glyph for (as GetGlyphIndicesW says).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

struct Button {
  int id;
  std::wstring text;
};

struct Box {
  HWND hwnd;
  DWORD pid;
  std::wstring caption, text, font;
  std::vector<Button> buttons;
  int missing = 0;
  RECT rect = {};
};

std::wstring WindowText(HWND hwnd) {
  int n = GetWindowTextLengthW(hwnd);
  std::wstring text(n + 1, L'\0');
  n = GetWindowTextW(hwnd, &text[0], n + 1);
  text.resize(n > 0 ? n : 0);
  return text;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

// Characters of the text that the control's font cannot show.
void MeasureGlyphs(HWND control, Box* box) {
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  HDC dc = GetDC(control);
  if (!dc) return;
  HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  wchar_t face[LF_FACESIZE] = {};
  GetTextFaceW(dc, LF_FACESIZE, face);
  box->font = face;
  std::wstring shown;
  for (wchar_t c : box->text)
    if (c >= 0x20) shown.push_back(c);
  if (!shown.empty()) {
    std::vector<WORD> glyphs(shown.size());
    if (GetGlyphIndicesW(dc, shown.c_str(), static_cast<int>(shown.size()), glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS) !=
        GDI_ERROR) {
      for (WORD g : glyphs)
        if (g == 0xFFFF) ++box->missing;
    } else {
      box->missing = -1;
    }
  }
  if (old) SelectObject(dc, old);
  ReleaseDC(control, dc);
}

BOOL CALLBACK OnChild(HWND child, LPARAM param) {
  Box* box = reinterpret_cast<Box*>(param);
  if (GetParent(child) != box->hwnd || !IsWindowVisible(child)) return TRUE;
  std::wstring cls = ClassOf(child);
  std::wstring text = WindowText(child);
  if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, cls.c_str(), -1, L"Button", -1) == CSTR_EQUAL) {
    box->buttons.push_back({GetDlgCtrlID(child), text});
  } else if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, cls.c_str(), -1, L"Static", -1) == CSTR_EQUAL &&
             !text.empty() && box->text.empty()) {
    box->text = text;
    MeasureGlyphs(child, box);
  }
  return TRUE;
}

BOOL CALLBACK OnTopLevel(HWND hwnd, LPARAM param) {
  if (IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770") {
    Box box;
    box.hwnd = hwnd;
    GetWindowThreadProcessId(hwnd, &box.pid);
    box.caption = WindowText(hwnd);
    GetWindowRect(hwnd, &box.rect);
    EnumChildWindows(hwnd, OnChild, reinterpret_cast<LPARAM>(&box));
    reinterpret_cast<std::vector<Box>*>(param)->push_back(box);
  }
  return TRUE;
}

std::vector<Box> Boxes() {
  std::vector<Box> boxes;
  EnumWindows(OnTopLevel, reinterpret_cast<LPARAM>(&boxes));
  return boxes;
}

std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof(esc), "\\u%04x", static_cast<unsigned>(c));
      out += esc;
    } else {
      wchar_t one[2] = {c, 0};
      char bytes[8] = {};
      // Surrogate pairs never occur in the catalogue; each unit converts alone.
      int n = WideCharToMultiByte(CP_UTF8, 0, one, 1, bytes, sizeof(bytes), nullptr, nullptr);
      out.append(bytes, n > 0 ? n : 0);
    }
  }
  return out + "\"";
}

void Print(const std::vector<Box>& boxes) {
  std::string out = "[";
  for (size_t i = 0; i < boxes.size(); ++i) {
    const Box& b = boxes[i];
    char head[96];
    snprintf(head, sizeof(head), "{\"hwnd\": \"0x%llx\", \"pid\": %lu, \"caption\": ",
             static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(b.hwnd)), static_cast<unsigned long>(b.pid));
    out += (i ? ",\n " : "") + std::string(head) + Json(b.caption) + ", \"text\": " + Json(b.text) + ", \"buttons\": [";
    for (size_t k = 0; k < b.buttons.size(); ++k)
      out += (k ? ", " : "") + std::string("{\"id\": ") + std::to_string(b.buttons[k].id) +
             ", \"text\": " + Json(b.buttons[k].text) + "}";
    out += "], \"font\": " + Json(b.font) + ", \"missing_glyphs\": " + std::to_string(b.missing) + ", \"rect\": [" +
           std::to_string(b.rect.left) + ", " + std::to_string(b.rect.top) + ", " +
           std::to_string(b.rect.right - b.rect.left) + ", " + std::to_string(b.rect.bottom - b.rect.top) + "]}";
  }
  out += "]\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

int Usage() {
  fprintf(stderr, "usage: boxprobe.exe list | wait <ms> | gone <hwnd> <ms>\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  std::wstring action = argv[1];
  if (action == L"list") {
    Print(Boxes());
    return 0;
  }
  if (action == L"wait" && argc == 3) {
    ULONGLONG end = GetTickCount64() + wcstoul(argv[2], nullptr, 10);
    for (;;) {
      std::vector<Box> boxes = Boxes();
      // A box is filled in after it shows; wait for its buttons too.
      bool ready = !boxes.empty();
      for (const Box& b : boxes) ready = ready && !b.buttons.empty();
      if (ready || GetTickCount64() >= end) {
        Print(boxes);
        return ready ? 0 : 1;
      }
      Sleep(50);
    }
  }
  if (action == L"gone" && argc == 4) {
    HWND hwnd = reinterpret_cast<HWND>(static_cast<UINT_PTR>(wcstoull(argv[2], nullptr, 0)));
    ULONGLONG end = GetTickCount64() + wcstoul(argv[3], nullptr, 10);
    while (IsWindow(hwnd) && IsWindowVisible(hwnd)) {
      if (GetTickCount64() >= end) return 1;
      Sleep(50);
    }
    return 0;
  }
  return Usage();
}
