// Set-Cookie parsing, the jar's merge rules and the Cookie value, and HTTP date parsing with its hostile
// forms (years past 9999, huge numeric expiries). How the stream feeds the jar is tested with the stream.
#include "qelhttp/cookies.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

namespace {

namespace pt = boost::posix_time;
using qelhttp::cookies;
using qelhttp::http_cookie;

const pt::ptime kNow = pt::time_from_string("2026-01-01 12:00:00");

pt::ptime FromEpoch(int64_t seconds) {
  return pt::ptime(boost::gregorian::date(1970, 1, 1)) + pt::seconds(static_cast<long>(seconds));
}

TEST(HttpDate, AcceptedFormsGiveUtcSeconds) {
  const struct {
    const char* text;
    int64_t seconds;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},   // RFC 1123
      {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},  // RFC 850
      {"Sun Nov  6 08:49:37 1994", 784111777},        // asctime
      {"sun, 06 nov 1994 08:49:37 gmt", 784111777},
      {"Sun, 06 Nov 1994 08:49:37 +0800", 784111777 - 8 * 3600},
      {"Sun, 06 Nov 1994 08:49:37 -0130", 784111777 + 90 * 60},
      {"Sun, 06 Nov 1994 08:49:37 EST", 784111777 + 5 * 3600},
      {"Sun, 06 Nov 1994 08:49:37 CEST", 784111777 - 2 * 3600},
      {"Sun, 06 Nov 1994 08:49:37 Z", 784111777},
      {"Sun, 06 Nov 1994 08:49 GMT", 784111740},
      {"06 Nov 1994 8:4:3", 784109043},  // short clock at the very end of the text
      {"Thu, 01 Jan 70 00:00:00 GMT", 3155760000},  // two-digit 70 is 2070 ...
      {"01 Jan 71", 31536000},                      // ... and 71 is 1971
      {"19941106", 784080000},
      {"20000229 12:00", 951825600},
      {"19940006", 755136000},  // month 00 carries back into December of the year before
      {"19941301", 788918400},  // month 13 carries into January of the next year
      {"2001 Jan 5", 978652800},
      {"01 Jan 2001 25:61:61", 978307200 + 25 * 3600 + 61 * 60 + 61},  // fields are not range-checked
      {"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799},
      {"Mon, 01 Jan 2001 00:00:00 GMT Foo", 978307200},  // only six tokens are read
  };
  for (const auto& c : cases) {
    int64_t seconds = -1;
    EXPECT_TRUE(qelhttp::detail::parse_date_fields(c.text, seconds)) << c.text;
    EXPECT_EQ(seconds, c.seconds) << c.text;
    pt::ptime when;
    ASSERT_TRUE(qelhttp::detail::parse_http_date(c.text, when)) << c.text;
    EXPECT_EQ(when, FromEpoch(c.seconds)) << c.text;
  }
}

TEST(HttpDate, RefusedForms) {
  const char* const cases[] = {
      "",
      "06 November 1994 08:49:37 GMT",  // month names are three letters
      "Wed, 31 Dec 1969 23:59:59 GMT",  // before 1970
      "Sat, 01 Jan 99999 00:00:00 GMT",  // the date-time type ends with 9999
      "01 Jan 99999999999999999999999",
      "Fri, 31 Dec 9999 23:59:59 EST",  // past the last representable second
      "01 Jan 2001 GMT UTC",            // a second zone
      "01 Jan 2001 Foo",
      "Jan 2001",
      "06 Nov",
      "1 2 Jan 2001",  // two years
      "Sun, 06 Nov 1994 08:49:37 GMTXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX",
  };
  for (const char* text : cases) {
    int64_t seconds = 7;
    EXPECT_FALSE(qelhttp::detail::parse_date_fields(text, seconds)) << text;
    pt::ptime when;
    EXPECT_FALSE(qelhttp::detail::parse_http_date(text, when)) << text;
    EXPECT_TRUE(when.is_not_a_date_time()) << text;
  }
}

using TPairs = std::vector<std::pair<std::string, std::string>>;

TPairs Pairs(const cookies::list_type& list) {
  TPairs out;
  for (const http_cookie& c : list) out.emplace_back(c.name, c.value);
  return out;
}

TEST(SetCookie, NamesValuesAndRefusals) {
  const struct {
    std::string text;
    bool ok;
    TPairs pairs;
  } cases[] = {
      {"a=1; b=2; path=/x", true, {{"a", "1"}, {"b", "2"}}},
      {"a=1; bogus", true, {{"a", "1"}}},
      {"a=1; bogus; b=2", false, {}},
      {"stray a=1", true, {{"a", "1"}}},
      {"a=\"x; y\"; b=2", true, {{"a", "\"x; y\""}, {"b", "2"}}},
      {"a='q'", true, {{"a", "'q'"}}},
      {"a=x\"b=2", true, {{"a", "x"}, {"b", "2"}}},
      {"n\xC3\xA9=1", true, {{"n", "1"}}},
      {"a=\xC3\xA9", false, {}},
      {"\xC3" "a=1", false, {}},
      {"a=1; a=2", true, {{"a", "2"}}},
      {"a=1; Max-Age=60; Version=1", true, {{"Max-Age", "60"}, {"Version", "1"}, {"a", "1"}}},
      {"a=", true, {}},
      {"a=\"open", true, {}},
      {"a=;b=1", true, {{"a", ""}, {"b", "1"}}},
      {"", true, {}},
      // Control bytes would carry into the Cookie line of the next request.
      {"a=1\r\nX-Injected: 1", false, {}},
      {"a=1\nb=2", false, {}},
      {std::string("a=1\0b", 5), false, {}},
      {"a\x7F=1", false, {}},
      {"a=\"x\ry\"", false, {}},
  };
  for (const auto& c : cases) {
    cookies::list_type list;
    EXPECT_EQ(cookies::parse_set_cookie(c.text, list, kNow), c.ok) << c.text;
    EXPECT_EQ(Pairs(list), c.pairs) << c.text;
  }
}

TEST(SetCookie, AttributesAndFlagsApplyToEveryCookieOfTheHeader) {
  cookies::list_type list;
  ASSERT_TRUE(cookies::parse_set_cookie(
      "a=1; b=2; Domain=example.com; PATH=/p; secure; HttpOnly; expires=Sun, 06 Nov 1994 08:49:37 GMT", list,
      kNow));
  ASSERT_EQ(list.size(), 2u);
  for (const http_cookie& c : list) {
    EXPECT_EQ(c.domain, "example.com");
    EXPECT_EQ(c.path, "/p");
    EXPECT_TRUE(c.secure);
    EXPECT_TRUE(c.httponly);
    EXPECT_EQ(c.expires, FromEpoch(784111777));
  }
}

TEST(SetCookie, ExpiresAsDateNumberOrNothing) {
  const pt::ptime first = FromEpoch(0);
  const struct {
    const char* expires;
    pt::ptime want;
  } cases[] = {
      {"3600", kNow + pt::hours(1)},
      {" +60", kNow + pt::minutes(1)},
      {"-1", kNow - pt::seconds(1)},
      {"Wed, 31 Dec 1969 23:59:59 GMT", pt::ptime()},
      {"Sat, 01 Jan 99999 00:00:00 GMT", pt::ptime()},
      {"soon", pt::ptime()},
      // Read as a 32-bit number, saturating; the result stays inside the date-time type.
      {"2147483647", kNow + pt::seconds(2147483647L)},
      {"9223372036854775807", kNow + pt::seconds(2147483647L)},
      {"99999999999999999999999999", kNow + pt::seconds(2147483647L)},
      {"-9223372036854775808", first},
  };
  for (const auto& c : cases) {
    cookies::list_type list;
    ASSERT_TRUE(cookies::parse_set_cookie(std::string("a=1; expires=") + c.expires, list, kNow)) << c.expires;
    ASSERT_EQ(list.size(), 1u) << c.expires;
    EXPECT_EQ(list[0].expires, c.want) << c.expires;
  }
}

std::string HeaderAfter(const std::vector<std::string>& set_cookies, bool secure = false) {
  cookies jar;
  for (const std::string& value : set_cookies) jar.add_set_cookie(value, kNow);
  return jar.cookie_header(secure, kNow);
}

TEST(CookieHeader, MergeRules) {
  const struct {
    std::vector<std::string> set_cookies;
    std::string header;
  } cases[] = {
      {{"a=1", "a=2"}, "a=1"},
      {{"a=1; expires=Tue, 01 Jan 2030 00:00:00 GMT", "a=2; expires=Wed, 01 Jan 2031 00:00:00 GMT"}, "a=1; a=2"},
      {{"a=1; expires=Wed, 01 Jan 2031 00:00:00 GMT", "a=2; expires=Tue, 01 Jan 2030 00:00:00 GMT"}, "a=2; a=1"},
      {{"a=1; expires=Tue, 01 Jan 2030 00:00:00 GMT", "a=2"}, "a=1; a=2"},
      {{"a=1; path=/x", "a=2; path=/y"}, "a=1; a=2"},
      {{"a=;", "a=1"}, "a=1"},
      {{"a=1", "a=;"}, "a=1"},
      {{"a=1; secure", "b=2"}, "b=2"},
      {{"a=1; expires=-1", "b=2"}, "b=2"},
      {{"a=1; expires=Sun, 06 Nov 1994 08:49:37 GMT"}, ""},
      {{"a=1; bad; ", "b=\xC3"}, ""},
      {{}, ""},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& s : c.set_cookies) joined += "[" + s + "]";
    EXPECT_EQ(HeaderAfter(c.set_cookies), c.header) << joined;
  }
  EXPECT_EQ(HeaderAfter({"a=1; secure", "b=2"}, true), "a=1; b=2");
}

