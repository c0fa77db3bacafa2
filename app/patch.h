// The ordered checks before the repair. True: the re-installation may run,
// dwCode untouched. False: the run stops with dwCode set.
#pragma once

#include "os/win.h"

bool CheckPreconditions(DWORD& dwCode);
