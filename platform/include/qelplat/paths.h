#pragma once
// Where the program lives and the process's current folder.
#include "qelplat/wintypes.h"

// Path of the running program (not of a library), cut to size-1 characters with its NUL; returns the
// length copied, or size when it was cut (then ERROR_INSUFFICIENT_BUFFER, 122), 0 on failure.
DWORD GetModuleFileNameA(HANDLE module, LPSTR buffer, DWORD size);
BOOL SetCurrentDirectoryA(LPCSTR path);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);

// The per-user temporary folder of qelplat::ChooseTempFolder, with its trailing "/". Returns the length
// without the NUL; when the buffer is too small, the size needed with the NUL and nothing written; 0 with
// ERROR_ACCESS_DENIED (5) when no folder can be used.
DWORD GetTempPathA(DWORD size, LPSTR buffer);
