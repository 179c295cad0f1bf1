#include "registry_hive.h"

#include <algorithm>
#include <numeric>

namespace qelplat {
namespace {

using std::string_view;

// Windows' own limits on names and depth.
const size_t kMaxKeyNameChars = 255;
const size_t kMaxKeyDepth = 512;
const size_t kMaxValueNameChars = 16383;
// A file of garbage must not flood the log: the rest is only counted.
const size_t kMaxWarningsPerFile = 20;

unsigned char Fold(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

// The separator ranks below every other byte, so that comparing paths byte by byte compares them component
// by component.
int Rank(char c) { return c == '\\' ? 0 : Fold(c) + 1; }

// Paths compare component by component without case: sorted paths are the key tree in preorder, with
// siblings in Windows' enumeration order and every key's descendants right after it.
int ComparePaths(string_view a, string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int x = Rank(a[i]);
    int y = Rank(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

int CompareNames(string_view a, string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = Fold(a[i]);
    unsigned char y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// path is key itself or lies below it.
bool AtOrBelow(string_view path, string_view key) {
  if (key.empty()) return true;
  if (path.size() < key.size() || CompareNames(path.substr(0, key.size()), key) != 0) return false;
  return path.size() == key.size() || path[key.size()] == '\\';
}

bool Below(string_view path, string_view key) { return path.size() != key.size() && AtOrBelow(path, key); }

// Characters of UTF-8 text: every byte that does not continue a sequence.
size_t CharCount(string_view text) {
  size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

string_view Trim(string_view text) {
  size_t b = text.find_first_not_of(" \t\r");
  if (b == string_view::npos) return string_view();
  size_t e = text.find_last_not_of(" \t\r");
  return text.substr(b, e - b + 1);
}

bool StartsWithNoCase(string_view text, string_view prefix) {
  return text.size() >= prefix.size() && CompareNames(text.substr(0, prefix.size()), prefix) == 0;
}

bool RootMatches(string_view name, HKEY root) {
  if (root == HKEY_CURRENT_USER) return CompareNames(name, "HKEY_CURRENT_USER") == 0 || CompareNames(name, "HKCU") == 0;
  return CompareNames(name, "HKEY_LOCAL_MACHINE") == 0 || CompareNames(name, "HKLM") == 0;
}

bool IsTextType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  unsigned char u = Fold(c);
  if (u >= 'A' && u <= 'F') return u - 'A' + 10;
  return -1;
}

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// UTF-16LE bytes (a file with a BOM, or hex(n) text data of a version 5 file) to UTF-8; a lone surrogate
// becomes U+FFFD, an odd last byte is dropped.
std::string Utf16LeToUtf8(string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  auto unit = [&](size_t i) {
    uint32_t low = static_cast<unsigned char>(bytes[i]);
    return low | (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00 && i + 3 < bytes.size()) {
      uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00), &out);
        i += 2;
        continue;
      }
    }
    AppendUtf8(code >= 0xD800 && code < 0xE000 ? 0xFFFD : code, &out);
  }
  return out;
}

}  // namespace

bool RegPathAtOrBelow(string_view path, string_view key) { return AtOrBelow(path, key); }

bool CRegHive::Find(string_view path, size_t* at, bool* entry) const {
  auto it = std::lower_bound(keys.begin(), keys.end(), path,
                             [&](const TRegKeyEntry& k, string_view p) { return ComparePaths(Path(k), p) < 0; });
  *at = static_cast<size_t>(it - keys.begin());
  *entry = it != keys.end() && ComparePaths(Path(*it), path) == 0;
  return path.empty() || *entry || (it != keys.end() && Below(Path(*it), path));
}

// Each child's whole subtree is stepped over at once, so listing costs the children, not the descendants.
std::vector<TRegName> CRegHive::Children(string_view path, size_t at, bool entry) const {
  std::vector<TRegName> children;
  size_t i = at + (entry ? 1 : 0);
  size_t start = path.empty() ? 0 : path.size() + 1;
  while (i < keys.size()) {
    string_view p = Path(keys[i]);
    if (!Below(p, path)) break;
    size_t end = p.find('\\', start);
    if (end == string_view::npos) end = p.size();
    children.push_back(TRegName{keys[i].pathOffset + static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)});
    string_view child = p.substr(0, end);
    auto past = std::partition_point(keys.begin() + static_cast<std::ptrdiff_t>(i), keys.end(),
                                     [&](const TRegKeyEntry& k) { return AtOrBelow(Path(k), child); });
    i = static_cast<size_t>(past - keys.begin());
  }
  return children;
}

const TRegValueEntry* CRegHive::FindValue(size_t at, string_view name) const {
  const TRegKeyEntry& key = keys[at];
  auto first = values.begin() + key.valueBegin;
  auto last = first + key.valueCount;
  auto it = std::lower_bound(first, last, name,
                             [&](const TRegValueEntry& v, string_view n) { return CompareNames(Name(v), n) < 0; });
  return it != last && CompareNames(Name(*it), name) == 0 ? &*it : nullptr;
}

CRegHiveBuilder::CRegHiveBuilder(std::string file, HKEY root, std::vector<std::string>* warnings)
    : m_file(std::move(file)), m_root(root), m_out(warnings), m_hive(new CRegHive) {}

CRegHiveBuilder::~CRegHiveBuilder() = default;

void CRegHiveBuilder::Parse(string_view raw) {
  std::string converted;
  string_view text = raw;
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE) {
    converted = Utf16LeToUtf8(text.substr(2));
    text = converted;
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Reserve(text);
  std::string joined;
  bool continuing = false;
  size_t first = 0;
  size_t number = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == string_view::npos) end = text.size();
    string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++number;
    if (!continuing) {
      first = number;
      if (line.empty() || line[0] == ';') continue;
    }
    // A value continues on the next line after a trailing backslash (long hex data).
    if (!line.empty() && line.back() == '\\' && line[0] != '[') {
      joined.append(line.data(), line.size() - 1);
      continuing = true;
      continue;
    }
    if (continuing) {
      joined.append(line.data(), line.size());
      Line(first, joined);
      joined.clear();
      continuing = false;
    } else {
      Line(first, line);
    }
  }
  if (continuing) Line(first, joined);
  if (m_out && m_warnings > kMaxWarningsPerFile)
    m_out->push_back(m_file + ": " + std::to_string(m_warnings - kMaxWarningsPerFile) + " more lines skipped");
}

