#include "DeflateHuffman.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace QelCompress {

namespace {

uint16_t ReverseBits(unsigned code, unsigned length) {
  unsigned reversed = 0;
  for (unsigned i = 0; i < length; ++i) {
    reversed = (reversed << 1) | (code & 1);
    code >>= 1;
  }
  return static_cast<uint16_t>(reversed);
}

}  // namespace

void CHuffmanBuilder::BuildLengths(const uint32_t* freq, unsigned count, unsigned maxBits, uint8_t* lengths) {
  std::memset(lengths, 0, count);
  unsigned used = 0;
  for (unsigned s = 0; s < count; ++s) {
    if (freq[s] != 0) leaf_symbol_[used++] = static_cast<uint16_t>(s);
  }
  if (used < 2) {
    for (unsigned s = 0; s < count && used < 2; ++s) {
      if (freq[s] == 0 && (used == 0 || leaf_symbol_[0] != s)) leaf_symbol_[used++] = static_cast<uint16_t>(s);
    }
    for (unsigned i = 0; i < used; ++i) lengths[leaf_symbol_[i]] = 1;
    return;
  }
  std::sort(leaf_symbol_, leaf_symbol_ + used,
            [freq](uint16_t a, uint16_t b) { return freq[a] != freq[b] ? freq[a] < freq[b] : a < b; });
  for (unsigned i = 0; i < used; ++i) leaf_weight_[i] = freq[leaf_symbol_[i]];

  // Package-merge. The deepest list holds the leaves; each list above merges the leaves with the pairs
  // ("packages") of the list below, all in ascending weight.
  unsigned deepest = maxBits - 1;
  for (unsigned i = 0; i < used; ++i) lists_[deepest][i] = TItem{leaf_weight_[i], true};
  list_size_[deepest] = used;
  for (unsigned level = deepest; level-- > 0;) {
    const TItem* below = lists_[level + 1];
    unsigned packages = list_size_[level + 1] / 2;
    TItem* out = lists_[level];
    unsigned leaf = 0, package = 0, n = 0;
    while (leaf < used || package < packages) {
      uint32_t package_weight = package < packages ? below[2 * package].weight + below[2 * package + 1].weight : 0;
      if (package >= packages || (leaf < used && leaf_weight_[leaf] <= package_weight)) {
        out[n++] = TItem{leaf_weight_[leaf++], true};
      } else {
        out[n++] = TItem{package_weight, false};
        ++package;
      }
    }
    list_size_[level] = n;
  }

  // The 2n-2 lightest items of the top list make the code. Leaves enter every list in the same ascending
  // order and packages take the lists below from their start, so what a chosen prefix uses of each list is
  // again a prefix: a leaf's length is the number of lists whose chosen prefix contains it.
  std::memset(leaf_length_, 0, used);
  unsigned take = 2 * used - 2;
  for (unsigned level = 0; level <= deepest && take > 0; ++level) {
    unsigned leaves = 0, packages = 0;
    for (unsigned i = 0; i < take; ++i) (lists_[level][i].leaf ? leaves : packages)++;
    for (unsigned i = 0; i < leaves; ++i) ++leaf_length_[i];
    take = 2 * packages;
  }
  for (unsigned i = 0; i < used; ++i) lengths[leaf_symbol_[i]] = leaf_length_[i];
}

bool MakeCanonicalCodes(const uint8_t* lengths, unsigned count, unsigned maxBits, TDeflateCode* codes) {
  unsigned length_count[CHuffmanBuilder::kMaxBits + 1] = {};
  for (unsigned s = 0; s < count; ++s) {
    if (lengths[s] > maxBits) return false;
    length_count[lengths[s]]++;
  }
  unsigned next[CHuffmanBuilder::kMaxBits + 2] = {};
  unsigned code = 0;
  length_count[0] = 0;
  for (unsigned bits = 1; bits <= maxBits; ++bits) {
    code = (code + length_count[bits - 1]) << 1;
    next[bits] = code;
  }
  // A complete code uses up every pattern of the longest length.
  if (next[maxBits] + length_count[maxBits] != (1u << maxBits)) return false;
  for (unsigned s = 0; s < count; ++s) {
    unsigned length = lengths[s];
    codes[s].length = static_cast<uint8_t>(length);
    codes[s].bits = length ? ReverseBits(next[length]++, length) : 0;
  }
  return true;
}

}  // namespace QelCompress
