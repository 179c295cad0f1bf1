#include "qelhttp/http_parsers.hpp"

#include <cctype>
#include <cstring>

namespace qelhttp {
namespace detail {

namespace {

const int kMaxStatusDigits = 3;
const int kMaxVersionDigits = 3;

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// A token character of a field name.
bool IsNameChar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

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

// The end of a head line at p: LF, or CR LF. Sets p past it; false when neither stands there.
bool LineEnd(const char*& p, const char* end) {
  if (p != end && *p == '\r') ++p;
  if (p == end || *p != '\n') return false;
  ++p;
  return true;
}

// One field line "name: value" (line ending already gone); false when it is not one.
bool SplitField(const std::string& line, std::string& name, std::string& value) {
  const size_t colon = line.find(':');
  if (colon == 0 || colon == std::string::npos) return false;
  for (size_t i = 0; i < colon; ++i) {
    if (!IsNameChar(static_cast<unsigned char>(line[i]))) return false;
  }
  name = line.substr(0, colon);
  value = Trim(line.substr(colon + 1));
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
  // The reason: any text, a tab included, but no other control byte.
  for (; p != end && *p != '\r' && *p != '\n'; ++p) {
    if (*p != '\t' && IsControl(static_cast<unsigned char>(*p))) return false;
  }
  if (!LineEnd(p, end)) return false;
  if (consumed) *consumed = static_cast<size_t>(p - begin);
  return true;
}

// Lines end with LF, a CR before it dropped; a CR anywhere else fails. A line that begins with a space or
// tab continues the field before it (obs-fold) and is joined to it with one space, before the value is
// interpreted.
bool parse_http_headers(int64_t& content_length, std::string& location, std::string& content_type,
                        const char* begin, const char* end, request_opts& response) {
  std::string pending;
  auto commit = [&]() {
    if (pending.empty()) return true;
    std::string name;
    std::string value;
    if (!SplitField(pending, name, value)) return false;
    pending.clear();
    if (!take_header_field(name, value, content_type, content_length, location)) return false;
    response.insert(name, value);
    return true;
  };
  for (const char* p = begin; p != end;) {
    const char* text = p;
    while (p != end && *p != '\r' && *p != '\n') {
      if (*p != '\t' && IsControl(static_cast<unsigned char>(*p))) return false;
      ++p;
    }
    std::string line(text, p);
    if (!LineEnd(p, end)) return false;
    if (line.empty()) return commit() && p == end;
    if (IsBlank(line[0])) {
      // A continuation of nothing: the block's first line cannot fold.
      if (pending.empty()) return false;
      const std::string more = Trim(line);
      if (!more.empty()) pending += " " + more;
      continue;
    }
    if (!commit()) return false;
    pending = line;
  }
  return false;
}

// 1*HEXDIG, then optional blanks, then either the end or ";" and extensions (any text without a control
// byte but tab).
bool parse_chunk_size(const std::string& line, uint64_t& size) {
  size_t i = 0;
  uint64_t value = 0;
  for (; i < line.size() && isxdigit(static_cast<unsigned char>(line[i])); ++i) {
    // Tested before the shift: a size stays within 63 bits, as every number of an answer does.
    if (value >> 59) return false;
    char c = static_cast<char>(tolower(static_cast<unsigned char>(line[i])));
    value = value * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  if (i == 0) return false;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i < line.size() && line[i] != ';') return false;
  for (; i < line.size(); ++i) {
    if (line[i] != '\t' && IsControl(static_cast<unsigned char>(line[i]))) return false;
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
