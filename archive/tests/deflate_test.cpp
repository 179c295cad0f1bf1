// The compressor on its own: every stream it writes is inflated by zlib and must give back the input
// exactly. Covers the window and block boundaries, incompressible and highly repetitive input, every level,
// reuse of one state for many streams, odd read sizes and refused writes, and the prefix-code builder.
// The zip container around the streams is covered by zip_writer_test.cpp.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "DeflateHuffman.h"
#include "Deflater.h"

namespace {

using QelCompress::CDeflater;

struct TDeflated {
  std::string data;
  uint64_t count = 0;
  const char* message = nullptr;
  uint16_t flags = 0;
  bool started = false;
};

// Deflates input with reads of at most `chunk` bytes (0: as much as asked for).
TDeflated Deflate(CDeflater& deflater, const std::string& input, int level, size_t chunk = 0) {
  TDeflated out;
  size_t at = 0;
  std::vector<uint8_t> buffer(16384);
  deflater.Setup(
      [&](uint8_t* to, size_t size) {
        size_t n = std::min(size, input.size() - at);
        if (chunk) n = std::min(n, chunk);
        std::memcpy(to, input.data() + at, n);
        at += n;
        return n;
      },
      [&](const uint8_t* data, size_t size) {
        out.data.append(reinterpret_cast<const char*>(data), size);
        return true;
      },
      buffer.data(), buffer.size(), level);
  out.started = deflater.DeflateStart(level, &out.flags);
  if (out.started) out.count = deflater.DeflateRun();
  out.message = deflater.Message();
  return out;
}

TDeflated Deflate(const std::string& input, int level = 8, size_t chunk = 0) {
  CDeflater deflater;
  return Deflate(deflater, input, level, chunk);
}

// zlib's raw inflate; false when the stream is not one complete, valid DEFLATE stream.
bool Inflate(const std::string& stream, std::string* output) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  output->clear();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  std::vector<char> buffer(1 << 16);
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer.data());
    z.avail_out = static_cast<uInt>(buffer.size());
    rc = inflate(&z, Z_NO_FLUSH);
    output->append(buffer.data(), buffer.size() - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  bool whole = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return whole;
}

