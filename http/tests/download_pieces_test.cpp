// The download against answers no real server gives on demand: partial and misplaced ranges, a 200 to a
// ranged request, stalls and early closes in the middle of a piece, a redirect on a piece connection, an
// unknown size, and a stop before the first answer.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>

#include "download_test_support.h"
#include "qelhttp/error.hpp"
#include "scripted_server.h"

namespace {

using dltest::Content;
using dltest::Download;
using dltest::TOutcome;
using dltest::TRecorder;
using qeltest::TScript;
using qeltest::TScriptStep;

const int kWrongAnswer = static_cast<int>(qelhttp::errc::malformed_response_headers);

// The Range of a request head: (first, last), last -1 when open-ended; (-1, -1) without one.
std::pair<int64_t, int64_t> RangeOf(const std::string& request) {
  const size_t at = request.find("\r\nRange: bytes=");
  if (at == std::string::npos) return {-1, -1};
  long long first = -1, last = -1;
  if (sscanf(request.c_str() + at, "\r\nRange: bytes=%lld-%lld", &first, &last) < 1) return {-1, -1};
  return {first, last};
}

// The answer an honest server gives: a 206 for a range, the whole file for "bytes=0-".
TScript Honest(const std::string& data, const std::string& request) {
  std::pair<int64_t, int64_t> range = RangeOf(request);
  const int64_t size = static_cast<int64_t>(data.size());
  const int64_t first = std::max<int64_t>(range.first, 0);
  const int64_t last = range.second < 0 ? size - 1 : std::min(range.second, size - 1);
  const std::string body = data.substr(first, last - first + 1);
  return {TScriptStep::SendBytes("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) +
                                 "-" + std::to_string(last) + "/" + std::to_string(size) +
                                 "\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\nConnection: keep-alive\r\n\r\n" + body)};
}

std::string Head(int status, const std::string& headers, size_t length) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\n" + headers + "Content-Length: " + std::to_string(length) +
         "\r\n\r\n";
}

// How often each exact Range value was asked for.
size_t Asked(const qeltest::ScriptedServer& server, const std::string& range) {
  size_t n = 0;
  for (const std::string& connection : server.Received()) {
    for (size_t at = connection.find("Range: " + range + "\r\n"); at != std::string::npos;
         at = connection.find("Range: " + range + "\r\n", at + 1)) {
      ++n;
    }
  }
  return n;
}

// One download over a single connection from a server that sends `answer` to every request and keeps the
// connection open. The idle time-out is far longer than the test: the answer's own framing ends its body.
TOutcome SingleFrom(const std::string& answer, const std::string& target, TRecorder& rec) {
  qeltest::ScriptedServer server([&](size_t, const std::string&) {
    return TScript{TScriptStep::SendBytes(answer), TScriptStep::ReadHead()};
  });
  qelhttp::settings s = dltest::Single();
  s.time_out = 600;
  return Download(server.Url("/f.bin"), target, s, &rec);
}

TEST(DownloadScripted, AFirstAnswerCutShortIsNotTheWholeFile) {
  // The server answers "bytes=0-" with its first MiB only; the file is the total after the slash.
  const std::string part = Content(1 << 20, 21);
  qeltest::TempDir dir;
  TRecorder rec;
  TOutcome r =
      SingleFrom(Head(206, "Content-Range: bytes 0-1048575/5000000\r\n", part.size()) + part, dir.file("cut.bin"), rec);
  EXPECT_EQ(r.size, 5000000);
  EXPECT_FALSE(r.complete);
  EXPECT_FALSE(r.finished);
  EXPECT_EQ(r.bytes, 1 << 20);
  EXPECT_EQ(rec.Count(boost::asio::error::eof), 1u) << "the answer ended where its length said";
  EXPECT_EQ(rec.completes.load(), 0);
}

