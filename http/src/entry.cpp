#include "qelhttp/entry.hpp"

#include <boost/system/system_error.hpp>
#include <cctype>
#include <limits>

#include "qelhttp/error.hpp"

namespace qelhttp {

entry::entry(data_type t) { construct(t); }

entry::entry(const entry& other) { copy(other); }

entry& entry::operator=(const entry& other) {
  if (this == &other) return *this;
  entry copied(other);
  destruct();
  type_ = copied.type_;
  integer_ = copied.integer_;
  string_.swap(copied.string_);
  list_ = std::move(copied.list_);
  dict_ = std::move(copied.dict_);
  return *this;
}

entry::~entry() { destruct(); }

void entry::destruct() {
  string_.clear();
  list_.reset();
  dict_.reset();
  integer_ = 0;
  type_ = undefined_t;
}

void entry::construct(data_type t) {
  destruct();
  type_ = t;
  if (t == list_t) list_.reset(new list_type);
  if (t == dictionary_t) dict_.reset(new dictionary_type);
}

void entry::copy(const entry& other) {
  type_ = other.type_;
  integer_ = other.integer_;
  string_ = other.string_;
  if (other.list_) list_.reset(new list_type(*other.list_));
  if (other.dict_) dict_.reset(new dictionary_type(*other.dict_));
}

void entry::throw_type_error() {
  throw boost::system::system_error(make_error_code(errc::invalid_entry_type));
}

void entry::require(data_type t) const {
  if (type_ != t) throw_type_error();
}

void entry::become(data_type t) {
  if (type_ == undefined_t) construct(t);
  require(t);
}

entry::integer_type& entry::integer() {
  become(int_t);
  return integer_;
}

const entry::integer_type& entry::integer() const {
  require(int_t);
  return integer_;
}

entry::string_type& entry::string() {
  become(string_t);
  return string_;
}

const entry::string_type& entry::string() const {
  require(string_t);
  return string_;
}

entry::list_type& entry::list() {
  become(list_t);
  return *list_;
}

const entry::list_type& entry::list() const {
  require(list_t);
  return *list_;
}

entry::dictionary_type& entry::dict() {
  become(dictionary_t);
  return *dict_;
}

const entry::dictionary_type& entry::dict() const {
  require(dictionary_t);
  return *dict_;
}

entry& entry::operator[](const char* key) { return dict()[key]; }

entry& entry::operator[](const std::string& key) { return dict()[key]; }

const entry* entry::find_key(const std::string& key) const {
  if (type_ != dictionary_t) return nullptr;
  auto it = dict_->find(key);
  return it == dict_->end() ? nullptr : &it->second;
}

namespace detail {

std::string integer_to_str(int64_t value) { return std::to_string(value); }

namespace {

void encode_to(std::string& out, const entry& e) {
  switch (e.type()) {
    case entry::int_t:
      out += "i" + integer_to_str(e.integer()) + "e";
      break;
    case entry::string_t:
      out += std::to_string(e.string().size()) + ":" + e.string();
      break;
    case entry::list_t:
      out += "l";
      for (const entry& item : e.list()) encode_to(out, item);
      out += "e";
      break;
    case entry::dictionary_t:
      out += "d";
      for (const auto& pair : e.dict()) {
        out += std::to_string(pair.first.size()) + ":" + pair.first;
        encode_to(out, pair.second);
      }
      out += "e";
      break;
    case entry::undefined_t:
      break;
  }
}

class decoder {
 public:
  decoder(const char* first, const char* last) : cur_(first), last_(last) {}

  bool decode(entry& out, int depth) {
    // A repeated dictionary key lands in a slot that already holds a value: the last one wins whole.
    out = entry();
    if (depth >= max_bdecode_depth || cur_ == last_) return false;
    char c = *cur_;
    if (c == 'i') return decode_integer(out);
    if (c == 'l') return decode_list(out, depth);
    if (c == 'd') return decode_dict(out, depth);
    if (isdigit(static_cast<unsigned char>(c))) return decode_string(out);
    return false;
  }

 private:
  // Text up to the terminator, which is skipped; false when the input ends first.
  bool take_until(char terminator, std::string& text) {
    const char* start = cur_;
    while (cur_ != last_ && *cur_ != terminator) ++cur_;
    if (cur_ == last_) return false;
    text.assign(start, cur_);
    ++cur_;
    return true;
  }

  bool decode_integer(entry& out) {
    ++cur_;
    std::string text;
    if (!take_until('e', text)) return false;
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size() || !isdigit(static_cast<unsigned char>(text[i]))) return false;
    // Read as strtoll reads: a value out of range saturates at the nearest limit.
    uint64_t magnitude = 0;
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
      uint64_t digit = static_cast<uint64_t>(text[i] - '0');
      magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    out.integer() = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }

  // The length is all digits and never more than the bytes that remain.
  bool decode_string(entry& out) {
    std::string text;
    if (!take_until(':', text) || text.empty() || text.size() > 19) return false;
    uint64_t length = 0;
    for (char c : text) {
      if (!isdigit(static_cast<unsigned char>(c))) return false;
      length = length * 10 + static_cast<uint64_t>(c - '0');
    }
    if (length > static_cast<uint64_t>(last_ - cur_)) return false;
    out.string().assign(cur_, static_cast<size_t>(length));
    cur_ += length;
    return true;
  }

  bool decode_list(entry& out, int depth) {
    out.list();
    if (++cur_ == last_) return false;
    while (*cur_ != 'e') {
      out.list().emplace_back();
      if (!decode(out.list().back(), depth + 1) || cur_ == last_) return false;
    }
    ++cur_;
    return true;
  }

  bool decode_dict(entry& out, int depth) {
    out.dict();
    if (++cur_ == last_) return false;
    while (*cur_ != 'e') {
      entry key;
      if (!decode(key, depth + 1)) return false;
      // A key that is not a string ends the dictionary with what was read so far.
      if (key.type() != entry::string_t) return true;
      if (!decode(out[key.string()], depth + 1) || cur_ == last_) return false;
    }
    ++cur_;
    return true;
  }

  const char* cur_;
  const char* last_;
};

}  // namespace

int bencode(std::string& out, const entry& e) {
  size_t before = out.size();
  encode_to(out, e);
  return static_cast<int>(out.size() - before);
}

int bencode(std::vector<char>& out, const entry& e) {
  std::string text;
  int n = bencode(text, e);
  out.insert(out.end(), text.begin(), text.end());
  return n;
}

entry bdecode(const char* first, const char* last) {
  if (!first || first > last) return entry();
  try {
    entry result;
    decoder d(first, last);
    return d.decode(result, 0) ? result : entry();
  } catch (const std::exception&) {
    // Decoding never raises: whatever went wrong, the caller sees input that did not decode.
    return entry();
  }
}

}  // namespace detail
}  // namespace qelhttp
