// The "HTTP" error category: texts of every value, the three generic conditions, identity of the category.
// What produces these values (status parsing, SOCKS, chunking) is tested with those producers.
#include "qelhttp/error.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace sys = boost::system;

TEST(HttpErrorCategory, MessagesOfClientErrorsStatusesAndUnknownValues) {
  const struct {
    int value;
    const char* text;
  } cases[] = {
      {1, "Malformed status line"},
      {2, "Malformed response headers"},
      {10, "invalid type requested from entry"},
      {11, "Invalid chunked encoding"},
      {12, "Invalid redirect address"},
      {100, "Continue"},
      {203, "Non-authoritative information"},
      {206, "Partial content"},
      {307, "Temporary redirect"},
      {404, "Not found"},
      {407, "Proxy authentication required"},
      {408, "Request time-out"},
      {414, "Request URI too large"},
      {416, "Requested range not satisfiable"},
      {504, "Gateway time-out"},
      {505, "HTTP version not supported"},
      {1000, "SOCKS unsupported version"},
      {1006, "SOCKS no identd running"},
      {1007, "SOCKS no identd running"},
      {1008, "Fake continue"},
      // Not in the tables: statuses that exist but are not named, and values around the ranges.
      {0, "Unknown HTTP error"},
      {-1, "Unknown HTTP error"},
      {102, "Unknown HTTP error"},
      {207, "Unknown HTTP error"},
      {306, "Unknown HTTP error"},
      {418, "Unknown HTTP error"},
      {506, "Unknown HTTP error"},
      {999, "Unknown HTTP error"},
      {1009, "Unknown HTTP error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qelhttp::make_error_code(c.value).message(), c.text) << c.value;
  }
}

TEST(HttpErrorCategory, EveryNamedStatusHasItsOwnText) {
  const int statuses[] = {100, 101, 200, 201, 202, 203, 204, 205, 206, 300, 301, 302, 303, 304, 305,
                          307, 400, 401, 402, 403, 404, 405, 406, 407, 408, 409, 410, 411, 412, 413,
                          414, 415, 416, 417, 500, 501, 502, 503, 504, 505};
  std::vector<std::string> seen;
  for (int status : statuses) {
    const std::string text = qelhttp::make_error_code(status).message();
    EXPECT_NE(text, "Unknown HTTP error") << status;
    seen.push_back(text);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end()) << "two statuses share a text";
}

TEST(HttpErrorCategory, DefaultConditions) {
  EXPECT_EQ(qelhttp::make_error_code(401), sys::errc::permission_denied);
  EXPECT_EQ(qelhttp::make_error_code(403), sys::errc::permission_denied);
  EXPECT_EQ(qelhttp::make_error_code(404), sys::errc::no_such_file_or_directory);
  const sys::error_condition c405 = qelhttp::make_error_code(405).default_error_condition();
  EXPECT_EQ(c405.value(), 405);
  EXPECT_EQ(&c405.category(), &qelhttp::error_category());
  EXPECT_NE(qelhttp::make_error_code(405), sys::errc::permission_denied);
}

TEST(HttpErrorCategory, IdentityAndComparison) {
  EXPECT_STREQ(qelhttp::error_category().name(), "HTTP");
  EXPECT_EQ(qelhttp::make_error_code(404), qelhttp::make_error_code(404));
  EXPECT_EQ(qelhttp::make_error_code(404), qelhttp::errc::not_found);
  EXPECT_EQ(qelhttp::make_error_code(qelhttp::errc::fake_continue).value(), 1008);
  EXPECT_NE(qelhttp::make_error_code(2), sys::error_code(2, sys::system_category()));
  EXPECT_NE(qelhttp::make_error_code(2), sys::error_code(2, sys::generic_category()));
  EXPECT_TRUE(qelhttp::is_http_error(qelhttp::make_error_code(12)));
  EXPECT_FALSE(qelhttp::is_http_error(sys::error_code(12, sys::system_category())));
  EXPECT_EQ(sys::system_error(qelhttp::make_error_code(10)).code().value(), 10);
}

}  // namespace