TEST(CookieHeader, JarKeepsEverythingItWasGiven) {
  cookies jar;
  jar.add_set_cookie("a=1", kNow);
  jar.add_set_cookie("a=2", kNow);
  jar.add_set_cookie("b=3; expires=-1", kNow);
  jar.add_set_cookie("c=4; nope; d=5", kNow);
  ASSERT_EQ(jar.items().size(), 3u);
  EXPECT_EQ(jar.items()[1].value, "2");
  EXPECT_EQ(jar.merge().size(), 2u);
  EXPECT_EQ(jar.cookie_header(false, kNow), "a=1");
}

TEST(CookieHeader, IndexedMergeAgreesWithKeepInMerge) {
  // merge() decides with indexes; replaying keep_in_merge over the same sorted order must keep the same.
  cookies jar;
  const char* const headers[] = {"a=1; path=/x", "a=", "a=2", "b=; path=/", "b=3; path=/",
                                 "a=4; expires=Tue, 01 Jan 2030 00:00:00 GMT", "c=5; domain=d", "c=6",
                                 "a=7; expires=Tue, 01 Jan 2030 00:00:00 GMT", "a=8; expires=3600", "b=9"};
  for (const char* h : headers) jar.add_set_cookie(h, kNow);
  cookies::list_type sorted = jar.items();
  std::stable_sort(sorted.begin(), sorted.end(), [](const http_cookie& a, const http_cookie& b) {
    return !a.expires.is_not_a_date_time() && (b.expires.is_not_a_date_time() || a.expires < b.expires);
  });
  cookies::list_type replay;
  for (const http_cookie& c : sorted) {
    if (cookies::keep_in_merge(replay, c)) replay.push_back(c);
  }
  EXPECT_EQ(Pairs(jar.merge()), Pairs(replay));
  // The first "a" (dated 2026) is earlier than every later "a", so all of them are kept; the empty "b" is
  // kept in the merge but never sent.
  EXPECT_EQ(jar.cookie_header(false, kNow), "a=8; a=4; a=7; a=1; a=2; b=3; c=5; c=6; b=9");
}

TEST(CookieHeader, ManyCookiesFromOneHostileHeader) {
  std::string header;
  const int count = 60000;
  for (int i = 0; i < count; ++i) header += "n" + std::to_string(i) + "=v;";
  cookies jar;
  jar.add_set_cookie(header, kNow);
  jar.add_set_cookie(header, kNow);  // every name twice: the later copies are not sent
  ASSERT_EQ(jar.items().size(), 2u * count);
  const std::string sent = jar.cookie_header(false, kNow);
  EXPECT_EQ(static_cast<int>(std::count(sent.begin(), sent.end(), '=')), count);
}

}  // namespace
