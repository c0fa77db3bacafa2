// Developer's debug trace: one line per call to the debugger output, gated by
// a switch that starts off. Both calls leave the thread's last error alone.
#pragma once

#include "os/win.h"

extern BOOL bTraceOn;           // nothing in the tool turns it on
extern BOOL bTraceToStderr;     // also copy each line to stderr
extern DWORD dwTraceProcessId;  // 0 until the first line that passes the switch

void DebugTrace(const char* format, ...);
// Traces the system's text for an error; 0 means the thread's last error.
void TraceError(DWORD dwError);