TEST(DownloadScripted, PieceAnswersThatAreNotTheAskedRangeAreNeverWritten) {
  const std::string data = Content(3 * 163840, 22);
  const int64_t size = static_cast<int64_t>(data.size());
  enum { whole_file, off_by_one, other_total, no_range, variants };
  for (int variant = 0; variant < variants; ++variant) {
    SCOPED_TRACE(variant);
    qeltest::ScriptedServer server([&](size_t, const std::string& request) {
      std::pair<int64_t, int64_t> range = RangeOf(request);
      if (range.first == 0 && range.second < 0) return Honest(data, request);
      const int64_t first = range.first, last = range.second;
      std::string body = data.substr(first, last - first + 1);
      std::string head;
      if (variant == whole_file) {
        body = data;
        head = Head(200, "", body.size());
      } else if (variant == off_by_one) {
        body = data.substr(first + 1, last - first);
        head = Head(206, "Content-Range: bytes " + std::to_string(first + 1) + "-" + std::to_string(last) + "/" +
                             std::to_string(size) + "\r\n", body.size());
      } else if (variant == other_total) {
        head = Head(206, "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                             std::to_string(size + 1) + "\r\n", body.size());
      } else {
        head = Head(206, "", body.size());
      }
      return TScript{TScriptStep::SendBytes(head + body)};
    });
    qeltest::TempDir dir;
    TRecorder rec;
    TOutcome r = Download(server.Url("/p.bin"), dir.file("p.bin"), dltest::Multi(dir, 3), &rec);
    EXPECT_FALSE(r.complete);
    EXPECT_FALSE(r.finished);
    EXPECT_EQ(rec.completes.load(), 0);
    EXPECT_GE(rec.Count(kWrongAnswer), 2u);
    // Only the first connection's share, and what its open-ended answer's last block ran past it.
    EXPECT_GE(r.bytes, 163840);
    EXPECT_LT(r.bytes, 163840 + 1024);
    // Each wrong answer ends its connection: the range is not asked again.
    EXPECT_EQ(Asked(server, "bytes=163840-327679"), 1u);
    EXPECT_EQ(Asked(server, "bytes=327680-491519"), 1u);
    const std::string written = qeltest::ReadFile(dir.file("p.bin"));
    ASSERT_EQ(written.size(), static_cast<size_t>(r.bytes));
    EXPECT_TRUE(written == data.substr(0, written.size())) << "nothing written at a wrong offset";
  }
}

// The same answer with a chunked body, in chunks of 7,000 bytes, each written on its own, and a trailer.
TScript HonestChunked(const std::string& data, const std::string& request) {
  const TScript plain = Honest(data, request);
  const std::string& whole = plain[0].bytes;
  const size_t head_end = whole.find("\r\n\r\n") + 2;
  std::string head = whole.substr(0, head_end);
  const size_t length = head.find("Content-Length:");
  head.replace(length, head.find("\r\n", length) - length, "Transfer-Encoding: chunked");
  const std::string body = whole.substr(head_end + 2);
  TScript script{TScriptStep::SendBytes(head + "\r\n")};
  for (size_t at = 0; at < body.size(); at += 7000) {
    const std::string chunk = body.substr(at, 7000);
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    script.push_back(TScriptStep::SendBytes(size + chunk + "\r\n"));
  }
  script.push_back(TScriptStep::SendBytes("0\r\nX-Checksum: none\r\n\r\n"));
  return script;
}

TEST(DownloadScripted, ChunkedPieceAnswersKeepTheirConnection) {
  // Every range, the first one too, answered 206 with a chunked body on a kept-alive connection: each piece
  // answer is read to its last chunk and trailer, and its connection asks for the next range.
  const std::string data = Content(8 << 20, 31);
  qeltest::ScriptedServer server([&](size_t, const std::string& request) { return HonestChunked(data, request); });
  qeltest::TempDir dir;
  TRecorder rec;
  rec.stop_on_error = 0;
  const int connections = 4;
  TOutcome r = Download(server.Url("/c.bin"), dir.file("c.bin"), dltest::Multi(dir, connections), &rec);
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(r.finished);
  EXPECT_TRUE(rec.Errors().empty()) << rec.messages.front();
  EXPECT_TRUE(qeltest::ReadFile(dir.file("c.bin")) == data);
  // The first connection's open-ended answer is closed at a tick and opened once more; the others carry
  // range after range.
  EXPECT_LE(server.Received().size(), 2u * connections);
}

TEST(DownloadScripted, AChunkedPieceThatDoesNotEndWhereItsRangeDoesIsNeverWrittenPastIt) {
  // One range's chunked answer stalls before its last chunk, or carries bytes past the range before it: the
  // connection is opened anew at its time-out, or at once, for the range it took next, and the file comes
  // out whole.
  const std::string data = Content(4 * 163840, 32);
  const std::pair<int64_t, int64_t> odd(163840, 327679);
  for (bool stall : {true, false}) {
    SCOPED_TRACE(stall);
    qeltest::ScriptedServer server([&](size_t, const std::string& request) {
      TScript script = HonestChunked(data, request);
      if (RangeOf(request) != odd) return script;
      script.pop_back();
      if (stall) {
        script.push_back(TScriptStep::ReadHead());
      } else {
        script.push_back(TScriptStep::SendBytes("5\r\nextra\r\n0\r\n\r\n"));
      }
      return script;
    });
    qeltest::TempDir dir;
    TRecorder rec;
    TOutcome r = Download(server.Url("/o.bin"), dir.file("o.bin"), dltest::Multi(dir, 2), &rec);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(qeltest::ReadFile(dir.file("o.bin")) == data);
    EXPECT_EQ(Asked(server, "bytes=163840-327679"), 1u);
    EXPECT_EQ(Asked(server, "bytes=327680-491519"), 1u) << "the next range, asked once on the new connection";
  }
}

// A ranged answer whose body holds 100 bytes more than its Content-Range names, by its Content-Length or
// in its chunks. The range's last 600 bytes and the 100 past it come after a pause, in one write, so that
// a read of 1024 bytes would take all of them at once, by then over the start of the next range, which
// another connection has written meanwhile.
enum class EFraming { length, chunked, close };

TScript RunsPastItsRange(const std::string& data, const std::string& request, EFraming framing) {
  const std::pair<int64_t, int64_t> range = RangeOf(request);
  if (range.second < 0) return Honest(data, request);
  const int64_t size = static_cast<int64_t>(data.size());
  const int64_t first = range.first, last = std::min(range.second, size - 1);
  std::string body = data.substr(first, last - first + 1);
  // Never the bytes the file has there.
  for (int64_t i = last + 1; i <= last + 100; ++i) body += i < size ? static_cast<char>(~data[i]) : '#';
  std::string head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                     std::to_string(last) + "/" + std::to_string(size) + "\r\nConnection: " +
                     (framing == EFraming::close ? "close" : "keep-alive") + "\r\n";
  const size_t tail = 700;
  const std::string bulk = body.substr(0, body.size() - tail);
  if (framing != EFraming::chunked) {
    TScript script{TScriptStep::SendBytes(head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + bulk),
                   TScriptStep::Pause(std::chrono::milliseconds(100)), TScriptStep::SendBytes(body.substr(bulk.size()))};
    if (framing == EFraming::close) script.push_back(TScriptStep::CloseNow());
    return script;
  }
  std::string chunks;
  auto add_chunk = [&chunks](const std::string& bytes) {
    char line[32];
    snprintf(line, sizeof line, "%zx\r\n", bytes.size());
    chunks += line + bytes + "\r\n";
  };
  for (size_t at = 0; at < bulk.size(); at += 7000) add_chunk(bulk.substr(at, 7000));
  TScript script{TScriptStep::SendBytes(head + "Transfer-Encoding: chunked\r\n\r\n" + chunks),
                 TScriptStep::Pause(std::chrono::milliseconds(100))};
  chunks.clear();
  add_chunk(body.substr(bulk.size()));
  script.push_back(TScriptStep::SendBytes(chunks + "0\r\n\r\n"));
  return script;
}

TEST(DownloadScripted, NoBytePastARangeReachesTheFile) {
  // Every ranged answer runs 100 bytes past its range: by its length or in its chunks on a kept-alive
  // connection, or up to the close of one that is not kept alive, where the length frames nothing. Its
  // range's bytes are kept, what follows them never reaches the file, and the connection that carried it
  // takes no further request.
  const std::string data = Content(3 << 20, 33);
  const int64_t range = 8 * 65536;
  const std::pair<EFraming, int> runs[] = {{EFraming::length, 2},  {EFraming::length, 3},  {EFraming::length, 5},
                                           {EFraming::chunked, 2}, {EFraming::chunked, 3}, {EFraming::chunked, 5},
                                           {EFraming::close, 3}};
  for (const auto& run : runs) {
    const EFraming framing = run.first;
    const int connections = run.second;
    SCOPED_TRACE(std::to_string(static_cast<int>(framing)) + ", " + std::to_string(connections));
    qeltest::ScriptedServer server(
        [&](size_t, const std::string& request) { return RunsPastItsRange(data, request, framing); });
    qeltest::TempDir dir;
    TRecorder rec;
    qelhttp::settings s = dltest::Multi(dir, connections);
    // Six ranges of 512 KiB: every connection carries one at once, the next ones after a tick.
    s.piece_size = 65536;
    s.pieces_per_request = 8;
    TOutcome r = Download(server.Url("/x.bin"), dir.file("x.bin"), s, &rec);
    EXPECT_TRUE(r.complete);
    const std::string written = qeltest::ReadFile(dir.file("x.bin"));
    ASSERT_EQ(written.size(), data.size());
    size_t wrong = 0;
    for (size_t i = 0; i < data.size(); ++i) wrong += written[i] != data[i];
    EXPECT_EQ(wrong, 0u) << "bytes past a range written over the next one";
    // A closing answer is left at its range's end unread; a kept-alive one is read to its end and found out.
    if (framing != EFraming::close) {
      EXPECT_GE(rec.Count(kWrongAnswer), 1u) << "an answer past its range is reported";
    }
    for (int64_t first = range; first < static_cast<int64_t>(data.size()); first += range) {
      const int64_t last = std::min<int64_t>(first + range, data.size()) - 1;
      EXPECT_EQ(Asked(server, "bytes=" + std::to_string(first) + "-" + std::to_string(last)), 1u) << first;
    }
    for (const std::string& requests : server.Received()) {
      size_t heads = 0;
      for (size_t at = requests.find("GET "); at != std::string::npos; at = requests.find("GET ", at + 1)) ++heads;
      EXPECT_LE(heads, 1u) << "a connection whose answer ran past its range carries no further request";
    }
  }
}

TEST(DownloadScripted, APieceAnswerShorterThanItsRangeIsFollowedByTheRestOnItsConnection) {
  // Each ranged answer holds its range but for the last 1000 bytes, and says so in its Content-Range: the
  // connection reads up to where that answer ends and asks for the rest at once.
  const std::string data = Content(2 * 163840 + 5000, 34);
  const int64_t size = static_cast<int64_t>(data.size());
  qeltest::ScriptedServer server([&](size_t, const std::string& request) {
    const std::pair<int64_t, int64_t> range = RangeOf(request);
    const int64_t first = range.first, asked = range.second;
    if (asked < 0 || asked - first < 1000) return Honest(data, request);
    const int64_t last = std::min(asked, size - 1) - 1000;
    const std::string body = data.substr(first, last - first + 1);
    return TScript{TScriptStep::SendBytes(
        Head(206,
             "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                 std::to_string(size) + "\r\nConnection: keep-alive\r\n",
             body.size()) +
        body)};
  });
  qeltest::TempDir dir;
  TRecorder rec;
  TOutcome r = Download(server.Url("/h.bin"), dir.file("h.bin"), dltest::Multi(dir, 2), &rec);
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("h.bin")) == data);
  EXPECT_TRUE(rec.Errors().empty()) << rec.messages.front();
  bool followed = false;
  for (const std::string& requests : server.Received()) {
    followed |= requests.find("Range: bytes=163840-327679\r\n") != std::string::npos &&
                requests.find("Range: bytes=326680-327679\r\n") != std::string::npos;
  }
  EXPECT_TRUE(followed) << "the rest of the range asked on the connection that carried its first part";
}

