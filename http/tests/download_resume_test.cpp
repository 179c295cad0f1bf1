// Resuming a download from its resume file: after a stop only the missing ranges are asked, a resume file
// that does not fit the server's file or the target on disk is dropped, and downloads killed with SIGKILL
// at twenty points all resume to the server's bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <map>
#include <thread>

#include "download_test_support.h"
#include "nginx_server.h"
#include "qelhttp/resume_file.hpp"

namespace {

using dltest::Content;
using dltest::Download;
using dltest::TLogLine;
using dltest::TOutcome;
using dltest::TRecorder;

const char kConfig[] =
    "location /resume/ { limit_rate 1m; }\n"
    "location /kill/ { limit_rate 256k; }\n";

class DownloadResume : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.started());
    for (const char* sub : {"files", "resume", "kill"}) boost::filesystem::create_directories(server.DocRoot() + "/" + sub);
  }
  // The URI's ranged requests, once they cover [x, size) after the first connection's share (nginx writes
  // a line when it has sent the answer).
  std::vector<TLogLine> Ranged(const std::string& uri, int64_t size) {
    std::vector<TLogLine> open_ended;
    std::vector<TLogLine> ranged = dltest::CoveringRanges(server, uri, size, &open_ended);
    EXPECT_LE(open_ended.size(), 1u);
    return ranged;
  }
  // A resume file for the URL that marks the given byte ranges (whole pieces) finished.
  void WriteMeta(const std::string& path, const std::string& url, int64_t size, int32_t piece,
                 const std::vector<std::pair<int64_t, int64_t>>& done) {
    qelhttp::range_field finished;
    finished.reset(size);
    for (const auto& range : done) finished.update(range.first, range.second);
    qelhttp::file meta;
    ASSERT_TRUE(qelhttp::update_meta(meta, path, url, size, piece, finished));
  }
  qeltest::NginxServer server{kConfig};
  qeltest::TempDir dir;
};

// The byte ranges of the pieces a resume file does not mark finished.
std::map<int64_t, int64_t> Missing(const std::string& meta, int64_t size) {
  qelhttp::resume_state state;
  std::map<int64_t, int64_t> missing;
  if (qelhttp::restore_meta(meta, size, state) != qelhttp::restore_result::restored) {
    missing[0] = size;
    return missing;
  }
  for (uint32_t i = 0; i < state.piece_num; ++i) {
    if (state.pieces.get(i)) continue;
    const int64_t begin = static_cast<int64_t>(i) * state.piece_size;
    missing[begin] = std::min(begin + state.piece_size, size);
  }
  return missing;
}

bool Inside(const std::map<int64_t, int64_t>& missing, int64_t first, int64_t last) {
  for (int64_t at = first; at <= last;) {
    auto it = missing.upper_bound(at);
    if (it == missing.begin()) return false;
    --it;
    if (at >= it->second) return false;
    at = it->second;
  }
  return true;
}

