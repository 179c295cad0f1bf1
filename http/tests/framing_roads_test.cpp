// How each answer's bytes are framed, on both roads of the stream, against the scripted server: every answer
// sent whole, byte by byte and in random cuts, and where a connection is kept alive, the next request on it.
// Each answer is framed by its own head; faulty framing is refused and ends the connection's keep-alive;
// valid answers with tabs, folded lines and bare LFs are read; nothing a server sends after an answer is
// ever read as the answer to the next request.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qelhttp/http_stream.hpp"
#include "response_feed.h"
#include "scripted_server.h"
#include "test_support.h"

namespace {

using boost::system::error_code;
using qelhttp::errc;
using qeltest::TScript;
using qeltest::TScriptStep;

// What one request on the connection came to.
struct TReply {
  error_code open;
  int status = 0;
  std::string body;
  error_code read;
  bool keep_alive = false;
  std::string content_type;

  bool operator==(const TReply& o) const {
    return open == o.open && status == o.status && body == o.body && read == o.read &&
           keep_alive == o.keep_alive && content_type == o.content_type;
  }
};

std::ostream& operator<<(std::ostream& out, const TReply& r) {
  return out << "{open '" << r.open.message() << "' status " << r.status << " body '" << r.body << "' read '"
             << r.read.message() << "' keep-alive " << r.keep_alive << "}";
}

// The steps of one answer: its bytes in the given cuts, then what the server does after them.
typedef std::function<std::vector<size_t>(const std::string&)> TCutter;

TScript CutSteps(const std::string& bytes, const TCutter& cut) {
  TScript steps;
  size_t at = 0;
  for (size_t piece : cut(bytes)) {
    steps.push_back(TScriptStep::SendBytes(bytes.substr(at, piece)));
    at += piece;
  }
  return steps;
}

// One connection: request i is answered with answers[i] (cut as asked), then after[i] (more steps: a pause,
// more bytes, a close). Serves as many requests as there are answers.
class CExchange {
 public:
  CExchange(std::vector<std::string> answers, std::vector<TScript> after, const TCutter& cut)
      : answers_(std::move(answers)), after_(std::move(after)), cut_(cut) {
    after_.resize(answers_.size());
    server_.reset(new qeltest::ScriptedServer([this](size_t, const std::string&) {
      const size_t i = std::min(served_++, answers_.size() - 1);
      TScript steps = CutSteps(answers_[i], cut_);
      steps.insert(steps.end(), after_[i].begin(), after_[i].end());
      return steps;
    }));
  }
  std::string Url() const { return server_->Url("/f"); }
  // Requests the server read on the one connection.
  size_t Requests() const {
    const std::vector<std::string> received = server_->Received();
    size_t n = 0;
    for (const std::string& connection : received) {
      for (size_t at = connection.find("GET "); at != std::string::npos; at = connection.find("GET ", at + 1)) ++n;
    }
    return n;
  }
  size_t Connections() const { return server_->Received().size(); }

