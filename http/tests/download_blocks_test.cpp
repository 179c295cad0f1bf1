#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <string>

#include "qelhttp/entry.hpp"
#include "qelhttp/error.hpp"
#include "qelhttp/range_field.hpp"
#include "qelhttp/resume_file.hpp"
#include "qelhttp/storage.hpp"
#include "test_support.h"

namespace {

using namespace qelhttp;

entry Decode(const std::string& text) { return detail::bdecode(text.data(), text.data() + text.size()); }

std::string Encode(const entry& e) {
  std::string out;
  detail::bencode(out, e);
  return out;
}

TEST(Bencode, EveryTypeRoundTripsIncludingBinaryAndExtremes) {
  entry e(entry::dictionary_t);
  e["int"].integer() = INT64_MIN;
  e["max"].integer() = INT64_MAX;
  e["bin"].string() = std::string("a\0b\xff", 4);
  e["list"].list().push_back(entry(entry::list_t));
  e["list"].list().back().list().push_back(entry(entry::int_t));
  e["nested"]["deeper"]["x"].string() = "y";
  std::string bytes = Encode(e);
  entry back = Decode(bytes);
  EXPECT_EQ(Encode(back), bytes);
  EXPECT_EQ(back["int"].integer(), INT64_MIN);
  EXPECT_EQ(back["max"].integer(), INT64_MAX);
  EXPECT_EQ(back["bin"].string(), std::string("a\0b\xff", 4));
  EXPECT_EQ(Encode(Decode("d1:bi2e1:ai1ee")), "d1:ai1e1:bi2ee") << "keys come out sorted";
  EXPECT_EQ(Encode(entry()), "");
  entry holder(entry::dictionary_t);
  holder["k"];
  EXPECT_EQ(Encode(holder), "d1:ke") << "an undefined value writes nothing";
}

TEST(Bencode, ReaderRulesAndHostileInput) {
  EXPECT_EQ(Decode("i-42e").integer(), -42);
  EXPECT_EQ(Decode("i12xe").integer(), 12);
  EXPECT_EQ(Decode("4:spam").string(), "spam");
  EXPECT_EQ(Decode("4:spamtrailing").string(), "spam");
  EXPECT_EQ(Decode("di1ei2ee").type(), entry::dictionary_t);
  EXPECT_TRUE(Decode("di1ei2ee").dict().empty());
  const char* bad[] = {"ie",  "i",   "5:spam", "l",    "d",  "li1e", "x",   "12x:ab", "-1:a",
                       "99999999999999999999:a", "18446744073709551617:x",
                       "d3:key", "l4:spam"};
  for (const char* text : bad) EXPECT_EQ(Decode(text).type(), entry::undefined_t) << text;
  // Integers read as strtoll reads them: out of range saturates instead of failing.
  EXPECT_EQ(Decode("i99999999999999999999e").integer(), INT64_MAX);
  EXPECT_EQ(Decode("i-99999999999999999999e").integer(), INT64_MIN);
  EXPECT_EQ(Decode("i 9223372036854775808e").integer(), INT64_MAX);
  EXPECT_EQ(Decode("i-9223372036854775808e").integer(), INT64_MIN);
  EXPECT_EQ(Decode("i+7e").integer(), 7);
  std::string deep100 = std::string(100, 'l') + std::string(100, 'e');
  std::string deep101 = std::string(101, 'l') + std::string(101, 'e');
  EXPECT_EQ(Decode(deep100).type(), entry::list_t);
  EXPECT_EQ(Decode(deep101).type(), entry::undefined_t);
  EXPECT_EQ(Decode(std::string(1000000, 'l')).type(), entry::undefined_t) << "no stack exhaustion";
}

TEST(Bencode, ARepeatedKeyReplacesItsValueWhateverTheTypes) {
  // Each of these once raised or merged; the last occurrence wins, whole.
  entry cut;
  EXPECT_NO_THROW(cut = Decode("d3:ddd4:dddd3:ddddde"));
  EXPECT_EQ(cut.type(), entry::undefined_t) << "the inner dictionary ends the input early";
  entry changed = Decode("d3:ddd4:dddd3:ddddee");
  ASSERT_EQ(changed.type(), entry::dictionary_t);
  EXPECT_EQ(changed["ddd"].type(), entry::dictionary_t);
  EXPECT_TRUE(changed["ddd"].dict().empty());
  entry lists = Decode("d1:ali1ee1:ali2eee");
  ASSERT_EQ(lists["a"].list().size(), 1u);
  EXPECT_EQ(lists["a"].list().front().integer(), 2);
  EXPECT_EQ(Encode(Decode("d1:ad1:xi1ee1:ad1:yi2eee")), "d1:ad1:yi2eee");
  EXPECT_EQ(Decode("d1:ai1e1:a3:twoe")["a"].string(), "two");
  EXPECT_EQ(Decode("d1:a3:two1:ai1ee")["a"].integer(), 1);
  EXPECT_EQ(Decode("d1:ali1ee1:ai5ee")["a"].integer(), 5);
}

TEST(Bencode, TypedAccessRaisesTheEntryTypeError) {
  entry e(entry::int_t);
  try {
    e.string();
    FAIL() << "no error";
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(error.code(), make_error_code(errc::invalid_entry_type));
    EXPECT_NE(std::string(error.what()).find("invalid type requested from entry"), std::string::npos);
  }
  EXPECT_THROW(e["key"], boost::system::system_error);
  const entry& ro = e;
  EXPECT_THROW(ro.list(), boost::system::system_error);
  entry fresh;
  fresh.list().push_back(entry());
  entry copy = fresh;
  copy.list().clear();
  EXPECT_EQ(fresh.list().size(), 1u) << "copies are deep";
}

std::pair<int64_t, int64_t> Span(int64_t a, int64_t b) { return {a, b}; }

TEST(RangeField, UpdatesMergesAndFreeSpace) {
  range_field f;
  f.reset(20);
  EXPECT_FALSE(f.update(5, 5));
  EXPECT_FALSE(f.update(-1, 3));
  EXPECT_FALSE(f.update(0, 21));
  EXPECT_TRUE(f.update(0, 10));
  EXPECT_TRUE(f.update(10, 20));
  EXPECT_TRUE(f.is_full());
  range_field g;
  g.reset(100);
  int64_t s = 0, e = 0;
  ASSERT_TRUE(g.out_space(0, s, e));
  EXPECT_EQ(Span(s, e), Span(0, 100));
  g.update(0, 50);
  g.out_space(0, s, e);
  EXPECT_EQ(Span(s, e), Span(50, 100));
  g.out_space(70, s, e);
  EXPECT_EQ(Span(s, e), Span(70, 100));
  range_field h;
  h.reset(100);
  h.update(50, 100);
  h.out_space(70, s, e);
  EXPECT_EQ(Span(s, e), Span(0, 50)) << "wraps around";
  h.update(0, 50);
  EXPECT_FALSE(h.out_space(0, s, e));
  range_field o;
  o.reset(100);
  o.update(0, 30);
  o.update(10, 40);
  EXPECT_EQ(o.range_size(), 60) << "unmerged overlaps count twice";
  o.update(0, 10);
  o.merge();
  EXPECT_EQ(o.range_size(), 40) << "a shorter range at the same start never shrinks what is recorded";
}

TEST(RangeField, BitfieldsBothWays) {
  range_field f;
  f.reset(100);
  f.update(0, 60);
  bitfield bits;
  f.to_bitfield(bits, 30);
  ASSERT_EQ(bits.size(), 4u);
  EXPECT_EQ(bits.bytes()[0], 0xC0);
  range_field small;
  small.reset(100);
  for (auto r : {std::make_pair(0, 5), {6, 7}, {8, 9}, {10, 11}, {60, 90}}) small.update(r.first, r.second);
  bitfield b2;
  small.to_bitfield(b2, 30);
  EXPECT_EQ(b2.bytes()[0], 0x20) << "piece 2 is covered although small ranges come before it";
  bitfield b3;
  b3.resize(4);
  b3.set(1);
  b3.set(2);
  range_field r;
  r.reset(100);
  r.bitfield_to_range(b3, 30);
  EXPECT_EQ(r.ranges(), (std::map<int64_t, int64_t>{{30, 90}}));
  bitfield b4;
  b4.resize(4);
  b4.set(3);
  r.bitfield_to_range(b4, 30);
  EXPECT_EQ(r.ranges(), (std::map<int64_t, int64_t>{{90, 100}}));
}

TEST(Storage, PositionedWritesReadsAndEndOfFile) {
  qeltest::TempDir dir;
  default_storge s;
  boost::system::error_code ec;
  EXPECT_EQ(s.write("x", 0, 1), -1) << "a write before open fails";
  s.open(dir.file("t.bin"), ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(s.write("0123456789", 1000, 10), 10);
  EXPECT_EQ(qeltest::ReadFile(dir.file("t.bin")), std::string(1000, '\0') + "0123456789");
  char buf[4];
  EXPECT_EQ(s.read(buf, 1002, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "2345");
  EXPECT_FALSE(s.eof());
  EXPECT_EQ(s.read(buf, 4), 4);
  EXPECT_TRUE(s.eof());
  EXPECT_TRUE(s.eof()) << "the position stays";
  s.close();
  s.close();
  s.open(dir.file("t.bin"), ec);
  EXPECT_EQ(qeltest::ReadFile(dir.file("t.bin")).size(), 1010u) << "opening keeps the bytes";
  std::unique_ptr<storage_interface> made(default_storage_constructor());
  made->open(dir.file("missing/x.bin"), ec);
  EXPECT_TRUE(ec);
  EXPECT_EQ(made->write("x", 0, 1), -1);
}

class Resume : public ::testing::Test {
 protected:
  std::string Path() const { return dir.file("r.meta"); }
  void Write(const std::string& bytes) const { qeltest::WriteFile(Path(), bytes); }
  restore_result Restore(int64_t server = -1) { return restore_meta(Path(), server, state); }
  qeltest::TempDir dir;
  resume_state state;
};

TEST_F(Resume, WrittenAndRestoredFieldByField) {
  EXPECT_EQ(meta_file_name("http://h/p.zip").size(), meta_file_name("http://h/p.zip").find(".meta") + 5);
  EXPECT_EQ(meta_file_name(""), "0.meta");
  range_field finished;
  finished.reset(100000);
  finished.update(0, 16384 * 2);
  finished.update(16384 * 3, 16384 * 4);
  file meta;
  ASSERT_TRUE(update_meta(meta, Path(), "http://h/p.zip", 100000, 16384, finished));
  std::string bytes = qeltest::ReadFile(Path());
  EXPECT_EQ(bytes.compare(0, 12, "d8:bitfield1"), 0) << bytes;
  EXPECT_NE(bytes.find("9:piece_numi7e10:piece_sizei16384ee"), std::string::npos) << bytes;
  meta.close();
  ASSERT_EQ(Restore(100000), restore_result::restored);
  EXPECT_EQ(state.final_url, "http://h/p.zip");
  EXPECT_EQ(state.file_size, 100000);
  EXPECT_EQ(state.piece_size, 16384);
  EXPECT_EQ(state.piece_num, 7u);
  EXPECT_EQ(state.pieces.bytes()[0], 0xD0);
  range_field requested, done;
  apply_resume(state, requested, done);
  done.merge();
  EXPECT_EQ(done.ranges(), (std::map<int64_t, int64_t>{{0, 32768}, {49152, 65536}}));
  qeltest::WriteFile(Path(), bytes + "stray tail after an earlier longer content");
  EXPECT_EQ(Restore(100000), restore_result::restored);
}

TEST_F(Resume, EmptyMissingAndUnusableFilesAreHandledWhole) {
  EXPECT_EQ(Restore(), restore_result::fresh) << "no file";
  Write("");
  EXPECT_EQ(Restore(), restore_result::fresh) << "an empty file is a new download";
  auto good = [](const std::string& size, const std::string& piece, const std::string& num, const std::string& bits,
                 const std::string& url = "9:final_url14:http://h/p.zip") {
    return "d8:bitfield" + std::to_string(bits.size()) + ":" + bits + "9:file_size" + size + url + "9:piece_num" + num +
           "10:piece_size" + piece + "e";
  };
  ASSERT_EQ((Write(good("i100e", "i30e", "i4e", "\xC0")), Restore()), restore_result::restored);
  struct Case {
    std::string bytes;
    int64_t server;
    const char* why;
  } cases[] = {
      {"garbage", -1, "not bencode"},
      {"li1ee", -1, "not a dictionary"},
      {good("i100e", "i0e", "i4e", "\xC0"), -1, "piece size 0"},
      {good("i100e", "i-30e", "i4e", "\xC0"), -1, "negative piece size"},
      {good("i100e", "i4294967296e", "i1e", "\x80"), -1, "piece size past 32 bits"},
      {good("i100e", "i30e", "i9999999e", "\xC0"), -1, "piece count disagrees"},
      {good("i100e", "i1e", "i100e", "\xFF"), -1, "bitfield too short"},
      {good("i0e", "i30e", "i0e", ""), -1, "no size"},
      {good("i100e", "i30e", "i4e", "\xC0"), 200, "another size on the server"},
      {good("1:x", "i30e", "i4e", "\xC0"), -1, "size of the wrong type"},
      {good("i100e", "i30e", "i4e", "\xC0", "9:final_urli5e"), -1, "URL of the wrong type"},
      {good("i100e", "i30e", "i4e", "\xC0", "9:final_url7:no url"), -1, "URL that does not parse"},
      {good("i100e", "i30e", "i4e", "\xC0").substr(0, 30), -1, "cut short"},
      {"d9:file_sizei100e9:file_size3:abce", -1, "a repeated key turned into another type"},
      {"d9:file_sized1:xi1eee", -1, "size as a dictionary"},
      {std::string(5000, 'l'), -1, "nested past the depth limit"},
      {good("i9223372036854775807e", "i1058476e", "i50e", "\xC0"), -1, "a size at the 64-bit limit"},
      {good("i99999999999999999999e", "i1e", "i9223372036854775807e", "\xC0"), -1, "a saturated size"},
  };
  for (const Case& c : cases) {
    Write(c.bytes);
    EXPECT_EQ(Restore(c.server), restore_result::rejected) << c.why;
  }
  Write(good("i100e", "i30e", "i4e", "\xFF"));
  ASSERT_EQ(Restore(), restore_result::restored);
  EXPECT_EQ(state.pieces.bytes()[0], 0xF0) << "spare bits beyond the pieces are cleared";
}

}  // namespace
