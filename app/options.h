// Command-line options: /s (silent) and /f (force, only together with /s).
#pragma once

namespace RunOptions {
extern bool silent;
extern bool force;
}  // namespace RunOptions

// Reads the process command line (GetCommandLineW) once and sets RunOptions.
void ParseOptions();