TEST_F(DownloadResume, AStoppedDownloadAsksOnlyForWhatIsMissing) {
  const std::string data = Content(8 << 20, 31);
  const int64_t size = static_cast<int64_t>(data.size());
  server.AddFile("resume/f.bin", data);
  qelhttp::settings s = dltest::Multi(dir, 4, 11);
  s.use_meta_url = false;
  {
    boost::asio::io_context io;
    CHttpDownload d(io);
    d.start(dir.file("f.bin"), s, server.Url("/resume/f.bin?run=1"));
    std::thread stopper([&] {
      EXPECT_TRUE(qeltest::WaitUntil([&] { return d.bytes_download() >= 3 << 20; }));
      d.stop();
    });
    io.run();
    stopper.join();
    EXPECT_FALSE(d.wait_for_complete());
  }
  const std::map<int64_t, int64_t> missing = Missing(dir.file("download.meta"), size);
  int64_t missing_bytes = 0;
  for (const auto& m : missing) missing_bytes += m.second - m.first;
  ASSERT_LT(missing_bytes, size - (2 << 20)) << "the stopped run left pieces behind";
  ASSERT_GT(missing_bytes, 0);

  TRecorder rec;
  TOutcome r = Download(server.Url("/resume/f.bin?run=2"), dir.file("f.bin"), s, &rec);
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("f.bin")) == data);
  // The ranges asked are what was missing, and only that. When the first piece is missing, the first
  // connection takes its share (at most ten pieces) from its open-ended answer instead.
  int64_t first_share = 0;
  for (auto it = missing.begin(); it != missing.end() && it->first == first_share; ++it) first_share = it->second;
  first_share = std::min<int64_t>(first_share, 10 * 16384);
  std::vector<TLogLine> lines;
  int64_t asked = 0;
  qeltest::WaitUntil(
      [&] {
        std::vector<TLogLine> open_ended;
        lines.clear();
        dltest::SplitLines(dltest::ParseRangeLog(server.RangeLog()), open_ended, lines);
        asked = 0;
        for (const TLogLine& line : lines) asked += line.uri == "/resume/f.bin?run=2" ? line.last - line.first + 1 : 0;
        return asked >= missing_bytes - first_share;
      },
      std::chrono::seconds(10));
  for (const TLogLine& line : lines) {
    if (line.uri != "/resume/f.bin?run=2") continue;
    EXPECT_TRUE(Inside(missing, line.first, line.last)) << "finished bytes asked again: " << line.range;
  }
  EXPECT_EQ(asked, missing_bytes - first_share);
}

TEST_F(DownloadResume, TheStoredAddressIsUsedOnlyWhenAsked) {
  const std::string data = Content(1 << 20, 32);
  const int64_t size = static_cast<int64_t>(data.size());
  for (bool use_stored : {true, false}) {
    SCOPED_TRACE(use_stored);
    const std::string a = use_stored ? "/files/a1.bin" : "/files/a2.bin";
    const std::string b = use_stored ? "/files/b1.bin" : "/files/b2.bin";
    server.AddFile(a.substr(1), data);
    server.AddFile(b.substr(1), data);
    qeltest::TempDir run;
    qelhttp::settings s = dltest::Multi(run, 3, 11);
    s.use_meta_url = use_stored;
    // The first half is on disk already, fetched from a.
    WriteMeta(run.file("download.meta"), server.Url(a), size, 16384, {{0, size / 2}});
    qeltest::WriteFile(run.file("t.bin"), data.substr(0, size / 2));
    TOutcome r = Download(server.Url(b), run.file("t.bin"), s);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(qeltest::ReadFile(run.file("t.bin")) == data);
    // The first request goes where the caller said; the pieces to the stored address when it is used.
    const std::vector<TLogLine> pieces = Ranged(use_stored ? a : b, size);
    ASSERT_FALSE(pieces.empty());
    for (const TLogLine& line : pieces) EXPECT_GE(line.first, size / 2) << line.range;
    const std::vector<TLogLine> others = Ranged(use_stored ? b : a, 0);
    EXPECT_TRUE(others.empty());
  }
}

TEST_F(DownloadResume, AResumeFileThatDoesNotFitIsDroppedAndTheFileFetchedWhole) {
  const std::string data = Content(600000, 33);
  const int64_t size = static_cast<int64_t>(data.size());
  server.AddFile("files/w.bin", data);
  const std::string url = server.Url("/files/w.bin");
  enum { target_missing, target_short, other_size, garbage, cases };
  for (int c = 0; c < cases; ++c) {
    SCOPED_TRACE(c);
    qeltest::TempDir run;
    const std::string meta = run.file("download.meta");
    const std::string target = run.file("w.bin");
    if (c == target_missing) WriteMeta(meta, url, size, 16384, {{0, size}});
    if (c == target_short) {
      WriteMeta(meta, url, size, 16384, {{0, 16384 * 20}});
      qeltest::WriteFile(target, data.substr(0, 16384 * 10));
    }
    if (c == other_size) {
      WriteMeta(meta, url, size + 1, 16384, {{0, 16384 * 20}});
      qeltest::WriteFile(target, data.substr(0, 16384 * 20));
    }
    if (c == garbage) qeltest::WriteFile(meta, "d9:file_sizei600000e8:bitfield999999:");
    TRecorder rec;
    const std::string query = "?case=" + std::to_string(c);
    TOutcome r = Download(url + query, target, dltest::Multi(run, 3, 11), &rec);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(qeltest::ReadFile(target) == data);
    // Nothing was taken as done: the first connection keeps the start, the others share the rest.
    const std::vector<TLogLine> pieces = Ranged("/files/w.bin" + query, size);
    ASSERT_FALSE(pieces.empty());
    int64_t lowest = size;
    for (const TLogLine& line : pieces) lowest = std::min(lowest, line.first);
    EXPECT_EQ(lowest, 163840);
  }
}

