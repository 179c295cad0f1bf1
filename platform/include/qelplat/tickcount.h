#pragma once
// Milliseconds since an arbitrary start, wrapping at 2^32 as on Windows (about 49.7 days): differences
// must be taken unsigned.
#include "qelplat/wintypes.h"

DWORD GetTickCount();
