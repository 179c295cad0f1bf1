#pragma once
// Prefix codes for the compressed blocks: the code lengths of an optimal code no longer than a limit
// (package-merge), and the canonical codes those lengths stand for.
#include <cstdint>

namespace QelCompress {

// A code as it is sent: its bits already reversed for least-significant-first output, and its length
// (0 for a symbol that has no code).
struct TDeflateCode {
  uint16_t bits;
  uint8_t length;
};

class CHuffmanBuilder {
 public:
  static const unsigned kMaxSymbols = 288;
  static const unsigned kMaxBits = 15;

  // Lengths of a complete prefix code over `count` symbols (count <= kMaxSymbols, maxBits <= kMaxBits) that
  // minimises sum(freq * length) with no length above maxBits. Unused symbols get 0. Inflaters insist on
  // a complete code, so when fewer than two symbols are used the lowest unused ones are added with
  // length 1 to make two.
  void BuildLengths(const uint32_t* freq, unsigned count, unsigned maxBits, uint8_t* lengths);

 private:
  struct TItem {
    uint32_t weight;
    bool leaf;
  };

  uint32_t leaf_weight_[kMaxSymbols];
  uint16_t leaf_symbol_[kMaxSymbols];
  TItem lists_[kMaxBits][2 * kMaxSymbols];
  unsigned list_size_[kMaxBits];
  uint8_t leaf_length_[kMaxSymbols];
};

// Canonical codes for the lengths (RFC 1951, 3.2.2). False when the lengths do not make a complete code,
// which the builder above never produces.
bool MakeCanonicalCodes(const uint8_t* lengths, unsigned count, unsigned maxBits, TDeflateCode* codes);

}  // namespace QelCompress
