#include "qelhttp/request_opts.hpp"

#include <cctype>
#include <cstring>
#include <limits>
#include <locale>

namespace qelhttp {

namespace http_options {
const char request_method[] = "_request_method";
const char http_version[] = "_http_version";
const char request_body[] = "_request_body";
const char status_code[] = "_status_code";
const char path[] = "_path";
const char url[] = "_url";
const char host[] = "Host";
const char accept[] = "Accept";
const char range[] = "Range";
const char cookie[] = "Cookie";
const char referer[] = "Referer";
const char user_agent[] = "User-Agent";
const char content_type[] = "Content-Type";
const char content_length[] = "Content-Length";
const char content_range[] = "Content-Range";
const char connection[] = "Connection";
const char proxy_connection[] = "Proxy-Connection";
const char accept_encoding[] = "Accept-Encoding";
const char transfer_encoding[] = "Transfer-Encoding";
const char content_encoding[] = "Content-Encoding";
}  // namespace http_options

namespace {

std::string Lower(const std::string& text) {
  const std::ctype<char>& facet = std::use_facet<std::ctype<char>>(std::locale());
  std::string lowered = text;
  for (char& c : lowered) c = facet.tolower(c);
  return lowered;
}

}  // namespace

void request_opts::insert(const std::string& name, const std::string& value) { options_.emplace_back(name, value); }

void request_opts::remove(const std::string& name) {
  for (auto it = options_.begin(); it != options_.end(); ++it) {
    if (it->first == name) {
      options_.erase(it);
      return;
    }
  }
}

bool request_opts::find(const std::string& name, std::string& value) const {
  std::string key = Lower(name);
  for (const auto& option : options_) {
    if (Lower(option.first) == key) {
      value = option.second;
      return true;
    }
  }
  return false;
}

std::string request_opts::find(const std::string& name) const {
  std::string value;
  find(name, value);
  return value;
}

namespace detail {

bool iequals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool add_digit(uint64_t& value, char digit) {
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  const uint64_t d = static_cast<uint64_t>(digit - '0');
  if (value > (limit - d) / 10) return false;
  value = value * 10 + d;
  return true;
}

bool read_decimal(const std::string& text, size_t begin, size_t end, int64_t& value) {
  if (begin >= end || end > text.size()) return false;
  uint64_t number = 0;
  for (size_t i = begin; i < end; ++i) {
    if (!isdigit(static_cast<unsigned char>(text[i])) || !add_digit(number, text[i])) return false;
  }
  value = static_cast<int64_t>(number);
  return true;
}

bool read_length(const std::string& text, int64_t& value) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint64_t magnitude = 0;
  for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (!add_digit(magnitude, text[i])) return false;
  }
  value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool parse_content_length(const std::string& text, uint64_t& length) {
  bool seen = false;
  size_t i = 0;
  for (;;) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    uint64_t value = 0;
    const size_t first = i;
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
      if (!add_digit(value, text[i])) return false;
    }
    if (i == first || (seen && value != length)) return false;
    length = value;
    seen = true;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size()) return true;
    if (text[i++] != ',') return false;
  }
}

bool take_header_field(const std::string& name, const std::string& value, std::string& content_type,
                       int64_t& content_length, std::string& location) {
  int64_t number = 0;
  if (iequals(name, http_options::content_type)) {
    content_type = value;
  } else if (iequals(name, http_options::content_length)) {
    uint64_t length = 0;
    if (!parse_content_length(value, length)) return false;
    number = static_cast<int64_t>(length);
    if (number > content_length) content_length = number;
  } else if (iequals(name, "Location")) {
    location = value;
  } else if (iequals(name, http_options::content_range)) {
    size_t slash = value.find('/');
    if (slash == std::string::npos || slash + 1 == value.size()) return true;
    if (!read_length(value.substr(slash + 1), number)) return false;
    if (number > content_length) content_length = number;
  }
  return true;
}

void write_string(const std::string& text, char*& cursor) {
  memcpy(cursor, text.data(), text.size());
  cursor += text.size();
}

}  // namespace detail
}  // namespace qelhttp
