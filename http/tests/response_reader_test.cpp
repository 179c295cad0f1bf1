// The one reader of an answer, and the two roads that feed it. Every answer of the stream tests and of
// the fuzz target's kept corpus is fed to the reader whole, cut at every byte, byte by byte and in random
// cuts, and must come out the same each time; then to both roads over a socket, byte by byte and in
// random cuts, where each road must agree with itself and with the other but for what their policies
// part on. Then the asynchronous road's own faults: a size line past its limit, completions run inside
// the read that started them, a kept-alive connection's next answer after a chunked body, and how much
// one read hands over. Redirects, proxies and request writing are the stream tests' (stream_test.cpp).
#include "qelhttp/response_parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qelhttp/http_stream.hpp"
#include "scripted_server.h"
#include "answer_corpus.h"
#include "response_feed.h"
#include "stream_test_support.h"

namespace {

using boost::system::error_code;
using qelhttp::errc;
using qelhttp::response_head;
using qelhttp::response_parser;
using qeltest::TScript;
using qeltest::TScriptStep;
using readertest::ByteByByte;
using readertest::Feed;
using readertest::RandomCuts;
using readertest::TOutcome;
using readertest::Whole;
using readertest::ending;
using readertest::state;

const char kChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

using answertest::AllAnswers;

std::string Repeat(const std::string& text, int times) { return answertest::Repeat(text, times); }

TEST(ResponseReader, EveryAnswerCutAnywhereReadsAsInOnePiece) {
  const std::vector<std::string> answers = AllAnswers();
  for (size_t i = 0; i < answers.size(); ++i) {
    const std::string& answer = answers[i];
    SCOPED_TRACE(answer.substr(0, 60));
    for (bool head_request : {false, true}) {
      const TOutcome whole = Feed(answer, Whole(answer), false, head_request);
      EXPECT_EQ(Feed(answer, ByteByByte(answer), false, head_request), whole);
      for (uint32_t seed = 1; seed <= 3; ++seed) {
        EXPECT_EQ(Feed(answer, RandomCuts(answer, seed * 7919 + static_cast<uint32_t>(i)), false, head_request),
                  whole);
      }
      if (answer.size() > 16384) continue;  // every split of the long ones would take minutes
      for (size_t cut = 1; cut < answer.size(); ++cut) {
        const TOutcome split = Feed(answer, {cut, answer.size() - cut}, false, head_request);
        if (!(split == whole)) {
          ADD_FAILURE() << "cut at " << cut << ": " << split << " instead of " << whole;
          break;
        }
      }
    }
  }
}

TEST(ResponseReader, EachAnswerEndsInFullSuccessOrOneExactError) {
  struct TCase {
    std::string answer;
    state last;
    error_code error;
    std::string body;
  } cases[] = {
      {std::string(kChunkedHead) + "5\r\nhello\r\na;ext=1\r\n0123456789\r\n0\r\n\r\n", state::complete, error_code(),
       "hello0123456789"},
      // Trailer lines are taken up to the empty line.
      {std::string(kChunkedHead) + "3\r\nabc\r\n0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n", state::complete, error_code(),
       "abc"},
      {std::string(kChunkedHead) + "zz\r\nabc\r\n0\r\n\r\n", state::failed, errc::invalid_chunked_encoding, ""},
      {std::string(kChunkedHead) + "5\r\nhelloXX3\r\n", state::failed, errc::invalid_chunked_encoding, "hello"},
      {std::string(kChunkedHead) + "a\r\nonly5", state::failed, errc::invalid_chunked_encoding, "only5"},
      {std::string(kChunkedHead) + "5\r\nhello\r\n", state::failed, errc::invalid_chunked_encoding, "hello"},
      // The last chunk came; a close inside its trailer loses nothing.
      {std::string(kChunkedHead) + "5\r\nhello\r\n0\r\nX-Sum:", state::complete, boost::asio::error::eof, "hello"},
      {"HTTP/1.1 200 OK\r\nA: b\r\n", state::failed, errc::malformed_response_headers, ""},
      {"HTTP/1.1 200", state::failed, boost::asio::error::eof, ""},
      // Interim answers are skipped with their fields.
      {"HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       state::complete, error_code(), "ok"},
      {Repeat("HTTP/1.1 100 Continue\r\n\r\n", 16) + "HTTP/1.1 204 No Content\r\n\r\n", state::complete,
       error_code(), ""},
      {Repeat("HTTP/1.1 100 Continue\r\n\r\n", 17) + "HTTP/1.1 204 No Content\r\n\r\n", state::failed,
       errc::malformed_status_line, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.answer.substr(0, 60));
    const TOutcome out = Feed(c.answer, ByteByByte(c.answer));
    EXPECT_EQ(out.last, c.last);
    EXPECT_EQ(out.error, c.error) << out.error.message();
    EXPECT_EQ(out.body, c.body);
  }
  // A POST's interim 100 ends the head; the final answer is not read.
  const std::string continued = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n";
  const TOutcome post = Feed(continued, ByteByByte(continued), true);
  EXPECT_EQ(post.error, errc::continue_request);
  EXPECT_EQ(post.status, 100);
  EXPECT_EQ(post.fields, (qelhttp::request_opts::option_list{{"_status_code", "100"}}));
}

// Each limit lets a line of exactly its size through and stops one byte more, before the line's end has
// come.
TEST(ResponseReader, LimitsHoldToTheByteWithoutWaitingForTheLineEnd) {
  const size_t status_pad = qelhttp::head_limits::status_line - std::string("HTTP/1.1 200 ").size();
  const size_t header_pad = qelhttp::head_limits::header_line - std::string("A: ").size();
  const size_t size_pad = qelhttp::head_limits::chunk_size_line - std::string("1;").size();
  struct TCase {
    std::string fits;
    std::string over;  // one byte more, and no line end
    error_code error;
  } cases[] = {
      {"HTTP/1.1 200 " + std::string(status_pad, 'r') + "\r\n\r\n", "HTTP/1.1 200 " + std::string(status_pad + 1, 'r'),
       errc::malformed_status_line},
      {"HTTP/1.1 200 OK\r\nA: " + std::string(header_pad, 'v') + "\r\n\r\n",
       "HTTP/1.1 200 OK\r\nA: " + std::string(header_pad + 1, 'v'), errc::malformed_response_headers},
      {std::string(kChunkedHead) + "1;" + std::string(size_pad, 'x') + "\r\nz\r\n0\r\n\r\n",
       std::string(kChunkedHead) + "1;" + std::string(size_pad + 1, 'x'), errc::invalid_chunked_encoding},
  };
  for (const TCase& c : cases) {
    const TOutcome fits = Feed(c.fits, RandomCuts(c.fits, 5));
    EXPECT_FALSE(fits.last == state::failed) << fits.error.message();
    const TOutcome over = Feed(c.over, RandomCuts(c.over, 5));
    EXPECT_EQ(over.last, state::failed);
    EXPECT_EQ(over.error, c.error);
    EXPECT_EQ(over.leftover, 0u);
  }
  std::string block = "HTTP/1.1 200 OK\r\n";
  while (block.size() <= qelhttp::head_limits::header_block) block += "X: " + std::string(1000, 'v') + "\r\n";
  block += "\r\n";
  const TOutcome big = Feed(block, RandomCuts(block, 6));
  EXPECT_EQ(big.error, errc::malformed_response_headers);
  EXPECT_EQ(Feed(block, RandomCuts(block, 6), false, false, false).error, errc::malformed_response_headers)
      << "the block's own limit, not the close";
}

TEST(ResponseReader, AFinishedOrFailedReaderTakesNoMoreBytes) {
  response_head head;
  response_parser parser(head);
  error_code ec;
  EXPECT_EQ(parser.put("HTTP/1.1 200 OK\r\n", 17, ec), 0u) << "not started";
  EXPECT_TRUE(ec);
  parser.start(false);
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nHTTP/1.1 200 OK\r\n\r\n";
  EXPECT_EQ(parser.put(answer.data(), answer.size(), ec), 38u) << "up to the end of the head";
  parser.start_body();
  EXPECT_EQ(parser.current(), state::complete);
  EXPECT_EQ(parser.put(answer.data() + 38, answer.size() - 38, ec), 0u) << "the next answer needs start()";
  EXPECT_EQ(ec, boost::system::errc::operation_not_permitted);
  parser.start(false);
  EXPECT_EQ(parser.put("HTTP/1.1 2x\r\n", 13, ec), 13u);
  EXPECT_EQ(ec, errc::malformed_status_line);
  EXPECT_EQ(parser.put("\r\n", 2, ec), 0u);
  EXPECT_EQ(ec, errc::malformed_status_line) << "sticky";
  EXPECT_EQ(parser.put_eof(true), errc::malformed_status_line);
}

// What one road made of an answer.
struct TRoad {
  error_code open;
  error_code read;
  int status = 0;
  std::string body;

  bool operator==(const TRoad& o) const {
    return open == o.open && read == o.read && status == o.status && body == o.body;
  }
};

std::ostream& operator<<(std::ostream& out, const TRoad& r) {
  return out << "open '" << r.open.message() << "' read '" << r.read.message() << "' status " << r.status
             << " body " << r.body.size() << " bytes";
}

TScript Sent(const std::vector<std::string>& pieces) {
  TScript script{TScriptStep::ReadHead()};
  for (const std::string& piece : pieces) script.push_back(TScriptStep::SendBytes(piece));
  script.push_back(TScriptStep::CloseNow());
  return script;
}

std::vector<std::string> Cut(const std::string& answer, const std::vector<size_t>& pieces) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t piece : pieces) {
    out.push_back(answer.substr(at, piece));
    at += piece;
  }
  return out;
}

