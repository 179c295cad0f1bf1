#pragma once
#include "qelplat/fileio.h"
#include "qelplat/wintypes.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// Fails with ERROR_INVALID_PARAMETER for a value that is not a calendar date and time.
BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);
// Uses the process's time zone (TZ), daylight saving included, as Windows does for the current rules.
BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc);
