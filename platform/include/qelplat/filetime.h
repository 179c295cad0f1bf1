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
// The wall-clock time of the process's time zone (TZ) at that moment, under the rules in force then: a
// moment in the hour after a spring change reads past the gap (03:30, never 02:30), and the two passes
// through an autumn hour read alike. (Windows applies today's offset to every moment instead, which moves
// summer files by an hour each winter.) Fails with ERROR_INVALID_PARAMETER when the year does not fit.
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
