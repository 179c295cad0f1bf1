// The download against nginx: every file size over one and over several connections, the exact ranges and
// connection headers it asks for, kept-alive connections closed under it, the rate limit and the progress
// record, stop from another thread, and a target that cannot be written.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <map>
#include <thread>

#include "download_test_support.h"
#include "nginx_server.h"

namespace {

using dltest::Content;
using dltest::Download;
using dltest::TLogLine;
using dltest::TOutcome;
using dltest::TRecorder;

const char kConfig[] =
    "location /slow/ { limit_rate 200k; }\n"
    "location /norange/ { max_ranges 0; }\n"
    "location /close/ { keepalive_timeout 0; }\n"
    "location /two/ { keepalive_requests 2; }\n"
    "location = /moved { return 302 /files/big.bin; }\n";

class DownloadNginx : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.started());
    for (const char* sub : {"files", "slow", "norange", "close", "two"}) {
      boost::filesystem::create_directories(server.DocRoot() + "/" + sub);
    }
  }
  // Serves data under the folder and returns its URL.
  std::string Serve(const std::string& folder, const std::string& name, const std::string& data) {
    server.AddFile(folder + "/" + name, data);
    return server.Url("/" + folder + "/" + name);
  }
  // The log lines of the URI, once there are at least the given number.
  std::vector<TLogLine> Lines(const std::string& uri, size_t at_least = 0) {
    std::vector<TLogLine> out;
    qeltest::WaitUntil(
        [&] {
          out.clear();
          for (const TLogLine& line : dltest::ParseRangeLog(server.RangeLog())) {
            if (line.uri == uri) out.push_back(line);
          }
          return out.size() >= at_least;
        },
        std::chrono::seconds(10));
    return out;
  }
  // The URI's requests: one open-ended, the others disjoint ranges that cover the file after it.
  std::vector<TLogLine> ExpectRangesCover(const std::string& uri, int64_t size) {
    std::vector<TLogLine> lines;
    qeltest::WaitUntil([&] { return dltest::RangesCover(lines = Lines(uri), size); }, std::chrono::seconds(10));
    std::string why;
    EXPECT_TRUE(dltest::RangesCover(lines, size, &why)) << uri << ": " << why;
    return lines;
  }
  static std::vector<TLogLine> Ranged(const std::vector<TLogLine>& lines) {
    std::vector<TLogLine> open_ended, ranged;
    dltest::SplitLines(lines, open_ended, ranged);
    return ranged;
  }
  qeltest::NginxServer server{kConfig};
  qeltest::TempDir dir;
};

TEST_F(DownloadNginx, EveryFileSizeOverOneAndOverSeveralConnections) {
  const size_t sizes[] = {0, 1, 16383, 16384, 163839, 163840, 163841, 10 << 20};
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string data = Content(size, static_cast<uint32_t>(size));
    const std::string name = "f" + std::to_string(size);
    const std::string url = Serve("files", name, data);
    TRecorder one;
    TOutcome r = Download(url + "?single", dir.file(name + ".single"), dltest::Single(), &one);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.size, static_cast<int64_t>(size));
    EXPECT_EQ(r.bytes, r.size);
    EXPECT_TRUE(qeltest::ReadFile(dir.file(name + ".single")) == data);
    std::vector<TLogLine> lines = Lines("/files/" + name + "?single", 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].range, "bytes=0-");
    EXPECT_EQ(lines[0].connection, "keep-alive");
    if (size == 0) {
      // The empty body ends with the end-of-file error, and the empty file is all there is.
      EXPECT_EQ(one.Errors(), std::vector<int>{boost::asio::error::eof});
      EXPECT_EQ(one.completes.load(), 0);
      EXPECT_TRUE(qeltest::FileExists(dir.file(name + ".single")));
      continue;
    }
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(one.completes.load(), 1);
    EXPECT_TRUE(one.Errors().empty());
    TRecorder several;
    r = Download(url + "?multi", dir.file(name + ".multi"), dltest::Multi(dir, 5, 11), &several);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(several.completes.load(), 1);
    EXPECT_TRUE(several.Errors().empty());
    EXPECT_TRUE(qeltest::ReadFile(dir.file(name + ".multi")) == data);
    lines = ExpectRangesCover("/files/" + name + "?multi", static_cast<int64_t>(size));
    // Up to ten pieces of 16 KiB go to the first connection; extra connections that find nothing free are
    // never opened.
    if (size <= 163840) {
      EXPECT_TRUE(Ranged(lines).empty());
    }
    for (const TLogLine& line : lines) EXPECT_EQ(line.connection, "keep-alive");
  }
}

