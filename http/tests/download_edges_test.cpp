// The download's edge cases: a resume into the caller's own storage, a 206 first answer without
// Content-Range, the storage's errors in their own category, and a stop with a wait from another thread
// that leaves no resume file behind. The ordinary runs are download_test.cpp's; resumes after a kill are
// download_resume_test.cpp's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <thread>

#include "download_test_support.h"
#include "nginx_server.h"
#include "qelhttp/resume_file.hpp"
#include "scripted_server.h"

namespace {

using boost::system::error_code;
using dltest::Content;
using dltest::Download;
using dltest::TLogLine;
using dltest::TOutcome;
using dltest::TRecorder;

// A caller's own storage: it keeps the bytes beside the target, in "<target>.part", so the target path
// itself never exists.
class CPartStorage : public qelhttp::default_storge {
 public:
  void open(const boost::filesystem::path& path, error_code& ec) override {
    qelhttp::default_storge::open(path.string() + ".part", ec);
  }
};

qelhttp::storage_interface* MakePartStorage() { return new CPartStorage; }

// The process's folder for the test's life: the resume file of the default name lies there.
class CCurrentFolder {
 public:
  explicit CCurrentFolder(const std::string& folder) : old_(boost::filesystem::current_path()) {
    boost::filesystem::current_path(folder);
  }
  ~CCurrentFolder() { boost::filesystem::current_path(old_); }

 private:
  boost::filesystem::path old_;
};

std::vector<std::string> MetaFiles(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& entry : boost::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".meta") found.push_back(entry.path().filename().string());
  }
  return found;
}

class DownloadEdges : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.started());
    for (const char* sub : {"files", "slow"}) boost::filesystem::create_directories(server.DocRoot() + "/" + sub);
  }
  qeltest::NginxServer server{"location /slow/ { limit_rate 200k; }\n"};
  qeltest::TempDir dir;
};

TEST_F(DownloadEdges, AResumeIntoTheCallersOwnStorageAsksOnlyForWhatIsMissing) {
  const std::string data = Content(600000, 41);
  const int64_t size = static_cast<int64_t>(data.size());
  const int64_t half = 16384 * 18;
  server.AddFile("files/own.bin", data);
  const std::string url = server.Url("/files/own.bin");
  // The storage holds the first half, or (short) less than the resume file claims.
  for (bool held : {true, false}) {
    SCOPED_TRACE(held);
    qeltest::TempDir run;
    qelhttp::settings s = dltest::Multi(run, 3, 11);
    s.storage_constructor = MakePartStorage;
    const std::string query = held ? "?held" : "?short";
    qelhttp::range_field finished;
    finished.reset(size);
    finished.update(0, half);
    qelhttp::file meta;
    ASSERT_TRUE(qelhttp::update_meta(meta, run.file("download.meta"), url + query, size, 16384, finished));
    meta.close();
    const std::string target = run.file("own.bin");
    qeltest::WriteFile(target + ".part", data.substr(0, held ? half : half / 2));
    TOutcome r = Download(url + query, target, s);
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(qeltest::ReadFile(target + ".part") == data);
    EXPECT_FALSE(qeltest::FileExists(target)) << "the caller's storage writes elsewhere";
    const std::vector<TLogLine> ranged = dltest::CoveringRanges(server, "/files/own.bin" + query, size);
    ASSERT_FALSE(ranged.empty());
    int64_t lowest = size;
    for (const TLogLine& line : ranged) lowest = std::min(lowest, line.first);
    // Held: the first half is not asked again. Short: the resume file is dropped, and after the first
    // connection's share the others fetch the rest.
    EXPECT_EQ(lowest, held ? half : 163840);
  }
}

