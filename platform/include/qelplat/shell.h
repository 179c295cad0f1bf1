#pragma once
#include "qelplat/fileio.h"
#include "qelplat/wintypes.h"

struct HWND__;
typedef HWND__* HWND;

// Creates the folder and every missing level above it. ERROR_SUCCESS, ERROR_ALREADY_EXISTS, or the
// Windows number of the first level that could not be made.
int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* security);