TEST_F(DownloadNginx, FiftyMegabytesOverFiveKeptAliveConnections) {
  const std::string data = Content(50 << 20, 50);
  const std::string url = Serve("files", "big.bin", data);
  TRecorder rec;
  qelhttp::settings s = dltest::Multi(dir, -1, 11);
  TOutcome r = Download(url, dir.file("big.bin"), s, &rec);
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("big.bin")) == data);
  EXPECT_TRUE(rec.Errors().empty());
  std::vector<TLogLine> lines = ExpectRangesCover("/files/big.bin", static_cast<int64_t>(data.size()));
  // 32 KiB pieces, ten to a request.
  ASSERT_FALSE(Ranged(lines).empty());
  EXPECT_EQ(Ranged(lines)[0].last - Ranged(lines)[0].first + 1, 327680);
  std::map<long, long> per_connection;
  for (const TLogLine& line : lines) {
    EXPECT_EQ(line.connection, "keep-alive") << line.range;
    per_connection[line.serial] = std::max(per_connection[line.serial], line.requests);
  }
  EXPECT_LE(per_connection.size(), 6u) << "five connections and the first one opened again";
  long most = 0;
  for (const auto& c : per_connection) most = std::max(most, c.second);
  EXPECT_GT(most, 1) << "further ranges were asked on open connections";
  // The resume file named by the caller stays, and records every piece.
  EXPECT_TRUE(qeltest::FileExists(dir.file("download.meta")));
}

TEST_F(DownloadNginx, OneConnectionAsksRangeAfterRangeOnTheSameConnection) {
  const std::string data = Content(700000, 7);
  const std::string url = Serve("files", "seven.bin", data);
  TOutcome r = Download(url, dir.file("seven.bin"), dltest::Multi(dir, 1, 11));
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("seven.bin")) == data);
  // The first connection's share, then one range after the other on the connection opened at the tick.
  std::vector<TLogLine> lines = Ranged(Lines("/files/seven.bin", 5));
  ASSERT_EQ(lines.size(), 4u);
  const char* expected[] = {"bytes=163840-327679", "bytes=327680-491519", "bytes=491520-655359",
                            "bytes=655360-699999"};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].range, expected[i]);
    EXPECT_EQ(lines[i].serial, lines[0].serial) << "asked on the kept-alive connection";
    EXPECT_EQ(lines[i].requests, static_cast<long>(i + 1));
  }
}

TEST_F(DownloadNginx, ConnectionsTheServerClosesAreOpenedAgain) {
  const std::string data = Content(3 << 20, 3);
  // After two requests nginx closes the connection: the second answer says so and is not asked again.
  std::string url = Serve("two", "a.bin", data);
  TRecorder two;
  TOutcome r = Download(url, dir.file("two.bin"), dltest::Multi(dir, 3, 11), &two);
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("two.bin")) == data);
  EXPECT_TRUE(two.Errors().empty());
  std::vector<TLogLine> lines = ExpectRangesCover("/two/a.bin", static_cast<int64_t>(data.size()));
  for (const TLogLine& line : lines) EXPECT_LE(line.requests, 2) << line.range;
  // An answer without keep-alive: every piece asks with "close" and is opened anew at the next tick.
  url = Serve("close", "b.bin", Content(500000, 4));
  r = Download(url, dir.file("close.bin"), dltest::Multi(dir, 2, 11));
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("close.bin")) == Content(500000, 4));
  lines = ExpectRangesCover("/close/b.bin", 500000);
  for (const TLogLine& line : lines) EXPECT_EQ(line.connection, line.last < 0 ? "keep-alive" : "close") << line.range;
}

TEST_F(DownloadNginx, AServerThatIgnoresRangesGivesOneConnection) {
  const std::string data = Content(1 << 20, 5);
  const std::string url = Serve("norange", "n.bin", data);
  TOutcome r = Download(url, dir.file("n.bin"), dltest::Multi(dir));
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("n.bin")) == data);
  std::vector<TLogLine> lines = Lines("/norange/n.bin", 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].status, 200);
  EXPECT_FALSE(qeltest::FileExists(dir.file("download.meta"))) << "no resume file on one connection";
  // A 206 with one connection asked for writes no resume file either.
  const std::string url2 = Serve("files", "s.bin", data);
  qelhttp::settings s = dltest::Multi(dir);
  s.single_connection = true;
  r = Download(url2, dir.file("s.bin"), s);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(Lines("/files/s.bin", 1).size(), 1u);
  EXPECT_FALSE(qeltest::FileExists(dir.file("download.meta")));
}

