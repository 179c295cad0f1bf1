#include "qelhttp/http_date.hpp"

#include <array>
#include <cstring>
#include <limits>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace qelhttp {
namespace detail {
namespace {

// A date parser walks at most this many words and numbers; real dates have five or six.
constexpr int kMaxTokens = 6;
// Words are read at most this long; a longer run of letters continues as the next word.
constexpr std::size_t kMaxWordLength = 31;
constexpr int64_t kSecondsPerDay = 86400;
// 9999-12-31 23:59:59 UTC, the last second the date-time type holds.
constexpr int64_t kLastSecond = 253402300799LL;
constexpr int64_t kSaturatedNumber = 2147483647;

struct TZone {
  const char* name;
  int minutes_west;
};

const TZone kZones[] = {
    {"GMT", 0},     {"UTC", 0},     {"WET", 0},     {"BST", -60},   {"WAT", 60},    {"AST", 240},
    {"ADT", 180},   {"EST", 300},   {"EDT", 240},   {"CST", 360},   {"CDT", 300},   {"MST", 420},
    {"MDT", 360},   {"PST", 480},   {"PDT", 420},   {"YST", 540},   {"YDT", 480},   {"HST", 600},
    {"HDT", 540},   {"CAT", 600},   {"AHST", 600},  {"NT", 660},    {"IDLW", 720},  {"CET", -60},
    {"MET", -60},   {"MEWT", -60},  {"MEST", -120}, {"CEST", -120}, {"MESZ", -120}, {"FWT", -60},
    {"FST", -120},  {"EET", -120},  {"WAST", -420}, {"WADT", -480}, {"CCT", -480},  {"JST", -540},
    {"EAST", -600}, {"EADT", -660}, {"GST", -600},  {"NZT", -720},  {"NZST", -720}, {"NZDT", -780},
    {"IDLE", -720}, {"A", 60},      {"B", 120},     {"C", 180},     {"D", 240},     {"E", 300},
    {"F", 360},     {"G", 420},     {"H", 480},     {"I", 540},     {"K", 600},     {"L", 660},
    {"M", 720},     {"N", -60},     {"O", -120},    {"P", -180},    {"Q", -240},    {"R", -300},
    {"S", -360},    {"T", -420},    {"U", -480},    {"V", -540},    {"W", -600},    {"X", -660},
    {"Y", -720},    {"Z", 0},
};

const char* const kLongDays[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
const char* const kShortDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool EqualsNoCase(const std::string& word, const char* name) {
  if (word.size() != std::strlen(name)) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char a = word[i] >= 'A' && word[i] <= 'Z' ? static_cast<char>(word[i] - 'A' + 'a') : word[i];
    const char b = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
    if (a != b) return false;
  }
  return true;
}

template <std::size_t N>
int FindName(const std::string& word, const char* const (&names)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (EqualsNoCase(word, names[i])) return static_cast<int>(i);
  }
  return -1;
}

const TZone* FindZone(const std::string& word) {
  for (const TZone& zone : kZones) {
    if (EqualsNoCase(word, zone.name)) return &zone;
  }
  return nullptr;
}

bool IsLeap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days from 1970-01-01 to the first of January of `year`, for any year.
int64_t DaysBeforeYear(int64_t year) {
  const int64_t y = year - 1;
  const auto floor_div = [](int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); };
  const int64_t leaps = floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400);
  const int64_t leaps_1970 = 1969 / 4 - 1969 / 100 + 1969 / 400;
  return (year - 1970) * 365 + (leaps - leaps_1970);
}

struct TDateFields {
  int weekday = -1;
  bool has_month = false;
  int month = 0;  // from 0; YYYYMMDD may give a month outside 0-11
  int64_t day = -1;
  int64_t year = -1;
  int64_t hour = -1;
  int64_t minute = -1;
  int64_t second = -1;
  bool zone_set = false;
  int64_t zone_offset = 0;  // seconds to add to reach UTC
  bool next_is_day = true;  // which field a plain number fills next
};

// A word: weekday first, then month, then zone.
bool TakeWord(const std::string& word, TDateFields& f) {
  if (f.weekday < 0) {
    const int day = word.size() > 3 ? FindName(word, kLongDays) : FindName(word, kShortDays);
    if (day >= 0) {
      f.weekday = day;
      return true;
    }
  }
  if (!f.has_month) {
    const int month = FindName(word, kMonths);
    if (month >= 0) {
      f.has_month = true;
      f.month = month;
      return true;
    }
  }
  const TZone* zone = FindZone(word);
  if (!zone || f.zone_set) return false;
  f.zone_set = true;
  f.zone_offset = static_cast<int64_t>(zone->minutes_west) * 60;
  return true;
}

