#include "DeflateTrees.h"

#include <algorithm>
#include <cstring>

namespace QelCompress {

namespace {

const uint8_t kExtraLengthBits[CDeflateTrees::kLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint8_t kExtraDistanceBits[CDeflateTrees::kDistanceCodes] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                                   6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint8_t kExtraRunBits[3] = {2, 3, 7};  // codes 16, 17, 18
// The order in which the bit-length code lengths are sent: the ones most often unused come last.
const uint8_t kBitLengthOrder[CDeflateTrees::kBitLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                 11, 4,  12, 3, 13, 2, 14, 1, 15};
const unsigned kEndOfBlock = 256;
const unsigned kMaxBitLengthBits = 7;
const unsigned kStoredBlock = 0, kFixedBlock = 1, kDynamicBlock = 2;

}  // namespace

CDeflateTrees::CDeflateTrees(TDeflateStatus* status, CDeflateBitWriter* out)
    : status_(status),
      out_(out),
      literals_(new uint8_t[kLiteralBufferSize]),
      distances_(new uint16_t[kDistanceBufferSize]),
      flags_(new uint8_t[kLiteralBufferSize / 8]()) {
  ResetBlock();
}

bool CDeflateTrees::BuildTables() {
  unsigned length = 0;
  for (unsigned code = 0; code < kLengthCodes - 1; ++code) {
    base_length_[code] = static_cast<uint8_t>(length);
    for (unsigned n = 0; n < (1u << kExtraLengthBits[code]) && length < 256; ++n) {
      length_code_[length++] = static_cast<uint8_t>(code);
    }
  }
  if (length != 256) {
    status_->Fail("ct_init: length != 256");
    return false;
  }
  // Length 258 has a code of its own; the last extra-bit code would also reach it, one step too late.
  length_code_[255] = kLengthCodes - 1;
  base_length_[kLengthCodes - 1] = 255;

  unsigned distance = 0;
  for (unsigned code = 0; code < 16; ++code) {
    base_distance_[code] = static_cast<uint16_t>(distance);
    for (unsigned n = 0; n < (1u << kExtraDistanceBits[code]) && distance < 256; ++n) {
      distance_code_[distance++] = static_cast<uint8_t>(code);
    }
  }
  if (distance != 256) {
    status_->Fail("ct_init: dist != 256");
    return false;
  }
  // Beyond 256 the table is indexed by the distance divided by 128.
  distance >>= 7;
  for (unsigned code = 16; code < kDistanceCodes; ++code) {
    base_distance_[code] = static_cast<uint16_t>(distance << 7);
    for (unsigned n = 0; n < (1u << (kExtraDistanceBits[code] - 7)) && 256 + distance < 512; ++n) {
      distance_code_[256 + distance++] = static_cast<uint8_t>(code);
    }
  }
  if (256 + distance != 512) {
    status_->Fail("ct_init: 256+dist != 512");
    return false;
  }

  uint8_t lengths[288];
  std::fill(lengths, lengths + 144, 8);
  std::fill(lengths + 144, lengths + 256, 9);
  std::fill(lengths + 256, lengths + 280, 7);
  std::fill(lengths + 280, lengths + 288, 8);
  uint8_t distance_lengths[32];
  std::fill(distance_lengths, distance_lengths + 32, 5);
  if (!MakeCanonicalCodes(lengths, 288, CHuffmanBuilder::kMaxBits, fixed_literal_) ||
      !MakeCanonicalCodes(distance_lengths, 32, CHuffmanBuilder::kMaxBits, fixed_distance_)) {
    status_->Fail("inconsistent bit counts");
    return false;
  }
  return true;
}

void CDeflateTrees::Start(int level) {
  level_ = level;
  ResetBlock();
}

void CDeflateTrees::ResetBlock() {
  std::memset(flags_.get(), 0, (last_symbol_ + 7) / 8);
  last_symbol_ = 0;
  last_distance_ = 0;
  std::memset(literal_freq_, 0, sizeof literal_freq_);
  std::memset(distance_freq_, 0, sizeof distance_freq_);
  literal_freq_[kEndOfBlock] = 1;
}

bool CDeflateTrees::EndsEarly(unsigned symbols, int64_t blockBytes) const {
  // A rough size at 8 bits a symbol plus the distances: when few matches are found but the block already
  // shrinks to less than half, its statistics are worth a block of their own.
  uint64_t estimate = static_cast<uint64_t>(symbols) * 8;
  for (unsigned code = 0; code < kDistanceCodes; ++code) {
    estimate += static_cast<uint64_t>(distance_freq_[code]) * (5 + kExtraDistanceBits[code]);
  }
  estimate >>= 3;
  return last_distance_ < symbols / 2 && blockBytes > 0 && estimate < static_cast<uint64_t>(blockBytes) / 2;
}

void CDeflateTrees::RunLengthCode(const uint8_t* lengths, unsigned count) {
  run_count_ = 0;
  std::memset(bit_length_freq_, 0, sizeof bit_length_freq_);
  for (unsigned i = 0; i < count;) {
    uint8_t value = lengths[i];
    unsigned run = 1;
    while (i + run < count && lengths[i + run] == value) ++run;
    i += run;
    if (value == 0) {
      while (run >= 11) {
        unsigned n = std::min(run, 138u);
        runs_[run_count_++] = TRunCode{18, static_cast<uint8_t>(n - 11)};
        run -= n;
      }
      if (run >= 3) {
        runs_[run_count_++] = TRunCode{17, static_cast<uint8_t>(run - 3)};
        run = 0;
      }
    } else {
      runs_[run_count_++] = TRunCode{value, 0};
      --run;
      while (run >= 3) {
        unsigned n = std::min(run, 6u);
        if (n < 3 || n > 6) status_->Fail(" 3_6?");
        runs_[run_count_++] = TRunCode{16, static_cast<uint8_t>(n - 3)};
        run -= n;
      }
    }
    while (run-- > 0) runs_[run_count_++] = TRunCode{value, 0};
  }
  for (unsigned i = 0; i < run_count_; ++i) ++bit_length_freq_[runs_[i].symbol];
}

void CDeflateTrees::BuildDynamicTrees() {
  builder_.BuildLengths(literal_freq_, kLiteralCodes, CHuffmanBuilder::kMaxBits, literal_lengths_);
  builder_.BuildLengths(distance_freq_, kDistanceCodes, CHuffmanBuilder::kMaxBits, distance_lengths_);
  if (!MakeCanonicalCodes(literal_lengths_, kLiteralCodes, CHuffmanBuilder::kMaxBits, literal_tree_) ||
      !MakeCanonicalCodes(distance_lengths_, kDistanceCodes, CHuffmanBuilder::kMaxBits, distance_tree_)) {
    status_->Fail("inconsistent bit counts");
  }
  literal_count_ = kLiteralCodes;
  while (literal_count_ > 257 && literal_lengths_[literal_count_ - 1] == 0) --literal_count_;
  distance_count_ = kDistanceCodes;
  while (distance_count_ > 1 && distance_lengths_[distance_count_ - 1] == 0) --distance_count_;

  // Both length lists are described as one sequence, so a run may cross from one into the other.
  uint8_t all[kLiteralCodes + kDistanceCodes];
  std::memcpy(all, literal_lengths_, literal_count_);
  std::memcpy(all + literal_count_, distance_lengths_, distance_count_);
  RunLengthCode(all, literal_count_ + distance_count_);
  builder_.BuildLengths(bit_length_freq_, kBitLengthCodes, kMaxBitLengthBits, bit_length_lengths_);
  if (!MakeCanonicalCodes(bit_length_lengths_, kBitLengthCodes, kMaxBitLengthBits, bit_length_tree_)) {
    status_->Fail("inconsistent bit counts");
  }
  bit_length_count_ = kBitLengthCodes;
  while (bit_length_count_ > 4 && bit_length_lengths_[kBitLengthOrder[bit_length_count_ - 1]] == 0) {
    --bit_length_count_;
  }
}

uint64_t CDeflateTrees::SymbolBits(const TDeflateCode* literalTree, const TDeflateCode* distanceTree) const {
  uint64_t bits = 0;
  for (unsigned s = 0; s <= kEndOfBlock; ++s) bits += static_cast<uint64_t>(literal_freq_[s]) * literalTree[s].length;
  for (unsigned code = 0; code < kLengthCodes; ++code) {
    bits +=
        static_cast<uint64_t>(literal_freq_[257 + code]) * (literalTree[257 + code].length + kExtraLengthBits[code]);
  }
  for (unsigned code = 0; code < kDistanceCodes; ++code) {
    bits += static_cast<uint64_t>(distance_freq_[code]) * (distanceTree[code].length + kExtraDistanceBits[code]);
  }
  return bits;
}

void CDeflateTrees::SendTrees() {
  if (literal_count_ < 257 || distance_count_ < 1 || bit_length_count_ < 4) {
    status_->Fail("not enough codes");
    return;
  }
  if (literal_count_ > kLiteralCodes || distance_count_ > kDistanceCodes || bit_length_count_ > kBitLengthCodes) {
    status_->Fail("too many codes");
    return;
  }
  out_->SendBits(literal_count_ - 257, 5);
  out_->SendBits(distance_count_ - 1, 5);
  out_->SendBits(bit_length_count_ - 4, 4);
  for (unsigned i = 0; i < bit_length_count_; ++i) out_->SendBits(bit_length_lengths_[kBitLengthOrder[i]], 3);
  for (unsigned i = 0; i < run_count_; ++i) {
    const TRunCode& run = runs_[i];
    const TDeflateCode& code = bit_length_tree_[run.symbol];
    if (run.symbol < 16) {
      out_->SendBits(code.bits, code.length);
    } else {
      unsigned k = run.symbol - 16u;
      out_->SendBits(code.bits | (static_cast<uint32_t>(run.extra) << code.length), code.length + kExtraRunBits[k]);
    }
  }
}

void CDeflateTrees::SendSymbols(const TDeflateCode* literalTree, const TDeflateCode* distanceTree) {
  unsigned next_distance = 0;
  uint8_t flags = 0;
  for (unsigned i = 0; i < last_symbol_; ++i) {
    if ((i & 7) == 0) flags = flags_[i >> 3];
    unsigned value = literals_[i];
    if (!(flags & 1)) {
      const TDeflateCode& code = literalTree[value];
      if (code.length == 0) {
        status_->Fail("invalid length");
        return;
      }
      out_->SendBits(code.bits, code.length);
    } else {
      unsigned length_symbol = length_code_[value];
      const TDeflateCode& lcode = literalTree[257 + length_symbol];
      unsigned extra = kExtraLengthBits[length_symbol];
      out_->SendBits(lcode.bits | ((value - base_length_[length_symbol]) << lcode.length), lcode.length + extra);
      unsigned short_distance = distances_[next_distance++] - 1u;
      unsigned distance_symbol = DistanceCode(short_distance);
      if (distance_symbol >= kDistanceCodes) {
        status_->Fail("bad d_code");
        return;
      }
      const TDeflateCode& dcode = distanceTree[distance_symbol];
      if (lcode.length == 0 || dcode.length == 0) {
        status_->Fail("invalid length");
        return;
      }
      unsigned dextra = kExtraDistanceBits[distance_symbol];
      out_->SendBits(dcode.bits | ((short_distance - base_distance_[distance_symbol]) << dcode.length),
                     dcode.length + dextra);
    }
    flags >>= 1;
  }
  const TDeflateCode& end = literalTree[kEndOfBlock];
  out_->SendBits(end.bits, end.length);
}

void CDeflateTrees::SendStored(const uint8_t* data, uint64_t size, bool last) {
  do {
    unsigned n = static_cast<unsigned>(std::min<uint64_t>(size, 65535));
    bool final_block = last && n == size;
    out_->SendBits((kStoredBlock << 1) | (final_block ? 1 : 0), 3);
    out_->AlignToByte();
    uint8_t head[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(~n),
                       static_cast<uint8_t>(~n >> 8)};
    out_->WriteBytes(head, 4);
    out_->WriteBytes(data, n);
    data += n;
    size -= n;
  } while (size > 0);
}

void CDeflateTrees::FlushBlock(const uint8_t* window, uint64_t blockBytes, bool last) {
  if (status_->Failed()) return;
  BuildDynamicTrees();
  uint64_t tree_bits = 5 + 5 + 4 + 3 * static_cast<uint64_t>(bit_length_count_);
  for (unsigned s = 0; s < kBitLengthCodes; ++s) {
    tree_bits += static_cast<uint64_t>(bit_length_freq_[s]) * bit_length_lengths_[s];
  }
  for (unsigned k = 0; k < 3; ++k) tree_bits += static_cast<uint64_t>(bit_length_freq_[16 + k]) * kExtraRunBits[k];
  uint64_t dynamic_bits = tree_bits + SymbolBits(literal_tree_, distance_tree_);
  uint64_t fixed_bits = SymbolBits(fixed_literal_, fixed_distance_);
  uint64_t dynamic_bytes = (dynamic_bits + 3 + 7) >> 3;
  uint64_t fixed_bytes = (fixed_bits + 3 + 7) >> 3;
  uint64_t best_bytes = std::min(dynamic_bytes, fixed_bytes);

  uint64_t before = out_->BitCount();
  if (window && blockBytes + 4 <= best_bytes) {
    SendStored(window, blockBytes, last);
  } else if (fixed_bytes == best_bytes) {
    out_->SendBits((kFixedBlock << 1) | (last ? 1 : 0), 3);
    SendSymbols(fixed_literal_, fixed_distance_);
    if (!status_->Failed() && out_->BitCount() - before != fixed_bits + 3) status_->Fail("bad compressed size");
  } else {
    out_->SendBits((kDynamicBlock << 1) | (last ? 1 : 0), 3);
    SendTrees();
    SendSymbols(literal_tree_, distance_tree_);
    if (!status_->Failed() && out_->BitCount() - before != dynamic_bits + 3) status_->Fail("bad compressed size");
  }
  ResetBlock();
  if (last) out_->AlignToByte();
}

}  // namespace QelCompress