std::string ZlibDeflate(const std::string& input, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, input.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

std::string Random(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

// Text-like input with long and short repeats at every distance: words drawn from a small vocabulary.
std::string Text(size_t size, unsigned seed) {
  static const char* const kWords[] = {
      "update", "engine", "product", "version", "package", "the",   "a",  "download", "zip",    "window",  "of",
      "and",    "to",     "check",   "server",  "release", "notes", "\n", ", ",       "Tavrin", "install", "silent"};
  std::mt19937 rng(seed);
  std::string out;
  while (out.size() < size) {
    out += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    out += rng() % 7 == 0 ? std::to_string(rng() % 1000) : " ";
  }
  out.resize(size);
  return out;
}

void ExpectRoundTrip(const std::string& input, int level = 8, size_t chunk = 0) {
  TDeflated out = Deflate(input, level, chunk);
  ASSERT_TRUE(out.started) << (out.message ? out.message : "");
  ASSERT_EQ(out.message, nullptr) << out.message;
  EXPECT_EQ(out.count, out.data.size());
  std::string back;
  ASSERT_TRUE(Inflate(out.data, &back)) << "size " << input.size() << " level " << level;
  ASSERT_TRUE(back == input) << "size " << input.size() << " level " << level;
}

TEST(Deflate, EmptyInputIsOneFinalBlock) {
  TDeflated out = Deflate("");
  EXPECT_EQ(out.message, nullptr);
  EXPECT_EQ(out.data, std::string("\x03\x00", 2));
  std::string back = "x";
  EXPECT_TRUE(Inflate(out.data, &back));
  EXPECT_TRUE(back.empty());
}

TEST(Deflate, ShortAndRunLengthInputs) {
  for (size_t n : {1, 2, 3, 4, 257, 258, 259, 260, 261, 262, 263, 516, 517}) {
    ExpectRoundTrip(std::string(n, 'a'));
    ExpectRoundTrip(Random(n, static_cast<unsigned>(n)));
  }
}

TEST(Deflate, ZerosSlideTheWindowManyTimes) {
  std::string zeros(1 << 20, '\0');
  TDeflated out = Deflate(zeros);
  EXPECT_LT(out.data.size(), 4096u);
  std::string back;
  ASSERT_TRUE(Inflate(out.data, &back));
  EXPECT_TRUE(back == zeros);
}

TEST(Deflate, IncompressibleInputGrowsOnlySlightly) {
  std::string noise = Random(1 << 20, 7);
  TDeflated out = Deflate(noise);
  // Stored blocks cost five bytes per block; the few blocks whose start slid out of the window are coded.
  EXPECT_LE(out.data.size(), noise.size() + noise.size() / 1000 + 64);
  std::string back;
  ASSERT_TRUE(Inflate(out.data, &back));
  EXPECT_TRUE(back == noise);
}

TEST(Deflate, LengthsAroundWindowAndBlockBoundaries) {
  const size_t kSizes[] = {16383, 16384, 16385,  32505,  32506,  32507,  32767,     32768,       32769,
                           49152, 65273, 65274,  65275,  65535,  65536,  65537,     65536 + 262, 98303,
                           98304, 98305, 131071, 131072, 131073, 163840, 196608 + 1};
  for (size_t n : kSizes) {
    ExpectRoundTrip(Text(n, static_cast<unsigned>(n)));
    ExpectRoundTrip(Random(n, static_cast<unsigned>(n)));
  }
}

TEST(Deflate, MatchesAtTheLongestDistanceAndJustBeyond) {
  for (size_t distance : {32505, 32506, 32507, 32768}) {
    std::string phrase = Random(300, 1);
    std::string input = phrase + Random(distance - phrase.size(), 2) + phrase + Random(1000, 3);
    ExpectRoundTrip(input);
    // Placed so that the repeat straddles the first slide of the window.
    ExpectRoundTrip(Random(40000, 4) + input);
  }
}

TEST(Deflate, EveryLevelRoundTripsAndLevel8MatchesZlib) {
  std::string mixed = Text(300000, 5) + Random(70000, 6) + std::string(70000, 'z') + Text(200000, 8);
  for (int level = 1; level <= 8; ++level) ExpectRoundTrip(mixed, level);
  TDeflated ours = Deflate(mixed, 8);
  std::string zlib8 = ZlibDeflate(mixed, 8);
  EXPECT_LE(ours.data.size(), zlib8.size() * 1005 / 1000) << "zlib level 8: " << zlib8.size();
}

TEST(Deflate, LevelsGiveTheirFlagsAndOnly1To8AreAccepted) {
  EXPECT_EQ(Deflate("abc", 8).flags, 2);
  EXPECT_EQ(Deflate("abc", 1).flags, 4);
  EXPECT_EQ(Deflate("abc", 2).flags, 4);
  EXPECT_EQ(Deflate("abc", 5).flags, 0);
  for (int level : {0, 9, -1}) {
    TDeflated out = Deflate("abc", level);
    EXPECT_FALSE(out.started);
    ASSERT_NE(out.message, nullptr);
    EXPECT_STREQ(out.message, "bad pack level");
    EXPECT_TRUE(out.data.empty());
  }
}

TEST(Deflate, ReadSizesDoNotChangeTheStream) {
  std::string input = Text(150000, 9) + Random(20000, 10) + Text(50000, 11);
  std::string whole = Deflate(input).data;
  for (size_t chunk : {1, 7, 261, 4096, 32769}) {
    EXPECT_TRUE(Deflate(input, 8, chunk).data == whole) << "chunk " << chunk;
  }
  EXPECT_TRUE(Deflate(input, 2, 3).data == Deflate(input, 2).data);
}

TEST(Deflate, OneStateServesManyStreams) {
  CDeflater shared;
  std::string first = Text(200000, 12);
  std::string second = Text(90000, 13) + std::string(5000, 'q');
  TDeflated a = Deflate(shared, first, 8);
  TDeflated bad = Deflate(shared, second, 9);
  EXPECT_STREQ(bad.message, "bad pack level");
  TDeflated b = Deflate(shared, second, 8);
  EXPECT_EQ(b.message, nullptr);
  EXPECT_TRUE(a.data == Deflate(first).data);
  EXPECT_TRUE(b.data == Deflate(second).data);
  TDeflated empty = Deflate(shared, "", 8);
  EXPECT_EQ(empty.data, std::string("\x03\x00", 2));
}

TEST(Deflate, ARefusedWriteEndsTheStream) {
  std::string input = Random(200000, 14);
  CDeflater deflater;
  std::vector<uint8_t> buffer(16384);
  size_t at = 0, writes = 0;
  deflater.Setup(
      [&](uint8_t* to, size_t size) {
        size_t n = std::min(size, input.size() - at);
        std::memcpy(to, input.data() + at, n);
        at += n;
        return n;
      },
      [&](const uint8_t*, size_t) { return ++writes < 2; }, buffer.data(), buffer.size(), 8);
  uint16_t flags = 0;
  ASSERT_TRUE(deflater.DeflateStart(8, &flags));
  deflater.DeflateRun();
  EXPECT_TRUE(deflater.WriteFailed());
  EXPECT_EQ(writes, 2u);
  EXPECT_LT(at, input.size());  // the input was not read to its end
}

TEST(Deflate, AFixedBufferWithoutWriterReportsOverflow) {
  CDeflater deflater;
  std::vector<uint8_t> small(64);
  std::string input = Random(1000, 15);
  size_t at = 0;
  deflater.Setup(
      [&](uint8_t* to, size_t size) {
        size_t n = std::min(size, input.size() - at);
        std::memcpy(to, input.data() + at, n);
        at += n;
        return n;
      },
      nullptr, small.data(), small.size(), 8);
  ASSERT_TRUE(deflater.DeflateStart(8, nullptr));
  deflater.DeflateRun();
  EXPECT_STREQ(deflater.Message(), "output buffer too small for in-memory compression");
}

TEST(HuffmanBuilder, LengthsStayWithinTheLimitAndFormACompleteCode) {
  QelCompress::CHuffmanBuilder builder;
  // Fibonacci frequencies make an unlimited Huffman code as deep as there are symbols.
  uint32_t freq[30];
  freq[0] = freq[1] = 1;
  for (int i = 2; i < 30; ++i) freq[i] = freq[i - 1] + freq[i - 2];
  uint8_t lengths[30];
  QelCompress::TDeflateCode codes[30];
  builder.BuildLengths(freq, 30, 15, lengths);
  EXPECT_EQ(*std::max_element(lengths, lengths + 30), 15);
  EXPECT_TRUE(QelCompress::MakeCanonicalCodes(lengths, 30, 15, codes));
  builder.BuildLengths(freq, 19, 7, lengths);
  EXPECT_EQ(*std::max_element(lengths, lengths + 19), 7);
  EXPECT_TRUE(QelCompress::MakeCanonicalCodes(lengths, 19, 7, codes));

  // One symbol in use still gives a two-code tree; none at all gives two codes too.
  uint32_t one[30] = {};
  one[17] = 5;
  builder.BuildLengths(one, 30, 15, lengths);
  EXPECT_EQ(lengths[17], 1);
  EXPECT_EQ(lengths[0], 1);
  EXPECT_EQ(std::count(lengths, lengths + 30, 0), 28);
  uint32_t none[30] = {};
  builder.BuildLengths(none, 30, 15, lengths);
  EXPECT_EQ(lengths[0], 1);
  EXPECT_EQ(lengths[1], 1);

  uint8_t incomplete[4] = {1, 2, 3, 0};
  EXPECT_FALSE(QelCompress::MakeCanonicalCodes(incomplete, 4, 15, codes));
}

}  // namespace
