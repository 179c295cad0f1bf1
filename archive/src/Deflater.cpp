#include "Deflater.h"

#include <algorithm>
#include <cstring>

namespace QelCompress {

// Rows 0 and 9 complete the table but are never used: levels 1 to 8 are accepted.
const CDeflater::TConfig CDeflater::kConfig[10] = {
    {0, 0, 0, 0},    {4, 4, 8, 4},      {4, 5, 16, 8},     {4, 6, 32, 32},       {4, 4, 16, 16},
    {8, 16, 32, 32}, {8, 16, 128, 128}, {8, 32, 128, 256}, {32, 128, 258, 1024}, {32, 258, 258, 4096}};

namespace {

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The length of the common prefix of scan and match, given that their first two bytes agree; at most
// 258. Eight bytes per step: the first differing byte is the lowest set byte of the difference.
inline uint32_t MatchLength(const uint8_t* scan, const uint8_t* match) {
  uint32_t length = 2;
  do {
    uint64_t difference = Load64(scan + length) ^ Load64(match + length);
    if (difference != 0) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      return length + (static_cast<uint32_t>(__builtin_clzll(difference)) >> 3);
#else
      return length + (static_cast<uint32_t>(__builtin_ctzll(difference)) >> 3);
#endif
    }
    length += 8;
  } while (length < CDeflater::kMaxMatch);
  return CDeflater::kMaxMatch;
}

}  // namespace

CDeflater::CDeflater()
    : out_(&status_),
      trees_(&status_, &out_),
      window_(new uint8_t[kWindowSize + kWindowSlack]()),
      head_(new uint16_t[kHashSize]()),
      chain_(new uint64_t[kWindowHalf]()) {}

void CDeflater::Setup(DeflateReadFn read, DeflateWriteFn write, uint8_t* outBuffer, size_t outSize, int level) {
  status_ = TDeflateStatus();
  read_ = std::move(read);
  out_.Begin(outBuffer, outSize, std::move(write));
  level_ = level;
  trees_.BuildTables();
}

bool CDeflater::DeflateStart(int level, uint16_t* flags) {
  if (status_.Failed()) return false;
  level_ = level;
  if (level < 1 || level > 8) {
    status_.Fail("bad pack level");
    return false;
  }
  std::memset(head_.get(), 0, kHashSize * sizeof head_[0]);
  config_ = kConfig[level];
  if (flags) {
    if (level <= 2) *flags |= 4;
    if (level >= 8) *flags |= 2;
  }
  trees_.Start(level);
  end_of_input_ = false;
  strstart_ = 0;
  lookahead_ = 0;
  block_start_ = 0;
  match_start_ = 0;
  match_length_ = kMinMatch - 1;
  prev_match_ = 0;
  prev_length_ = kMinMatch - 1;
  match_available_ = false;
  if (!FillWindow()) return false;
  PrimeHash(0);
  return true;
}

uint64_t CDeflater::DeflateRun() {
  if (!status_.Failed()) {
    bool done = level_ >= 4 ? RunLazy() : RunGreedy();
    if (done) FlushBlock(true);
  }
  out_.Finish();
  return out_.ByteCount();
}

void CDeflater::SlideWindow() {
  std::memcpy(window_.get(), window_.get() + kWindowHalf, kWindowHalf);
  match_start_ = match_start_ >= kWindowHalf ? match_start_ - kWindowHalf : 0;
  prev_match_ = prev_match_ >= kWindowHalf ? prev_match_ - kWindowHalf : 0;
  strstart_ -= kWindowHalf;
  block_start_ -= kWindowHalf;
  for (unsigned i = 0; i < kHashSize; ++i)
    head_[i] = static_cast<uint16_t>(head_[i] >= kWindowHalf ? head_[i] - kWindowHalf : 0);
  for (unsigned i = 0; i < kWindowHalf; ++i) {
    uint64_t links = 0;
    for (int k = 3; k >= 0; --k) {
      uint32_t at = static_cast<uint32_t>(chain_[i] >> (16 * k)) & 0xFFFF;
      links = (links << 16) | (at >= kWindowHalf ? at - kWindowHalf : 0);
    }
    chain_[i] = links;
  }
}

bool CDeflater::FillWindow() {
  do {
    uint32_t more = kWindowSize - lookahead_ - strstart_;
    if (strstart_ >= kWindowHalf + kMaxDistance) {
      SlideWindow();
      more += kWindowHalf;
    }
    if (end_of_input_) return true;
    if (more < 2) {
      status_.Fail("more < 2");
      return false;
    }
    size_t got = read_ ? read_(window_.get() + strstart_ + lookahead_, more) : 0;
    if (got == 0) {
      end_of_input_ = true;
      return true;
    }
    lookahead_ += static_cast<uint32_t>(std::min<size_t>(got, more));
  } while (lookahead_ < kMinLookahead);
  return true;
}