TEST_F(DownloadNginx, ARedirectedFileIsFetchedFromWhereItMoved) {
  const std::string data = Content(1 << 20, 9);
  Serve("files", "big.bin", data);
  TOutcome r = Download(server.Url("/moved"), dir.file("moved.bin"), dltest::Multi(dir, 4, 11));
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("moved.bin")) == data);
  ExpectRangesCover("/files/big.bin", static_cast<int64_t>(data.size()));
  EXPECT_EQ(Lines("/moved", 1).size(), 1u) << "only the first request meets the redirect";
}

TEST_F(DownloadNginx, AnOlderLongerTargetIsCutToTheFile) {
  const std::string data = Content(300000, 11);
  const std::string url = Serve("files", "cut.bin", data);
  for (bool single : {true, false}) {
    const std::string target = dir.file(single ? "cut1.bin" : "cut2.bin");
    qeltest::WriteFile(target, std::string(900000, 'x'));
    TOutcome r = Download(url, target, single ? dltest::Single() : dltest::Multi(dir, 3, 11));
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(qeltest::ReadFile(target) == data) << single;
  }
}

TEST_F(DownloadNginx, TheRateLimitHoldsEachSecondToItsQuota) {
  // nginx sends 200 KB a second; the download reads at most 50,000 bytes a second after its first second.
  const std::string data = Content(330000, 12);
  const std::string url = Serve("slow", "r.bin", data);
  qelhttp::settings s = dltest::Single();
  s.download_rate_limit = 50000;
  // A long target path reaches the progress record cut to its first 499 characters.
  std::string target = dir.path();
  while (target.size() < 600) target += "/" + std::string(std::min<size_t>(200, 600 - target.size()), 'd');
  boost::filesystem::create_directories(boost::filesystem::path(target).parent_path());
  TRecorder rec;
  TOutcome r = Download(url, target, s, &rec);
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(target) == data);
  std::lock_guard<std::mutex> hold(rec.mutex);
  ASSERT_GE(rec.progress.size(), 2u);
  for (size_t i = 0; i < rec.progress.size(); ++i) {
    const CHttpDownload::progress_info& p = rec.progress[i];
    EXPECT_EQ(std::string(p.path), target.substr(0, 499));
    EXPECT_EQ(p.file_size, 330000);
    if (i == 0) continue;
    // Reads asked before a tick may complete after it: one block of slack.
    EXPECT_LE(p.bytes_downloaded - rec.progress[i - 1].bytes_downloaded, 50000 + 1024) << i;
    EXPECT_GT(p.rate, 0);
  }
}

TEST_F(DownloadNginx, NoQuotaMeansNothingIsReadUntilStop) {
  const std::string data = Content(2 << 20, 13);
  const std::string url = Serve("slow", "z.bin", data);
  qelhttp::settings s = dltest::Single();
  s.download_rate_limit = 0;
  s.time_out = 1;
  TRecorder rec;
  boost::asio::io_context io;
  CHttpDownload d(io);
  rec.download = &d;
  d.error_callback = dltest::RecordError;
  d.progress_callback = dltest::RecordProgress;
  d.callback_user = &rec;
  d.start(dir.file("z.bin"), s, url);
  // Stopped from another thread once four ticks have passed; polls keep the connection from timing out.
  std::thread stopper([&] {
    EXPECT_TRUE(qeltest::WaitUntil([&] { return rec.Ticks() >= 4; }));
    d.stop();
  });
  io.run();
  stopper.join();
  EXPECT_FALSE(d.wait_for_complete());
  EXPECT_FALSE(d.finished());
  std::lock_guard<std::mutex> hold(rec.mutex);
  ASSERT_GE(rec.progress.size(), 4u);
  EXPECT_GT(rec.progress[0].bytes_downloaded, 0) << "the first second has no limit";
  EXPECT_EQ(rec.progress[3].bytes_downloaded, rec.progress[2].bytes_downloaded);
  EXPECT_LT(rec.progress[3].bytes_downloaded, static_cast<int32_t>(data.size()));
  for (int code : rec.errors) EXPECT_NE(code, boost::asio::error::timed_out);
}

