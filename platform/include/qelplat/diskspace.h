#pragma once
// Free space of the file system that holds a folder.
#include "qelplat/wintypes.h"

union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  uint64_t QuadPart;
};

// The bytes free to this user (what an unprivileged write may still take: reserved blocks left out), the
// size of the file system and all its free bytes; each pointer may be null. The folder must exist (3 or 2
// otherwise, as on Windows).
BOOL GetDiskFreeSpaceExW(LPCWSTR folder, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree);