uint32_t CRegHiveBuilder::AddKey(string_view path) {
  uint32_t offset = static_cast<uint32_t>(m_hive->pool.size());
  m_hive->pool.append(path.data(), path.size());
  m_hive->keys.push_back(TRegKeyEntry{offset, static_cast<uint32_t>(path.size()), 0, 0});
  return static_cast<uint32_t>(m_hive->keys.size() - 1);
}

void CRegHiveBuilder::AddValue(uint32_t key, string_view name, DWORD type, string_view data) {
  uint32_t offset = static_cast<uint32_t>(m_hive->pool.size());
  m_hive->pool.append(name.data(), name.size());
  m_hive->pool.append(data.data(), data.size());
  m_hive->values.push_back(
      TRegValueEntry{offset, static_cast<uint32_t>(data.size()), type, key, static_cast<uint16_t>(name.size())});
}

std::shared_ptr<const CRegHive> CRegHiveBuilder::Finish() {
  MergeKeys();
  SortValues();
  return std::shared_ptr<const CRegHive>(m_hive.release());
}

void CRegHiveBuilder::Warn(size_t line, const char* what) {
  if (++m_warnings > kMaxWarningsPerFile || !m_out) return;
  m_out->push_back(m_file + ":" + std::to_string(line) + ": " + what + ", line skipped");
}

// Room for all the text can hold, so that nothing grows by doubling: the pool never needs more than the
// text (quotes, escapes and hex digits all shrink), and each key or value takes a line of its own.
void CRegHiveBuilder::Reserve(string_view text) {
  size_t keys = 0;
  size_t values = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t b = text.find_first_not_of(" \t\r", pos);
    if (b == string_view::npos) break;
    keys += text[b] == '[';
    values += text[b] == '"' || text[b] == '@';
    size_t end = text.find('\n', b);
    if (end == string_view::npos) break;
    pos = end + 1;
  }
  m_hive->pool.reserve(text.size() + 1);
  m_hive->keys.reserve(keys);
  m_hive->values.reserve(values);
}

void CRegHiveBuilder::Line(size_t number, string_view line) {
  if (line.empty()) return;
  if (line == "REGEDIT4") {
    m_unicode = false;
    return;
  }
  if (StartsWithNoCase(line, "Windows Registry Editor Version")) return;
  if (line[0] == '[') {
    KeyLine(number, line);
    return;
  }
  if (m_state == kSkippedKey) return;  // its key was reported already
  if (m_state == kNoKey) {
    Warn(number, "value outside a key");
    return;
  }
  ValueLine(number, line);
}

