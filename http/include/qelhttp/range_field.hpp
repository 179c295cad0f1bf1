#pragma once
// Which byte ranges of a file are covered (requested, or written): a thread-safe set of half-open ranges
// over a file of known size, merged lazily, and its conversion to and from a bitfield of pieces.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace qelhttp {

// One bit per piece, most significant bit first within each byte; the spare bits of the last byte are zero.
class bitfield {
 public:
  bitfield() = default;
  bitfield(const unsigned char* bytes, uint32_t count) { assign(bytes, count); }
  void resize(uint32_t count);
  void assign(const unsigned char* bytes, uint32_t count);
  uint32_t size() const { return count_; }
  bool get(uint32_t i) const { return (bytes_[i / 8] & (0x80 >> (i % 8))) != 0; }
  void set(uint32_t i) { bytes_[i / 8] |= static_cast<unsigned char>(0x80 >> (i % 8)); }
  const std::vector<unsigned char>& bytes() const { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
  uint32_t count_ = 0;
};

// Pieces of piece_size bytes that a file of size bytes needs (the last may be short), without the overflow
// of rounding up by addition near the 64-bit limit; 0 for a size or piece size of 0 or less.
inline int64_t piece_count(int64_t size, int64_t piece_size) {
  if (size <= 0 || piece_size <= 0) return 0;
  return size / piece_size + (size % piece_size != 0 ? 1 : 0);
}

class range_field {
 public:
  range_field() : mutex_(std::make_shared<std::mutex>()) {}

  void reset(int64_t size);
  // Adds [start, end); false unless 0 <= start < end <= size. A range at an existing start keeps the
  // larger end, so what is recorded never shrinks.
  bool update(int64_t start, int64_t end);
  void merge();
  // Free space for the next request, at the offset, after it, or wrapping around to the first.
  bool out_space(int64_t offset, int64_t& start, int64_t& end);
  bool is_full();
  int64_t range_size() const;
  int64_t size() const;
  std::map<int64_t, int64_t> ranges() const;
  void to_bitfield(bitfield& bits, int32_t piece_size);
  void bitfield_to_range(const bitfield& bits, int32_t piece_size);

 private:
  void merge_locked();

  bool need_merge_ = false;
  int64_t size_ = 0;
  std::map<int64_t, int64_t> ranges_;
  std::shared_ptr<std::mutex> mutex_;
};

}  // namespace qelhttp
