#pragma once
// The name/value pairs the client carries: a caller's request options and headers, what a request actually
// used, and the headers of a response. Pairs keep their order; duplicates are allowed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qelhttp {

// Option keys. The first six steer the request writer and never go on the wire.
namespace http_options {
extern const char request_method[];  // "_request_method"
extern const char http_version[];    // "_http_version"
extern const char request_body[];    // "_request_body"
extern const char status_code[];     // "_status_code"
extern const char path[];            // "_path"
extern const char url[];             // "_url"
extern const char host[];
extern const char accept[];
extern const char range[];
extern const char cookie[];
extern const char referer[];
extern const char user_agent[];
extern const char content_type[];
extern const char content_length[];
extern const char content_range[];
extern const char connection[];
extern const char proxy_connection[];
extern const char accept_encoding[];
extern const char transfer_encoding[];
extern const char content_encoding[];
}  // namespace http_options

class request_opts {
 public:
  typedef std::vector<std::pair<std::string, std::string>> option_list;

  // Appends; an earlier pair of the same name stays.
  void insert(const std::string& name, const std::string& value);
  // Removes the first pair whose name is exactly name (case-sensitive).
  void remove(const std::string& name);
  // The value of the first pair whose name equals name without regard to case; value is untouched
  // when there is none.
  bool find(const std::string& name, std::string& value) const;
  std::string find(const std::string& name) const;
  void clear() { options_.clear(); }
  const option_list& options() const { return options_; }

  // Set on a stream's options: a request completes with "Fake continue" once written, reading nothing.
  bool fake_continue = false;

 private:
  option_list options_;
};

namespace detail {

bool iequals(const std::string& a, const std::string& b);
// Every decimal number of an answer's head is read digit by digit through this: value = value * 10 +
// digit, refused (false, value untouched) when the result would pass 2^63 - 1. The test comes before the
// multiplication, so no number of any length can wrap to a small one.
bool add_digit(uint64_t& value, char digit);
// text[begin, end) as decimal digits only: false when it is empty, holds any other byte or passes 63 bits.
bool read_decimal(const std::string& text, size_t begin, size_t end, int64_t& value);
// A header's leading decimal number (white space and a sign allowed, 0 without digits). False when its
// digits pass 63 bits.
bool read_length(const std::string& text, int64_t& value);
// A Content-Length value: digits, or a list of the same number repeated. False for anything else (a sign,
// "0x", junk, an empty value, numbers that differ) and for a length past 63 bits. The one reader of the
// field: the stream frames by it and the download takes the file's size from it.
bool parse_content_length(const std::string& text, uint64_t& length);
// Takes what the stream keeps from one response header; false when a Content-Length is not one, or a
// Content-Range total passes 63 bits.
bool take_header_field(const std::string& name, const std::string& value, std::string& content_type,
                       int64_t& content_length, std::string& location);
void write_string(const std::string& text, char*& cursor);

}  // namespace detail
}  // namespace qelhttp