TEST(DownloadScripted, AStalledOrCutPieceIsAskedAgainFromWhereItStopped) {
  const std::string data = Content(400000, 23);
  for (bool stall : {true, false}) {
    SCOPED_TRACE(stall);
    qeltest::ScriptedServer server([&](size_t, const std::string& request) {
      if (RangeOf(request) != std::make_pair<int64_t, int64_t>(163840, 327679)) return Honest(data, request);
      TScript script = Honest(data, request);
      // The head and the first 5000 bytes of the body, then silence until the client gives up, or a close.
      const std::string& whole = script[0].bytes;
      const size_t head = whole.find("\r\n\r\n") + 4;
      return TScript{TScriptStep::SendBytes(whole.substr(0, head + 5000)),
                     stall ? TScriptStep::ReadHead() : TScriptStep::CloseNow()};
    });
    qeltest::TempDir dir;
    TRecorder rec;
    TOutcome r = Download(server.Url("/s.bin"), dir.file("s.bin"), dltest::Multi(dir, 2), &rec);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(r.finished);
    EXPECT_TRUE(qeltest::ReadFile(dir.file("s.bin")) == data);
    EXPECT_EQ(Asked(server, "bytes=163840-327679"), 1u);
    EXPECT_EQ(Asked(server, "bytes=168840-327679"), 1u) << "the restart asks for the rest of the range only";
    if (!stall) {
      EXPECT_GE(rec.Count(static_cast<int>(qelhttp::errc::truncated_body)), 1u);
    }
  }
}

