#pragma once
// Ends the process at once with the given code. As on Windows, no static destructor runs, so threads that
// are still working never meet destroyed globals; buffered standard output is flushed first.
#include "qelplat/wintypes.h"

[[noreturn]] void ExitProcess(UINT exitCode);
