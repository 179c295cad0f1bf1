// The stream against real servers: nginx for what a server normally answers, the scripted server for
// answers no real server gives on demand.
#include "qelhttp/http_stream.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "nginx_server.h"
#include "tinyproxy_server.h"
#include "scripted_server.h"
#include "stream_test_support.h"

namespace {

using namespace qelhttp;
using boost::system::error_code;
using qeltest::ScriptedServer;
using qeltest::TScript;
using qeltest::TScriptStep;

using streamtest::AsyncGet;
using streamtest::ReadAll;
using streamtest::TAsyncResult;

class Nginx : public ::testing::Test {
 protected:
  Nginx()
      : server("location /r0 { return 302 /r1; } location /r1 { return 302 /r2; }"
               "location /r2 { return 301 /r3; } location /r3 { return 302 /r4; }"
               "location /r4 { return 302 /r5; } location /r5 { return 302 /data.bin; }"
               "location /loop { return 302 /loop; }"
               "location /cookie { add_header Set-Cookie \"sid=42; Path=/\"; return 302 /echo; }"
               "location /echo { return 200 \"cookie=$http_cookie\"; }") {}
  void SetUp() override {
    ASSERT_TRUE(server.started());
    std::string big(5 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 9));
    server.AddFile("data.bin", big);
    server.AddFile("empty.txt", "");
    data = big;
  }
  qeltest::NginxServer server;
  std::string data;
};