TEST(DownloadScripted, ARedirectOnAPieceConnectionFailsWithItsStatus) {
  const std::string data = Content(400000, 24);
  qeltest::ScriptedServer server([&](size_t, const std::string& request) {
    std::pair<int64_t, int64_t> range = RangeOf(request);
    if (range.first == 0 && range.second < 0) return Honest(data, request);
    return TScript{TScriptStep::SendBytes(Head(302, "Location: /elsewhere.bin\r\n", 0))};
  });
  qeltest::TempDir dir;
  TRecorder rec;
  rec.stop_on_error = 302;
  TOutcome r = Download(server.Url("/r.bin"), dir.file("r.bin"), dltest::Multi(dir, 3), &rec);
  EXPECT_FALSE(r.complete);
  EXPECT_GE(rec.Count(302), 1u);
  for (const std::string& connection : server.Received()) EXPECT_EQ(connection.find("/elsewhere"), std::string::npos);
}

TEST(DownloadScripted, APieceAnswered404EndsAtItsTimeOutWithoutARestart) {
  const std::string data = Content(2 * 163840, 25);
  qeltest::ScriptedServer server([&](size_t, const std::string& request) {
    std::pair<int64_t, int64_t> range = RangeOf(request);
    if (range.first == 0 && range.second < 0) return Honest(data, request);
    return TScript{TScriptStep::SendBytes(Head(404, "", 0))};
  });
  qeltest::TempDir dir;
  TRecorder rec;
  TOutcome r = Download(server.Url("/n.bin"), dir.file("n.bin"), dltest::Multi(dir, 2), &rec);
  EXPECT_FALSE(r.complete);
  EXPECT_FALSE(r.finished);
  EXPECT_EQ(rec.completes.load(), 0);
  EXPECT_EQ(Asked(server, "bytes=163840-327679"), 1u);
  EXPECT_GE(rec.Count(404), 2u) << "the failed open, then the end of the download";
  EXPECT_GE(r.bytes, 163840);
  EXPECT_LT(r.bytes, 163840 + 1024);
}

