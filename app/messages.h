// The message catalogue (string table) and the one rule for telling the user:
// a system-modal box in an interactive run, a run-log line in a silent one.
#pragma once

#include <memory>
#include <string>

#include "os/win.h"

constexpr int kCaptionLength = 100;
extern wchar_t szCaption[kCaptionLength];  // message 103, loaded by the entry

// Loads the caption (message 103) of the program's module into szCaption.
void LoadCaption(HINSTANCE hInstance);
// The text of a catalogue id; empty when there is none or memory runs out.
std::shared_ptr<std::wstring> LoadMessage(UINT uId);
void ReportMessage(UINT uId);
