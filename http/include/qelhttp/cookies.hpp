#pragma once
// A stream's cookie jar: every Set-Cookie of its responses, kept in arrival order, and the value of the
// Cookie line of its requests.
//
// The jar never replaces or removes a cookie; which of several cookies of one name is sent is decided when
// the Cookie value is built (merge). Domain and path are kept but not matched against the request: the jar
// belongs to one stream and goes wherever that stream goes, redirects included.
//
// Thread safety: none; a jar belongs to one stream, driven by one thread at a time.
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "qelhttp/http_date.hpp"

namespace qelhttp {

struct http_cookie {
  std::string name;   // as written, case kept
  std::string value;  // a quoted value keeps its quotes
  std::string domain;
  std::string path;
  boost::posix_time::ptime expires;  // not_a_date_time: no expiry
  bool httponly = false;
  bool secure = false;
};

class cookies {
 public:
  using list_type = std::vector<http_cookie>;

  // Parses one Set-Cookie value and appends its cookies; a value that does not parse adds nothing.
  void add_set_cookie(const std::string& header_value);
  void add_set_cookie(const std::string& header_value, const boost::posix_time::ptime& now);

  // One Set-Cookie value to its cookies (several when it names several pairs). False, with `list` left
  // empty, for a value that is refused: a high byte where no name is being collected or inside a value, a
  // control byte anywhere (CR, LF and NUL would otherwise reach the Cookie line of the next request), or a
  // flag word other than "secure" and "httponly" followed by ";". `now` is the base of a numeric expiry.
  static bool parse_set_cookie(const std::string& header_value, list_type& list);
  static bool parse_set_cookie(const std::string& header_value, list_type& list,
                               const boost::posix_time::ptime& now);

  // The value of the Cookie line, empty when nothing is to be sent. Secure cookies only go over a secure
  // connection; cookies with an empty value or an expiry before `now` are never sent.
  std::string cookie_header(bool secure_connection) const;
  std::string cookie_header(bool secure_connection, const boost::posix_time::ptime& now) const;

  // The jar sorted by expiry (earliest first, no expiry last, arrival order among equals) and
  // de-duplicated by keep_in_merge.
  list_type merge() const;

  // First cookie of `list` with this name, or end.
  static list_type::const_iterator find_name(const list_type& list, const std::string& name);
  // First cookie of `list` with the same name, domain and path, or end.
  static list_type::const_iterator find_same(const list_type& list, const http_cookie& cookie);
  // Whether `candidate` joins the merged list built so far.
  static bool keep_in_merge(const list_type& merged, const http_cookie& candidate);

  const list_type& items() const { return jar_; }
  bool empty() const { return jar_.empty(); }
  void clear() { jar_.clear(); }

 private:
  list_type jar_;
};

}  // namespace qelhttp
