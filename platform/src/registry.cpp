#include "qelplat/registry.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "qelplat/codepage.h"
#include "qelplat/lasterror.h"
#include "qelplat/netapi.h"

namespace {

const char kNetworkCardsPath[] = "SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\NETWORKCARDS";
// A hive file larger than this is refused rather than read into memory.
const std::streamoff kMaxHiveBytes = 64 << 20;

struct TRegValue {
  DWORD type = REG_NONE;
  std::string data;  // exactly the bytes a query returns (text types end with their NUL)
};

struct TRegKey {
  std::map<std::string, TRegValue> values;       // upper-case name -> value
  std::map<std::string, std::string> children;   // upper-case name -> name as written
};

// Upper-case full path below the root ("" is the root key itself) -> key.
using THive = std::map<std::string, TRegKey>;

struct TOpenKey {
  HKEY root;
  std::string path;  // as opened, below the root
  TRegKey snapshot;
};

std::string Upper(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x80) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string Trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  size_t e = text.find_last_not_of(" \t\r");
  return text.substr(b, e - b + 1);
}

std::string TrimSeparators(const std::string& path) {
  size_t b = path.find_first_not_of('\\');
  if (b == std::string::npos) return std::string();
  size_t e = path.find_last_not_of('\\');
  return path.substr(b, e - b + 1);
}

std::string JoinPath(const std::string& base, const std::string& sub) {
  if (base.empty()) return sub;
  if (sub.empty()) return base;
  return base + "\\" + sub;
}

bool IsRoot(HKEY key) { return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE; }

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  struct passwd* pw = getpwuid(getuid());
  return pw && pw->pw_dir ? pw->pw_dir : "";
}

void DebugLine(const std::string& file, size_t line, const char* what) {
  fprintf(stderr, "registry: %s:%zu: %s, line skipped\n", file.c_str(), line, what);
}

// UTF-16LE bytes (a file with a BOM, or hex(n) text data of a version 5 file) to UTF-8.
std::string Utf16LeToUtf8(const std::string& bytes) {
  std::wstring wide;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
      uint32_t low = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        wide.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
        i += 2;
        continue;
      }
    }
    wide.push_back(static_cast<wchar_t>(unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit));
  }
  return qelplat::WideToUtf8(wide);
}

// Reads a quoted .reg string starting at text[pos] == '"'; pos ends after the closing quote.
bool ParseQuoted(const std::string& text, size_t& pos, std::string* out) {
  if (pos >= text.size() || text[pos] != '"') return false;
  out->clear();
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\' && pos + 1 < text.size() && (text[pos + 1] == '\\' || text[pos + 1] == '"')) c = text[++pos];
    out->push_back(c);
  }
  return false;
}

bool ParseHexBytes(const std::string& text, std::string* out) {
  out->clear();
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    item = Trim(item);
    if (item.empty()) continue;
    if (item.size() > 2 || !isxdigit(static_cast<unsigned char>(item[0])) ||
        (item.size() == 2 && !isxdigit(static_cast<unsigned char>(item[1]))))
      return false;
    out->push_back(static_cast<char>(strtoul(item.c_str(), nullptr, 16)));
  }
  return true;
}

bool IsTextType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool ParseData(const std::string& text, bool unicodeFile, TRegValue* value) {
  if (!text.empty() && text[0] == '"') {
    size_t pos = 0;
    std::string s;
    if (!ParseQuoted(text, pos, &s) || !Trim(text.substr(pos)).empty()) return false;
    value->type = REG_SZ;
    value->data = s + '\0';
    return true;
  }
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (lower.compare(0, 6, "dword:") == 0) {
    std::string digits = Trim(text.substr(6));
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return false;
    uint32_t v = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
    value->type = REG_DWORD;
    value->data.assign(reinterpret_cast<const char*>(&v), 4);
    return true;
  }
  DWORD type = REG_BINARY;
  size_t colon = 0;
  if (lower.compare(0, 4, "hex:") == 0) {
    colon = 3;
  } else if (lower.compare(0, 4, "hex(") == 0) {
    size_t close = lower.find("):");
    if (close == std::string::npos || close == 4) return false;
    std::string n = lower.substr(4, close - 4);
    if (n.find_first_not_of("0123456789abcdef") != std::string::npos || n.size() > 8) return false;
    type = static_cast<DWORD>(strtoul(n.c_str(), nullptr, 16));
    colon = close + 1;
  } else {
    return false;
  }
  std::string bytes;
  if (!ParseHexBytes(text.substr(colon + 1), &bytes)) return false;
  if (IsTextType(type)) {
    if (unicodeFile) bytes = Utf16LeToUtf8(bytes);
    if (bytes.empty() || bytes.back() != '\0') bytes.push_back('\0');
  }
  value->type = type;
  value->data = bytes;
  return true;
}