// "hh:mm:ss" or "hh:mm" with one or two digits per field; returns the characters used, 0 for no match.
std::size_t MatchClock(const std::string& text, std::size_t pos, TDateFields& f) {
  int64_t parts[3] = {0, 0, 0};
  std::size_t p = pos;
  int count = 0;
  for (; count < 3; ++count) {
    if (count > 0) {
      if (p >= text.size() || text[p] != ':') break;
      ++p;
    }
    std::size_t digits = 0;
    int64_t value = 0;
    while (digits < 2 && p < text.size() && IsDigit(text[p])) value = value * 10 + (text[p++] - '0'), ++digits;
    if (digits == 0) {
      if (count > 0) --p;  // give the ':' back
      break;
    }
    parts[count] = value;
  }
  if (count < 2) return 0;
  f.hour = parts[0];
  f.minute = parts[1];
  f.second = count == 3 ? parts[2] : 0;
  return p - pos;
}

bool TakeNumber(const std::string& text, std::size_t start, int64_t value, std::size_t digits, TDateFields& f) {
  if (digits == 4 && value <= 1400 && start > 0 && (text[start - 1] == '+' || text[start - 1] == '-') &&
      !f.zone_set) {
    const int64_t offset = ((value / 100) * 60 + value % 100) * 60;
    f.zone_set = true;
    f.zone_offset = text[start - 1] == '+' ? -offset : offset;
    return true;
  }
  if (digits == 8 && f.year < 0 && !f.has_month && f.day < 0) {
    f.year = value / 10000;
    f.has_month = true;
    f.month = static_cast<int>((value / 100) % 100) - 1;
    f.day = value % 100;
    return true;
  }
  if (f.next_is_day) {
    if (f.day >= 0) return false;
    if (value >= 1 && value <= 31) {
      f.day = value;
      f.next_is_day = false;
      return true;
    }
  }
  if (f.year >= 0) return false;
  f.year = value < 1900 ? (value > 70 ? value + 1900 : value + 2000) : value;
  if (f.day < 0) f.next_is_day = true;
  return true;
}

bool ScanFields(const std::string& text, TDateFields& f) {
  std::size_t pos = 0;
  for (int token = 0; token < kMaxTokens; ++token) {
    while (pos < text.size() && !IsAlpha(text[pos]) && !IsDigit(text[pos])) ++pos;
    if (pos >= text.size()) break;
    if (IsAlpha(text[pos])) {
      const std::size_t start = pos;
      while (pos < text.size() && pos - start < kMaxWordLength && IsAlpha(text[pos])) ++pos;
      if (!TakeWord(text.substr(start, pos - start), f)) return false;
      continue;
    }
    if (f.second < 0) {
      const std::size_t used = MatchClock(text, pos, f);
      if (used > 0) {
        pos += used;
        continue;
      }
    }
    const std::size_t start = pos;
    int64_t value = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
      value = std::min(value * 10 + (text[pos] - '0'), kSaturatedNumber);
      ++pos;
    }
    if (!TakeNumber(text, start, value, pos - start, f)) return false;
  }
  return true;
}

}  // namespace

int64_t utc_mktime(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second) {
  static const int kMonthStart[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  // A month outside 0-11 carries into the year, so "month 12" is January of the next year.
  year += month >= 0 ? month / 12 : -((11 - month) / 12);
  month = ((month % 12) + 12) % 12;
  int64_t days = DaysBeforeYear(year) + kMonthStart[month] + (day - 1);
  if (month > 1 && IsLeap(year)) ++days;
  return days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

bool parse_date_fields(const std::string& text, int64_t& seconds) {
  TDateFields f;
  if (!ScanFields(text, f)) return false;
  if (f.day < 0 || !f.has_month || f.year < 0) return false;
  // Years past 9999 cannot be held by the date-time type; counting them as no date keeps a hostile
  // "expires" from overflowing or throwing.
  if (f.year < 1970 || f.year > 9999) return false;
  const int64_t result = utc_mktime(f.year, f.month, f.day, f.hour < 0 ? 0 : f.hour, f.minute < 0 ? 0 : f.minute,
                                    f.second < 0 ? 0 : f.second) +
                         (f.zone_set ? f.zone_offset : 0);
  if (result > kLastSecond) return false;
  seconds = result;
  return true;
}

bool parse_http_date(const std::string& text, boost::posix_time::ptime& out) {
  int64_t seconds = 0;
  if (!parse_date_fields(text, seconds)) return false;
  const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
  out = epoch + boost::posix_time::seconds(static_cast<long>(seconds));
  return true;
}

boost::posix_time::ptime clamped_utc_time(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds > kLastSecond) seconds = kLastSecond;
  const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
  return epoch + boost::posix_time::seconds(static_cast<long>(seconds));
}

boost::posix_time::ptime utc_now() { return boost::posix_time::second_clock::universal_time(); }

}  // namespace detail
}  // namespace qelhttp