 private:
  std::vector<std::string> answers_;
  std::vector<TScript> after_;
  TCutter cut_;
  size_t served_ = 0;
  std::unique_ptr<qeltest::ScriptedServer> server_;
};

qelhttp::request_opts Options(bool keep_alive, const std::string& method = "GET") {
  qelhttp::request_opts options;
  options.insert("Connection", keep_alive ? "keep-alive" : "close");
  if (method != "GET") options.insert("_request_method", method);
  return options;
}

// The synchronous road: `requests` requests one after another on one stream, each body read to its end in
// pieces of 7 bytes.
std::vector<TReply> Synchronous(const std::string& address, size_t requests, const qelhttp::request_opts& options) {
  boost::asio::io_context io;
  qelhttp::http_stream s(io);
  s.request_options(options);
  s.set_sync_timeout(20);
  std::vector<TReply> replies;
  for (size_t i = 0; i < requests; ++i) {
    TReply r;
    if (i == 0) {
      s.open(qelhttp::url::from_string(address), r.open);
    } else {
      s.request(options, r.open);
    }
    r.status = s.status();
    r.content_type = s.content_type();
    if (!r.open) {
      char buffer[7];
      for (;;) {
        const size_t n = s.read_some(buffer, sizeof buffer, r.read);
        r.body.append(buffer, n);
        if (n == 0) break;
      }
    }
    r.keep_alive = s.keep_alive();
    replies.push_back(r);
  }
  return replies;
}

// The asynchronous road, the same way: async_open, then request_impl as the download asks again.
std::vector<TReply> Asynchronous(const std::string& address, size_t requests, const qelhttp::request_opts& options) {
  boost::asio::io_context io;
  qelhttp::http_stream s(io);
  s.request_options(options);
  std::vector<TReply> replies;
  char buffer[7];
  std::function<void(const error_code&)> on_head;
  std::function<void(const error_code&, std::size_t)> on_read;
  auto next = [&] {
    replies.back().keep_alive = s.keep_alive();
    if (replies.size() >= requests) return;
    replies.emplace_back();
    s.request_impl(options, on_head);
  };
  on_head = [&](const error_code& ec) {
    TReply& r = replies.back();
    r.open = ec;
    r.status = s.status();
    r.content_type = s.content_type();
    if (ec) {
      next();
      return;
    }
    s.async_read_some(boost::asio::buffer(buffer), on_read);
  };
  on_read = [&](const error_code& ec, std::size_t n) {
    TReply& r = replies.back();
    r.body.append(buffer, n);
    if (n > 0) {
      s.async_read_some(boost::asio::buffer(buffer), on_read);
      return;
    }
    r.read = ec;
    next();
  };
  replies.emplace_back();
  s.async_open(qelhttp::url::from_string(address), on_head);
  io.run();
  return replies;
}

std::vector<TCutter> Cutters() {
  return {readertest::Whole, readertest::ByteByByte,
          [](const std::string& a) { return readertest::RandomCuts(a, 31, 5); },
          [](const std::string& a) { return readertest::RandomCuts(a, 32, 40); }};
}

struct TRoads {
  std::vector<TReply> sync;
  std::vector<TReply> async;
  size_t sync_requests = 0;
  size_t async_requests = 0;
};

// Every cut on both roads; each road must read every cut alike. The first cut's result is returned.
TRoads Play(const std::vector<std::string>& answers, const std::vector<TScript>& after, size_t requests,
            const qelhttp::request_opts& options) {
  TRoads first;
  const std::vector<TCutter> cutters = Cutters();
  for (size_t c = 0; c < cutters.size(); ++c) {
    SCOPED_TRACE("cut " + std::to_string(c));
    CExchange sync_server(answers, after, cutters[c]);
    const std::vector<TReply> sync = Synchronous(sync_server.Url(), requests, options);
    CExchange async_server(answers, after, cutters[c]);
    const std::vector<TReply> async = Asynchronous(async_server.Url(), requests, options);
    if (c == 0) {
      first = {sync, async, sync_server.Requests(), async_server.Requests()};
      continue;
    }
    EXPECT_EQ(sync, first.sync);
    EXPECT_EQ(async, first.async);
  }
  return first;
}

TRoads Play(const std::vector<std::string>& answers, size_t requests, bool keep_alive = true) {
  return Play(answers, {}, requests, Options(keep_alive));
}

// Both roads gave this for each request.
void ExpectBoth(const TRoads& roads, const std::vector<TReply>& expected) {
  EXPECT_EQ(roads.sync, expected) << "synchronous";
  EXPECT_EQ(roads.async, expected) << "asynchronous";
}

TReply Read(const std::string& body, bool keep_alive = true, int status = 200) {
  TReply r;
  r.status = status;
  r.body = body;
  r.keep_alive = keep_alive;
  if (!keep_alive) r.read = boost::asio::error::eof;
  return r;
}

TReply Failed(const error_code& ec, const std::string& body = "", int status = 200) {
  TReply r;
  r.status = status;
  r.read = ec;
  r.body = body;
  return r;
}

TReply Refused(const error_code& ec, int status = 200) {
  TReply r;
  r.open = ec;
  r.status = status;
  return r;
}

const char kChunked[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

// --- Each answer is framed by its own head.

TEST(FramingRoads, APartialAnswerIsAsLongAsItsContentLengthNotItsRangeTotal) {
  const std::string first =
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/100\r\nContent-Length: 5\r\n\r\nhello";
  const std::string second =
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-7/100\r\nContent-Length: 3\r\n\r\nabc";
  ExpectBoth(Play({first, second}, 2), {Read("hello", true, 206), Read("abc", true, 206)});
}

TEST(FramingRoads, EachAnswerOnAKeptAliveConnectionHasItsOwnLength) {
  const std::string longer = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789";
  const std::string shorter = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
  const std::string empty = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  const TRoads roads = Play({longer, shorter, empty, longer}, 4);
  ExpectBoth(roads, {Read("0123456789"), Read("abc"), Read(""), Read("0123456789")});
  EXPECT_EQ(roads.sync_requests, 4u);
  EXPECT_EQ(roads.async_requests, 4u);
}

TEST(FramingRoads, InterimAnswersAreSkippedWithTheirFields) {
  const std::string answer =
      "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n"
      "HTTP/1.1 102 Processing\r\n\r\n"
      "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::string plain = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext";
  ExpectBoth(Play({answer, plain}, 2), {Read("ok"), Read("next")});
}

TEST(FramingRoads, ABodyOfKnownLengthEndsThereAlsoWhenTheConnectionIsNotKeptAlive) {
  // The server keeps the connection and sends more later: none of it is body, and no read waits for it.
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  const std::vector<TScript> after = {{TScriptStep::Pause(std::chrono::milliseconds(100)),
                                       TScriptStep::SendBytes("MORE BYTES"),
                                       TScriptStep::Pause(std::chrono::milliseconds(100)), TScriptStep::CloseNow()}};
  const TRoads roads = Play({answer}, after, 1, Options(false));
  ExpectBoth(roads, {Read("hello", false)});
  // The same without a close at all: the body still ends at its length.
  const std::vector<TScript> open = {{TScriptStep::ReadHead()}};
  ExpectBoth(Play({answer}, open, 1, Options(false)), {Read("hello", false)});
}

TEST(FramingRoads, ACloseBeforeTheLengthIsATruncatedBody) {
  const std::string cut = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345";
  const std::vector<TScript> close = {{TScriptStep::CloseNow()}};
  for (bool keep_alive : {true, false}) {
    ExpectBoth(Play({cut}, close, 1, Options(keep_alive)),
               {Failed(qelhttp::make_error_code(errc::truncated_body), "12345")});
  }
  // Without a length the close is the body's end.
  const std::string unframed = "HTTP/1.1 200 OK\r\n\r\n12345";
  ExpectBoth(Play({unframed}, close, 1, Options(true)), {Read("12345", false)});
}

TEST(FramingRoads, BytesAfterAnAnswerAreNeverReadAsTheNextAnswer) {
  // A server plants a second answer behind the first, in the same write, so both are there before the
  // body has ended: the connection is not used again.
  const std::string planted = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
                              "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nplanted";
  const std::string honest = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nhonest";
  for (bool synchronous : {true, false}) {
    SCOPED_TRACE(synchronous);
    CExchange server({planted, honest}, {}, readertest::Whole);
    const std::vector<TReply> replies = synchronous ? Synchronous(server.Url(), 2, Options(true))
                                                    : Asynchronous(server.Url(), 2, Options(true));
    EXPECT_EQ(replies, (std::vector<TReply>{Read("ok", false), Refused(boost::asio::error::network_reset)}));
    EXPECT_EQ(server.Requests(), 1u) << "the second request never went out";
  }
}

TEST(FramingRoads, BytesThatComeAfterAWholeAnswerRefuseTheNextRequest) {
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::string late = "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nplanted";
  CExchange server({answer}, {{TScriptStep::SendBytes(late), TScriptStep::ReadHead()}}, readertest::Whole);
  boost::asio::io_context io;
  qelhttp::http_stream s(io);
  const qelhttp::request_opts options = Options(true);
  s.request_options(options);
  s.set_sync_timeout(20);
  error_code ec;
  s.open(qelhttp::url::from_string(server.Url()), ec);
  ASSERT_FALSE(ec) << ec.message();
  char buffer[64];
  EXPECT_EQ(s.read_some(buffer, 2, ec), 2u);
  EXPECT_EQ(s.read_some(buffer, sizeof buffer, ec), 0u) << "the body has ended";
  // The planted answer has come after the answer and before any request: into the stream's buffer with
  // the answer's last bytes (the keep-alive then ends at once), or later into the socket.
  ASSERT_TRUE(qeltest::WaitUntil([&] { return !s.keep_alive() || s.socket()->available() > 0; }));
  s.request(options, ec);
  EXPECT_EQ(ec, boost::asio::error::network_reset);
  EXPECT_EQ(server.Requests(), 1u);
}

TEST(FramingRoads, ANoBodyAnswerEndsAtItsHead) {
  const std::string not_modified = "HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\n";
  const std::string no_content = "HTTP/1.1 204 No Content\r\n\r\n";
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const TRoads roads = Play({not_modified, no_content, next}, 3);
  TReply unmodified = Refused(qelhttp::make_error_code(304), 304);
  TReply empty = Refused(qelhttp::make_error_code(204), 204);
  unmodified.keep_alive = empty.keep_alive = true;
  ExpectBoth(roads, {unmodified, empty, Read("ok")});
  // A HEAD's answer has no body, whatever its length says.
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
  ExpectBoth(Play({head, head}, {}, 2, Options(true, "HEAD")), {Read(""), Read("")});
}

// --- Faulty framing is refused.

TEST(FramingRoads, AContentLengthIsDigitsOrAListOfTheSameDigits) {
  const error_code malformed = qelhttp::make_error_code(errc::malformed_response_headers);
  for (const char* value : {"+5", "-5", "0x5", "5abc", "", "5, 6", " ", "5 5", "99999999999999999999"}) {
    SCOPED_TRACE(value);
    const std::string answer = std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + value + "\r\n\r\nhello";
    ExpectBoth(Play({answer}, 1), {Refused(malformed)});
  }
  const std::string two = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!";
  ExpectBoth(Play({two}, 1), {Refused(malformed)});
  const std::string same = "HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\nContent-Length: 5\r\n\r\nhello";
  ExpectBoth(Play({same, same}, 2), {Read("hello"), Read("hello")});
}

TEST(FramingRoads, ANumberPastSixtyThreeBitsIsRefusedNeverWrapped) {
  // Read modulo 2^64 these would be 5 and 0, and 5 would agree with a plain 5 beside it; the Content-Range
  // total would be 10. The connection is not used again either.
  const error_code malformed = qelhttp::make_error_code(errc::malformed_response_headers);
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext";
  const std::string heads[] = {
      "Content-Length: 18446744073709551621\r\n",
      "Content-Length: 18446744073709551616\r\n",
      "Content-Length: 9223372036854775808\r\n",
      "Content-Length: 5\r\nContent-Length: 18446744073709551621\r\n",
      "Content-Length: 18446744073709551621\r\nContent-Length: 5\r\n",
      "Content-Length: 0\r\nContent-Length: 18446744073709551616\r\n",
      "Content-Length: 5, 18446744073709551621\r\n",
  };
  for (const std::string& head : heads) {
    SCOPED_TRACE(head);
    const std::string answer = "HTTP/1.1 200 OK\r\n" + head + "\r\nhello";
    ExpectBoth(Play({answer, next}, 2), {Refused(malformed), Refused(boost::asio::error::network_reset)});
  }
  const std::string range =
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/18446744073709551626\r\nContent-Length: 5\r\n\r\nhello";
  ExpectBoth(Play({range, next}, 2), {Refused(malformed, 206), Refused(boost::asio::error::network_reset, 206)});
  // The largest length there is still frames a body.
  const std::string largest = "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775807\r\n\r\nhello";
  const std::vector<TScript> close = {{TScriptStep::CloseNow()}};
  ExpectBoth(Play({largest}, close, 1, Options(true)),
             {Failed(qelhttp::make_error_code(errc::truncated_body), "hello")});
}

TEST(FramingRoads, TransferEncodingIsReadWithoutRegardToCase) {
  for (const char* value : {"Chunked", "CHUNKED", "chunked", " chunked\t"}) {
    SCOPED_TRACE(value);
    const std::string answer =
        std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding:") + value + "\r\n\r\n5\r\nhello\r\n0\r\n\r\n";
    const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext";
    ExpectBoth(Play({answer, next}, 2), {Read("hello"), Read("next")});
  }
}

TEST(FramingRoads, ALengthBesideATransferCodingIsReadChunkedAndEndsTheConnection) {
  const std::string both =
      "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n";
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext";
  const TRoads roads = Play({both, next}, 2);
  ExpectBoth(roads, {Read("hello", false), Refused(boost::asio::error::network_reset)});
  EXPECT_EQ(roads.sync_requests, 1u);
}

TEST(FramingRoads, ATransferCodingOtherThanChunkedAloneFails) {
  for (const char* value : {"gzip", "chunked, gzip", "gzip, chunked", "identity", "chunked, chunked", ""}) {
    SCOPED_TRACE(value);
    const std::string answer =
        std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: ") + value + "\r\n\r\n5\r\nhello\r\n0\r\n\r\n";
    ExpectBoth(Play({answer}, 1), {Refused(qelhttp::make_error_code(errc::malformed_response_headers))});
  }
}

TEST(FramingRoads, AChunkSizeLineIsHexThenBlanksAndExtensionsOnly) {
  const error_code invalid = qelhttp::make_error_code(errc::invalid_chunked_encoding);
  // A size the lenient reading took as the last chunk, with an answer hidden behind it.
  const std::string hidden = "0x29\r\nHTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nhidden\r\n0\r\n\r\n";
  for (const std::string& body : {hidden, std::string("  5\r\nhello\r\n0\r\n\r\n"),
                                  std::string("5 junk\r\nhello\r\n0\r\n\r\n"), std::string("5\r\nhello\r\n0x0\r\n\r\n"),
                                  std::string("5\nhello\r\n0\r\n\r\n"), std::string("5\r\nhello\n0\r\n\r\n")}) {
    SCOPED_TRACE(body);
    const TRoads roads = Play({kChunked + body, kChunked + body}, 2);
    // The body fails at its size line, and the connection is not used again.
    ASSERT_EQ(roads.sync.size(), 2u);
    for (const std::vector<TReply>* road : {&roads.sync, &roads.async}) {
      EXPECT_EQ((*road)[0].read, invalid) << (*road)[0];
      EXPECT_EQ((*road)[0].body.find("hidden"), std::string::npos);
      EXPECT_FALSE((*road)[0].keep_alive);
      EXPECT_EQ((*road)[1], Refused(boost::asio::error::network_reset));
    }
  }
  const std::string extensions = "5 ;name=value\r\nhello\r\n3\t\r\nabc\r\n0;last\r\n\r\n";
  ExpectBoth(Play({kChunked + extensions, kChunked + extensions}, 2), {Read("helloabc"), Read("helloabc")});
}

TEST(FramingRoads, AnHttp10AnswerIsKeptAliveOnlyWhenItSaysSoAndNeverWhenChunked) {
  const std::string chunked =
      "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n";
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext";
  ExpectBoth(Play({chunked, next}, 2), {Read("hello", false), Refused(boost::asio::error::network_reset)});
  const std::string kept = "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 5\r\n\r\nhello";
  ExpectBoth(Play({kept, next}, 2), {Read("hello"), Read("next")});
  const std::string plain = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";
  ExpectBoth(Play({plain, next}, 2), {Read("hello", false), Refused(boost::asio::error::network_reset)});
}

TEST(FramingRoads, ABareLfEndsEveryHeadLineAndNoChunkedOne) {
  const std::string head_lf = "HTTP/1.1 200 OK\nContent-Length: 5\nX-A: b\r\n\nhello";
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext";
  ExpectBoth(Play({head_lf, next}, 2), {Read("hello"), Read("next")});
  // The trailer is a head block too.
  const std::string trailer = std::string(kChunked) + "5\r\nhello\r\n0\r\nX-Sum: 1\n\n";
  ExpectBoth(Play({trailer, next}, 2), {Read("hello"), Read("next")});
}

TEST(FramingRoads, AConnectionCloseAmongOtherTokensEndsKeepAlive) {
  const std::string answer = "HTTP/1.1 200 OK\r\nConnection: Upgrade, Close\r\nContent-Length: 2\r\n\r\nok";
  const std::string next = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext";
  ExpectBoth(Play({answer, next}, 2), {Read("ok", false), Refused(boost::asio::error::network_reset)});
}

// --- Valid answers are read.

TEST(FramingRoads, TabsAroundValuesAndFoldedLinesAreRead) {
  const std::string tabs = "HTTP/1.1 200 OK\r\nContent-Type:\ttext/plain\t\r\nContent-Length:\t2\r\n\r\nok";
  TReply typed = Read("ok");
  typed.content_type = "text/plain";
  ExpectBoth(Play({tabs}, 1), {typed});
  // A folded line is joined with a space before it is read: "1 0" is no length, where joined without the
  // space it would have read 10.
  const std::string folded_length = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n 0\r\n\r\n0123456789";
  ExpectBoth(Play({folded_length}, 1), {Refused(qelhttp::make_error_code(errc::malformed_response_headers))});
  const std::string folded_type =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain;\r\n\tcharset=utf-8\r\nContent-Length: 2\r\n\r\nok";
  typed.content_type = "text/plain; charset=utf-8";
  ExpectBoth(Play({folded_type}, 1), {typed});
}

}  // namespace
