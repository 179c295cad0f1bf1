#include "QelTools/MD5.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace QEL {
namespace {

const size_t kOutSize = 256;
const size_t kReadChunk = 1024;
const size_t kReadBlock = 256 * 1024;

// Rotations by a constant, which the compiler turns into single rotate instructions.
template <int S>
inline uint32_t Rotl(uint32_t x) {
  return (x << S) | (x >> (32 - S));
}

// The message word k of a block, little-endian whatever the machine; read in place, never copied out.
inline uint32_t Word(const unsigned char* block, int k) {
  uint32_t w;
  memcpy(&w, block + 4 * k, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap32(w);
#endif
  return w;
}

// The digest is one long chain of dependent steps, so each step is written to keep the newest value (b)
// as late as possible: the word, the constant and every term that does not need b are added first.
template <int S>
inline void StepF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a += x + t;
  a += d ^ (b & (c ^ d));
  a = b + Rotl<S>(a);
}

template <int S>
inline void StepG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a += x + t;
  a += c & ~d;  // (b & d) | (c & ~d): the two terms share no bit, so their sum is their union
  a += b & d;
  a = b + Rotl<S>(a);
}

template <int S>
inline void StepH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a += x + t;
  a += b ^ (c ^ d);
  a = b + Rotl<S>(a);
}

template <int S>
inline void StepI(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t) {
  a += x + t;
  a += c ^ (b | ~d);
  a = b + Rotl<S>(a);
}

// Compresses count consecutive 64-byte blocks, keeping the state in registers from one block to the next.
void Compress(uint32_t state[4], const unsigned char* p, size_t count) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; count > 0; --count, p += 64) {
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
    StepF<7>(a, b, c, d, Word(p, 0), 0xd76aa478);
    StepF<12>(d, a, b, c, Word(p, 1), 0xe8c7b756);
    StepF<17>(c, d, a, b, Word(p, 2), 0x242070db);
    StepF<22>(b, c, d, a, Word(p, 3), 0xc1bdceee);
    StepF<7>(a, b, c, d, Word(p, 4), 0xf57c0faf);
    StepF<12>(d, a, b, c, Word(p, 5), 0x4787c62a);
    StepF<17>(c, d, a, b, Word(p, 6), 0xa8304613);
    StepF<22>(b, c, d, a, Word(p, 7), 0xfd469501);
    StepF<7>(a, b, c, d, Word(p, 8), 0x698098d8);
    StepF<12>(d, a, b, c, Word(p, 9), 0x8b44f7af);
    StepF<17>(c, d, a, b, Word(p, 10), 0xffff5bb1);
    StepF<22>(b, c, d, a, Word(p, 11), 0x895cd7be);
    StepF<7>(a, b, c, d, Word(p, 12), 0x6b901122);
    StepF<12>(d, a, b, c, Word(p, 13), 0xfd987193);
    StepF<17>(c, d, a, b, Word(p, 14), 0xa679438e);
    StepF<22>(b, c, d, a, Word(p, 15), 0x49b40821);
    StepG<5>(a, b, c, d, Word(p, 1), 0xf61e2562);
    StepG<9>(d, a, b, c, Word(p, 6), 0xc040b340);
    StepG<14>(c, d, a, b, Word(p, 11), 0x265e5a51);
    StepG<20>(b, c, d, a, Word(p, 0), 0xe9b6c7aa);
    StepG<5>(a, b, c, d, Word(p, 5), 0xd62f105d);
    StepG<9>(d, a, b, c, Word(p, 10), 0x02441453);
    StepG<14>(c, d, a, b, Word(p, 15), 0xd8a1e681);
    StepG<20>(b, c, d, a, Word(p, 4), 0xe7d3fbc8);
    StepG<5>(a, b, c, d, Word(p, 9), 0x21e1cde6);
    StepG<9>(d, a, b, c, Word(p, 14), 0xc33707d6);
    StepG<14>(c, d, a, b, Word(p, 3), 0xf4d50d87);
    StepG<20>(b, c, d, a, Word(p, 8), 0x455a14ed);
    StepG<5>(a, b, c, d, Word(p, 13), 0xa9e3e905);
    StepG<9>(d, a, b, c, Word(p, 2), 0xfcefa3f8);
    StepG<14>(c, d, a, b, Word(p, 7), 0x676f02d9);
    StepG<20>(b, c, d, a, Word(p, 12), 0x8d2a4c8a);
    StepH<4>(a, b, c, d, Word(p, 5), 0xfffa3942);
    StepH<11>(d, a, b, c, Word(p, 8), 0x8771f681);
    StepH<16>(c, d, a, b, Word(p, 11), 0x6d9d6122);
    StepH<23>(b, c, d, a, Word(p, 14), 0xfde5380c);
    StepH<4>(a, b, c, d, Word(p, 1), 0xa4beea44);
    StepH<11>(d, a, b, c, Word(p, 4), 0x4bdecfa9);
    StepH<16>(c, d, a, b, Word(p, 7), 0xf6bb4b60);
    StepH<23>(b, c, d, a, Word(p, 10), 0xbebfbc70);
    StepH<4>(a, b, c, d, Word(p, 13), 0x289b7ec6);
    StepH<11>(d, a, b, c, Word(p, 0), 0xeaa127fa);
    StepH<16>(c, d, a, b, Word(p, 3), 0xd4ef3085);
    StepH<23>(b, c, d, a, Word(p, 6), 0x04881d05);
    StepH<4>(a, b, c, d, Word(p, 9), 0xd9d4d039);
    StepH<11>(d, a, b, c, Word(p, 12), 0xe6db99e5);
    StepH<16>(c, d, a, b, Word(p, 15), 0x1fa27cf8);
    StepH<23>(b, c, d, a, Word(p, 2), 0xc4ac5665);
    StepI<6>(a, b, c, d, Word(p, 0), 0xf4292244);
    StepI<10>(d, a, b, c, Word(p, 7), 0x432aff97);
    StepI<15>(c, d, a, b, Word(p, 14), 0xab9423a7);
    StepI<21>(b, c, d, a, Word(p, 5), 0xfc93a039);
    StepI<6>(a, b, c, d, Word(p, 12), 0x655b59c3);
    StepI<10>(d, a, b, c, Word(p, 3), 0x8f0ccc92);
    StepI<15>(c, d, a, b, Word(p, 10), 0xffeff47d);
    StepI<21>(b, c, d, a, Word(p, 1), 0x85845dd1);
    StepI<6>(a, b, c, d, Word(p, 8), 0x6fa87e4f);
    StepI<10>(d, a, b, c, Word(p, 15), 0xfe2ce6e0);
    StepI<15>(c, d, a, b, Word(p, 6), 0xa3014314);
    StepI<21>(b, c, d, a, Word(p, 13), 0x4e0811a1);
    StepI<6>(a, b, c, d, Word(p, 4), 0xf7537e82);
    StepI<10>(d, a, b, c, Word(p, 11), 0xbd3af235);
    StepI<15>(c, d, a, b, Word(p, 2), 0x2ad7d2bb);
    StepI<21>(b, c, d, a, Word(p, 9), 0xeb86d391);
    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

char* CopyOut(const std::string& digits, char* out) {
  memcpy(out, digits.c_str(), digits.size() + 1);
  return out;
}

}  // namespace

