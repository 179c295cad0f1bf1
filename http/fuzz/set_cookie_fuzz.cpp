// Drives Set-Cookie parsing (with its HTTP dates) and the Cookie value with arbitrary bytes: nothing may
// crash or throw, and no control byte other than tab may ever reach the Cookie line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "qelhttp/cookies.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const boost::posix_time::ptime now(boost::gregorian::date(2026, 1, 1));

  // The input as one header, and split at NUL bytes into several headers of one response.
  qelhttp::cookies jar;
  jar.add_set_cookie(text, now);
  std::string::size_type start = 0;
  for (std::string::size_type i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\0') {
      jar.add_set_cookie(text.substr(start, i - start), now);
      start = i + 1;
    }
  }
  for (bool secure : {false, true}) {
    const std::string header = jar.cookie_header(secure, now);
    for (unsigned char c : header) {
      if ((c < 0x20 && c != '\t') || c == 0x7F) std::abort();
    }
  }

  boost::posix_time::ptime when;
  int64_t seconds = 0;
  const bool parsed = qelhttp::detail::parse_http_date(text, when);
  if (parsed != qelhttp::detail::parse_date_fields(text, seconds)) std::abort();
  return 0;
}
