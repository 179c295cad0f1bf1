#pragma once
// Where the program lives and the process's current folder.
#include "qelplat/wintypes.h"

// Path of the running program (not of a library), cut to size-1 characters with its NUL; returns the
// length copied, or size when it was cut (then ERROR_INSUFFICIENT_BUFFER, 122), 0 on failure.
DWORD GetModuleFileNameA(HANDLE module, LPSTR buffer, DWORD size);
BOOL SetCurrentDirectoryA(LPCSTR path);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);

// The per-user temporary folder, with its trailing "/": $TMPDIR when it names an existing absolute folder,
// else /tmp/qel-<uid>/ (made with mode 0700; refused unless it is a real folder owned by this user and
// closed to others). Returns the length without the NUL; when the buffer is too small, the size needed
// with the NUL and nothing written; 0 on failure with the error number.
DWORD GetTempPathA(DWORD size, LPSTR buffer);