TEST_F(Nginx, SynchronousGetReadsBodiesOfEverySizeWhole) {
  boost::asio::io_context io;
  http_stream s(io);
  EXPECT_EQ(s.status(), -1);
  EXPECT_EQ(s.content_length(), 0);
  error_code ec;
  s.open(url::from_string(server.Url("/data.bin")), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(s.status(), 200);
  EXPECT_EQ(s.content_length(), static_cast<int64_t>(data.size()));
  EXPECT_EQ(s.response_options().find("_status_code"), "200");
  EXPECT_FALSE(s.keep_alive()) << "the request said close";
  std::string body = ReadAll(s, 1000, ec);
  EXPECT_EQ(ec, boost::asio::error::eof);
  EXPECT_TRUE(body == data);
  s.open(url::from_string(server.Url("/empty.txt")), ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(ReadAll(s, 10, ec), "");
  // The body ends at its length, which may be before nginx has logged the request.
  const std::string line = "/data.bin|-|qelhttp/2.9.9|200";
  EXPECT_TRUE(qeltest::WaitUntil([&] { return server.AccessLog().find(line) != std::string::npos; }))
      << server.AccessLog();
}

TEST_F(Nginx, StreamBufferReadsTheSameBytesEightAtATime) {
  boost::asio::io_context io;
  http_stream s(io);
  error_code ec;
  s.open(url::from_string(server.Url("/data.bin")), ec);
  ASSERT_FALSE(ec);
  std::istream in(&s);
  std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(body == data);
}

TEST_F(Nginx, AsynchronousGetReadsTheSameBytes) {
  TAsyncResult r = AsyncGet(server.Url("/data.bin"), 3001);
  EXPECT_FALSE(r.open) << r.open.message();
  EXPECT_EQ(r.read, boost::asio::error::eof);
  EXPECT_TRUE(r.body == data);
}

TEST_F(Nginx, KeptAliveConnectionStopsAtTheLengthAndTakesASecondRequest) {
  boost::asio::io_context io;
  http_stream s(io);
  request_opts options;
  options.insert("Connection", "keep-alive");
  s.request_options(options);
  error_code ec;
  s.open(url::from_string(server.Url("/data.bin")), ec);
  ASSERT_FALSE(ec);
  EXPECT_TRUE(s.keep_alive());
  std::string body = ReadAll(s, 65536, ec);
  EXPECT_FALSE(ec) << "the body ends by its length, not by the peer";
  EXPECT_TRUE(body == data);
  // The second answer on the connection is framed by its own head.
  options.insert("_url", server.Url("/data.bin"));
  s.request(options, ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(s.sent_options().find("_path"), "/data.bin");
  EXPECT_TRUE(ReadAll(s, 100000, ec) == data);
  EXPECT_FALSE(ec);
}

TEST_F(Nginx, EveryAnswerOnAKeptAliveConnectionReportsItsOwnLength) {
  const size_t sizes[] = {200000, 5000, 300};
  for (size_t size : sizes) server.AddFile("len" + std::to_string(size), data.substr(0, size));
  request_opts options;
  options.insert("Connection", "keep-alive");
  auto ask = [&](size_t size) {
    request_opts next = options;
    next.insert("_url", server.Url("/len" + std::to_string(size)));
    return next;
  };
  // The synchronous road.
  {
    boost::asio::io_context io;
    http_stream s(io);
    s.request_options(options);
    error_code ec;
    s.open(url::from_string(server.Url("/len200000")), ec);
    ASSERT_FALSE(ec) << ec.message();
    for (size_t size : sizes) {
      SCOPED_TRACE(size);
      if (size != sizes[0]) s.request(ask(size), ec);
      ASSERT_FALSE(ec) << ec.message();
      EXPECT_EQ(s.content_length(), static_cast<int64_t>(size));
      EXPECT_EQ(ReadAll(s, 65536, ec).size(), size);
      EXPECT_TRUE(s.keep_alive());
    }
  }
  // The asynchronous road, each further request on the same connection.
  boost::asio::io_context io;
  http_stream s(io);
  s.request_options(options);
  std::vector<int64_t> lengths;
  std::vector<size_t> bodies;
  std::vector<char> buffer(65536);
  size_t next = 1;
  std::function<void(const error_code&)> on_head;
  std::function<void(const error_code&, std::size_t)> on_read = [&](const error_code& ec, std::size_t n) {
    bodies.back() += n;
    if (!ec && n > 0) {
      s.async_read_some(boost::asio::buffer(buffer), on_read);
      return;
    }
    if (ec || next == 3) return;
    s.request_impl(ask(sizes[next++]), on_head);
  };
  on_head = [&](const error_code& ec) {
    ASSERT_FALSE(ec) << ec.message();
    lengths.push_back(s.content_length());
    bodies.push_back(0);
    s.async_read_some(boost::asio::buffer(buffer), on_read);
  };
  s.async_open(url::from_string(server.Url("/len200000")), on_head);
  io.run();
  EXPECT_EQ(lengths, (std::vector<int64_t>{200000, 5000, 300}));
  EXPECT_EQ(bodies, (std::vector<size_t>{200000, 5000, 300}));
}

TEST_F(Nginx, RedirectChainsFollowFiveAndTheSixthIsTheOutcome) {
  boost::asio::io_context io;
  http_stream s(io);
  error_code ec;
  s.open(url::from_string(server.Url("/r1")), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(s.current_url().path(), "/data.bin");
  EXPECT_EQ(s.redirect_count(), 0);
  s.open(url::from_string(server.Url("/r0")), ec);
  EXPECT_EQ(ec, make_error_code(errc::found)) << "six in a row";
  EXPECT_EQ(s.redirect_count(), 0);
  s.open(url::from_string(server.Url("/loop")), ec);
  EXPECT_EQ(ec, make_error_code(errc::found));
  TAsyncResult r = AsyncGet(server.Url("/r1"));
  EXPECT_FALSE(r.open);
  EXPECT_TRUE(r.body == data);
  r = AsyncGet(server.Url("/loop"));
  EXPECT_EQ(r.open, make_error_code(errc::found));
}

TEST_F(Nginx, CookiesOfARedirectReachItsTarget) {
  boost::asio::io_context io;
  http_stream s(io);
  error_code ec;
  s.open(url::from_string(server.Url("/cookie")), ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(ReadAll(s, 100, ec), "cookie=sid=42");
}

TEST_F(Nginx, AnAsynchronousRedirectThatIsFollowedLeavesItsCookiesBehind) {
  // The asynchronous road leaves a followed redirect's head before taking anything from it.
  TAsyncResult r = AsyncGet(server.Url("/cookie"));
  ASSERT_FALSE(r.open) << r.open.message();
  EXPECT_EQ(r.body, "cookie=");
}

TEST_F(Nginx, AnAsynchronousOpenLeavesAnUnknownProxyTypeAsItWas) {
  boost::asio::io_context io;
  http_stream s(io);
  proxy_settings odd;
  odd.type = 6;
  s.set_proxy(odd);
  error_code opened = make_error_code(errc::malformed_status_line);
  s.async_open(url::from_string(server.Url("/empty.txt")), [&](const error_code& ec) { opened = ec; });
  io.run();
  EXPECT_FALSE(opened) << "this road goes direct for such a type";
  error_code ec;
  s.open(url::from_string(server.Url("/empty.txt")), ec);
  EXPECT_EQ(ec, boost::asio::error::operation_not_supported) << "and the synchronous road still refuses it";
}

TEST_F(Nginx, StatusesOtherThan200And206AreErrorsWithTheirHeaders) {
  boost::asio::io_context io;
  http_stream s(io);
  error_code ec;
  s.open(url::from_string(server.Url("/missing")), ec);
  EXPECT_EQ(ec, make_error_code(errc::not_found));
  EXPECT_EQ(s.status(), 404);
  EXPECT_FALSE(s.response_options().find("Server").empty());
  TAsyncResult r = AsyncGet(server.Url("/missing"));
  EXPECT_EQ(r.open, make_error_code(errc::not_found));
}

TEST(Stream, OpenFailuresCarryTheirErrors) {
  boost::asio::io_context io;
  http_stream s(io);
  error_code ec;
  s.open(url::from_string("https://127.0.0.1/x"), ec);
  EXPECT_EQ(ec, boost::asio::error::operation_not_supported);
  s.open(url::from_string("http://127.0.0.1:99999/x"), ec);
  EXPECT_EQ(ec.value(), EINVAL) << "a port past 65535 is not cut to 16 bits";
  unsigned short closed = qeltest::FreePort();
  s.open(url::from_string("http://127.0.0.1:" + std::to_string(closed) + "/x"), ec);
  EXPECT_EQ(ec, boost::asio::error::connection_refused);
  s.open(url::from_string("http://no-such-host.invalid/x"), ec);
  EXPECT_TRUE(ec == boost::asio::error::host_not_found || ec == boost::asio::error::host_not_found_try_again) << ec;
  proxy_settings odd;
  odd.type = 6;
  s.set_proxy(odd);
  s.open(url::from_string("http://127.0.0.1:1/x"), ec);
  EXPECT_EQ(ec, boost::asio::error::operation_not_supported);
  EXPECT_EQ(AsyncGet("https://127.0.0.1/x").open, boost::asio::error::operation_not_supported);
  error_code closed_ec;
  http_stream fresh(io);
  fresh.close(closed_ec);
  EXPECT_FALSE(closed_ec);
  fresh.request(request_opts(), ec);
  EXPECT_EQ(ec, boost::asio::error::network_reset);
}

using streamtest::Answer;
using streamtest::SyncScripted;
using streamtest::TScripted;

TEST(Scripted, RequestHeadIsExactlyTheFixedLines) {
  TScripted r = SyncScripted(Answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", "ok"));
  EXPECT_FALSE(r.open);
  EXPECT_EQ(r.body, "ok");
  unsigned short port = 0;
  size_t colon = r.request.find("Host: 127.0.0.1:");
  ASSERT_NE(colon, std::string::npos) << r.request;
  port = static_cast<unsigned short>(std::stoi(r.request.substr(colon + 16)));
  EXPECT_EQ(r.request, "GET /p?q=1#f HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                           "\r\nAccept: text/html, application/xhtml+xml, */*\r\nUser-Agent: qelhttp/2.9.9\r\n"
                           "Connection: close\r\n\r\n");
  request_opts options;
  options.insert("host", "h2");
  options.insert("Accept", "a1");
  options.insert("Accept", "a2");
  options.insert("_custom", "x");
  options.insert("_status_code", "999");
  r = SyncScripted(Answer("HTTP/1.1 200 OK\r\n\r\n"), 100, options);
  EXPECT_NE(r.request.find("Host: h2\r\nAccept: a1\r\n"), std::string::npos) << r.request;
  EXPECT_NE(r.request.find("host: h2\r\nAccept: a2\r\n_custom: x\r\n\r\n"), std::string::npos) << r.request;
  EXPECT_EQ(r.request.find("999"), std::string::npos);
}

TEST(Scripted, HeaderInjectionIsRefusedBeforeAnythingIsWritten) {
  request_opts options;
  options.insert("X-Evil", "a\r\nInjected: yes");
  TScripted r = SyncScripted(Answer("HTTP/1.1 200 OK\r\n\r\n"), 100, options);
  EXPECT_EQ(r.open.value(), EINVAL);
  request_opts method;
  method.insert("_request_method", "GET /other HTTP/1.1\r\n");
  r = SyncScripted(Answer("HTTP/1.1 200 OK\r\n\r\n"), 100, method);
  EXPECT_EQ(r.open.value(), EINVAL);
}

TEST(Scripted, ChunkedBodiesSplitAtEveryByteDecodeWhole) {
  std::string chunked = "5\r\nhello\r\na;ext=1\r\n0123456789\r\n0\r\n\r\n";
  TScript script = {TScriptStep::ReadHead(),
                    TScriptStep::SendBytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")};
  for (const auto& step : qeltest::SendSplitEveryByte(chunked)) script.push_back(step);
  script.push_back(TScriptStep::CloseNow());
  for (size_t piece : {1u, 4u, 100u}) {
    TScripted r = SyncScripted(script, piece);
    EXPECT_FALSE(r.open);
    EXPECT_EQ(r.body, "hello0123456789") << piece;
    EXPECT_EQ(r.read, boost::asio::error::eof) << piece;
  }
  boost::asio::io_context io;
  ScriptedServer server({script});
  TAsyncResult a = AsyncGet(server.Url("/"), 3);
  EXPECT_FALSE(a.open);
  EXPECT_EQ(a.body, "hello0123456789");
  EXPECT_EQ(a.read, boost::asio::error::eof);
}

TEST(Scripted, BrokenChunkedBodiesAreErrorsNeverACompleteBody) {
  const char* head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const char* bodies[] = {
      "zz\r\nabc\r\n0\r\n\r\n",              // no size digits
      "5\r\nhelloXX3\r\nabc\r\n0\r\n\r\n",   // no CR LF after the data
      "10000000000000000\r\n",               // does not fit 64 bits
      "a\r\nonly5",                          // cut inside a chunk
      "5\r\nhello\r\n",                      // cut before the last chunk
  };
  for (const char* body : bodies) {
    TScripted r = SyncScripted(Answer(head, body));
    EXPECT_EQ(r.read, make_error_code(errc::invalid_chunked_encoding)) << body << " " << r.read.message();
    ScriptedServer server({Answer(head, body)});
    TAsyncResult a = AsyncGet(server.Url("/"));
    EXPECT_EQ(a.read, make_error_code(errc::invalid_chunked_encoding)) << body << " " << a.read.message();
  }
  std::string endless_size(5000, '1');
  TScripted r = SyncScripted(Answer(head, endless_size));
  EXPECT_EQ(r.read, make_error_code(errc::invalid_chunked_encoding));
}

TEST(Scripted, MalformedCutOffAndEndlessHeadsFail) {
  struct Case {
    std::string answer;
    errc expected;
  } cases[] = {
      {"HTTP/1.1 200\r\n\r\n", errc::malformed_status_line},
      {"ICY 200 OK\r\n\r\n", errc::malformed_status_line},
      {"HTTP/1.1 200 OK\r\nBad Header\r\n\r\n", errc::malformed_response_headers},
      {"HTTP/1.1 200 OK\r\nA: b\r\n", errc::malformed_response_headers},
      {"HTTP/1.1 200 OK" + std::string(9000, 'x'), errc::malformed_status_line},
      {"HTTP/1.1 200 OK\r\nA: " + std::string(70000, 'x'), errc::malformed_response_headers},
  };
  for (const Case& c : cases) {
    TScripted r = SyncScripted(Answer(c.answer));
    EXPECT_EQ(r.open, make_error_code(c.expected)) << c.answer.substr(0, 40) << " " << r.open.message();
    ScriptedServer server({Answer(c.answer)});
    TAsyncResult a = AsyncGet(server.Url("/"));
    if (c.answer == "HTTP/1.1 200 OK\r\nA: b\r\n") {
      EXPECT_EQ(a.open, boost::asio::error::eof) << "the asynchronous road passes the end of stream on";
    } else {
      EXPECT_EQ(a.open, make_error_code(c.expected)) << c.answer.substr(0, 40) << " " << a.open.message();
    }
  }
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "X-" + std::to_string(i) + ": " + std::string(50, 'v') + "\r\n";
  TScripted r = SyncScripted(Answer("HTTP/1.1 200 OK\r\n" + many + "\r\n"));
  EXPECT_EQ(r.open, make_error_code(errc::malformed_response_headers)) << "a header block past its limit";
}

TEST(Scripted, InterimContinueIsSkippedForGetAndEndsAPost) {
  TScript script = {TScriptStep::ReadHead(), TScriptStep::SendBytes("HTTP/1.1 100 Continue\r\n"),
                    TScriptStep::Pause(std::chrono::milliseconds(20)),
                    TScriptStep::SendBytes("\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz"),
                    TScriptStep::CloseNow()};
  TScripted r = SyncScripted(script);
  EXPECT_FALSE(r.open) << r.open.message();
  EXPECT_EQ(r.body, "z");
  request_opts post;
  post.insert("_request_method", "POST");
  r = SyncScripted(script, 100, post);
  EXPECT_EQ(r.open, make_error_code(errc::continue_request));
  std::string endless;
  for (int i = 0; i < 40; ++i) endless += "HTTP/1.1 100 Continue\r\n\r\n";
  r = SyncScripted(Answer(endless));
  EXPECT_EQ(r.open, make_error_code(errc::malformed_status_line));
}

TEST(Scripted, ALocationThatDoesNotParseAndAConnectionClosedMidBody) {
  TScripted r = SyncScripted(Answer("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "12345"));
  EXPECT_EQ(r.body, "12345");
  EXPECT_EQ(r.read, make_error_code(errc::truncated_body)) << "a close before the length is no end of the body";
  ScriptedServer server({Answer("HTTP/1.1 302 Found\r\nLocation: http://[::1/x\r\n\r\n")});
  EXPECT_EQ(AsyncGet(server.Url("/")).open, make_error_code(errc::invalid_redirect));
  boost::asio::io_context io;
  http_stream s(io);
  error_code ec;
  EXPECT_THROW(s.open(url::from_string(server.Url("/")), ec), boost::system::system_error);
}

TEST(Scripted, ASilentServerEndsTheSynchronousRoadAtItsTimeLimit) {
  TScript silent = {TScriptStep::ReadHead(), TScriptStep::Pause(std::chrono::milliseconds(1500)),
                    TScriptStep::CloseNow()};
  TScripted r = SyncScripted(silent, 100, request_opts(), 1);
  EXPECT_EQ(r.open, boost::asio::error::timed_out);
}

TEST(Scripted, ASynchronousBodyReadHandsOverWhatCameAndEndsAtItsTimeLimit) {
  // Part of a longer body, a pause, a little more, then nothing: what comes after the pause is handed over
  // as it is, without waiting for the rest of the body, and the read after it ends at the step's limit.
  const std::string first(20000, 'a');
  const std::string later(3000, 'b');
  ScriptedServer server([&](size_t, const std::string&) {
    return TScript{TScriptStep::SendBytes("HTTP/1.1 200 OK\r\nContent-Length: 30000\r\n\r\n" + first),
                   TScriptStep::Pause(std::chrono::milliseconds(200)), TScriptStep::SendBytes(later),
                   TScriptStep::ReadHead()};
  });
  boost::asio::io_context io;
  http_stream s(io);
  s.set_sync_timeout(1);
  error_code ec;
  s.open(url::from_string(server.Url("/")), ec);
  ASSERT_FALSE(ec) << ec.message();
  std::string body;
  std::vector<char> buffer(64 * 1024);
  while (body.size() < first.size() + later.size()) {
    const size_t n = s.read_some(buffer.data(), buffer.size(), ec);
    ASSERT_GT(n, 0u) << ec.message() << " after " << body.size() << " bytes";
    body.append(buffer.data(), n);
  }
  EXPECT_TRUE(body == first + later);
  EXPECT_EQ(s.read_some(buffer.data(), buffer.size(), ec), 0u);
  EXPECT_EQ(ec, boost::asio::error::timed_out);
}

// How often this thread has slept and woken (its voluntary context switches), and the CPU it has used.
struct TThreadCost {
  long wakeups = 0;
  std::chrono::microseconds cpu{0};
};

TThreadCost ThreadCost() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  TThreadCost cost;
  cost.wakeups = usage.ru_nvcsw;
  cost.cpu = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  return cost;
}

TEST(Scripted, AStalledSynchronousReadSleepsUntilItsNextByte) {
  // The body's first bytes, then a stall: the read that meets it sleeps until the next byte, in a wait or
  // two, where waking every few milliseconds to look would cost dozens of wake-ups (and their CPU) over
  // the stall. Wake-ups are counted rather than time, which a loaded machine would make vary. A stall that
  // outlasts the step's limit ends the read at that limit, after as few wake-ups.
  const auto stall = std::chrono::milliseconds(300);
  const std::string first(20000, 'a');
  const std::string later(5000, 'b');
  struct TCase {
    const char* name;
    bool chunked;
    size_t piece;  // 0: through the stream buffer, 8 bytes a refill
    bool resumes;  // the sender goes on after the stall; else it stays silent past the step's limit
  } cases[] = {{"500-byte reads, as the update check makes", false, 500, true},
               {"64 KiB reads", false, 65536, true},
               {"inside a chunk", true, 65536, true},
               {"the stream buffer", false, 0, true},
               {"past the step's limit", false, 500, false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string head = c.chunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n61a8\r\n"
                                       : "HTTP/1.1 200 OK\r\nContent-Length: 40000\r\n\r\n";
    ScriptedServer server([&](size_t, const std::string&) {
      TScript script{TScriptStep::SendBytes(head + first), TScriptStep::Pause(stall)};
      if (c.resumes) script.push_back(TScriptStep::SendBytes(later));
      script.push_back(TScriptStep::ReadHead());
      return script;
    });
    boost::asio::io_context io;
    http_stream s(io);
    s.set_sync_timeout(c.resumes ? std::chrono::milliseconds(20000) : stall);
    error_code ec;
    s.open(url::from_string(server.Url("/")), ec);
    ASSERT_FALSE(ec) << ec.message();
    std::vector<char> buffer(std::max<size_t>(c.piece, 1));
    // What came before the stall.
    for (size_t got = 0; got < first.size();) {
      if (c.piece == 0) {
        ASSERT_EQ(s.sbumpc(), 'a');
        ++got;
        continue;
      }
      const size_t n = s.read_some(buffer.data(), std::min(buffer.size(), first.size() - got), ec);
      ASSERT_GT(n, 0u) << ec.message();
      got += n;
    }
    const TThreadCost before = ThreadCost();
    size_t n = 0;
    char next = 0;
    if (c.piece == 0) {
      const auto got = s.sgetc();
      n = got == std::char_traits<char>::eof() ? 0 : 1;
      next = static_cast<char>(got);
    } else {
      n = s.read_some(buffer.data(), buffer.size(), ec);
      next = buffer[0];
    }
    const TThreadCost after = ThreadCost();
    if (c.resumes) {
      ASSERT_GT(n, 0u) << ec.message();
      EXPECT_EQ(next, 'b');
    } else {
      EXPECT_EQ(n, 0u);
      EXPECT_EQ(ec, boost::asio::error::timed_out);
    }
    EXPECT_LT(after.wakeups - before.wakeups, 8) << "CPU over the stall: " << (after.cpu - before.cpu).count() << " us";
  }
}

}  // namespace

namespace {

class Proxy : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(origin.started());
    origin.AddFile("p.txt", "through the proxy");
  }
  // Fetches through the proxy on both roads; the body of the synchronous one.
  std::string Fetch(const proxy_settings& proxy, const std::string& address, error_code& sync_ec,
                    error_code& async_ec) {
    boost::asio::io_context io;
    http_stream s(io);
    s.set_proxy(proxy);
    s.open(url::from_string(address), sync_ec);
    std::string body;
    if (!sync_ec) {
      error_code read_ec;
      body = ReadAll(s, 100, read_ec);
    }
    http_stream a(io);
    a.set_proxy(proxy);
    a.async_open(url::from_string(address), [&](const error_code& ec) { async_ec = ec; });
    io.run();
    return body;
  }
  qeltest::NginxServer origin;
};

TEST_F(Proxy, HttpProxyCarriesTheWholeUrlAndItsCredentials) {
  qeltest::TinyproxyServer tiny;
  ASSERT_TRUE(tiny.started());
  proxy_settings proxy;
  proxy.type = proxy_settings::http;
  proxy.host = "127.0.0.1";
  proxy.port = tiny.port();
  error_code s, a;
  EXPECT_EQ(Fetch(proxy, origin.Url("/p.txt"), s, a), "through the proxy");
  EXPECT_FALSE(s) << s.message();
  EXPECT_FALSE(a) << a.message();
  const std::string line = "/p.txt|-|qelhttp/2.9.9|200";
  EXPECT_TRUE(qeltest::WaitUntil([&] { return origin.AccessLog().find(line) != std::string::npos; }))
      << origin.AccessLog();
  EXPECT_NE(tiny.Log().find("GET " + origin.Url("/p.txt")), std::string::npos) << tiny.Log();
}

TEST_F(Proxy, ProxyCredentialsPassOrTheRefusalReachesTheCaller) {
  qeltest::TinyproxyServer tiny("qel", "secret");
  ASSERT_TRUE(tiny.started());
  proxy_settings proxy;
  proxy.type = proxy_settings::http_pw;
  proxy.host = "127.0.0.1";
  proxy.port = tiny.port();
  proxy.username = "qel";
  proxy.password = "secret";
  error_code s, a;
  EXPECT_EQ(Fetch(proxy, origin.Url("/p.txt"), s, a), "through the proxy");
  EXPECT_FALSE(s) << s.message();
  EXPECT_FALSE(a) << a.message();
  proxy.type = proxy_settings::http;
  Fetch(proxy, origin.Url("/p.txt"), s, a);
  EXPECT_EQ(s, make_error_code(errc::proxy_authentication_required)) << "no credentials";
  EXPECT_EQ(a, make_error_code(errc::proxy_authentication_required));
  proxy.type = proxy_settings::http_pw;
  proxy.password = "wrong";
  Fetch(proxy, origin.Url("/p.txt"), s, a);
  // This proxy answers wrong credentials with 401: whatever it says reaches the caller as its status.
  EXPECT_TRUE(s == make_error_code(errc::proxy_authentication_required) || s == make_error_code(errc::unauthorized))
      << s.message();
  EXPECT_EQ(a, s);
  proxy.type = proxy_settings::http;
  std::string with_user = origin.Url("/p.txt");
  with_user.insert(7, "qel:secret@");
  EXPECT_EQ(Fetch(proxy, with_user, s, a), "through the proxy") << "the URL's user-info as the credentials";
  EXPECT_FALSE(s) << s.message();
}

}  // namespace
