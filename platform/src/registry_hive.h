#pragma once
// One version of a root's registry file, parsed from its ".reg" text: the keys as a tree laid out in
// preorder and the values of each key. Paths and names compare without case, as on Windows.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qelplat/registry.h"

namespace qelplat {

struct TRegKeyEntry {
  uint32_t pathOffset;  // the path below the root in the pool, components joined by one "\"
  uint32_t pathLength;
  uint32_t valueBegin;
  uint32_t valueCount;
};

struct TRegValueEntry {
  uint32_t offset;  // the name, then the data, in the pool
  uint32_t dataLength;
  uint32_t type;
  uint32_t owner;       // the key entry it belongs to
  uint16_t nameLength;  // 16,383 characters of at most 4 bytes each fit
};

// A piece of the pool.
struct TRegName {
  uint32_t offset;
  uint32_t length;
};

// Keys sorted component by component, which is the tree in preorder with siblings in Windows' enumeration
// order and every key's descendants right after it. A key that only leads to others has no entry of its
// own, so a path of any depth costs one entry. Values are sorted by name within their key. Never changed
// once built: open keys of every thread share it.
class CRegHive {
 public:
  std::string_view Text(uint32_t offset, size_t length) const {
    return std::string_view(pool.data() + offset, length);
  }
  std::string_view Path(const TRegKeyEntry& key) const { return Text(key.pathOffset, key.pathLength); }
  std::string_view Name(const TRegValueEntry& value) const { return Text(value.offset, value.nameLength); }
  std::string_view Data(const TRegValueEntry& value) const {
    return Text(value.offset + value.nameLength, value.dataLength);
  }

  // Whether path (no leading, trailing or doubled "\") exists; the root ("") always does. at = where it
  // stands in preorder; entry = it has its own entry there (and so may have values).
  bool Find(std::string_view path, size_t* at, bool* entry) const;
  // The sub-keys of a key that Find found, in enumeration order.
  std::vector<TRegName> Children(std::string_view path, size_t at, bool entry) const;
  // A value of the key entry at `at`, or null.
  const TRegValueEntry* FindValue(size_t at, std::string_view name) const;

  std::string pool;
  std::vector<TRegKeyEntry> keys;
  std::vector<TRegValueEntry> values;
};

// Builds a hive: keys and values are taken in file order, then sorted; a key given twice is one key, and of
// a value name given twice in one key the later line wins. Lines that are malformed or past Windows' limits
// are skipped with a warning naming the file and the line (the first 20 of them, then a count of the rest),
// kept for whoever reports on the file: the platform layer itself writes nowhere.
class CRegHiveBuilder {
 public:
  // file: named in warnings; root: the root whose keys the text may hold; warnings: where they are added
  // (null: they are only counted).
  CRegHiveBuilder(std::string file, HKEY root, std::vector<std::string>* warnings = nullptr);
  ~CRegHiveBuilder();
  CRegHiveBuilder(const CRegHiveBuilder&) = delete;
  CRegHiveBuilder& operator=(const CRegHiveBuilder&) = delete;

  // The whole file: UTF-8 (with or without a BOM), or UTF-16LE with its BOM.
  void Parse(std::string_view raw);
  // A key by its path as stored; its entry index. For views made without a file.
  uint32_t AddKey(std::string_view path);
  void AddValue(uint32_t key, std::string_view name, DWORD type, std::string_view data);
  // The finished hive; the builder is spent.
  std::shared_ptr<const CRegHive> Finish();
  // Warnings given so far, the uncounted ones included.
  size_t Warnings() const { return m_warnings; }

 private:
  enum EState { kNoKey, kSkippedKey, kInKey };

  void Warn(size_t line, const char* what);
  void Reserve(std::string_view text);
  void Line(size_t number, std::string_view line);
  void KeyLine(size_t number, std::string_view line);
  void ValueLine(size_t number, std::string_view line);
  bool AppendQuoted(std::string_view text, size_t* pos);
  bool AppendHexBytes(std::string_view list);
  bool AppendData(std::string_view text, DWORD* type);
  void MergeKeys();
  void SortValues();

  std::string m_file;
  HKEY m_root;
  std::vector<std::string>* m_out;
  std::unique_ptr<CRegHive> m_hive;
  bool m_unicode = true;
  EState m_state = kNoKey;
  uint32_t m_current = 0;
  size_t m_warnings = 0;
};

// path is key itself or lies below it (without case).
bool RegPathAtOrBelow(std::string_view path, std::string_view key);

}  // namespace qelplat