TEST_F(DownloadNginx, NegativeLimitsAndPieceSizesMeanTheDefaults) {
  const std::string data = Content(400000, 14);
  const std::string url = Serve("files", "neg.bin", data);
  qelhttp::settings s = dltest::Multi(dir, 3, 11);
  s.download_rate_limit = -2;
  s.piece_size = 0;
  s.pieces_per_request = -5;
  TOutcome r = Download(url, dir.file("neg.bin"), s);
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("neg.bin")) == data);
  // One default piece per request.
  std::vector<TLogLine> lines = Ranged(ExpectRangesCover("/files/neg.bin", 400000));
  ASSERT_FALSE(lines.empty());
  for (const TLogLine& line : lines) EXPECT_LE(line.last - line.first + 1, 16384) << line.range;
}

TEST_F(DownloadNginx, StopFromAnotherThreadEndsEveryConnection) {
  const std::string data = Content(4 << 20, 15);
  const std::string url = Serve("slow", "stop.bin", data);
  TRecorder rec;
  boost::asio::io_context io;
  CHttpDownload d(io);
  rec.download = &d;
  d.error_callback = dltest::RecordError;
  d.progress_callback = dltest::RecordProgress;
  d.complete_callback = dltest::RecordComplete;
  d.callback_user = &rec;
  d.start(dir.file("stop.bin"), dltest::Multi(dir, 4, 11), url);
  std::thread stopper([&] {
    EXPECT_TRUE(qeltest::WaitUntil([&] { return d.bytes_download() > 0; }));
    d.stop();
    EXPECT_FALSE(d.wait_for_complete());
    d.stop();
  });
  io.run();
  stopper.join();
  EXPECT_FALSE(d.wait_for_complete());
  EXPECT_EQ(rec.completes.load(), 0);
  EXPECT_LT(d.bytes_download(), static_cast<int64_t>(data.size()));
  // What was pending on the closed connections ended with errors (which ones depends on where each
  // connection was); none of them is the idle time-out.
  EXPECT_EQ(rec.Count(boost::asio::error::timed_out), 0u);
}

TEST_F(DownloadNginx, FailuresOfTheFirstAnswerEndTheDownload) {
  TRecorder missing;
  TOutcome r = Download(server.Url("/files/none.bin"), dir.file("m.bin"), dltest::Single(), &missing);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(missing.Errors(), std::vector<int>{404});
  EXPECT_EQ(r.size, -1);
  EXPECT_FALSE(qeltest::FileExists(dir.file("m.bin")));
  TRecorder refused;
  r = Download("http://127.0.0.1:" + std::to_string(qeltest::FreePort()) + "/x.bin", dir.file("x.bin"),
               dltest::Single(), &refused);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(refused.Errors().size(), 1u);
  EXPECT_EQ(r.bytes, 0);
  // A URL that does not parse raises, and the object is left ended.
  boost::asio::io_context io;
  CHttpDownload d(io);
  EXPECT_THROW(d.start(dir.file("y.bin"), dltest::Single(), "no url"), boost::system::system_error);
  EXPECT_FALSE(d.wait_for_complete());
}

TEST_F(DownloadNginx, AWriteThatFailsEndsTheDownload) {
  const std::string url = Serve("files", "full.bin", Content(200000, 16));
  for (bool single : {true, false}) {
    TRecorder rec;
    // Every write to /dev/full fails as on a full disk.
    TOutcome r = Download(url, "/dev/full", single ? dltest::Single() : dltest::Multi(dir, 2, 11), &rec);
    EXPECT_FALSE(r.complete) << single;
    EXPECT_FALSE(r.finished);
    EXPECT_EQ(r.bytes, 0);
    EXPECT_EQ(rec.completes.load(), 0);
    // The storage's own error: a full disk, not an input/output error.
    EXPECT_GE(rec.Count(ERROR_DISK_FULL), 1u);
  }
}

TEST(DownloadPieceSize, GrowsWithTheFile) {
  EXPECT_EQ(CHttpDownload::default_piece_size(0), 16384);
  EXPECT_EQ(CHttpDownload::default_piece_size(32ll << 20), 16384);
  EXPECT_EQ(CHttpDownload::default_piece_size(64ll << 20), 32768);
  EXPECT_EQ(CHttpDownload::default_piece_size(100000000), 65536);
  EXPECT_EQ(CHttpDownload::default_piece_size(1ll << 30), 524288);
  EXPECT_EQ(CHttpDownload::default_piece_size(32ll << 30), 16777216);
  EXPECT_EQ(CHttpDownload::default_piece_size(1ll << 50), 16777216);
}

}  // namespace
