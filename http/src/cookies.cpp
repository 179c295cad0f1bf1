#include "qelhttp/cookies.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace qelhttp {
namespace {

enum class EParseState { name_start, name, value_start, value, quoted_value };

bool IsHigh(unsigned char c) { return c >= 0x80; }
// A tab is harmless in a header line; CR, LF, NUL and the other control bytes are not.
bool IsControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }
bool IsQuote(unsigned char c) { return c == '"' || c == '\''; }

// Characters that end a name collected so far: what came before was a stray word, not the name.
bool BreaksName(unsigned char c) {
  return c == ' ' || c == ':' || c == '^' || c == '`' || c == '{' || c == '|' || c == '}';
}

std::string Lower(const std::string& text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// "secure" or "httponly" sets its flag; false for any other word.
bool TakeFlag(const std::string& word, http_cookie& tmpl) {
  const std::string lower = Lower(word);
  if (lower == "secure") {
    tmpl.secure = true;
    return true;
  }
  if (lower == "httponly") {
    tmpl.httponly = true;
    return true;
  }
  return false;
}

// Leading number in the manner of "%ld" with a 32-bit long, as the expiry has always been read: optional
// white space and sign, then digits; saturates at the 32-bit limits instead of overflowing. False when
// there are no digits.
bool LeadingNumber(const std::string& text, int64_t& out) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return false;
  const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                 : std::numeric_limits<int32_t>::max();
  int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = std::min(value * 10 + (text[pos] - '0'), limit);
  }
  out = negative ? -value : value;
  return true;
}

int64_t SecondsSinceEpoch(const boost::posix_time::ptime& t) {
  const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
  return (t - epoch).total_seconds();
}

void ApplyExpires(const std::string& value, const boost::posix_time::ptime& now, http_cookie& tmpl) {
  if (detail::parse_http_date(value, tmpl.expires)) return;
  int64_t delta = 0;
  if (!LeadingNumber(value, delta)) return;
  if (now.is_special()) return;  // no base to count from
  tmpl.expires = detail::clamped_utc_time(SecondsSinceEpoch(now) + delta);
}

// Earlier in the merge order: any date comes before "no expiry".
bool ExpiresBefore(const boost::posix_time::ptime& a, const boost::posix_time::ptime& b) {
  if (a.is_not_a_date_time()) return false;
  if (b.is_not_a_date_time()) return true;
  return a < b;
}

// The character machine of a Set-Cookie value: fills `pairs` and the template's flags.
bool ScanPairs(const std::string& text, std::map<std::string, std::string>& pairs, http_cookie& tmpl) {
  EParseState state = EParseState::name_start;
  std::string name;
  std::string value;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (IsControl(c)) return false;
    switch (state) {
      case EParseState::name_start:
        if (c == ' ') break;
        if (IsHigh(c)) return false;
        name.assign(1, ch);
        state = EParseState::name;
        break;
      case EParseState::name:
        if (c == ';') {
          if (!TakeFlag(name, tmpl)) return false;
          name.clear();
          state = EParseState::name_start;
        } else if (c == '=') {
          value.clear();
          state = EParseState::value_start;
        } else if (BreaksName(c)) {
          name.clear();
          state = EParseState::name_start;
        } else if (!IsHigh(c)) {
          name.push_back(ch);
        }
        break;
      case EParseState::value_start:
      case EParseState::value:
        if (IsHigh(c)) return false;
        // An unquoted value ends at a quote: what follows starts a new name.
        if (c == ';' || (state == EParseState::value && IsQuote(c))) {
          pairs[name] = value;
          state = EParseState::name_start;
          break;
        }
        value.push_back(ch);
        if (state == EParseState::value_start) state = IsQuote(c) ? EParseState::quoted_value : EParseState::value;
        break;
      case EParseState::quoted_value:
        if (IsHigh(c)) return false;
        value.push_back(ch);
        if (IsQuote(c)) state = EParseState::value;
        break;
    }
  }
  if (state == EParseState::name && !name.empty()) TakeFlag(name, tmpl);
  if (state == EParseState::value && !value.empty()) pairs[name] = value;
  return true;
}

}  // namespace

