#pragma once
// One bencode value: integer, byte string, list or dictionary (or undefined), with the writer and the
// reader of the encoding. The reader never raises and never trusts a length or a depth it was given.
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qelhttp {

class entry {
 public:
  enum data_type { int_t = 0, string_t = 1, list_t = 2, dictionary_t = 3, undefined_t = 4 };
  typedef int64_t integer_type;
  typedef std::string string_type;
  typedef std::list<entry> list_type;
  typedef std::map<std::string, entry> dictionary_type;

  entry() = default;
  explicit entry(data_type t);
  entry(const entry& other);
  entry& operator=(const entry& other);
  ~entry();

  data_type type() const { return type_; }

  // On a modifiable entry an undefined value first becomes an empty value of the asked type; a value of
  // another type raises the "HTTP" error 10, "invalid type requested from entry".
  integer_type& integer();
  const integer_type& integer() const;
  string_type& string();
  const string_type& string() const;
  list_type& list();
  const list_type& list() const;
  dictionary_type& dict();
  const dictionary_type& dict() const;

  entry& operator[](const char* key);
  entry& operator[](const std::string& key);
  // Read-only lookup; null when the entry is no dictionary or has no such key.
  const entry* find_key(const std::string& key) const;

  [[noreturn]] static void throw_type_error();

 private:
  void destruct();
  void construct(data_type t);
  void copy(const entry& other);
  void require(data_type t) const;
  void become(data_type t);

  data_type type_ = undefined_t;
  integer_type integer_ = 0;
  string_type string_;
  std::unique_ptr<list_type> list_;
  std::unique_ptr<dictionary_type> dict_;
};

namespace detail {

// Values nested deeper than this below the top value are refused.
const int max_bdecode_depth = 100;

// Appends the encoding of e; returns the number of bytes written.
int bencode(std::vector<char>& out, const entry& e);
int bencode(std::string& out, const entry& e);
// The undefined entry on any error; bytes after the top value are ignored.
entry bdecode(const char* first, const char* last);
// Decimal text of a signed 64-bit value.
std::string integer_to_str(int64_t value);

}  // namespace detail
}  // namespace qelhttp
