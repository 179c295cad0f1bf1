#include "qelhttp/http_parsers.hpp"

#include <cctype>

namespace qelhttp {
namespace detail {

namespace {

const int kMaxStatusDigits = 3;
const int kMaxVersionDigits = 3;

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool IsNameChar(unsigned char c) {
  return c >= 0x21 && c <= 0x7E && c != '^' && c != '`' && c != '{' && c != '|' && c != '}';
}

std::string Trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = text.find_last_not_of(" \t");
  return text.substr(b, e - b + 1);
}

// Adds a digit to a number of at most `limit` digits; false when the number grows past it.
bool AddDigit(int& number, int& digits, char c, int limit) {
  if (++digits > limit) return false;
  number = number * 10 + (c - '0');
  return true;
}

}  // namespace

bool parse_http_status_line(const char* begin, const char* end, int& major, int& minor, int& status,
                            size_t* consumed) {
  static const char kPrefix[] = "HTTP/";
  const char* p = begin;
  for (int i = 0; i < 5; ++i, ++p) {
    if (p == end || *p != kPrefix[i]) return false;
  }
  int digits = 0;
  auto number = [&](int& value, char stop, int limit) {
    digits = 0;
    if (p == end || !isdigit(static_cast<unsigned char>(*p))) return false;
    for (; p != end && isdigit(static_cast<unsigned char>(*p)); ++p) {
      if (!AddDigit(value, digits, *p, limit)) return false;
    }
    if (p == end || *p != stop) return false;
    ++p;
    return true;
  };
  if (!number(major, '.', kMaxVersionDigits) || !number(minor, ' ', kMaxVersionDigits)) return false;
  if (!number(status, ' ', kMaxStatusDigits) || digits != kMaxStatusDigits) return false;
  for (; p != end && *p != '\r'; ++p) {
    if (IsControl(static_cast<unsigned char>(*p))) return false;
  }
  if (p == end || ++p == end || *p != '\n') return false;
  if (consumed) *consumed = static_cast<size_t>(p + 1 - begin);
  return true;
}

bool parse_http_headers(int64_t& content_length, std::string& location, std::string& content_type,
                        const char* begin, const char* end, request_opts& response) {
  enum State { first_line, name, value_start, value, line_lf, next_line, continuation, final_lf };
  State state = first_line;
  std::string pending_name;
  std::string pending_value;
  bool pending = false;
  auto commit = [&]() {
    if (!pending) return true;
    pending = false;
    std::string n = Trim(pending_name);
    std::string v = Trim(pending_value);
    if (!take_header_field(n, v, content_type, content_length, location)) return false;
    response.insert(n, v);
    return true;
  };
  auto start_name = [&](char c) {
    pending_name.assign(1, c);
    pending_value.clear();
    pending = true;
  };
  for (const char* p = begin; p != end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    switch (state) {
      case first_line:
        if (c == '\r') {
          state = final_lf;
        } else if (IsNameChar(c)) {
          start_name(*p);
          state = name;
        } else {
          return false;
        }
        break;
      case name:
        if (c == ':') {
          state = value_start;
        } else if (IsNameChar(c)) {
          pending_name.push_back(*p);
        } else {
          return false;
        }
        break;
      case value_start:
      case value:
        if (c == '\r') {
          state = line_lf;
        } else if (c == '\n' && state == value) {
          state = next_line;
        } else if (IsControl(c)) {
          return false;
        } else {
          pending_value.push_back(*p);
          state = value;
        }
        break;
      case line_lf:
        if (c != '\n') return false;
        state = next_line;
        break;
      case next_line:
        if (c == ' ' || c == '\t') {
          state = continuation;
        } else if (c == '\r') {
          if (!commit()) return false;
          state = final_lf;
        } else if (IsNameChar(c)) {
          if (!commit()) return false;
          start_name(*p);
          state = name;
        } else {
          return false;
        }
        break;
      case continuation:
        if (c == ' ' || c == '\t') break;
        if (c == '\r') {
          state = line_lf;
        } else if (IsControl(c)) {
          return false;
        } else {
          pending_value.push_back(*p);
          state = value;
        }
        break;
      case final_lf:
        return c == '\n' && p + 1 == end;
    }
  }
  return false;
}

bool parse_chunk_size(const std::string& line, uint64_t& size) {
  size_t i = 0;
  while (i < line.size() && isspace(static_cast<unsigned char>(line[i]))) ++i;
  if (i == line.size() || !isxdigit(static_cast<unsigned char>(line[i]))) return false;
  uint64_t value = 0;
  for (; i < line.size() && isxdigit(static_cast<unsigned char>(line[i])); ++i) {
    if (value >> 60) return false;
    char c = static_cast<char>(tolower(static_cast<unsigned char>(line[i])));
    value = value * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  size = value;
  return true;
}

std::string encode_base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(v >> shift) & 63]);
  }
  size_t rest = bytes.size() - i;
  if (rest == 0) return out;
  uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
  if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
  out.push_back(kAlphabet[(v >> 18) & 63]);
  out.push_back(kAlphabet[(v >> 12) & 63]);
  out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
  out.push_back('=');
  return out;
}

std::string absolute_location(const std::string& location, const url& current) {
  if (location.empty() || location.find("://") != std::string::npos) return location;
  // "//host/x" and "/x" name a place on a server, not one beside the current resource.
  if (location.compare(0, 2, "//") == 0) return current.protocol() + ":" + location;
  if (location[0] == '/') {
    return current.to_string(url::protocol_component | url::user_info_component | url::host_and_port) + location;
  }
  std::string base = current.to_string(url::all_components);
  size_t slash = base.find_last_of('/');
  if (slash == std::string::npos) return base + "/" + location;
  return base.substr(0, slash + 1) + location;
}

bool safe_header_text(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

bool safe_request_target(const std::string& text) {
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace detail
}  // namespace qelhttp
