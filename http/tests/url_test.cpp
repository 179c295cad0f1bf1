// URL parsing, rendering, port numbers and the text routines that prepare URL text (code page to UTF-8,
// percent-escaping). What the request writer does with a URL is tested with the writer.
#include "qelhttp/url.hpp"

#include <clocale>
#include <climits>
#include <string>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

namespace {

using qelhttp::url;

struct TUrlCase {
  const char* text;
  const char* protocol;
  const char* user_info;
  const char* host;
  const char* port;
  const char* path;
  const char* query;
  const char* fragment;
  bool ipv6;
};

TEST(UrlParse, SplitsComponents) {
  const TUrlCase cases[] = {
      {"http://example.com/a/b.zip", "http", "", "example.com", "", "/a/b.zip", "", "", false},
      {"HTTP://Example.COM", "http", "", "Example.COM", "", "/", "", "", false},
      {"://host/x", "", "", "host", "", "/x", "", "", false},
      {"http://h:0080/p", "http", "", "h", "0080", "/p", "", "", false},
      {"http://h?a=1#top", "http", "", "h", "", "/", "a=1", "top", false},
      {"http://h/p?q#f?g#h", "http", "", "h", "", "/p", "q", "f?g#h", false},
      {"http://h#only", "http", "", "h", "", "/", "", "only", false},
      {"http://user:pass@h:81/p", "http", "user:pass", "h", "81", "/p", "", "", false},
      {"http://user@h/p", "http", "user", "h", "", "/p", "", "", false},
      {"http://u:p@[::1]:8080/x", "http", "u:p", "::1", "8080", "/x", "", "", true},
      {"http://[fe80::1%25eth0]", "http", "", "fe80::1%25eth0", "", "/", "", "", true},
      {"http://[::1]?q", "http", "", "::1", "", "/", "q", "", true},
      {"http://", "http", "", "", "", "/", "", "", false},
      {"http://h/%zz%4", "http", "", "h", "", "/%zz%4", "", "", false},
      // A ":" before the path without a later "@" is the port separator, not user info.
      {"http://h:8/a@b", "http", "", "h", "8", "/a@b", "", "", false},
  };
  for (const TUrlCase& c : cases) {
    boost::system::error_code ec = boost::system::errc::make_error_code(boost::system::errc::io_error);
    const url u = url::from_string(c.text, ec);
    ASSERT_FALSE(ec) << c.text;
    EXPECT_EQ(u.protocol(), c.protocol) << c.text;
    EXPECT_EQ(u.user_info(), c.user_info) << c.text;
    EXPECT_EQ(u.host(), c.host) << c.text;
    EXPECT_EQ(u.port_string(), c.port) << c.text;
    EXPECT_EQ(u.path(), c.path) << c.text;
    EXPECT_EQ(u.query(), c.query) << c.text;
    EXPECT_EQ(u.fragment(), c.fragment) << c.text;
    EXPECT_EQ(u.ipv6(), c.ipv6) << c.text;
  }
}

TEST(UrlParse, RefusesMalformedTextWithInvalidArgument) {
  const char* const cases[] = {
      "",
      "example.com/path",
      "http:/h/p",
      "http:h",
      "http:",
      "http://h:/p",
      "http://h:",
      "http://h:8a/p",
      "http://h:-1/",
      "http://h: 80/",
      "http://[::1",
      "http://[::1]x/",
      "http://[::1]@h/",
  };
  for (const char* text : cases) {
    boost::system::error_code ec;
    const url u = url::from_string(text, ec);
    EXPECT_EQ(ec, boost::system::errc::invalid_argument) << text;
    EXPECT_EQ(u.to_string(url::all_components), "") << text;
    EXPECT_TRUE(u.path().empty()) << text;
    try {
      url::from_string(std::string(text));
      ADD_FAILURE() << "no exception for " << text;
    } catch (const boost::system::system_error& e) {
      EXPECT_EQ(e.code(), boost::system::errc::invalid_argument) << text;
    }
  }
  EXPECT_THROW(qelhttp::make_url("nothing"), boost::system::system_error);
  EXPECT_EQ(qelhttp::make_url("http://h:1/").port(), 1);
}

TEST(UrlRender, MasksSelectComponents) {
  const struct {
    const char* text;
    int mask;
    const char* rendered;
  } cases[] = {
      {"http://h:81/p?q#f", 12, "h:81"},
      {"http://u:p@[::1]:8080/x", 12, "[::1]:8080"},
      {"http://[::1]/x", 12, "[::1]"},
      {"http://h?q#f", 112, "/?q#f"},
      {"http://h/p?#", 112, "/p"},
      {"http://u:p@h:81/p?q#f", 127, "http://u:p@h:81/p?q#f"},
      {"http://", 127, "http:///"},
      {"://h/x", 127, "h/x"},
      {"HTTP://H/", 127, "http://H/"},
      {"http://u@h/p", 2, "u@"},
      {"http://h/p", 0, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(url::from_string(c.text).to_string(c.mask), c.rendered) << c.text << " mask " << c.mask;
  }
}

TEST(UrlPort, WrittenOrByScheme) {
  const struct {
    const char* text;
    int port;
  } cases[] = {
      {"http://h/", 80},
      {"https://h/", 443},
      {"ftp://h/", 21},
      {"gopher://h/", 0},
      {"://h/", 0},
      {"http://h:0080/", 80},
      {"http://h:65535/", 65535},
      {"http://h:65616/", 65616},  // no silent wrap to port 80: the opener refuses it
      {"http://h:0/", 0},
      {"http://h:2147483647/", INT_MAX},
      {"http://h:99999999999999999999999/", INT_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(url::from_string(c.text).port(), c.port) << c.text;
  EXPECT_EQ(url().port(), 0);
}

TEST(UrlText, EscapeUrl) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"a b|c", "a%20b%7cc"},
      {"^`{}", "%5e%60%7b%7d"},
      {"%41%zz#\"<>\\~", "%41%zz#\"<>\\~"},
      {"\xC3\xA9", "%c3%a9"},
      {"\xFF", "%ff"},
      // Control bytes would split a request line or header; they never leave escape_url raw.
      {"/a\r\nX: y", "/a%0d%0aX:%20y"},
      {std::string("a\0b", 3), "a%00b"},
      {"\t\x7F", "%09%7f"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(qelhttp::detail::escape_url(c.in), c.out) << c.in;
  EXPECT_EQ(qelhttp::detail::to_hex(std::string("\x00\x0f\xa0\xff", 4)), "000fa0ff");
  for (int ch = 0; ch < 256; ++ch) {
    const bool unsafe = ch == ' ' || ch == '^' || ch == '`' || ch == '{' || ch == '|' || ch == '}';
    EXPECT_EQ(qelhttp::detail::is_unsafe_char(ch), unsafe) << ch;
  }
}

// Sets the C library's LC_CTYPE for one test and puts the old one back.
class CtypeLocale {
 public:
  explicit CtypeLocale(const char* name) : old_(std::setlocale(LC_CTYPE, nullptr)) {
    ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
  }
  ~CtypeLocale() { std::setlocale(LC_CTYPE, old_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string old_;
  bool ok_ = false;
};

TEST(UrlText, AnsiToUtf8InUtf8Locale) {
  CtypeLocale locale("C.UTF-8");
  ASSERT_TRUE(locale.ok());
  const std::string text = "http://h/\xE6\x9B\xB4\xE6\x96\xB0 \xF0\x9F\x98\x80.zip";
  EXPECT_EQ(qelhttp::detail::ansi_to_utf8(text), text);
  EXPECT_EQ(qelhttp::detail::escape_url(qelhttp::detail::ansi_to_utf8(text)),
            "http://h/%e6%9b%b4%e6%96%b0%20%f0%9f%98%80.zip");

  // An invalid sequence ends the conversion; the checked form refuses the text instead of shortening it.
  const std::string bad = "http://h/a\xFF" "b";
  bool complete = true;
  EXPECT_EQ(qelhttp::detail::ansi_to_wide(bad, &complete), L"http://h/a");
  EXPECT_FALSE(complete);
  EXPECT_EQ(qelhttp::detail::ansi_to_utf8(bad), "http://h/a");
  boost::system::error_code ec;
  EXPECT_EQ(qelhttp::detail::ansi_to_utf8(bad, ec), "");
  EXPECT_EQ(ec, boost::system::errc::invalid_argument);
  EXPECT_EQ(qelhttp::detail::ansi_to_utf8(text, ec), text);
  EXPECT_FALSE(ec);
  // A NUL ends the text as it would end a C string.
  EXPECT_EQ(qelhttp::detail::ansi_to_utf8(std::string("ab\0cd", 5)), "ab");
}

TEST(UrlText, ToUtf8SurrogatesAndRange) {
  const struct {
    std::wstring in;
    std::string out;
  } cases[] = {
      {L"a\u00e9\u6587", "a\xC3\xA9\xE6\x96\x87"},
      {std::wstring{0x1F600}, "\xF0\x9F\x98\x80"},
      {std::wstring{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},  // a UTF-16 pair
      {std::wstring{L'a', 0xDC00, L'b'}, "ab"},            // lone low surrogate dropped
      {std::wstring{0xD800, L'x', L'y'}, "y"},             // high surrogate takes the next unit with it
      {std::wstring{L'a', 0xD800}, "a"},                   // high surrogate at the end
      {std::wstring{L'a', static_cast<wchar_t>(0x110000)}, "a"},
  };
  for (const auto& c : cases) EXPECT_EQ(qelhttp::detail::to_utf8(c.in), c.out);
}

}  // namespace
