#include "qelhttp/range_field.hpp"

#include <algorithm>

namespace qelhttp {

void bitfield::resize(uint32_t count) {
  bytes_.resize((static_cast<size_t>(count) + 7) / 8, 0);
  count_ = count;
  if (count % 8 != 0) bytes_.back() &= static_cast<unsigned char>(0xFF << (8 - count % 8));
}

void bitfield::assign(const unsigned char* bytes, uint32_t count) {
  bytes_.assign(bytes, bytes + (static_cast<size_t>(count) + 7) / 8);
  resize(count);
}

void range_field::reset(int64_t size) {
  std::lock_guard<std::mutex> hold(*mutex_);
  size_ = size;
  ranges_.clear();
  need_merge_ = false;
}

bool range_field::update(int64_t start, int64_t end) {
  std::lock_guard<std::mutex> hold(*mutex_);
  if (start < 0 || start >= end || end > size_) return false;
  int64_t& stored = ranges_[start];
  stored = std::max(stored, end);
  need_merge_ = true;
  return true;
}

void range_field::merge_locked() {
  std::map<int64_t, int64_t> merged;
  bool have = false;
  int64_t cur_start = 0;
  int64_t cur_end = 0;
  for (const auto& range : ranges_) {
    if (have && range.first <= cur_end) {
      cur_end = std::max(cur_end, range.second);
      continue;
    }
    if (have) merged[cur_start] = cur_end;
    cur_start = range.first;
    cur_end = range.second;
    have = true;
  }
  if (have) merged[cur_start] = cur_end;
  ranges_.swap(merged);
  need_merge_ = false;
}

void range_field::merge() {
  std::lock_guard<std::mutex> hold(*mutex_);
  merge_locked();
}

bool range_field::out_space(int64_t offset, int64_t& start, int64_t& end) {
  std::lock_guard<std::mutex> hold(*mutex_);
  if (need_merge_) merge_locked();
  std::vector<std::pair<int64_t, int64_t>> free;
  int64_t at = 0;
  for (const auto& range : ranges_) {
    if (range.first > at) free.emplace_back(at, range.first);
    at = range.second;
  }
  if (at < size_) free.emplace_back(at, size_);
  if (free.empty()) return false;
  for (const auto& gap : free) {
    if (offset >= gap.first && offset < gap.second) {
      start = offset;
      end = gap.second;
      return true;
    }
  }
  for (const auto& gap : free) {
    if (gap.first > offset) {
      start = gap.first;
      end = gap.second;
      return true;
    }
  }
  start = free.front().first;
  end = free.front().second;
  return true;
}

bool range_field::is_full() {
  std::lock_guard<std::mutex> hold(*mutex_);
  if (need_merge_) merge_locked();
  return ranges_.size() == 1 && ranges_.begin()->first == 0 && ranges_.begin()->second == size_;
}

int64_t range_field::range_size() const {
  std::lock_guard<std::mutex> hold(*mutex_);
  int64_t total = 0;
  for (const auto& range : ranges_) total += range.second - range.first;
  return total;
}

int64_t range_field::size() const {
  std::lock_guard<std::mutex> hold(*mutex_);
  return size_;
}

std::map<int64_t, int64_t> range_field::ranges() const {
  std::lock_guard<std::mutex> hold(*mutex_);
  return ranges_;
}

// A piece's bit is set when one merged range holds the whole piece. The cursor passes every range that
// ends before the piece, so small ranges between pieces never hide a covered piece.
void range_field::to_bitfield(bitfield& bits, int32_t piece_size) {
  std::lock_guard<std::mutex> hold(*mutex_);
  if (piece_size <= 0) return;
  if (need_merge_) merge_locked();
  uint32_t count = static_cast<uint32_t>(piece_count(size_, piece_size));
  bits.resize(count);
  auto cursor = ranges_.begin();
  for (uint32_t i = 0; i < count; ++i) {
    int64_t piece_start = static_cast<int64_t>(i) * piece_size;
    int64_t piece_end = std::min(piece_start + piece_size, size_);
    while (cursor != ranges_.end() && cursor->second <= piece_start) ++cursor;
    if (cursor == ranges_.end()) break;
    if (cursor->first <= piece_start && piece_end <= cursor->second) bits.set(i);
  }
}

void range_field::bitfield_to_range(const bitfield& bits, int32_t piece_size) {
  std::lock_guard<std::mutex> hold(*mutex_);
  ranges_.clear();
  need_merge_ = true;
  if (piece_size <= 0) return;
  uint32_t i = 0;
  while (i < bits.size()) {
    if (!bits.get(i)) {
      ++i;
      continue;
    }
    uint32_t j = i;
    while (j + 1 < bits.size() && bits.get(j + 1)) ++j;
    int64_t start = static_cast<int64_t>(i) * piece_size;
    int64_t end = std::min(static_cast<int64_t>(j + 1) * piece_size, size_);
    if (start < end) ranges_[start] = end;
    i = j + 1;
  }
}

}  // namespace qelhttp