TRoad Synchronous(const TScript& script) {
  streamtest::TScripted s = streamtest::SyncScripted(script, 100);
  TRoad r;
  r.open = s.open;
  r.read = s.read;
  r.status = s.status;
  r.body = s.body;
  return r;
}

TRoad Asynchronous(const TScript& script) {
  qeltest::ScriptedServer server({script});
  streamtest::TAsyncResult a = streamtest::AsyncGet(server.Url("/p"), 100);
  TRoad r;
  r.open = a.open;
  r.read = a.read;
  r.status = a.status;
  r.body = a.body;
  EXPECT_TRUE(a.never_inline);
  return r;
}

// The synchronous road's result as the asynchronous road's policy gives it: a close inside the header
// block passes on as the end of stream.
TRoad AsAsynchronous(TRoad r, bool closed_in_headers) {
  if (closed_in_headers && r.open == errc::malformed_response_headers) r.open = boost::asio::error::eof;
  return r;
}

TEST(ResponseReader, BothRoadsReadEveryAnswerCutAnyWayAlike) {
  const std::vector<std::string> answers = AllAnswers();
  for (size_t i = 0; i < answers.size(); ++i) {
    const std::string& answer = answers[i];
    // A redirect is followed to the same answer again, by each road in its own way; the stream tests
    // cover redirects against nginx.
    const TOutcome read = Feed(answer, Whole(answer));
    if (read.status == 301 || read.status == 302) continue;
    SCOPED_TRACE(answer.substr(0, 60));
    const bool closed_in_headers = Feed(answer, Whole(answer), false, false, false).error == boost::asio::error::eof &&
                                   read.error == errc::malformed_response_headers;
    const TScript whole = Sent({answer});
    const TRoad sync_whole = Synchronous(whole);
    const TRoad async_whole = Asynchronous(whole);
    EXPECT_EQ(AsAsynchronous(sync_whole, closed_in_headers), async_whole);
    std::vector<TScript> cut = {Sent(Cut(answer, RandomCuts(answer, 26 + static_cast<uint32_t>(i))))};
    // Byte by byte over the socket costs a write a byte: not for the header block of 1.2 MB.
    if (answer.size() <= 100000) cut.push_back(Sent(Cut(answer, ByteByByte(answer))));
    for (const TScript& script : cut) {
      EXPECT_EQ(Synchronous(script), sync_whole);
      EXPECT_EQ(Asynchronous(script), async_whole);
    }
  }
}