void CRegHiveBuilder::KeyLine(size_t number, string_view line) {
  m_state = kSkippedKey;
  if (line.size() < 3 || line.back() != ']') {
    Warn(number, "malformed key line");
    return;
  }
  string_view path = line.substr(1, line.size() - 2);
  if (path[0] == '-') return;  // a deletion in an import file
  size_t sep = path.find('\\');
  if (!RootMatches(path.substr(0, sep), m_root)) {
    Warn(number, "key of another root");
    return;
  }
  string_view below = sep == string_view::npos ? string_view() : path.substr(sep + 1);
  // Checked whole before anything is stored: a key past a limit leaves no trace.
  size_t depth = 0;
  for (size_t pos = 0; pos < below.size();) {
    size_t end = below.find('\\', pos);
    if (end == string_view::npos) end = below.size();
    string_view part = below.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    if (CharCount(part) > kMaxKeyNameChars) {
      Warn(number, "key name longer than 255 characters");
      return;
    }
    if (++depth > kMaxKeyDepth) {
      Warn(number, "key deeper than 512 levels");
      return;
    }
  }
  std::string& pool = m_hive->pool;
  uint32_t offset = static_cast<uint32_t>(pool.size());
  for (size_t pos = 0; pos < below.size();) {
    size_t end = below.find('\\', pos);
    if (end == string_view::npos) end = below.size();
    string_view part = below.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    if (pool.size() > offset) pool.push_back('\\');
    pool.append(part.data(), part.size());
  }
  m_hive->keys.push_back(TRegKeyEntry{offset, static_cast<uint32_t>(pool.size() - offset), 0, 0});
  m_current = static_cast<uint32_t>(m_hive->keys.size() - 1);
  m_state = kInKey;
}

void CRegHiveBuilder::ValueLine(size_t number, string_view line) {
  std::string& pool = m_hive->pool;
  size_t start = pool.size();
  auto skip = [&](const char* what) {
    if (what) Warn(number, what);
    pool.resize(start);
  };
  size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (!AppendQuoted(line, &pos)) {
    return skip("malformed value name");
  }
  size_t nameLength = pool.size() - start;
  if (nameLength > UINT16_MAX || CharCount(string_view(pool).substr(start)) > kMaxValueNameChars)
    return skip("value name longer than 16,383 characters");
  string_view rest = Trim(line.substr(pos));
  if (rest.empty() || rest[0] != '=') return skip("value without '='");
  string_view data = Trim(rest.substr(1));
  if (data == "-") return skip(nullptr);  // a deletion in an import file: nothing to read
  DWORD type = REG_NONE;
  if (!AppendData(data, &type)) return skip("malformed value data");
  m_hive->values.push_back(TRegValueEntry{static_cast<uint32_t>(start),
                                          static_cast<uint32_t>(pool.size() - start - nameLength), type, m_current,
                                          static_cast<uint16_t>(nameLength)});
}

// A quoted .reg string at text[*pos] == '"', unescaped into the pool; *pos ends after the closing quote.
bool CRegHiveBuilder::AppendQuoted(string_view text, size_t* pos) {
  if (*pos >= text.size() || text[*pos] != '"') return false;
  std::string& pool = m_hive->pool;
  for (++*pos; *pos < text.size(); ++*pos) {
    char c = text[*pos];
    if (c == '"') {
      ++*pos;
      return true;
    }
    if (c == '\\' && *pos + 1 < text.size() && (text[*pos + 1] == '\\' || text[*pos + 1] == '"')) c = text[++*pos];
    pool.push_back(c);
  }
  return false;
}

bool CRegHiveBuilder::AppendHexBytes(string_view list) {
  std::string& pool = m_hive->pool;
  for (size_t pos = 0; pos <= list.size();) {
    size_t end = list.find(',', pos);
    if (end == string_view::npos) end = list.size();
    string_view item = Trim(list.substr(pos, end - pos));
    pos = end + 1;
    if (item.empty()) continue;
    int high = HexDigit(item[0]);
    int low = item.size() == 2 ? HexDigit(item[1]) : 0;
    if (item.size() > 2 || high < 0 || low < 0) return false;
    pool.push_back(static_cast<char>(item.size() == 2 ? high * 16 + low : high));
  }
  return true;
}