TEST_F(DownloadResume, AResumeFileOfTheWholeFileEndsAtOnce) {
  const std::string data = Content(500000, 34);
  const int64_t size = static_cast<int64_t>(data.size());
  server.AddFile("files/c.bin", data);
  const std::string url = server.Url("/files/c.bin");
  WriteMeta(dir.file("download.meta"), url, size, 16384, {{0, size}});
  qeltest::WriteFile(dir.file("c.bin"), data + "stale tail");
  TRecorder rec;
  TOutcome r = Download(url, dir.file("c.bin"), dltest::Multi(dir, 3, 11), &rec);
  EXPECT_TRUE(r.complete);
  EXPECT_FALSE(r.finished) << "nothing was fetched";
  EXPECT_EQ(r.bytes, size);
  EXPECT_EQ(rec.completes.load(), 0);
  EXPECT_TRUE(rec.Errors().empty());
  EXPECT_EQ(rec.Ticks(), 0u);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("c.bin")) == data);
  EXPECT_TRUE(Ranged("/files/c.bin", size).empty()) << "only the first request was made";
}

std::string RunnerPath() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "download_runner";
  self[n] = '\0';
  return boost::filesystem::path(self).parent_path().string() + "/download_runner";
}

TEST_F(DownloadResume, DownloadsKilledAtTwentyPointsResumeToTheSameBytes) {
  const std::string data = Content(3 << 20, 35);
  const int64_t size = static_cast<int64_t>(data.size());
  server.AddFile("kill/k.bin", data);
  const std::string url = server.Url("/kill/k.bin");
  const std::string runner = RunnerPath();
  ASSERT_TRUE(qeltest::FileExists(runner)) << runner;
  const int points = 20;
  std::vector<std::unique_ptr<qeltest::TempDir>> runs;
  std::vector<qeltest::ChildProcess> killed;
  // A block written whole, half a block written, or the report right after a resume-file write: each at
  // its own byte count, all running at once.
  const char* ways[] = {"after", "torn", "tick"};
  for (int i = 0; i < points; ++i) {
    runs.emplace_back(new qeltest::TempDir("qelkill"));
    const int64_t at = size * (i + 1) / (points + 1);
    std::string how = ways[i % 3];
    if (how == "tick" && at > size / 2) how = "after";
    killed.emplace_back(std::vector<std::string>{runner, url, runs[i]->file("k.bin"), runs[i]->file("k.meta"), "4",
                                                 std::to_string(at), how},
                        runs[i]->file("first.log"));
  }
  for (int i = 0; i < points; ++i) {
    EXPECT_EQ(killed[i].Wait(std::chrono::seconds(120)), 128 + SIGKILL)
        << i << ": " << qeltest::ReadFile(runs[i]->file("first.log"));
  }
  std::vector<qeltest::ChildProcess> resumed;
  for (int i = 0; i < points; ++i) {
    resumed.emplace_back(std::vector<std::string>{runner, url, runs[i]->file("k.bin"), runs[i]->file("k.meta"), "4",
                                                  "-1", "none"},
                         runs[i]->file("second.log"));
  }
  for (int i = 0; i < points; ++i) {
    EXPECT_EQ(resumed[i].Wait(std::chrono::seconds(120)), 0) << i << ": " << qeltest::ReadFile(runs[i]->file("second.log"));
    EXPECT_TRUE(qeltest::ReadFile(runs[i]->file("k.bin")) == data) << "point " << i;
  }
}

}  // namespace
