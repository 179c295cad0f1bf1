#pragma once
// HTTP dates as they appear in a cookie's "expires" attribute: the RFC 1123, RFC 850 and asctime forms and
// the looser variants servers write (numeric zones, zone names, YYYYMMDD).
//
// Nothing here throws: every date that cannot be represented (a year before 1970 or after 9999, a sum of
// out-of-range fields past the end of year 9999) is a failed parse.
#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>

namespace qelhttp {
namespace detail {

// Seconds since 1970-01-01 00:00:00 UTC of a calendar time. `month` counts from 0 and may lie outside
// 0-11 (it then moves the year); day, hour, minute and second are not range-checked: they simply add up.
int64_t utc_mktime(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second);

// Text to seconds since 1970 UTC; false when the text is no date this parser accepts.
bool parse_date_fields(const std::string& text, int64_t& seconds);

// Text to a UTC date-time at one-second resolution; `out` is untouched on failure.
bool parse_http_date(const std::string& text, boost::posix_time::ptime& out);

// Seconds since 1970 to a date-time, clamped to 1970-01-01 00:00:00 ... 9999-12-31 23:59:59.
boost::posix_time::ptime clamped_utc_time(int64_t seconds);

// The current UTC time, whole seconds.
boost::posix_time::ptime utc_now();

}  // namespace detail
}  // namespace qelhttp
