#pragma once
// The compressor of deflated zip entries: a raw DEFLATE stream (RFC 1951) from a hash-chain match finder
// over a 64 KiB sliding window, with lazy evaluation at levels 4 to 8 and greedy matching at 1 to 3.
// Input is pulled through a read function, output pushed through a write function.
//
// One object serves any number of streams, one after the other: its state (about 560 KB) is allocated
// once. Not thread-safe; one owner at a time.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "DeflateBitWriter.h"
#include "DeflateStatus.h"
#include "DeflateTrees.h"

namespace QelCompress {

// Fills buffer with up to size bytes of input; 0 at the end of the input (and after an error, which the
// caller keeps for itself).
using DeflateReadFn = std::function<size_t(uint8_t* buffer, size_t size)>;

class CDeflater {
 public:
  CDeflater();
  CDeflater(const CDeflater&) = delete;
  CDeflater& operator=(const CDeflater&) = delete;

  // Readies one stream: its input, its output (the buffer is emptied through write when full; with no
  // write function the buffer must hold the whole stream), its level. Clears the message and rebuilds
  // the code tables.
  void Setup(DeflateReadFn read, DeflateWriteFn write, uint8_t* outBuffer, size_t outSize, int level);
  // Checks the level, prepares the window and reads the first input. flags receives the zip general
  // purpose bits of the level (4 for levels 1 and 2, 2 for level 8). False with the message on failure.
  bool DeflateStart(int level, uint16_t* flags);
  // Compresses to the end of the input; the compressed byte count.
  uint64_t DeflateRun();

  // The first failed check of this stream, or null.
  const char* Message() const { return status_.message; }
  // The write function refused data.
  bool WriteFailed() const { return out_.WriteFailed(); }

  static const unsigned kWindowHalf = 32768;
  static const unsigned kWindowSize = 2 * kWindowHalf;
  static const unsigned kMinMatch = 3;
  static const unsigned kMaxMatch = 258;
  static const unsigned kMinLookahead = kMaxMatch + kMinMatch + 1;   // 262
  static const unsigned kMaxDistance = kWindowHalf - kMinLookahead;  // 32506

 private:
  struct TConfig {
    uint16_t good;   // previous match this long: follow a quarter of the chain
    uint16_t lazy;   // previous match shorter than this: still look for a better one
    uint16_t nice;   // a match this long ends the search
    uint16_t chain;  // links followed at most
  };
  static const TConfig kConfig[10];

  uint32_t InsertString(uint32_t position) {
    hash_ = ((hash_ << kHashShift) ^ window_[position + kMinMatch - 1]) & kHashMask;
    uint32_t head = head_[hash_];
    // The new link is the old head followed by the first three of the old head's own link.
    uint64_t further = head != 0 ? chain_[head & kWindowMask] & 0xFFFFFFFFFFFFull : 0;
    chain_[position & kWindowMask] = head | (further << 16);
    head_[hash_] = static_cast<uint16_t>(position);
    return head;
  }
  void PrimeHash(uint32_t position) {
    hash_ = window_[position];
    hash_ = ((hash_ << kHashShift) ^ window_[position + 1]) & kHashMask;
  }
  int64_t BlockBytes() const { return static_cast<int64_t>(strstart_) - block_start_; }

  bool FillWindow();
  void SlideWindow();
  uint32_t LongestMatch(uint32_t chainHead);
  // Asks the cache early for what the next position's search reads first.
  void PrefetchNext(uint32_t chainHead) const {
    uint32_t next_hash = ((hash_ << kHashShift) ^ window_[strstart_ + kMinMatch]) & kHashMask;
    __builtin_prefetch(&head_[next_hash]);
    __builtin_prefetch(window_.get() + chainHead + prev_length_);
  }
  bool FlushBlock(bool last);
  bool RunLazy();
  bool RunGreedy();

  static const unsigned kHashBits = 15;
  static const unsigned kHashSize = 1u << kHashBits;
  static const unsigned kHashMask = kHashSize - 1;
  static const unsigned kHashShift = 5;  // three shifts push a byte out of the 15-bit hash
  static const unsigned kWindowMask = kWindowHalf - 1;
  static const unsigned kTooFar = 4096;  // a 3-byte match further back costs more than its literals
  // The match scan reads whole 8-byte words up to the longest match past the window's end.
  static const unsigned kWindowSlack = kMaxMatch + 16;

  TDeflateStatus status_;
  CDeflateBitWriter out_;
  CDeflateTrees trees_;
  std::unique_ptr<uint8_t[]> window_;
  // Positions inside the 64 KiB window fit 16 bits. The chain entry of a position holds the previous
  // position with the same hash in its low 16 bits and the three before that above it: the walk along a
  // chain is bound by memory latency, and this way it waits for memory once every four candidates instead
  // of once for each. The candidates and their order are exactly those of a one-link chain.
  std::unique_ptr<uint16_t[]> head_;   // newest position of each hash, 0 for none
  std::unique_ptr<uint64_t[]> chain_;  // indexed by position & 0x7FFF

  DeflateReadFn read_;
  int level_ = 8;
  TConfig config_{};
  bool end_of_input_ = false;
  uint32_t hash_ = 0;
  uint32_t strstart_ = 0;
  uint32_t lookahead_ = 0;
  int64_t block_start_ = 0;  // below 0 once the block's start has slid out of the window
  uint32_t match_start_ = 0;
  uint32_t match_length_ = kMinMatch - 1;
  uint32_t prev_match_ = 0;
  uint32_t prev_length_ = kMinMatch - 1;
  bool match_available_ = false;
};

}  // namespace QelCompress
