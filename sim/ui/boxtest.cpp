// boxtest.exe en|ja [other-caption] [tofu]
// Shows the two kinds of box a tool of this kind shows, captioned "Orlinth"
// (or "Other", to see that a wrong caption is noticed; "tofu" appends U+E000,
// a character no font draws, to see that a missing glyph is noticed):
// a question (MB_OKCANCEL | MB_SYSTEMMODAL), then, on OK, a notice
// (MB_SYSTEMMODAL). Exits 0 after the notice, 11 when the question is declined,
// 1400 + n when box n cannot be shown.
#include <windows.h>

#include <wchar.h>

#include <string>

namespace {

const wchar_t kCaption[] = L"Orlinth";

struct Texts {
  const wchar_t* question;
  const wchar_t* notice;
};

const Texts kEnglish = {L"Box test question.\n\nIf you are ready, click [OK].", L"Box test finished."};
const Texts kJapanese = {L"ボックスの試験です。\n\n準備ができましたら、[OK]ボタンをクリックしてください。",
                         L"修正処理を正常に完了しました"};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR line, int) {
  const Texts& texts = wcsstr(line, L"ja") ? kJapanese : kEnglish;
  const wchar_t* caption = wcsstr(line, L"other-caption") ? L"Other" : kCaption;
  std::wstring question = texts.question;
  if (wcsstr(line, L"tofu")) question += L'\xE000';
  int answer = MessageBoxW(nullptr, question.c_str(), caption, MB_OKCANCEL | MB_SYSTEMMODAL);
  if (answer == 0) return 1401;
  if (answer != IDOK) return 11;
  if (MessageBoxW(nullptr, texts.notice, caption, MB_SYSTEMMODAL) == 0) return 1402;
  return 0;
}