TEST(DownloadScripted, AnUnknownSizeIsReadToTheEndAndNeverSucceeds) {
  const std::string body = Content(5000, 26);
  // A 200 without a length, and a 206 whose total is "*".
  const std::string heads[] = {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n",
                               "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4999/*\r\n"
                               "Connection: close\r\n\r\n"};
  for (const std::string& head : heads) {
    qeltest::ScriptedServer server(
        [&](size_t, const std::string&) { return TScript{TScriptStep::SendBytes(head + body), TScriptStep::CloseNow()}; });
    qeltest::TempDir dir;
    TRecorder rec;
    TOutcome r = Download(server.Url("/u.bin"), dir.file("u.bin"), dltest::Multi(dir), &rec);
    EXPECT_EQ(r.size, -1);
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.bytes, 5000) << "the bytes every connection received";
    EXPECT_TRUE(qeltest::ReadFile(dir.file("u.bin")) == body);
    EXPECT_EQ(rec.Errors(), std::vector<int>{boost::asio::error::eof});
    EXPECT_EQ(server.Received().size(), 1u) << "one connection only";
  }
}

TEST(DownloadScripted, TheSizeIsTheLengthTheStreamFramedTheAnswerBy) {
  // A list of one length is that length to both; a length past 63 bits is refused by both, never read as
  // the 5 it wraps to.
  struct TCase {
    const char* length;
    bool complete;
    std::vector<int> errors;
  } cases[] = {{"5, 5", true, {}}, {"18446744073709551621", false, {kWrongAnswer}}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.length);
    qeltest::TempDir dir;
    TRecorder rec;
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::string(c.length) + "\r\n\r\nhello";
    TOutcome r = SingleFrom(answer, dir.file("n.bin"), rec);
    EXPECT_EQ(r.complete, c.complete);
    EXPECT_EQ(r.size, c.complete ? 5 : -1);
    EXPECT_EQ(rec.Errors(), c.errors);
    EXPECT_EQ(qeltest::FileExists(dir.file("n.bin")), c.complete);
  }
}