uint32_t CDeflater::LongestMatch(uint32_t chainHead) {
  if (strstart_ > kWindowSize - kMinLookahead) {
    status_.Fail("insufficient lookahead");
    return kMinMatch - 1;
  }
  unsigned chain = config_.chain;
  if (prev_length_ >= config_.good) chain >>= 2;
  uint32_t nice = std::min<uint32_t>(config_.nice, lookahead_);
  uint32_t limit = strstart_ > kMaxDistance ? strstart_ - kMaxDistance : 0;
  const uint8_t* window = window_.get();
  const uint8_t* scan = window + strstart_;
  uint32_t best = prev_length_;
  if (chainHead >= strstart_) {
    status_.Fail("no future");
    return kMinMatch - 1;
  }
  // Candidates are tried on the two bytes that would lengthen the best match first: most fail there.
  uint16_t scan_start = Load16(scan);
  uint16_t scan_end = Load16(scan + best - 1);
  uint32_t match_start = match_start_;
  // True when the candidate gives a match of `nice` bytes: the search ends.
  auto try_candidate = [&](uint32_t at) {
    const uint8_t* match = window + at;
    if (Load16(match + best - 1) != scan_end || Load16(match) != scan_start) return false;
    uint32_t length = MatchLength(scan, match);
    if (length <= best) return false;
    match_start = at;
    best = length;
    if (length >= nice) return true;
    scan_end = Load16(scan + best - 1);
    return false;
  };
  // Chains only go back in position, so once a candidate lies beyond the limit all after it do too.
  const uint64_t* links = chain_.get();
  uint32_t candidate = chainHead;
  for (;;) {
    uint64_t four = links[candidate & kWindowMask];
    uint32_t next[4] = {static_cast<uint32_t>(four & 0xFFFF), static_cast<uint32_t>((four >> 16) & 0xFFFF),
                        static_cast<uint32_t>((four >> 32) & 0xFFFF), static_cast<uint32_t>(four >> 48)};
    if (try_candidate(candidate) || next[0] <= limit || --chain == 0) break;
    if (try_candidate(next[0]) || next[1] <= limit || --chain == 0) break;
    if (try_candidate(next[1]) || next[2] <= limit || --chain == 0) break;
    if (try_candidate(next[2]) || next[3] <= limit || --chain == 0) break;
    candidate = next[3];
  }
  match_start_ = match_start;
  if (strstart_ + best > kWindowSize + kWindowSlack - 8) status_.Fail("wild scan");
  return std::min(best, lookahead_);
}

bool CDeflater::FlushBlock(bool last) {
  const uint8_t* start = block_start_ >= 0 ? window_.get() + block_start_ : nullptr;
  trees_.FlushBlock(start, static_cast<uint64_t>(BlockBytes()), last);
  block_start_ = strstart_;
  return !status_.Failed() && !out_.WriteFailed();
}

bool CDeflater::RunLazy() {
  const uint8_t* window = window_.get();
  for (;;) {
    if (lookahead_ < kMinLookahead) {
      if (!FillWindow()) return false;
      if (lookahead_ == 0) break;
    }
    uint32_t chain_head = 0;
    if (lookahead_ >= kMinMatch) chain_head = InsertString(strstart_);
    PrefetchNext(chain_head);
    prev_length_ = match_length_;
    prev_match_ = match_start_;
    match_length_ = kMinMatch - 1;
    if (chain_head != 0 && prev_length_ < config_.lazy && strstart_ - chain_head <= kMaxDistance) {
      match_length_ = LongestMatch(chain_head);
      if (status_.Failed()) return false;
      if (match_length_ == kMinMatch && strstart_ - match_start_ > kTooFar) match_length_ = kMinMatch - 1;
    }
    if (prev_length_ >= kMinMatch && match_length_ <= prev_length_) {
      // The match found one step back is at least as good: take it.
      uint32_t max_insert = strstart_ + lookahead_ - kMinMatch;
      bool flush = trees_.TallyMatch(strstart_ - 1 - prev_match_, prev_length_, BlockBytes());
      lookahead_ -= prev_length_ - 1;
      for (uint32_t n = prev_length_ - 2; n > 0; --n) {
        if (++strstart_ <= max_insert) InsertString(strstart_);
      }
      match_available_ = false;
      match_length_ = kMinMatch - 1;
      ++strstart_;
      if (flush && !FlushBlock(false)) return false;
    } else if (match_available_) {
      // The byte before is not the start of a better match: it goes out as a literal.
      bool flush = trees_.TallyLiteral(window[strstart_ - 1], BlockBytes());
      if (flush && !FlushBlock(false)) return false;
      ++strstart_;
      --lookahead_;
    } else {
      match_available_ = true;
      ++strstart_;
      --lookahead_;
    }
  }
  if (match_available_) {
    trees_.TallyLiteral(window[strstart_ - 1], BlockBytes());
    match_available_ = false;
  }
  return !status_.Failed();
}

bool CDeflater::RunGreedy() {
  const uint8_t* window = window_.get();
  for (;;) {
    if (lookahead_ < kMinLookahead) {
      if (!FillWindow()) return false;
      if (lookahead_ == 0) break;
    }
    uint32_t chain_head = 0;
    if (lookahead_ >= kMinMatch) chain_head = InsertString(strstart_);
    match_length_ = kMinMatch - 1;
    prev_length_ = kMinMatch - 1;
    if (chain_head != 0 && strstart_ - chain_head <= kMaxDistance) {
      match_length_ = LongestMatch(chain_head);
      if (status_.Failed()) return false;
    }
    bool flush;
    if (match_length_ >= kMinMatch) {
      flush = trees_.TallyMatch(strstart_ - match_start_, match_length_, BlockBytes());
      lookahead_ -= match_length_;
      if (match_length_ <= config_.lazy && lookahead_ >= kMinMatch) {
        for (uint32_t n = match_length_ - 1; n > 0; --n) InsertString(++strstart_);
        ++strstart_;
      } else {
        // A long match is not hashed position by position; the hash restarts after it.
        strstart_ += match_length_;
        PrimeHash(strstart_);
      }
      match_length_ = kMinMatch - 1;
    } else {
      flush = trees_.TallyLiteral(window[strstart_], BlockBytes());
      ++strstart_;
      --lookahead_;
    }
    if (flush && !FlushBlock(false)) return false;
  }
  return !status_.Failed();
}

}  // namespace QelCompress
