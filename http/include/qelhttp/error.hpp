#pragma once
// The "HTTP" error category of the client: every failure the client itself detects, and every HTTP status
// that ends a request unsuccessfully, travels as a boost::system::error_code of this category. Socket and
// resolver failures keep their own Asio/system categories.
//
// Thread safety: the category object is immutable once built; its creation on first use is guarded by the
// language's thread-safe static initialisation, so any thread may make error values at any time.
#include <string>

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

namespace qelhttp {

// Values of the "HTTP" category. An HTTP status is used as a value unchanged, so any status number (named
// below or not) can be passed to make_error_code.
enum class errc : int {
  malformed_status_line = 1,
  malformed_response_headers = 2,
  invalid_entry_type = 10,  // typed access to a bencode entry of another type
  invalid_chunked_encoding = 11,
  invalid_redirect = 12,  // a Location value that does not parse as a URL
  truncated_body = 13,    // the connection ended before the body had the length its head gave

  continue_request = 100,
  switching_protocols = 101,
  ok = 200,
  created = 201,
  accepted = 202,
  non_authoritative_information = 203,
  no_content = 204,
  reset_content = 205,
  partial_content = 206,
  multiple_choices = 300,
  moved_permanently = 301,
  found = 302,
  see_other = 303,
  not_modified = 304,
  use_proxy = 305,
  temporary_redirect = 307,
  bad_request = 400,
  unauthorized = 401,
  payment_required = 402,
  forbidden = 403,
  not_found = 404,
  method_not_allowed = 405,
  not_acceptable = 406,
  proxy_authentication_required = 407,
  request_timeout = 408,
  conflict = 409,
  gone = 410,
  length_required = 411,
  precondition_failed = 412,
  request_entity_too_large = 413,
  request_uri_too_large = 414,
  unsupported_media_type = 415,
  requested_range_not_satisfiable = 416,
  expectation_failed = 417,
  internal_server_error = 500,
  not_implemented = 501,
  bad_gateway = 502,
  service_unavailable = 503,
  gateway_timeout = 504,
  http_version_not_supported = 505,

  socks_unsupported_version = 1000,
  socks_username_required = 1001,
  socks_unsupported_authentication_version = 1002,
  socks_authentication_error = 1003,
  socks_general_failure = 1004,
  socks_command_not_supported = 1005,
  socks_no_identd = 1006,
  socks_identd_error = 1007,
  fake_continue = 1008,  // the request was only written, as its options asked
};

namespace detail {

class error_category_impl : public boost::system::error_category {
 public:
  const char* name() const noexcept override;
  std::string message(int value) const override;
  // 401 and 403 mean permission denied, 404 no such file; everything else stays in this category.
  boost::system::error_condition default_error_condition(int value) const noexcept override;
};

}  // namespace detail

// The one category object of the process, built on first use and destroyed at exit.
const boost::system::error_category& error_category();

boost::system::error_code make_error_code(int value);
boost::system::error_code make_error_code(errc value);

// True when `ec` belongs to the "HTTP" category.
bool is_http_error(const boost::system::error_code& ec);

}  // namespace qelhttp

namespace boost {
namespace system {
template <>
struct is_error_code_enum<qelhttp::errc> {
  static const bool value = true;
};
}  // namespace system
}  // namespace boost
