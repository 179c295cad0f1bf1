// Drives the URL parser and the text routines with arbitrary bytes: nothing may crash or read out of
// bounds, and a parsed URL must render back to text that parses again to the same components.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qelhttp/url.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  boost::system::error_code ec;
  const qelhttp::url parsed = qelhttp::url::from_string(text, ec);
  if (!ec) {
    (void)parsed.port();
    const std::string whole = parsed.to_string(qelhttp::url::all_components);
    (void)parsed.to_string(qelhttp::url::host_and_port);
    (void)parsed.to_string(qelhttp::url::request_target);
    // Rendering with a scheme must give text that parses to the same record. A host holding "@" (only
    // possible after user info) cannot round-trip once the user info is empty, and is left out.
    if (!parsed.protocol().empty() && parsed.host().find('@') == std::string::npos) {
      boost::system::error_code again_ec;
      const qelhttp::url again = qelhttp::url::from_string(whole, again_ec);
      if (again_ec || again.to_string() != whole) std::abort();
    }
  }
  const std::string escaped = qelhttp::detail::escape_url(text);
  for (unsigned char c : escaped) {
    if (c < 0x20 || c >= 0x7F) std::abort();
  }
  (void)qelhttp::detail::ansi_to_utf8(text);
  return 0;
}
