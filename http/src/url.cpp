#include "qelhttp/url.hpp"

#include <cctype>
#include <climits>
#include <cwchar>

#include <boost/system/system_error.hpp>

namespace qelhttp {
namespace {

boost::system::error_code ParseError() {
  return boost::system::errc::make_error_code(boost::system::errc::invalid_argument);
}

bool IsDigits(const std::string& text) {
  for (unsigned char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool url::parse(const std::string& text) {
  const std::string::size_type colon = text.find(':');
  if (colon == std::string::npos) return false;
  protocol_ = text.substr(0, colon);
  for (char& c : protocol_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (text.compare(colon + 1, 2, "//") != 0) return false;

  std::string::size_type pos = colon + 3;
  std::string::size_type mark = text.find_first_of("@:[/?#", pos);
  if (mark != std::string::npos && text[mark] == ':') mark = text.find_first_of("@/?#", mark);
  if (mark != std::string::npos && text[mark] == '@') {
    user_info_ = text.substr(pos, mark - pos);
    pos = mark + 1;
  }

  if (pos < text.size() && text[pos] == '[') {
    const std::string::size_type close = text.find(']', pos + 1);
    if (close == std::string::npos) return false;
    if (close + 1 < text.size() && std::string(":/?#").find(text[close + 1]) == std::string::npos) return false;
    host_ = text.substr(pos + 1, close - pos - 1);
    ipv6_ = true;
    pos = close + 1;
  } else {
    const std::string::size_type end = std::min(text.find_first_of(":/?#", pos), text.size());
    host_ = text.substr(pos, end - pos);
    pos = end;
  }

  if (pos < text.size() && text[pos] == ':') {
    const std::string::size_type end = std::min(text.find_first_of("/?#", pos + 1), text.size());
    port_ = text.substr(pos + 1, end - pos - 1);
    if (port_.empty() || !IsDigits(port_)) return false;
    pos = end;
  }

  if (pos < text.size() && text[pos] == '/') {
    const std::string::size_type end = std::min(text.find_first_of("?#", pos), text.size());
    path_ = text.substr(pos, end - pos);
    pos = end;
  } else {
    path_ = "/";
  }

  if (pos < text.size() && text[pos] == '?') {
    const std::string::size_type end = std::min(text.find('#', pos + 1), text.size());
    query_ = text.substr(pos + 1, end - pos - 1);
    pos = end;
  }
  if (pos < text.size() && text[pos] == '#') fragment_ = text.substr(pos + 1);
  return true;
}

url url::from_string(const std::string& text, boost::system::error_code& ec) {
  url result;
  if (!result.parse(text)) {
    ec = ParseError();
    return url();
  }
  ec = boost::system::error_code();
  return result;
}

url url::from_string(const char* text, boost::system::error_code& ec) {
  return from_string(std::string(text ? text : ""), ec);
}

url url::from_string(const std::string& text) {
  boost::system::error_code ec;
  url result = from_string(text, ec);
  if (ec) throw boost::system::system_error(ec);
  return result;
}

url url::from_string(const char* text) { return from_string(std::string(text ? text : "")); }

url make_url(const char* text) { return url::from_string(text); }

std::string url::to_string(int mask) const {
  std::string out;
  if ((mask & protocol_component) && !protocol_.empty()) out += protocol_ + "://";
  if ((mask & user_info_component) && !user_info_.empty()) out += user_info_ + "@";
  if (mask & host_component) out += ipv6_ ? "[" + host_ + "]" : host_;
  if ((mask & port_component) && !port_.empty()) out += ":" + port_;
  if ((mask & path_component) && !path_.empty()) out += path_;
  if ((mask & query_component) && !query_.empty()) out += "?" + query_;
  if ((mask & fragment_component) && !fragment_.empty()) out += "#" + fragment_;
  return out;
}

int url::port() const {
  if (!port_.empty()) {
    // The text may be any run of digits; saturate instead of overflowing.
    long long value = 0;
    for (unsigned char c : port_) {
      if (c < '0' || c > '9') return 0;
      value = value * 10 + (c - '0');
      if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(value);
  }
  if (protocol_ == "http") return 80;
  if (protocol_ == "https") return 443;
  if (protocol_ == "ftp") return 21;
  return 0;
}

namespace detail {

std::wstring ansi_to_wide(const std::string& text, bool* complete) {
  std::wstring out;
  std::mbstate_t state{};
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    wchar_t wc = 0;
    const std::size_t n = std::mbrtowc(&wc, p, left, &state);
    if (n == 0 || n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) break;
    out.push_back(wc);
    p += n;
    left -= n;
  }
  if (complete) *complete = left == 0;
  return out;
}

namespace {

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(unsigned long u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(unsigned long u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string to_utf8(const std::wstring& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned long u = static_cast<unsigned long>(text[i]);
    if (IsLowSurrogate(u) || u > 0x10FFFF) continue;
    if (!IsHighSurrogate(u)) {
      AppendUtf8(out, u);
      continue;
    }
    if (i + 1 >= text.size()) break;
    const unsigned long next = static_cast<unsigned long>(text[++i]);
    if (IsLowSurrogate(next)) AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
  }
  return out;
}

std::string ansi_to_utf8(const std::string& text) { return to_utf8(ansi_to_wide(text)); }

std::string ansi_to_utf8(const std::string& text, boost::system::error_code& ec) {
  bool complete = false;
  const std::wstring wide = ansi_to_wide(text, &complete);
  if (!complete) {
    ec = ParseError();
    return std::string();
  }
  ec = boost::system::error_code();
  return to_utf8(wide);
}

bool is_unsafe_char(int c) {
  switch (c) {
    case ' ':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
      return true;
    default:
      return false;
  }
}

std::string to_hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0x0F]);
  }
  return out;
}

std::string escape_url(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    // Control bytes are escaped too: left raw, a CR or LF in a URL would split the request it goes into.
    if (c >= 0x80 || c < 0x20 || c == 0x7F || is_unsafe_char(c)) {
      out += '%';
      out += to_hex(std::string(1, ch));
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

}  // namespace detail
}  // namespace qelhttp