TEST(DownloadScripted, AFirstAnswerThatStartsElsewhereWritesNothing) {
  qeltest::ScriptedServer server([&](size_t, const std::string&) {
    return TScript{TScriptStep::SendBytes(Head(206, "Content-Range: bytes 5-99/100\r\n", 95) + std::string(95, 'x'))};
  });
  qeltest::TempDir dir;
  TRecorder rec;
  TOutcome r = Download(server.Url("/e.bin"), dir.file("e.bin"), dltest::Single(), &rec);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(rec.Errors(), std::vector<int>{kWrongAnswer});
  EXPECT_FALSE(qeltest::FileExists(dir.file("e.bin")));
}

TEST(DownloadScripted, AnUnusableLocationOnTheAnswerKeepsTheAddress) {
  const std::string data = Content(300000, 27);
  // One that does not parse, and one without a host.
  for (const char* location : {"http://[bad/x", "http://"}) {
    SCOPED_TRACE(location);
    qeltest::ScriptedServer server([&](size_t, const std::string& request) {
      TScript script = Honest(data, request);
      script[0].bytes.insert(script[0].bytes.find("\r\n") + 2, "Location: " + std::string(location) + "\r\n");
      return script;
    });
    qeltest::TempDir dir;
    TOutcome r = Download(server.Url("/l.bin"), dir.file("l.bin"), dltest::Multi(dir, 2));
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(qeltest::ReadFile(dir.file("l.bin")) == data);
  }
}

