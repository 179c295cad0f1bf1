#pragma once
#include "qelplat/wintypes.h"

// Debugger text goes to standard error: there is no debugger channel on Linux.
void OutputDebugStringA(LPCSTR text);
