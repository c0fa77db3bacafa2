// Asks WMI whether the update KB3133977 is installed. COM must be initialised
// (multithreaded apartment) by the caller. Throws only when memory for the
// request strings runs out (std::bad_alloc).
#pragma once

bool IsHotfixInstalled();
