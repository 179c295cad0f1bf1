#pragma once
// The block side of the compressor: the code tables, the symbols recorded since the last block end with
// their frequencies, and the output of a block as stored, fixed-Huffman or dynamic-Huffman, whichever is
// smallest.
#include <cstdint>
#include <memory>

#include "DeflateBitWriter.h"
#include "DeflateHuffman.h"
#include "DeflateStatus.h"

namespace QelCompress {

class CDeflateTrees {
 public:
  static const unsigned kLiteralBufferSize = 32768;   // symbols (literals and matches) per block at most
  static const unsigned kDistanceBufferSize = 32768;  // matches per block at most
  static const unsigned kMaxDistance = 32506;         // window half less the least lookahead
  static const unsigned kLengthCodes = 29;
  static const unsigned kLiteralCodes = 256 + 1 + kLengthCodes;  // 286
  static const unsigned kDistanceCodes = 30;
  static const unsigned kBitLengthCodes = 19;

  CDeflateTrees(TDeflateStatus* status, CDeflateBitWriter* out);

  // Builds the length and distance code tables and the fixed trees; false (with the message) when a
  // table does not come out whole.
  bool BuildTables();
  // Forgets every recorded symbol; the next block starts clean. level decides the early block end.
  void Start(int level);

  // Record one literal or one match (distance 1..32506, length 3..258). True when the block should end
  // after this symbol. blockBytes is the input the block spans so far.
  bool TallyLiteral(uint8_t literal, int64_t blockBytes) {
    literals_[last_symbol_] = literal;
    ++literal_freq_[literal];
    return EndsBlock(++last_symbol_, blockBytes);
  }
  bool TallyMatch(unsigned distance, unsigned length, int64_t blockBytes) {
    unsigned short_distance = distance - 1;
    unsigned length_index = length - 3;
    if (short_distance >= kMaxDistance || length_index > 255) {
      status_->Fail("ct_tally: bad match");
      return true;
    }
    unsigned distance_code = DistanceCode(short_distance);
    if (distance_code >= kDistanceCodes) {
      status_->Fail("ct_tally: bad match");
      return true;
    }
    literals_[last_symbol_] = static_cast<uint8_t>(length_index);
    distances_[last_distance_++] = static_cast<uint16_t>(distance);
    flags_[last_symbol_ >> 3] |= static_cast<uint8_t>(1u << (last_symbol_ & 7));
    ++literal_freq_[257 + length_code_[length_index]];
    ++distance_freq_[distance_code];
    return EndsBlock(++last_symbol_, blockBytes);
  }

  // Writes the recorded symbols as one block (several stored blocks when the input is longer than one can
  // hold). window points at the block's input when it is still all in the window, else null.
  void FlushBlock(const uint8_t* window, uint64_t blockBytes, bool last);

 private:
  struct TRunCode {
    uint8_t symbol;  // 0..18
    uint8_t extra;   // repeat count less its base, for 16, 17 and 18
  };

  unsigned DistanceCode(unsigned shortDistance) const {
    return shortDistance < 256 ? distance_code_[shortDistance] : distance_code_[256 + (shortDistance >> 7)];
  }
  bool EndsBlock(unsigned symbols, int64_t blockBytes) {
    if (symbols >= kLiteralBufferSize - 1 || last_distance_ >= kDistanceBufferSize) return true;
    if (level_ >= 3 && (symbols & 0xFFF) == 0) return EndsEarly(symbols, blockBytes);
    return false;
  }
  bool EndsEarly(unsigned symbols, int64_t blockBytes) const;
  void ResetBlock();
  void BuildDynamicTrees();
  void RunLengthCode(const uint8_t* lengths, unsigned count);
  uint64_t SymbolBits(const TDeflateCode* literalTree, const TDeflateCode* distanceTree) const;
  void SendTrees();
  void SendSymbols(const TDeflateCode* literalTree, const TDeflateCode* distanceTree);
  void SendStored(const uint8_t* data, uint64_t size, bool last);

  TDeflateStatus* status_;
  CDeflateBitWriter* out_;
  CHuffmanBuilder builder_;
  int level_ = 8;

  // Code tables.
  uint8_t length_code_[256];
  uint8_t distance_code_[512];
  uint8_t base_length_[kLengthCodes];
  uint16_t base_distance_[kDistanceCodes];
  TDeflateCode fixed_literal_[288];
  TDeflateCode fixed_distance_[32];

  // The block being gathered.
  std::unique_ptr<uint8_t[]> literals_;    // literal, or match length less 3
  std::unique_ptr<uint16_t[]> distances_;  // one per match
  std::unique_ptr<uint8_t[]> flags_;       // one bit per symbol: set for a match
  unsigned last_symbol_ = 0;
  unsigned last_distance_ = 0;
  uint32_t literal_freq_[288];
  uint32_t distance_freq_[kDistanceCodes];

  // The dynamic trees of the block being written and the description of their code lengths.
  uint8_t literal_lengths_[288];
  uint8_t distance_lengths_[kDistanceCodes];
  TDeflateCode literal_tree_[288];
  TDeflateCode distance_tree_[kDistanceCodes];
  unsigned literal_count_ = 0;   // HLIT
  unsigned distance_count_ = 0;  // HDIST
  TRunCode runs_[kLiteralCodes + kDistanceCodes];
  unsigned run_count_ = 0;
  uint32_t bit_length_freq_[kBitLengthCodes];
  uint8_t bit_length_lengths_[kBitLengthCodes];
  TDeflateCode bit_length_tree_[kBitLengthCodes];
  unsigned bit_length_count_ = 0;  // HCLEN
};

}  // namespace QelCompress
