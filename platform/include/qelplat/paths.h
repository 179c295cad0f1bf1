#pragma once
// Where the program lives and the process's current folder.
#include "qelplat/wintypes.h"

// Path of the running program (not of a library), cut to size-1 characters with its NUL; returns the
// length copied, or size when it was cut (then ERROR_INSUFFICIENT_BUFFER, 122), 0 on failure.
DWORD GetModuleFileNameA(HANDLE module, LPSTR buffer, DWORD size);
BOOL SetCurrentDirectoryA(LPCSTR path);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);

// The per-user temporary folder, with its trailing "/": $TMPDIR when it names an absolute folder that is the
// user's own and closed to writing by group and others; else a folder qel-<uid> below it (a shared TMPDIR such
// as /tmp), or below /tmp when TMPDIR names no absolute folder. That one is made with mode 0700 and refused
// unless it is a real folder owned by this user and closed to others. Returns the length without the NUL;
// when the buffer is too small, the size needed with the NUL and nothing written; 0 on failure with the
// error number.
DWORD GetTempPathA(DWORD size, LPSTR buffer);
