#include "QelTools/MD5.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace QEL {
namespace {

const size_t kOutSize = 256;
const size_t kReadChunk = 1024;
const size_t kStreamBuffer = 256 * 1024;

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

const uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
inline uint32_t F(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
inline uint32_t G(uint32_t b, uint32_t c, uint32_t d) { return c ^ (d & (b ^ c)); }
inline uint32_t H(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t I(uint32_t b, uint32_t c, uint32_t d) { return c ^ (b | ~d); }

template <uint32_t (*Mix)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
  a = b + Rotl(a + Mix(b, c, d) + x + t, s);
}

const int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,
                        14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                        4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

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

void MD5::Transform(const unsigned char block[64]) {
  uint32_t x[16];
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  memcpy(x, block, sizeof(x));  // the words are little-endian, as the machine's
#else
  for (int i = 0; i < 16; ++i)
    x[i] = block[i * 4] | (block[i * 4 + 1] << 8) | (block[i * 4 + 2] << 16) | (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
#endif
  uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
  // Unrolled: the rounds' message indices and rotations are constants the compiler can fold.
  Step<F>(a, b, c, d, x[0], kSine[0], kShift[0]);
  Step<F>(d, a, b, c, x[1], kSine[1], kShift[1]);
  Step<F>(c, d, a, b, x[2], kSine[2], kShift[2]);
  Step<F>(b, c, d, a, x[3], kSine[3], kShift[3]);
  Step<F>(a, b, c, d, x[4], kSine[4], kShift[4]);
  Step<F>(d, a, b, c, x[5], kSine[5], kShift[5]);
  Step<F>(c, d, a, b, x[6], kSine[6], kShift[6]);
  Step<F>(b, c, d, a, x[7], kSine[7], kShift[7]);
  Step<F>(a, b, c, d, x[8], kSine[8], kShift[8]);
  Step<F>(d, a, b, c, x[9], kSine[9], kShift[9]);
  Step<F>(c, d, a, b, x[10], kSine[10], kShift[10]);
  Step<F>(b, c, d, a, x[11], kSine[11], kShift[11]);
  Step<F>(a, b, c, d, x[12], kSine[12], kShift[12]);
  Step<F>(d, a, b, c, x[13], kSine[13], kShift[13]);
  Step<F>(c, d, a, b, x[14], kSine[14], kShift[14]);
  Step<F>(b, c, d, a, x[15], kSine[15], kShift[15]);
  Step<G>(a, b, c, d, x[1], kSine[16], kShift[16]);
  Step<G>(d, a, b, c, x[6], kSine[17], kShift[17]);
  Step<G>(c, d, a, b, x[11], kSine[18], kShift[18]);
  Step<G>(b, c, d, a, x[0], kSine[19], kShift[19]);
  Step<G>(a, b, c, d, x[5], kSine[20], kShift[20]);
  Step<G>(d, a, b, c, x[10], kSine[21], kShift[21]);
  Step<G>(c, d, a, b, x[15], kSine[22], kShift[22]);
  Step<G>(b, c, d, a, x[4], kSine[23], kShift[23]);
  Step<G>(a, b, c, d, x[9], kSine[24], kShift[24]);
  Step<G>(d, a, b, c, x[14], kSine[25], kShift[25]);
  Step<G>(c, d, a, b, x[3], kSine[26], kShift[26]);
  Step<G>(b, c, d, a, x[8], kSine[27], kShift[27]);
  Step<G>(a, b, c, d, x[13], kSine[28], kShift[28]);
  Step<G>(d, a, b, c, x[2], kSine[29], kShift[29]);
  Step<G>(c, d, a, b, x[7], kSine[30], kShift[30]);
  Step<G>(b, c, d, a, x[12], kSine[31], kShift[31]);
  Step<H>(a, b, c, d, x[5], kSine[32], kShift[32]);
  Step<H>(d, a, b, c, x[8], kSine[33], kShift[33]);
  Step<H>(c, d, a, b, x[11], kSine[34], kShift[34]);
  Step<H>(b, c, d, a, x[14], kSine[35], kShift[35]);
  Step<H>(a, b, c, d, x[1], kSine[36], kShift[36]);
  Step<H>(d, a, b, c, x[4], kSine[37], kShift[37]);
  Step<H>(c, d, a, b, x[7], kSine[38], kShift[38]);
  Step<H>(b, c, d, a, x[10], kSine[39], kShift[39]);
  Step<H>(a, b, c, d, x[13], kSine[40], kShift[40]);
  Step<H>(d, a, b, c, x[0], kSine[41], kShift[41]);
  Step<H>(c, d, a, b, x[3], kSine[42], kShift[42]);
  Step<H>(b, c, d, a, x[6], kSine[43], kShift[43]);
  Step<H>(a, b, c, d, x[9], kSine[44], kShift[44]);
  Step<H>(d, a, b, c, x[12], kSine[45], kShift[45]);
  Step<H>(c, d, a, b, x[15], kSine[46], kShift[46]);
  Step<H>(b, c, d, a, x[2], kSine[47], kShift[47]);
  Step<I>(a, b, c, d, x[0], kSine[48], kShift[48]);
  Step<I>(d, a, b, c, x[7], kSine[49], kShift[49]);
  Step<I>(c, d, a, b, x[14], kSine[50], kShift[50]);
  Step<I>(b, c, d, a, x[5], kSine[51], kShift[51]);
  Step<I>(a, b, c, d, x[12], kSine[52], kShift[52]);
  Step<I>(d, a, b, c, x[3], kSine[53], kShift[53]);
  Step<I>(c, d, a, b, x[10], kSine[54], kShift[54]);
  Step<I>(b, c, d, a, x[1], kSine[55], kShift[55]);
  Step<I>(a, b, c, d, x[8], kSine[56], kShift[56]);
  Step<I>(d, a, b, c, x[15], kSine[57], kShift[57]);
  Step<I>(c, d, a, b, x[6], kSine[58], kShift[58]);
  Step<I>(b, c, d, a, x[13], kSine[59], kShift[59]);
  Step<I>(a, b, c, d, x[4], kSine[60], kShift[60]);
  Step<I>(d, a, b, c, x[11], kSine[61], kShift[61]);
  Step<I>(c, d, a, b, x[2], kSine[62], kShift[62]);
  Step<I>(b, c, d, a, x[9], kSine[63], kShift[63]);
  m_state[0] += a;
  m_state[1] += b;
  m_state[2] += c;
  m_state[3] += d;
}

void MD5::Update(const unsigned char* data, unsigned length) {
  unsigned index = (m_count[0] >> 3) & 0x3F;
  uint32_t bits = static_cast<uint32_t>(length) << 3;
  m_count[0] += bits;
  if (m_count[0] < bits) ++m_count[1];
  m_count[1] += static_cast<uint32_t>(length) >> 29;
  unsigned room = 64 - index;
  unsigned i = 0;
  if (length >= room) {
    memcpy(m_buffer + index, data, room);
    Transform(m_buffer);
    for (i = room; i + 63 < length; i += 64) Transform(data + i);
    index = 0;
  }
  memcpy(m_buffer + index, data + i, length - i);
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
  // The file is read in 1024-byte chunks, but the stream below fetches it from the system in large
  // blocks: one read call per 1 KiB would cost more than the digest itself. The buffer outlives the stream.
  std::unique_ptr<char[]> streamBuffer(new char[kStreamBuffer]);
  std::unique_ptr<FILE, FileCloser> file(path ? fopen(path, "rb") : nullptr);
  if (!file) return out;
  setvbuf(file.get(), streamBuffer.get(), _IOFBF, kStreamBuffer);
  unsigned char chunk[kReadChunk];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), file.get())) > 0) Update(chunk, static_cast<unsigned>(n));
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
