// The model number rule of the ZR-45 series.
#pragma once

#include <cstddef>

#include "os/win.h"

// Whole-string match of the model pattern; the subject ends at the first zero byte.
bool IsSupportedModelNumber(const BYTE* pbModel, size_t cbModel);