TEST_F(DownloadEdges, A206WithoutContentRangeIsTheWholeFileByItsLength) {
  const std::string data = Content(300000, 42);
  qeltest::ScriptedServer partial([&](size_t, const std::string&) {
    return qeltest::TScript{qeltest::TScriptStep::SendBytes("HTTP/1.1 206 Partial Content\r\nContent-Length: " +
                                                            std::to_string(data.size()) +
                                                            "\r\nConnection: keep-alive\r\n\r\n" + data)};
  });
  for (bool single : {true, false}) {
    SCOPED_TRACE(single);
    TRecorder rec;
    const std::string target = dir.file(single ? "p1.bin" : "p2.bin");
    TOutcome r = Download(partial.Url("/p.bin"), target, single ? dltest::Single() : dltest::Multi(dir, 3, 11), &rec);
    EXPECT_EQ(r.size, static_cast<int64_t>(data.size()));
    EXPECT_TRUE(r.complete);
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(rec.completes.load(), 1);
    EXPECT_TRUE(rec.Errors().empty());
    EXPECT_TRUE(qeltest::ReadFile(target) == data);
  }
  // One request each: no piece was asked of a server whose answers name no range.
  const std::vector<std::string> received = partial.Received();
  ASSERT_EQ(received.size(), 2u);
  for (const std::string& request : received) EXPECT_EQ(request.find("GET", 1), std::string::npos) << request;
}

TEST_F(DownloadEdges, StorageErrorsSayWhatWentWrong) {
  const std::string url = server.Url("/files/e.bin");
  server.AddFile("files/e.bin", Content(200000, 43));
  boost::filesystem::create_directories(dir.file("folder"));
  struct TCase {
    std::string target;
    int code;
    const char* message;
  } cases[] = {
      {dir.file("no/such/folder/e.bin"), ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
      {dir.file("folder"), ERROR_ACCESS_DENIED, "Access is denied."},
      {"/dev/full", ERROR_DISK_FULL, "There is not enough space on the disk."},
  };
  for (const TCase& c : cases) {
    for (bool single : {true, false}) {
      SCOPED_TRACE(c.target + (single ? " single" : " multi"));
      TRecorder rec;
      TOutcome r = Download(url, c.target, single ? dltest::Single() : dltest::Multi(dir, 2, 11), &rec);
      EXPECT_FALSE(r.complete);
      std::lock_guard<std::mutex> hold(rec.mutex);
      ASSERT_FALSE(rec.errors.empty());
      EXPECT_EQ(rec.errors[0], c.code);
      EXPECT_EQ(rec.messages[0], c.message);
    }
  }
}

TEST(StorageCategory, ErrorsCompareWithTheConditionsTheyMean) {
  const boost::system::error_category& storage = qelhttp::storage_category();
  EXPECT_STREQ(storage.name(), "storage");
  EXPECT_EQ(error_code(ERROR_PATH_NOT_FOUND, storage), boost::system::errc::no_such_file_or_directory);
  EXPECT_EQ(error_code(ERROR_ACCESS_DENIED, storage), boost::system::errc::permission_denied);
  EXPECT_EQ(error_code(ERROR_DISK_FULL, storage), boost::system::errc::no_space_on_device);
  EXPECT_NE(error_code(ERROR_DISK_FULL, storage), error_code(ERROR_DISK_FULL, boost::system::system_category()));
  EXPECT_EQ(error_code(4321, storage).message(), "Unknown storage error 4321.");
  // A file that cannot be opened says so in the same category.
  qelhttp::file file;
  error_code ec;
  file.open("/no/such/folder/at/all", ec);
  EXPECT_EQ(ec, error_code(ERROR_PATH_NOT_FOUND, storage));
}

TEST_F(DownloadEdges, AStopAndAWaitFromAnotherThreadLeaveNoResumeFile) {
  server.AddFile("slow/s.bin", Content(2 << 20, 44));
  CCurrentFolder here(dir.path());
  // Stopped within the first second, before any tick wrote the resume file; and after two ticks did.
  for (size_t ticks : {0u, 2u}) {
    SCOPED_TRACE(ticks);
    qelhttp::settings s;
    s.connections_limit = 3;
    boost::asio::io_context io;
    CHttpDownload d(io);
    TRecorder rec;
    rec.download = &d;
    d.progress_callback = dltest::RecordProgress;
    d.callback_user = &rec;
    d.start(dir.file("s.bin"), s, server.Url("/slow/s.bin?ticks=" + std::to_string(ticks)));
    std::thread other([&] {
      EXPECT_TRUE(qeltest::WaitUntil([&] { return d.bytes_download() > 0 && rec.Ticks() >= ticks; }));
      d.stop();
      EXPECT_FALSE(d.wait_for_complete());
      EXPECT_TRUE(MetaFiles(dir.path()).empty()) << "once the wait has returned";
    });
    io.run();
    other.join();
    EXPECT_EQ(MetaFiles(dir.path()), std::vector<std::string>()) << "nor after the cancelled tick";
  }
}

}  // namespace