MD5::MD5() { Init(); }

MD5::MD5(const MD5& other) { *this = other; }

MD5& MD5::operator=(const MD5& other) {
  if (this == &other) return *this;
  memcpy(m_buffer, other.m_buffer, sizeof(m_buffer));
  memcpy(m_count, other.m_count, sizeof(m_count));
  memcpy(m_state, other.m_state, sizeof(m_state));
  return *this;
}

MD5::~MD5() = default;

void MD5::Init() {
  memset(m_buffer, 0, sizeof(m_buffer));
  m_count[0] = m_count[1] = 0;
  m_state[0] = 0x67452301;
  m_state[1] = 0xefcdab89;
  m_state[2] = 0x98badcfe;
  m_state[3] = 0x10325476;
}

void MD5::Transform(const unsigned char block[64]) { Compress(m_state, block, 1); }

void MD5::Update(const unsigned char* data, unsigned length) {
  unsigned index = (m_count[0] >> 3) & 0x3F;
  uint32_t bits = static_cast<uint32_t>(length) << 3;
  m_count[0] += bits;
  if (m_count[0] < bits) ++m_count[1];
  m_count[1] += static_cast<uint32_t>(length) >> 29;
  if (index > 0) {
    unsigned room = 64 - index;
    if (length < room) {
      memcpy(m_buffer + index, data, length);
      return;
    }
    memcpy(m_buffer + index, data, room);
    Transform(m_buffer);
    data += room;
    length -= room;
  }
  // Whole blocks are compressed where they lie; only a tail shorter than a block waits in the buffer.
  unsigned blocks = length / 64;
  Compress(m_state, data, blocks);
  memcpy(m_buffer, data + 64 * blocks, length % 64);
}

std::string MD5::Final() {
  unsigned char bits[8];
  for (int i = 0; i < 4; ++i) {
    bits[i] = static_cast<unsigned char>(m_count[0] >> (8 * i));
    bits[i + 4] = static_cast<unsigned char>(m_count[1] >> (8 * i));
  }
  unsigned index = (m_count[0] >> 3) & 0x3F;
  unsigned padding = index < 56 ? 56 - index : 120 - index;
  static const unsigned char kPadding[64] = {0x80};
  Update(kPadding, padding);
  Update(bits, 8);
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (uint32_t word : m_state) {
    for (int i = 0; i < 4; ++i) {
      unsigned char byte = static_cast<unsigned char>(word >> (8 * i));
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
  }
  return text;
}

char* MD5::GetMD5OfFile(const char* path, char* out) {
  if (!out) return nullptr;
  std::lock_guard<std::mutex> lock(m_lock);
  memset(out, 0, kOutSize);
  Init();
  std::unique_ptr<FILE, FileCloser> file(path ? fopen(path, "rb") : nullptr);
  if (!file) return out;
  // The digest takes the file in 1024-byte chunks, but they are cut from large blocks read straight into
  // one buffer: a system call, or a copy through the stream's own buffer, per 1 KiB would cost more than
  // the digest itself.
  setvbuf(file.get(), nullptr, _IONBF, 0);
  std::unique_ptr<unsigned char[]> block(new unsigned char[kReadBlock]);
  size_t n;
  while ((n = fread(block.get(), 1, kReadBlock, file.get())) > 0) {
    for (size_t at = 0; at < n; at += kReadChunk)
      Update(block.get() + at, static_cast<unsigned>(std::min(kReadChunk, n - at)));
  }
  return CopyOut(Final(), out);
}

char* MD5::GetMD5OfString(const char* text, char* out) {
  if (!out) return nullptr;
  std::lock_guard<std::mutex> lock(m_lock);
  memset(out, 0, kOutSize);
  Init();
  if (text) Update(reinterpret_cast<const unsigned char*>(text), static_cast<unsigned>(strlen(text)));
  return CopyOut(Final(), out);
}

}  // namespace QEL
