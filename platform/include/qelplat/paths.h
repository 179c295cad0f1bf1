#pragma once
// Where the program lives and the process's current folder.
#include "qelplat/wintypes.h"

// Path of the running program (not of a library), cut to size-1 characters with its NUL; returns the
// length copied, or size when it was cut (then ERROR_INSUFFICIENT_BUFFER, 122), 0 on failure.
DWORD GetModuleFileNameA(HANDLE module, LPSTR buffer, DWORD size);
BOOL SetCurrentDirectoryA(LPCSTR path);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
