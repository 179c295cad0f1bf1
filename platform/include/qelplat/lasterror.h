#pragma once
#include "qelplat/wintypes.h"

// Per-thread last error, as on Windows.
DWORD GetLastError();
void SetLastError(DWORD code);

namespace qelplat {
// Maps an errno value to the Windows number the system's code tests.
// pathContext: ENOENT of a path (a missing parent folder) maps to 3 instead of 2.
DWORD Win32FromErrno(int err, bool pathContext = false);
// SetLastError(Win32FromErrno(errno, pathContext)); returns the mapped value.
DWORD SetLastErrorFromErrno(bool pathContext = false);
}  // namespace qelplat