TEST(DownloadScripted, AShortBodyEndsTheOnlyConnectionIncomplete) {
  qeltest::ScriptedServer server({{TScriptStep::ReadHead(),
                                   TScriptStep::SendBytes(Head(200, "", 100) + std::string(40, 'x')),
                                   TScriptStep::CloseNow()}});
  qeltest::TempDir dir;
  TRecorder rec;
  rec.stop_on_error = 0;  // as the engine's error callback does
  TOutcome r = Download(server.Url("/p.zip"), dir.file("p.zip"), dltest::Single(), &rec);
  EXPECT_FALSE(r.complete);
  EXPECT_FALSE(r.finished);
  EXPECT_EQ(r.bytes, 40);
  EXPECT_EQ(r.size, 100);
  EXPECT_EQ(rec.Errors(), std::vector<int>{static_cast<int>(qelhttp::errc::truncated_body)})
      << "a close before the length is no end of the body";
}

TEST(DownloadScripted, AStopBeforeTheFirstAnswerEndsEverything) {
  qeltest::ScriptedServer server({{TScriptStep::ReadHead(), TScriptStep::Pause(std::chrono::milliseconds(200)),
                                   TScriptStep::SendBytes(Head(200, "", 10) + std::string(10, 'x'))}});
  qeltest::TempDir dir;
  boost::asio::io_context io;
  CHttpDownload d(io);
  TRecorder rec;
  rec.download = &d;
  d.error_callback = dltest::RecordError;
  d.complete_callback = dltest::RecordComplete;
  d.callback_user = &rec;
  d.start(dir.file("p.zip"), dltest::Single(), server.Url("/p.zip"));
  d.stop();
  EXPECT_FALSE(d.wait_for_complete()) << "the wait returns at once";
  io.run();
  EXPECT_FALSE(d.wait_for_complete());
  EXPECT_TRUE(rec.Errors().empty()) << "a stopped download reports nothing";
  EXPECT_EQ(rec.completes.load(), 0);
  EXPECT_FALSE(qeltest::FileExists(dir.file("p.zip")));
}

TEST(DownloadScripted, AFileOverFourGigabytesReportsTheLow32BitsOfItsSize) {
  const int64_t size = 5000000000ll;
  const std::string part = Content(100 * 1024, 28);
  qeltest::ScriptedServer server([&](size_t, const std::string&) {
    return TScript{TScriptStep::SendBytes(Head(206, "Content-Range: bytes 0-4999999999/5000000000\r\n", size) + part),
                   TScriptStep::ReadHead()};
  });
  qeltest::TempDir dir;
  TRecorder rec;
  qelhttp::settings s = dltest::Single();
  s.time_out = 1;
  TOutcome r = Download(server.Url("/huge.bin"), dir.file("huge.bin"), s, &rec);
  EXPECT_EQ(r.size, size);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.bytes, static_cast<int64_t>(part.size()));
  std::lock_guard<std::mutex> hold(rec.mutex);
  ASSERT_FALSE(rec.progress.empty());
  EXPECT_EQ(rec.progress.back().file_size, static_cast<int32_t>(size & 0xFFFFFFFF));
  EXPECT_EQ(rec.progress.back().bytes_downloaded, static_cast<int32_t>(part.size()));
}

TEST(DownloadContentRange, OnlyAWholeByteRangeParses) {
  int64_t first = 0, last = 0, total = 0;
  EXPECT_TRUE(qelhttp::detail::parse_content_range("bytes 0-99/1000", first, last, total));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, 99);
  EXPECT_EQ(total, 1000);
  EXPECT_TRUE(qelhttp::detail::parse_content_range("Bytes 5-5/*", first, last, total));
  EXPECT_EQ(total, -1);
  for (const char* bad : {"", "bytes", "bytes 0-99", "bytes -1-5/10", "bytes 5-4/10", "bytes 0-10/10", "bytes 0-9/1x",
                          "items 0-9/10", "bytes 0-99999999999999999999/1", "bytes */10"}) {
    EXPECT_FALSE(qelhttp::detail::parse_content_range(bad, first, last, total)) << bad;
  }
}

}  // namespace
