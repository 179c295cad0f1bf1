// Our own reading of rar headers, attacked with headers built here byte by byte (each with a right CRC, so
// that the lie itself is what the reader meets): cut short, lying sizes, numbers past 64 bits, an extra
// area longer than its header. Reading must stop there, whole items before it kept, and nothing read
// beyond the bytes given (the sanitizer build watches).
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "RarLayout.h"

namespace {

using QelCompress::CArchiveMemory;
using QelCompress::ReadRarLayout;
using QelCompress::TRarLayout;

TRarLayout Read(const std::string& bytes) {
  return ReadRarLayout(CArchiveMemory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

std::string Le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

uint32_t Crc(const std::string& bytes) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// ---- RAR5

std::string Vint(uint64_t value) {
  std::string out;
  do {
    unsigned char byte = value & 0x7F;
    value >>= 7;
    out += static_cast<char>(byte | (value ? 0x80 : 0));
  } while (value);
  return out;
}

const std::string kRar5Signature("Rar!\x1a\x07\x01\x00", 8);

// A header of the given body (type, flags and what follows), its size field written as given.
std::string Rar5Raw(const std::string& sizeField, const std::string& body) {
  std::string sized = sizeField + body;
  return Le(Crc(sized), 4) + sized;
}

std::string Rar5Header(const std::string& body) { return Rar5Raw(Vint(body.size()), body); }

std::string Rar5Main(uint64_t archiveFlags = 0) { return Rar5Header(Vint(1) + Vint(0) + Vint(archiveFlags)); }
std::string Rar5End(uint64_t endFlags = 0) { return Rar5Header(Vint(5) + Vint(0) + Vint(endFlags)); }

// The fields of a stored file with its CRC32, before the extra area.
std::string Rar5FileFields(const std::string& data, const std::string& name = "f") {
  return Vint(0x4) + Vint(data.size()) + Vint(0644) + Le(Crc(data), 4) + Vint(0) + Vint(1) + Vint(name.size()) + name;
}

std::string Rar5File(const std::string& data, const std::string& extra = "", uint64_t flags = 0) {
  std::string body = Vint(2) + Vint(flags | 0x2 | (extra.empty() ? 0 : 0x1));
  if (!extra.empty()) body += Vint(extra.size());
  body += Vint(data.size()) + Rar5FileFields(data) + extra;
  return Rar5Header(body) + data;
}

std::string Record(uint64_t type, const std::string& fields) {
  std::string body = Vint(type) + fields;
  return Vint(body.size()) + body;
}

TEST(RarLayout, Rar5HeadersSayWhatLibarchiveDoesNot) {
  std::string archive = kRar5Signature + Rar5Main() + Rar5File("alpha") + Rar5File("", Record(5, Vint(1) + Vint(0) + Vint(1) + "x")) +
                        Rar5File("", Record(5, Vint(5) + Vint(0) + Vint(1) + "f")) +
                        Rar5File("secret", Record(1, std::string(34, '\0'))) + Rar5File("cut", "", 0x10) + Rar5End();
  TRarLayout layout = Read(archive);
  EXPECT_TRUE(layout.complete);
  EXPECT_FALSE(layout.volume);
  ASSERT_EQ(layout.items.size(), 5u);
  EXPECT_TRUE(layout.items[0].has_crc);
  EXPECT_EQ(layout.items[0].crc, Crc("alpha"));
  EXPECT_EQ(layout.items[0].size, 5u);
  EXPECT_TRUE(layout.items[1].link_in_header);
  EXPECT_FALSE(layout.items[1].copy);
  EXPECT_TRUE(layout.items[2].copy);
  EXPECT_TRUE(layout.items[3].encrypted);
  EXPECT_TRUE(layout.items[4].split);
  EXPECT_TRUE(Read(kRar5Signature + Rar5Main(0x1) + Rar5End()).volume);
  EXPECT_TRUE(Read(kRar5Signature + Rar5Main() + Rar5End(0x1)).volume) << "the end header says more follow";
  TRarLayout locked = Read(kRar5Signature + Rar5Header(Vint(4) + Vint(0) + std::string(20, 'k')) + Rar5Main());
  EXPECT_TRUE(locked.encrypted_headers);
  EXPECT_FALSE(locked.complete);
}

TEST(RarLayout, Rar5CutAnywhereIsNeverComplete) {
  std::string archive = kRar5Signature + Rar5Main() + Rar5File("alpha") + Rar5File(std::string(300, 'b')) + Rar5End();
  ASSERT_TRUE(Read(archive).complete);
  for (size_t cut = 0; cut < archive.size(); ++cut) {
    TRarLayout layout = Read(archive.substr(0, cut));
    EXPECT_FALSE(layout.complete) << cut;
    EXPECT_LE(layout.items.size(), 2u) << cut;
  }
}

TEST(RarLayout, Rar5LyingSizesEndTheReading) {
  std::string head = kRar5Signature + Rar5Main() + Rar5File("alpha");
  // A data area past the archive's end: the item's header is whole, the reading ends there.
  std::string body = Vint(2) + Vint(0x2) + Vint(1000) + Rar5FileFields("x");
  TRarLayout past = Read(head + Rar5Header(body) + "x" + Rar5End());
  EXPECT_FALSE(past.complete);
  // The largest size a number can hold, which wraps any sum of offsets.
  body = Vint(2) + Vint(0x2) + Vint(UINT64_MAX) + Rar5FileFields("x");
  EXPECT_FALSE(Read(head + Rar5Header(body) + "x" + Rar5End()).complete);
  // A header size past the archive's end, and one far past any header a writer makes.
  EXPECT_EQ(Read(head + Rar5Raw(Vint(100), Vint(5) + Vint(0) + Vint(0))).items.size(), 1u);
  TRarLayout huge = Read(head + Rar5Raw(Vint(uint64_t(1) << 40), Vint(5) + Vint(0) + Vint(0)));
  EXPECT_FALSE(huge.complete);
  EXPECT_EQ(huge.items.size(), 1u);
  // A header size of 0, and a name longer than its header.
  EXPECT_FALSE(Read(head + Rar5Raw(Vint(0), "") + Rar5End()).complete);
  std::string longName = Vint(2) + Vint(0) + Vint(0x4) + Vint(0) + Vint(0644) + Le(0, 4) + Vint(0) + Vint(1) + Vint(50) + "n";
  TRarLayout named = Read(head + Rar5Header(longName) + Rar5End());
  EXPECT_FALSE(named.complete);
  EXPECT_EQ(named.items.size(), 1u);
}

TEST(RarLayout, Rar5NumbersPastSixtyFourBitsEndTheReading) {
  std::string head = kRar5Signature + Rar5Main() + Rar5File("alpha");
  // Ten bytes carry 64 bits, the last byte only its lowest; an eleventh, or more bits, is no number.
  std::string most = std::string(9, '\xff') + '\x01';
  std::string tooWide = std::string(9, '\xff') + '\x02';
  std::string tooLong = std::string(10, '\x80') + '\x00';
  std::string fields = Vint(0x4) + most + Vint(0644) + Le(0, 4) + Vint(0) + Vint(1) + Vint(1) + "f";
  TRarLayout largest = Read(head + Rar5Header(Vint(2) + Vint(0) + fields) + Rar5End());
  ASSERT_TRUE(largest.complete);
  EXPECT_EQ(largest.items.back().size, UINT64_MAX);
  for (const std::string& bad : {tooWide, tooLong}) {
    std::string sized = Vint(0x4) + bad + Vint(0644) + Le(0, 4) + Vint(0) + Vint(1) + Vint(1) + "f";
    TRarLayout layout = Read(head + Rar5Header(Vint(2) + Vint(0) + sized) + Rar5End());
    EXPECT_FALSE(layout.complete);
    EXPECT_EQ(layout.items.size(), 1u);
    EXPECT_FALSE(Read(head + Rar5Raw(bad, Vint(5) + Vint(0) + Vint(0))).complete) << "as the header size";
    EXPECT_FALSE(Read(head + Rar5Header(Vint(5) + Vint(0) + bad)).complete) << "as the end flags";
  }
  // A number whose continuation runs to the header's end.
  EXPECT_FALSE(Read(head + Rar5Header(Vint(5) + Vint(0) + "\x80\x80")).complete);
}

TEST(RarLayout, Rar5AnExtraAreaLongerThanItsHeaderEndsTheReading) {
  std::string head = kRar5Signature + Rar5Main() + Rar5File("alpha");
  std::string record = Record(5, Vint(5) + Vint(0) + Vint(1) + "f");
  // The extra size claims more than the header holds after its fields, or more than the whole header.
  for (uint64_t claimed : {record.size() + 1, record.size() + 40, uint64_t(1) << 62}) {
    std::string body = Vint(2) + Vint(0x1) + Vint(claimed) + Rar5FileFields("") + record;
    TRarLayout layout = Read(head + Rar5Header(body) + Rar5End());
    EXPECT_FALSE(layout.complete) << claimed;
    EXPECT_EQ(layout.items.size(), 1u) << "the copy was never taken for an item: " << claimed;
  }
  // A record longer than the extra area, and one of size 0.
  for (const std::string& extra : {Vint(30) + Vint(5) + Vint(5), Vint(0) + Vint(5)}) {
    std::string body = Vint(2) + Vint(0x1) + Vint(extra.size()) + Rar5FileFields("") + extra;
    TRarLayout layout = Read(head + Rar5Header(body) + Rar5End());
    EXPECT_FALSE(layout.complete);
    EXPECT_EQ(layout.items.size(), 1u);
  }
}

TEST(RarLayout, Rar5AWrongHeaderCrcEndsTheReading) {
  std::string file = Rar5File("alpha");
  file[0] ^= 1;
  TRarLayout layout = Read(kRar5Signature + Rar5Main() + file + Rar5End());
  EXPECT_FALSE(layout.complete);
  EXPECT_TRUE(layout.items.empty());
}

// ---- RAR 1.5-4.x

const std::string kRar4Signature("Rar!\x1a\x07\x00", 7);

std::string Rar4Block(unsigned type, unsigned flags, const std::string& body, const std::string& data = "",
                      int sizeAdjust = 0) {
  std::string header = std::string(1, static_cast<char>(type)) + Le(flags, 2) + Le(7 + body.size() + sizeAdjust, 2) + body;
  return Le(Crc(header) & 0xFFFF, 2) + header + data;
}

std::string Rar4Main(unsigned flags = 0) { return Rar4Block(0x73, flags, Le(0, 6)); }
std::string Rar4End(unsigned flags = 0) { return Rar4Block(0x7B, 0x4000 | flags, ""); }

std::string Rar4File(const std::string& data, unsigned flags = 0, uint64_t packed = UINT64_MAX,
                     const std::string& name = "f") {
  if (packed == UINT64_MAX) packed = data.size();
  std::string body = Le(packed, 4) + Le(data.size(), 4) + std::string(1, 2) + Le(Crc(data), 4) + Le(0, 4) +
                     std::string(1, 20) + std::string(1, 0x30) + Le(name.size(), 2) + Le(0x20, 4);
  if (flags & 0x100) body += Le(packed >> 32, 4) + Le(0, 4);
  return Rar4Block(0x74, 0x8000 | flags, body + name, data);
}

TEST(RarLayout, Rar4HeadersSayWhatLibarchiveDoesNot) {
  std::string archive = kRar4Signature + Rar4Main() + Rar4File("alpha") + Rar4File("half", 0x02) +
                        Rar4File("secret", 0x04) + Rar4Block(0x7A, 0x8000, Le(3, 4) + std::string(21, '\0') + Le(0, 4) + "", "cmt") +
                        Rar4End();
  TRarLayout layout = Read(archive);
  EXPECT_TRUE(layout.complete);
  ASSERT_EQ(layout.items.size(), 3u) << "a service header is no item";
  EXPECT_EQ(layout.items[0].crc, Crc("alpha"));
  EXPECT_EQ(layout.items[0].size, 5u);
  EXPECT_TRUE(layout.items[1].split);
  EXPECT_TRUE(layout.items[2].encrypted);
  EXPECT_TRUE(Read(kRar4Signature + Rar4Main(0x1) + Rar4End()).volume);
  EXPECT_TRUE(Read(kRar4Signature + Rar4Main() + Rar4End(0x1)).volume);
  TRarLayout locked = Read(kRar4Signature + Rar4Main(0x80) + std::string(40, 'z'));
  EXPECT_TRUE(locked.encrypted_headers);
  EXPECT_FALSE(locked.complete);
  // The oldest versions end without an end block, at the end of a block.
  EXPECT_TRUE(Read(kRar4Signature + Rar4Main() + Rar4File("alpha")).complete);
}

TEST(RarLayout, Rar4CutOrLyingHeadersEndTheReading) {
  std::string head = kRar4Signature + Rar4Main() + Rar4File("alpha");
  std::string archive = head + Rar4File(std::string(300, 'b')) + Rar4End();
  for (size_t cut = 0; cut < archive.size(); ++cut) {
    TRarLayout layout = Read(archive.substr(0, cut));
    // Between two blocks it reads as an archive of the oldest versions.
    bool boundary = cut == kRar4Signature.size() || cut == kRar4Signature.size() + Rar4Main().size() ||
                    cut == head.size() || cut == archive.size() - Rar4End().size();
    EXPECT_EQ(layout.complete, boundary) << cut;
  }
  // A header size below the base, or past the archive's end.
  EXPECT_FALSE(Read(head + Rar4Block(0x7B, 0, "", "", -7 + 6)).complete);
  EXPECT_FALSE(Read(head + Rar4Block(0x7B, 0, "", "", 200)).complete);
  // Packed data past the end, also through the high half of a large item's size.
  EXPECT_FALSE(Read(head + Rar4File("x", 0, 5000) + Rar4End()).complete);
  EXPECT_FALSE(Read(head + Rar4File("x", 0x100, (uint64_t(1) << 40) | 1) + Rar4End()).complete);
  // A file header shorter than its fields, or than its name.
  TRarLayout shortFields = Read(head + Rar4Block(0x74, 0x8000, Le(1, 4) + Le(1, 4), "x") + Rar4End());
  EXPECT_FALSE(shortFields.complete);
  EXPECT_EQ(shortFields.items.size(), 1u);
  std::string file = Rar4File("x", 0, UINT64_MAX, "name");
  std::string cutName = Rar4Block(0x74, 0x8000, file.substr(7, file.size() - 7 - 1 - 2), "x");
  EXPECT_FALSE(Read(head + cutName + Rar4End()).complete);
  // Another block's added data past the end.
  EXPECT_FALSE(Read(head + Rar4Block(0x78, 0x8000, Le(9999, 4)) + Rar4End()).complete);
  // A wrong header CRC.
  std::string damaged = Rar4File("x");
  damaged[0] ^= 1;
  TRarLayout crc = Read(head + damaged + Rar4End());
  EXPECT_FALSE(crc.complete);
  EXPECT_EQ(crc.items.size(), 1u);
}

TEST(RarLayout, NeitherFormatGivesNothing) {
  for (const std::string& bytes : {std::string(), std::string("Rar!\x1a\x07", 6), std::string("Rar!\x1a\x07\x02\x00", 8),
                                   std::string("PK\x03\x04")}) {
    TRarLayout layout = Read(bytes);
    EXPECT_FALSE(layout.complete);
    EXPECT_TRUE(layout.items.empty());
  }
}

}  // namespace
