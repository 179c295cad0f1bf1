#pragma once
// The parsed form of an absolute URL, its rendering, and the small text routines that prepare URL text
// (code page to UTF-8, percent-escaping).
//
// The parser splits text; it does not judge it: the host is not validated and the path is kept exactly as
// written (escapes neither decoded nor checked). Whoever puts a url on the wire must refuse CR, LF and the
// other control bytes itself.
//
// Thread safety: a url is a plain value; distinct objects may be used from distinct threads.
#include <string>

#include <boost/system/error_code.hpp>

namespace qelhttp {

class url {
 public:
  // Bits of the to_string mask, in the order the components are appended.
  enum component {
    protocol_component = 1,   // protocol + "://"
    user_info_component = 2,  // user_info + "@"
    host_component = 4,       // host, in "[" "]" for an IPv6 literal
    port_component = 8,       // ":" + port
    path_component = 16,
    query_component = 32,     // "?" + query
    fragment_component = 64,  // "#" + fragment
    host_and_port = host_component | port_component,                               // 12: the Host value
    request_target = path_component | query_component | fragment_component,        // 112
    all_components = 127,
  };

  url() = default;

  // Parse; a text that is no absolute URL raises boost::system::system_error with the generic
  // invalid-argument code (22).
  static url from_string(const char* text);
  static url from_string(const std::string& text);
  // Parse without raising: on failure `ec` is generic 22 and an empty url is returned; on success `ec` is
  // cleared.
  static url from_string(const char* text, boost::system::error_code& ec);
  static url from_string(const std::string& text, boost::system::error_code& ec);

  std::string to_string(int mask = all_components) const;

  // The port as a number: the written port when there is one, else 80 for "http", 443 for "https", 21 for
  // "ftp", 0 for any other scheme. A written port too large for an int gives INT_MAX, which is no usable
  // port; callers that connect must refuse 0 and anything above 65535.
  int port() const;

  const std::string& protocol() const { return protocol_; }    // lower-cased scheme
  const std::string& user_info() const { return user_info_; }  // "user" or "user:password"
  const std::string& host() const { return host_; }            // without brackets for IPv6
  const std::string& port_string() const { return port_; }     // as written, digits only; may be empty
  const std::string& path() const { return path_; }            // never empty after a successful parse
  const std::string& query() const { return query_; }          // without "?"
  const std::string& fragment() const { return fragment_; }    // without "#"
  bool ipv6() const { return ipv6_; }

 private:
  bool parse(const std::string& text);

  std::string protocol_;
  std::string user_info_;
  std::string host_;
  std::string port_;
  std::string path_;
  std::string query_;
  std::string fragment_;
  bool ipv6_ = false;
};

// The raising parse, for callers that build a URL from their own text.
url make_url(const char* text);

namespace detail {

// Multibyte text of the process's current LC_CTYPE locale to wide text; stops at the first byte sequence
// that does not convert (or a NUL) and returns what was converted before it. `complete`, when given, tells
// whether the whole text converted.
std::wstring ansi_to_wide(const std::string& text, bool* complete = nullptr);
// Wide text (UTF-32, or UTF-16 units with surrogate pairs) to UTF-8. Lone surrogates are dropped.
std::string to_utf8(const std::wstring& text);
std::string ansi_to_utf8(const std::string& text);
// As above, but a text that does not convert entirely is an error (generic 22) rather than a silently
// shortened URL; the result is then empty.
std::string ansi_to_utf8(const std::string& text, boost::system::error_code& ec);

// Space, "^", "`", "{", "|" and "}": escaped in URLs and refused in response header names.
bool is_unsafe_char(int c);
// Two lower-case hexadecimal digits per byte, high nibble first.
std::string to_hex(const std::string& bytes);
// Percent-escapes bytes of 0x80 and above, the unsafe characters, and the control bytes 0x00-0x1F and
// 0x7F; everything else (also "%", so existing escapes survive) is copied unchanged.
std::string escape_url(const std::string& text);

}  // namespace detail
}  // namespace qelhttp