bool cookies::parse_set_cookie(const std::string& header_value, list_type& list) {
  return parse_set_cookie(header_value, list, detail::utc_now());
}

bool cookies::parse_set_cookie(const std::string& header_value, list_type& list,
                               const boost::posix_time::ptime& now) {
  list.clear();
  std::map<std::string, std::string> pairs;
  http_cookie tmpl;
  if (!ScanPairs(header_value, pairs, tmpl)) return false;

  for (auto it = pairs.begin(); it != pairs.end();) {
    const std::string key = Lower(it->first);
    if (key == "expires") {
      ApplyExpires(it->second, now, tmpl);
    } else if (key == "domain") {
      tmpl.domain = it->second;
    } else if (key == "path") {
      tmpl.path = it->second;
    } else {
      ++it;
      continue;
    }
    it = pairs.erase(it);
  }
  for (const auto& pair : pairs) {
    http_cookie cookie = tmpl;
    cookie.name = pair.first;
    cookie.value = pair.second;
    list.push_back(cookie);
  }
  return true;
}

void cookies::add_set_cookie(const std::string& header_value) { add_set_cookie(header_value, detail::utc_now()); }

void cookies::add_set_cookie(const std::string& header_value, const boost::posix_time::ptime& now) {
  list_type parsed;
  if (!parse_set_cookie(header_value, parsed, now)) return;
  jar_.insert(jar_.end(), parsed.begin(), parsed.end());
}

cookies::list_type::const_iterator cookies::find_name(const list_type& list, const std::string& name) {
  return std::find_if(list.begin(), list.end(), [&](const http_cookie& c) { return c.name == name; });
}

cookies::list_type::const_iterator cookies::find_same(const list_type& list, const http_cookie& cookie) {
  return std::find_if(list.begin(), list.end(), [&](const http_cookie& c) {
    return c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path;
  });
}

namespace {

// The merge decision, given what the merged list already holds: whether a cookie of the same name, domain
// and path is there, and the first cookie of the same name (null when none).
bool KeepGiven(bool same_present, const http_cookie* named, const http_cookie& candidate) {
  if (!same_present) return true;
  if (candidate.value.empty()) return false;
  if (!named || named->value.empty()) return true;
  return ExpiresBefore(named->expires, candidate.expires);
}

}  // namespace

bool cookies::keep_in_merge(const list_type& merged, const http_cookie& candidate) {
  const auto named = find_name(merged, candidate.name);
  return KeepGiven(find_same(merged, candidate) != merged.end(), named == merged.end() ? nullptr : &*named,
                   candidate);
}

cookies::list_type cookies::merge() const {
  list_type sorted(jar_);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const http_cookie& a, const http_cookie& b) { return ExpiresBefore(a.expires, b.expires); });
  // Same decisions as keep_in_merge, with indexes instead of scans: one hostile header can define many
  // thousands of cookies, and a scan per cookie would make every request quadratic in them.
  list_type merged;
  merged.reserve(sorted.size());
  std::set<std::tuple<std::string, std::string, std::string>> same;
  std::unordered_map<std::string, std::size_t> first_by_name;
  for (const http_cookie& cookie : sorted) {
    const auto key = std::make_tuple(cookie.name, cookie.domain, cookie.path);
    const auto named = first_by_name.find(cookie.name);
    const http_cookie* first = named == first_by_name.end() ? nullptr : &merged[named->second];
    if (!KeepGiven(same.count(key) != 0, first, cookie)) continue;
    same.insert(key);
    first_by_name.emplace(cookie.name, merged.size());
    merged.push_back(cookie);
  }
  return merged;
}

std::string cookies::cookie_header(bool secure_connection) const {
  return cookie_header(secure_connection, detail::utc_now());
}

std::string cookies::cookie_header(bool secure_connection, const boost::posix_time::ptime& now) const {
  std::string out;
  for (const http_cookie& cookie : merge()) {
    if (cookie.value.empty()) continue;
    if (cookie.secure && !secure_connection) continue;
    if (!cookie.expires.is_not_a_date_time() && cookie.expires < now) continue;
    if (!out.empty()) out += "; ";
    out += cookie.name + "=" + cookie.value;
  }
  return out;
}

}  // namespace qelhttp