// The data of a value into the pool, as a query returns it (text types end with their NUL).
bool CRegHiveBuilder::AppendData(string_view text, DWORD* type) {
  std::string& pool = m_hive->pool;
  if (!text.empty() && text[0] == '"') {
    size_t pos = 0;
    if (!AppendQuoted(text, &pos) || !Trim(text.substr(pos)).empty()) return false;
    pool.push_back('\0');
    *type = REG_SZ;
    return true;
  }
  if (StartsWithNoCase(text, "dword:")) {
    string_view digits = Trim(text.substr(6));
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t v = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    for (int i = 0; i < 4; ++i) pool.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    *type = REG_DWORD;
    return true;
  }
  size_t colon = 0;
  *type = REG_BINARY;
  if (StartsWithNoCase(text, "hex:")) {
    colon = 3;
  } else if (StartsWithNoCase(text, "hex(")) {
    size_t close = text.find("):");
    if (close == string_view::npos || close == 4 || close - 4 > 8) return false;
    uint32_t n = 0;
    for (char c : text.substr(4, close - 4)) {
      int d = HexDigit(c);
      if (d < 0) return false;
      n = n * 16 + static_cast<uint32_t>(d);
    }
    *type = n;
    colon = close + 1;
  } else {
    return false;
  }
  size_t start = pool.size();
  if (!AppendHexBytes(text.substr(colon + 1))) return false;
  if (IsTextType(*type)) {
    if (m_unicode) {
      std::string utf8 = Utf16LeToUtf8(string_view(pool).substr(start));
      pool.resize(start);
      pool += utf8;
    }
    if (pool.size() == start || pool.back() != '\0') pool.push_back('\0');
  }
  return true;
}

// Sorts the keys into preorder and merges repeated ones; values follow their key to its new place. Sorting
// indices and building the merged list once keeps the peak at a few words per key.
void CRegHiveBuilder::MergeKeys() {
  std::vector<TRegKeyEntry>& keys = m_hive->keys;
  const CRegHive& hive = *m_hive;
  std::vector<uint32_t> order(keys.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    int c = ComparePaths(hive.Path(keys[a]), hive.Path(keys[b]));
    return c < 0 || (c == 0 && a < b);
  });
  size_t distinct = 0;
  for (size_t i = 0; i < order.size(); ++i)
    distinct += i == 0 || ComparePaths(hive.Path(keys[order[i - 1]]), hive.Path(keys[order[i]])) != 0;
  std::vector<TRegKeyEntry> merged;
  merged.reserve(distinct);
  std::vector<uint32_t> place(keys.size());
  for (uint32_t index : order) {
    if (merged.empty() || ComparePaths(hive.Path(merged.back()), hive.Path(keys[index])) != 0)
      merged.push_back(keys[index]);
    place[index] = static_cast<uint32_t>(merged.size() - 1);
  }
  std::vector<uint32_t>().swap(order);
  keys.swap(merged);
  std::vector<TRegKeyEntry>().swap(merged);
  for (TRegValueEntry& value : m_hive->values) value.owner = place[value.owner];
}

// Sorts the values by key and name; pool offsets grow with the line, so the last of equal names is the
// later line.
void CRegHiveBuilder::SortValues() {
  std::vector<TRegValueEntry>& values = m_hive->values;
  const CRegHive& hive = *m_hive;
  std::sort(values.begin(), values.end(), [&](const TRegValueEntry& a, const TRegValueEntry& b) {
    if (a.owner != b.owner) return a.owner < b.owner;
    int c = CompareNames(hive.Name(a), hive.Name(b));
    return c < 0 || (c == 0 && a.offset < b.offset);
  });
  size_t kept = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    bool last = i + 1 == values.size() || values[i + 1].owner != values[i].owner ||
                CompareNames(hive.Name(values[i + 1]), hive.Name(values[i])) != 0;
    if (last) values[kept++] = values[i];
  }
  values.resize(kept);
  if (kept < values.capacity() / 2) values.shrink_to_fit();
  for (size_t i = 0; i < values.size(); ++i) {
    TRegKeyEntry& key = m_hive->keys[values[i].owner];
    if (key.valueCount == 0) key.valueBegin = static_cast<uint32_t>(i);
    ++key.valueCount;
  }
}

}  // namespace qelplat