void AddKey(THive& hive, const std::string& path) {
  std::string upperPath;
  std::string parentUpper;
  hive[""];
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty()) {
      upperPath = JoinPath(parentUpper, Upper(part));
      hive[parentUpper].children.emplace(Upper(part), part);
      hive[upperPath];
      parentUpper = upperPath;
    }
    start = end + 1;
  }
}

// Joins lines that end with a backslash (long hex values) and drops comments and blank lines.
std::vector<std::pair<size_t, std::string>> LogicalLines(const std::string& text) {
  std::vector<std::pair<size_t, std::string>> lines;
  std::stringstream in(text);
  std::string raw;
  std::string pending;
  size_t number = 0;
  size_t first = 0;
  while (std::getline(in, raw)) {
    ++number;
    std::string line = Trim(raw);
    if (pending.empty()) first = number;
    if (pending.empty() && (line.empty() || line[0] == ';')) continue;
    if (!line.empty() && line.back() == '\\' && line[0] != '[') {
      pending += line.substr(0, line.size() - 1);
      continue;
    }
    lines.emplace_back(first, pending + line);
    pending.clear();
  }
  if (!pending.empty()) lines.emplace_back(first, pending);
  return lines;
}

bool RootMatches(const std::string& upperName, HKEY root) {
  if (root == HKEY_CURRENT_USER) return upperName == "HKEY_CURRENT_USER" || upperName == "HKCU";
  return upperName == "HKEY_LOCAL_MACHINE" || upperName == "HKLM";
}

void ParseValueLine(const std::string& file, size_t number, const std::string& line, bool unicodeFile,
                    TRegKey* key) {
  std::string name;
  size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (!ParseQuoted(line, pos, &name)) {
    DebugLine(file, number, "malformed value name");
    return;
  }
  std::string rest = Trim(line.substr(pos));
  if (rest.empty() || rest[0] != '=') {
    DebugLine(file, number, "value without '='");
    return;
  }
  std::string data = Trim(rest.substr(1));
  if (data == "-") return;  // a deletion in an import file: nothing to read
  TRegValue value;
  if (!ParseData(data, unicodeFile, &value)) {
    DebugLine(file, number, "malformed value data");
    return;
  }
  key->values[Upper(name)] = value;
}

THive ParseHive(const std::string& file, std::string text, HKEY root) {
  THive hive;
  hive[""];
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF && static_cast<unsigned char>(text[1]) == 0xFE)
    text = Utf16LeToUtf8(text.substr(2));
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  bool unicodeFile = true;
  TRegKey* current = nullptr;
  for (const auto& entry : LogicalLines(text)) {
    const std::string& line = entry.second;
    if (line == "REGEDIT4") {
      unicodeFile = false;
      continue;
    }
    if (line.compare(0, 31, "Windows Registry Editor Version") == 0) continue;
    if (line[0] == '[') {
      current = nullptr;
      if (line.back() != ']' || line.size() < 3) {
        DebugLine(file, entry.first, "malformed key line");
        continue;
      }
      std::string path = line.substr(1, line.size() - 2);
      if (path[0] == '-') continue;  // a deletion in an import file
      size_t sep = path.find('\\');
      if (!RootMatches(Upper(path.substr(0, sep)), root)) {
        DebugLine(file, entry.first, "key of another root");
        continue;
      }
      std::string below = sep == std::string::npos ? std::string() : TrimSeparators(path.substr(sep + 1));
      AddKey(hive, below);
      current = &hive[Upper(below)];
      continue;
    }
    if (!current) {
      DebugLine(file, entry.first, "value outside a key");
      continue;
    }
    ParseValueLine(file, entry.first, line, unicodeFile, current);
  }
  return hive;
}

void AddNetworkCards(THive& hive) {
  AddKey(hive, kNetworkCardsPath);
  int number = 0;
  for (const std::string& card : qelplat::NetworkCardNames()) {
    std::string sub = std::to_string(++number);
    std::string path = JoinPath(kNetworkCardsPath, sub);
    AddKey(hive, path);
    TRegKey& key = hive[Upper(path)];
    key.values["SERVICENAME"] = TRegValue{REG_SZ, card + '\0'};
    key.values["DESCRIPTION"] = TRegValue{REG_SZ, card + '\0'};
  }
}

bool UnderNetworkCards(const std::string& upperPath) {
  size_t n = strlen(kNetworkCardsPath);
  return upperPath.compare(0, n, kNetworkCardsPath) == 0 && (upperPath.size() == n || upperPath[n] == '\\');
}

bool WantsWrite(REGSAM rights) { return (rights & (KEY_SET_VALUE | 0x0004 /* create sub-key */ | 0x00010000)) != 0; }

