#include "qelplat/filetime.h"

#include <ctime>

#include "qelplat/lasterror.h"

namespace {

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

bool Valid(const SYSTEMTIME& st) {
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12) return false;
  if (st.wDay < 1 || st.wDay > DaysInMonth(st.wYear, st.wMonth)) return false;
  return st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

BOOL InvalidParameter() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// Seconds since 1970 of calendar fields read as UTC (the way a local FILETIME holds a wall clock too).
int64_t SecondsOf(int64_t year, unsigned month, unsigned day, int64_t hour, int64_t minute, int64_t second) {
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
  if (!st || !ft || !Valid(*st)) return InvalidParameter();
  const int64_t seconds = SecondsOf(st->wYear, st->wMonth, st->wDay, st->wHour, st->wMinute, st->wSecond);
  timespec ts{static_cast<time_t>(seconds), static_cast<long>(st->wMilliseconds) * 1000000L};
  *ft = qelplat::FileTimeFromUnix(ts);
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
  if (!local || !utc) return InvalidParameter();
  timespec ts = qelplat::UnixFromFileTime(*local);
  time_t wall = ts.tv_sec;
  tm parts{};
  gmtime_r(&wall, &parts);  // the wall-clock fields of the local time
  parts.tm_isdst = -1;
  time_t real = mktime(&parts);
  if (real == static_cast<time_t>(-1)) return InvalidParameter();
  ts.tv_sec = real;
  *utc = qelplat::FileTimeFromUnix(ts);
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (!utc || !local) return InvalidParameter();
  timespec ts = qelplat::UnixFromFileTime(*utc);
  time_t moment = ts.tv_sec;
  tm wall{};
  if (!localtime_r(&moment, &wall)) return InvalidParameter();
  ts.tv_sec = static_cast<time_t>(SecondsOf(static_cast<int64_t>(wall.tm_year) + 1900, wall.tm_mon + 1, wall.tm_mday,
                                            wall.tm_hour, wall.tm_min, wall.tm_sec));
  *local = qelplat::FileTimeFromUnix(ts);
  return TRUE;
}