// The asynchronous road's faults, each against the scripted server.

TEST(AsyncRoad, AChunkSizeLinePastItsLimitFails) {
  // A 6,002-byte size line that would parse: one byte of data after it.
  const std::string line = "1;" + std::string(5998, 'x') + "\r\n";
  ASSERT_EQ(line.size(), 6002u);
  qeltest::ScriptedServer server({streamtest::Answer(kChunkedHead, line + "z\r\n0\r\n\r\n")});
  streamtest::TAsyncResult a = streamtest::AsyncGet(server.Url("/"));
  EXPECT_FALSE(a.open);
  EXPECT_EQ(a.read, errc::invalid_chunked_encoding) << a.read.message();
  EXPECT_EQ(a.body, "");
}

TEST(AsyncRoad, ACompletionNeverRunsInsideTheReadThatStartsIt) {
  // Each answer comes in one piece with its head, so every read finds its bytes buffered already.
  const char* bodies[] = {
      "5\r\nhello\r\n0\r\n\r\n",      // the end of a chunked body
      "0\r\n\r\n",                     // an empty one
      "zz\r\nabc\r\n0\r\n\r\n",        // a size line without digits
      "5\r\nhelloXX3\r\nabc\r\n",      // no CR LF after the data
      "3\r\nabc\r\n0\r\nT: 1\r\n\r\n", // a trailer
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    for (size_t piece : {1u, 3u, 4096u}) {
      qeltest::ScriptedServer server({streamtest::Answer(kChunkedHead, body)});
      streamtest::TAsyncResult a = streamtest::AsyncGet(server.Url("/"), piece);
      EXPECT_FALSE(a.open);
      EXPECT_TRUE(a.never_inline) << piece;
    }
  }
}