LONG LoadHive(HKEY root, REGSAM rights, THive* hive) {
  std::string file = qelplat::RegistryFileOf(root);
  if (file.empty()) return ERROR_INVALID_HANDLE;
  if (access(file.c_str(), F_OK) != 0) return ERROR_FILE_NOT_FOUND;
  if (access(file.c_str(), R_OK) != 0) return ERROR_ACCESS_DENIED;
  if (WantsWrite(rights) && access(file.c_str(), W_OK) != 0) return ERROR_ACCESS_DENIED;
  std::ifstream in(file, std::ios::binary);
  if (!in) return ERROR_ACCESS_DENIED;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0 || size > kMaxHiveBytes) return ERROR_NOT_ENOUGH_MEMORY;
  in.seekg(0);
  std::string text(static_cast<size_t>(size), '\0');
  in.read(&text[0], size);
  *hive = ParseHive(file, text, root);
  return ERROR_SUCCESS;
}

class CKeyTable {
 public:
  HKEY Add(std::unique_ptr<TOpenKey> key) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_next += 4;
    if (m_next >= 0x7FFFFFF0u) m_next = 0x10000;
    uintptr_t id = m_next;
    m_keys[id] = std::move(key);
    return reinterpret_cast<HKEY>(id);
  }
  // A copy, so the caller works without holding the table.
  bool Get(HKEY key, TOpenKey* out) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_keys.find(reinterpret_cast<uintptr_t>(key));
    if (it == m_keys.end()) return false;
    *out = *it->second;
    return true;
  }
  bool Remove(HKEY key) {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_keys.erase(reinterpret_cast<uintptr_t>(key)) == 1;
  }

 private:
  std::mutex m_lock;
  uintptr_t m_next = 0x10000;
  std::map<uintptr_t, std::unique_ptr<TOpenKey>> m_keys;
};

CKeyTable& Keys() {
  // Never destroyed: a thread may still close a key while the process exits.
  static CKeyTable* table = new CKeyTable;
  return *table;
}

}  // namespace

namespace qelplat {

std::string RegistryFileOf(HKEY root) {
  const char* name = root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER.reg"
                     : root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE.reg"
                                                  : nullptr;
  if (!name) return std::string();
  const char* dir = getenv("QEL_REGISTRY_DIR");
  if (dir && *dir) return std::string(dir) + "/" + name;
  if (root == HKEY_LOCAL_MACHINE) return std::string("/etc/qel/registry/") + name;
  const char* config = getenv("XDG_CONFIG_HOME");
  std::string base = config && *config == '/' ? std::string(config) : HomeFolder() + "/.config";
  return base + "/qel/registry/" + name;
}

}  // namespace qelplat

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM rights, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  TOpenKey base{};
  if (IsRoot(key)) {
    base.root = key;
  } else if (!Keys().Get(key, &base)) {
    return ERROR_INVALID_HANDLE;
  }
  std::string path = JoinPath(base.path, TrimSeparators(subKey ? subKey : ""));
  std::string upper = Upper(path);
  THive hive;
  if (base.root == HKEY_LOCAL_MACHINE && UnderNetworkCards(upper)) {
    // A view of the machine's cards: there is nothing to write.
    if (WantsWrite(rights)) return ERROR_ACCESS_DENIED;
    AddNetworkCards(hive);
  } else {
    LONG loaded = LoadHive(base.root, rights, &hive);
    if (loaded != ERROR_SUCCESS) return loaded;
  }
  auto found = hive.find(upper);
  if (found == hive.end()) return ERROR_FILE_NOT_FOUND;
  std::unique_ptr<TOpenKey> open(new TOpenKey{base.root, path, found->second});
  *result = Keys().Add(std::move(open));
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR className,
                   LPDWORD classSize, void*) {
  if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
  TOpenKey open{};
  if (!Keys().Get(key, &open)) return ERROR_INVALID_HANDLE;
  if (index >= open.snapshot.children.size()) return ERROR_NO_MORE_ITEMS;
  auto it = open.snapshot.children.begin();
  std::advance(it, index);
  const std::string& child = it->second;
  if (child.size() + 1 > *nameSize) return ERROR_MORE_DATA;
  memcpy(name, child.c_str(), child.size() + 1);
  *nameSize = static_cast<DWORD>(child.size());
  if (className && classSize && *classSize > 0) className[0] = '\0';
  if (classSize) *classSize = 0;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, BYTE* data, LPDWORD dataSize) {
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  TOpenKey open{};
  if (!Keys().Get(key, &open)) return ERROR_INVALID_HANDLE;
  auto it = open.snapshot.values.find(Upper(valueName ? valueName : ""));
  if (it == open.snapshot.values.end()) return ERROR_FILE_NOT_FOUND;
  const TRegValue& value = it->second;
  if (type) *type = value.type;
  DWORD needed = static_cast<DWORD>(value.data.size());
  if (!data) {
    if (dataSize) *dataSize = needed;
    return ERROR_SUCCESS;
  }
  if (*dataSize < needed) {
    *dataSize = needed;
    return ERROR_MORE_DATA;
  }
  memcpy(data, value.data.data(), needed);
  *dataSize = needed;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (IsRoot(key)) return ERROR_SUCCESS;
  return Keys().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
