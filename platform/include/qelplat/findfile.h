#pragma once
// Listing a folder by a file pattern ("dir/*.meta"): the pattern's last part may hold "*" and "?".
// "." and ".." are listed first, as Windows lists them.
#include "qelplat/fileio.h"
#include "qelplat/wintypes.h"

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  char cFileName[MAX_PATH];
};

// INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND when nothing matches, ERROR_PATH_NOT_FOUND when the
// folder does not exist. Names that do not fit cFileName are left out.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);
// FALSE with ERROR_NO_MORE_FILES (18) at the end.
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE find);

enum : DWORD { ERROR_NO_MORE_FILES = 18 };