TEST(AsyncRoad, AKeptAliveConnectionAnswersAgainAfterAChunkedBody) {
  int answered = 0;
  qeltest::ScriptedServer server([&](size_t, const std::string&) {
    ++answered;
    const std::string body = answered == 1 ? "5\r\nfirst\r\n0\r\n\r\n" : "6\r\nsecond\r\n0\r\nT: x\r\n\r\n";
    return TScript{TScriptStep::SendBytes(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\n\r\n" + body)};
  });
  boost::asio::io_context io;
  qelhttp::http_stream s(io);
  qelhttp::request_opts options;
  options.insert("Connection", "keep-alive");
  s.request_options(options);
  std::vector<std::string> bodies(1);
  std::vector<error_code> ends;
  char buffer[64];
  std::function<void(const error_code&, std::size_t)> on_read;
  std::function<void(const error_code&)> on_head = [&](const error_code& ec) {
    ends.push_back(ec);
    if (!ec) s.async_read_some(boost::asio::buffer(buffer), on_read);
  };
  on_read = [&](const error_code& ec, std::size_t n) {
    bodies.back().append(buffer, n);
    if (n > 0 && !ec) {
      s.async_read_some(boost::asio::buffer(buffer), on_read);
      return;
    }
    ends.push_back(ec);
    if (bodies.size() == 2) return;
    // The body is read to its end: the next request goes on the same connection.
    bodies.emplace_back();
    s.request_impl(options, on_head);
  };
  s.async_open(qelhttp::url::from_string(server.Url("/k")), on_head);
  io.run();
  ASSERT_EQ(ends.size(), 4u);
  EXPECT_FALSE(ends[0]);
  EXPECT_FALSE(ends[1]) << "a kept-alive chunked body ends without an error";
  EXPECT_FALSE(ends[2]) << ends[2].message();
  EXPECT_FALSE(ends[3]);
  EXPECT_EQ(bodies, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(server.Received().size(), 1u) << "one connection";
}

// Each read hands over at most what the caller asked, never more than the rest of the current chunk, and
// at most 1 KiB of a body of unknown length; the socket reads behind them are larger (see
// http_stream_async.cpp).
TEST(AsyncRoad, OneReadHandsOverNoMoreThanTheFramingAllows) {
  const std::string unknown(5000, 'u');
  const std::string chunked = "7d0\r\n" + std::string(2000, 'a') + "\r\n3\r\nbcd\r\n0\r\n\r\n";
  struct TCase {
    std::string head;
    std::string body;
    size_t most;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", unknown, 1024},
      {kChunkedHead, chunked, 2000},
  };
  for (const TCase& c : cases) {
    qeltest::ScriptedServer server({streamtest::Answer(c.head, c.body)});
    boost::asio::io_context io;
    qelhttp::http_stream s(io);
    std::vector<char> buffer(65536);
    std::vector<size_t> reads;
    std::function<void(const error_code&, std::size_t)> on_read = [&](const error_code& ec, std::size_t n) {
      if (n > 0) reads.push_back(n);
      if (n > 0 && !ec) s.async_read_some(boost::asio::buffer(buffer), on_read);
    };
    s.async_open(qelhttp::url::from_string(server.Url("/")), [&](const error_code& ec) {
      if (!ec) s.async_read_some(boost::asio::buffer(buffer), on_read);
    });
    io.run();
    ASSERT_FALSE(reads.empty());
    size_t total = 0;
    for (size_t n : reads) {
      EXPECT_LE(n, c.most);
      total += n;
    }
    if (c.head == kChunkedHead) {
      EXPECT_EQ(total, 2003u);
      EXPECT_EQ(reads.back(), 3u) << "the last chunk alone";
    } else {
      EXPECT_EQ(total, unknown.size());
    }
  }
}

}  // namespace
