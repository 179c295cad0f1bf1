#include "qelhttp/http_parsers.hpp"

#include <gtest/gtest.h>

#include <string>

#include "qelhttp/http_download.hpp"
#include "qelhttp/request_opts.hpp"

namespace {

using namespace qelhttp;

bool Status(const std::string& line, int* status = nullptr) {
  int major = 0, minor = 0, s = 0;
  bool ok = detail::parse_http_status_line(line.data(), line.data() + line.size(), major, minor, s);
  if (status) *status = s;
  return ok;
}

TEST(StatusLine, GrammarAcceptsAndRefusesAsWritten) {
  int status = 0;
  EXPECT_TRUE(Status("HTTP/1.1 200 OK\r\n", &status));
  EXPECT_EQ(status, 200);
  EXPECT_TRUE(Status("HTTP/1.0 404 \r\n", &status)) << "an empty reason after the space";
  EXPECT_TRUE(Status("HTTP/1.1 200 caf\xc3\xa9\r\n"));
  EXPECT_TRUE(Status("HTTP/1.1 200 O\tK\r\n")) << "a tab is whitespace in the reason";
  EXPECT_TRUE(Status("HTTP/1.1 200 OK\n")) << "a bare LF ends a head line, as in the header block";
  const char* bad[] = {"HTTP/1.1 200\r\n",  "HTTP/1.1 200 O\x01K\r\n", "http/1.1 200 OK\r\n",
                       "HTTP/1.1  200 OK\r\n", "HTTP/1.1 20 OK\r\n", "HTTP/1.1 2000 OK\r\n",
                       "HTTP/1.1 4294967496 OK\r\n", "HTTP/1111.1 200 OK\r\n", "HTTP/1.1 200 OK\r",
                       "HTTP/1.1 200 OK\rX", "HTTP/1.1 200 OK\r\r\n"};
  for (const char* line : bad) EXPECT_FALSE(Status(line)) << line;
}

struct THead {
  bool ok;
  int64_t length;
  std::string location;
  std::string type;
  request_opts headers;
};

THead Headers(const std::string& block, int64_t start = -1) {
  THead head{false, start, "", "", {}};
  head.ok = detail::parse_http_headers(head.length, head.location, head.type, block.data(),
                                       block.data() + block.size(), head.headers);
  return head;
}

TEST(HeaderBlock, HeadersAreTrimmedKeptInOrderAndTheSpecialOnesTaken) {
  THead head = Headers(
      "Content-Type: text/plain \r\ncontent-length: 10\r\nContent-Range: bytes 0-9/100\r\n"
      "X-A:  one\r\n  two\r\nSet-Cookie: a=1\nLocation: /x\r\n\r\n");
  ASSERT_TRUE(head.ok);
  EXPECT_EQ(head.type, "text/plain");
  EXPECT_EQ(head.length, 100) << "the larger of length and range total";
  EXPECT_EQ(head.location, "/x");
  EXPECT_EQ(head.headers.find("X-A"), "one two") << "a folded line joins with one space";
  EXPECT_EQ(head.headers.find("set-cookie"), "a=1") << "a bare LF ends a line";
  EXPECT_EQ(head.headers.options().front().first, "Content-Type");
  EXPECT_TRUE(Headers("\r\n").ok) << "an empty block";
  EXPECT_EQ(Headers("Content-Type:\ttext/plain\t\r\n\r\n").type, "text/plain") << "tabs around a value";
  EXPECT_EQ(Headers("Content-Range: bytes 0-1\r\n\r\n").length, -1);
  EXPECT_EQ(Headers("Content-Range: bytes 0-1/\r\n\r\n").length, -1);
}

TEST(HeaderBlock, MalformedAndOverflowingBlocksFail) {
  const char* bad[] = {"Name\r\n\r\n", "Bad Name: x\r\n\r\n", "A: b\x01\r\n\r\n", "A: b\r\n\r", "A: b\r\n",
                       "A: b\rX\r\n\r\n", "{x: 1\r\n\r\n", "Content-Length: 99999999999999999999\r\n\r\n",
                       "Content-Range: bytes 0-1/99999999999999999999\r\n\r\n", " A: b\r\n\r\n",
                       ":odd: x\r\n\r\n", "A : b\r\n\r\n", "A\"b: c\r\n\r\n", "A: b\r\n\rC: d\r\n\r\n"};
  for (const char* block : bad) EXPECT_FALSE(Headers(block).ok) << block;
  EXPECT_TRUE(Headers("odd~|^`!#$%&'*+-._: x\r\n\r\n").ok) << "every token character may stand in a name";
  const char* lengths[] = {"abc", "", "+5", "-5", "0x5", "5 5", "5,6", "5;", "5,", " , 5"};
  for (const char* value : lengths) {
    EXPECT_FALSE(Headers(std::string("Content-Length: ") + value + "\r\n\r\n").ok) << value;
  }
  EXPECT_EQ(Headers("Content-Length: 5, 5 ,5\r\n\r\n").length, 5) << "a list of the same length";
  EXPECT_EQ(Headers("Content-Length:\t7\t\r\n\r\n").length, 7);
}

TEST(ChunkSize, HexWithExtensionsAndRefusals) {
  uint64_t size = 0;
  EXPECT_TRUE(detail::parse_chunk_size("a;ext=1", size));
  EXPECT_EQ(size, 10u);
  EXPECT_TRUE(detail::parse_chunk_size("FF \t; a=\"b c\"", size));
  EXPECT_EQ(size, 255u);
  EXPECT_TRUE(detail::parse_chunk_size("5 ", size));
  for (const char* line : {"  FF", "0x5", "5 junk", "5\x01", "+5", ";5", "5\r"}) {
    EXPECT_FALSE(detail::parse_chunk_size(line, size)) << line;
  }
  EXPECT_TRUE(detail::parse_chunk_size("100000000", size));
  EXPECT_EQ(size, 0x100000000ull) << "no wrap at 32 bits";
  EXPECT_FALSE(detail::parse_chunk_size("zz", size));
  EXPECT_FALSE(detail::parse_chunk_size("", size));
  EXPECT_FALSE(detail::parse_chunk_size("10000000000000000", size)) << "does not fit 63 bits";
}

// Each reader takes 2^63 - 1 and refuses everything past it, however many digits: 2^64 + 5 must not read
// as 5, nor 2^64 as 0.
TEST(Numbers, EveryReaderRefusesWhatPassesSixtyThreeBits) {
  const char* const kPast[] = {"9223372036854775808", "18446744073709551615", "18446744073709551616",
                               "18446744073709551621", "18446744073709551626", "99999999999999999999",
                               "184467440737095516210"};
  uint64_t length = 0;
  int64_t value = 0;
  EXPECT_TRUE(detail::parse_content_length("9223372036854775807", length));
  EXPECT_EQ(length, 9223372036854775807ull);
  EXPECT_TRUE(detail::read_length(" -9223372036854775807", value));
  EXPECT_EQ(value, -9223372036854775807ll);
  EXPECT_TRUE(detail::read_decimal("x9223372036854775807", 1, 20, value));
  EXPECT_EQ(value, 9223372036854775807ll);
  for (const char* past : kPast) {
    SCOPED_TRACE(past);
    const std::string text = past;
    EXPECT_FALSE(detail::parse_content_length(text, length));
    EXPECT_FALSE(detail::parse_content_length("5, " + text, length));
    EXPECT_FALSE(detail::read_length(text, value));
    EXPECT_FALSE(detail::read_length("-" + text, value));
    EXPECT_FALSE(detail::read_decimal(text, 0, text.size(), value));
    int64_t first = 0, last = 0, total = 0;
    EXPECT_FALSE(qelhttp::detail::parse_content_range("bytes 0-4/" + text, first, last, total));
    int64_t reported = -1;
    std::string type, location;
    EXPECT_FALSE(detail::take_header_field("Content-Range", "bytes 0-4/" + text, type, reported, location));
    EXPECT_EQ(reported, -1);
    EXPECT_FALSE(Headers("Content-Length: 5\r\nContent-Length: " + text + "\r\n\r\n").ok);
  }
  // Nineteen digits are a number like any other.
  int64_t first = 0, last = 0, total = 0;
  EXPECT_TRUE(qelhttp::detail::parse_content_range("bytes 0-4/1000000000000000000", first, last, total));
  EXPECT_EQ(total, 1000000000000000000ll);
  uint64_t size = 0;
  EXPECT_TRUE(detail::parse_chunk_size("7fffffffffffffff", size));
  EXPECT_EQ(size, 0x7fffffffffffffffull);
  for (const char* past : {"8000000000000000", "8000000000000005", "ffffffffffffffff"}) {
    EXPECT_FALSE(detail::parse_chunk_size(past, size)) << past;
  }
}

TEST(Base64, PaddingByRemainder) {
  EXPECT_EQ(detail::encode_base64(""), "");
  EXPECT_EQ(detail::encode_base64("f"), "Zg==");
  EXPECT_EQ(detail::encode_base64("fo"), "Zm8=");
  EXPECT_EQ(detail::encode_base64("foo"), "Zm9v");
  EXPECT_EQ(detail::encode_base64("user:"), "dXNlcjo=");
  EXPECT_EQ(detail::encode_base64(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Location, MadeAbsoluteAgainstTheCurrentUrl) {
  url current = url::from_string("http://u@h:81/x/y?q");
  EXPECT_EQ(detail::absolute_location("b/c", current), "http://u@h:81/x/b/c");
  EXPECT_EQ(detail::absolute_location("/new/x", current), "http://u@h:81/new/x");
  EXPECT_EQ(detail::absolute_location("//h2/x", current), "http://h2/x");
  EXPECT_EQ(detail::absolute_location("http://o/p", current), "http://o/p");
  EXPECT_EQ(detail::absolute_location("c", url::from_string("http://h/x/y?a/b")), "http://h/x/y?a/c")
      << "a '/' in the query counts as the last one";
}

TEST(RequestOpts, FindIsCaselessRemoveIsExactDuplicatesStay) {
  request_opts o;
  o.insert("HOST", "a");
  o.insert("Host", "b");
  std::string value = "untouched";
  EXPECT_TRUE(o.find("host", value));
  EXPECT_EQ(value, "a");
  o.remove("Host");
  ASSERT_EQ(o.options().size(), 1u);
  EXPECT_EQ(o.options()[0].first, "HOST");
  value = "untouched";
  EXPECT_FALSE(o.find("Accept", value));
  EXPECT_EQ(value, "untouched");
  EXPECT_EQ(o.find("Accept"), "");
  int64_t length = -1;
  std::string type, location;
  EXPECT_TRUE(detail::take_header_field("content-length", "100", type, length, location));
  EXPECT_TRUE(detail::take_header_field("Content-Range", "bytes 0-1/5000", type, length, location));
  EXPECT_EQ(length, 5000);
  EXPECT_FALSE(detail::take_header_field("Content-Length", "-99999999999999999999", type, length, location));
}

}  // namespace
