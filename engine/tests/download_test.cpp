// The package download against real servers: nginx serves the package and logs each request with its
// Range field; the scripted server and a stalling listener give the short and the endless answers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.h"
#include "nginx_server.h"
#include "package_support.h"
#include "scripted_server.h"

namespace {

using enginetest::CLogCapture;

std::mutex g_lock;
std::vector<std::string> g_messages;

void Capture(EMsgType type, void* payload) {
  std::string text = std::to_string(type) + " ";
  if (type == EMSG_STATUS) text += static_cast<const char*>(payload);
  if (type == EMSG_UPDATE_READY) {
    auto* rec = static_cast<TProductInfo*>(payload);
    text += std::string(rec->code) + " " + rec->update_info->package_file;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  g_messages.push_back(text);
}

std::vector<std::string> Messages() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_messages;
}

size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

int Count(const std::vector<std::string>& lines, const std::string& text) {
  int n = 0;
  for (const std::string& line : lines) n += line.find(text) != std::string::npos;
  return n;
}

class Download : public ::testing::Test {
 protected:
  void SetUp() override {
    g_messages.clear();
    product.SetCallback(Capture);
    product.SetBaseFolder(dir.path() + "/");
  }
  // The product as configured, with its work folder made.
  void Configure(int attempts, int pause) {
    rec.download_retry_count = attempts;
    rec.download_retry_timespan = pause;
    product.SetProductInfo(&rec, true);
  }
  std::string Zip(const std::string& md5) { return product.WorkFolder() + "/" + md5 + ".zip"; }

  qeltest::TempDir dir{"download"};
  CLogCapture log;
  CProductInfo& product = enginetest::KeptProduct();
  TProductInfo rec = enginetest::Record("P1", "/opt/p1");
};

TEST_F(Download, OneRequestFromByteZeroThenAVerifiedPackageIsNotFetchedAgain) {
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  ASSERT_EQ(mkdir(nginx.DocRoot().append("/pkg").c_str(), 0755), 0);
  std::string md5 = enginetest::MakeZip(nginx.DocRoot() + "/pkg/a b.zip", {{"setup.exe", "#!/bin/sh\n"}});
  ASSERT_EQ(md5.size(), 32u);
  Configure(2, 0);
  std::string zip = Zip(md5);
  // The URL keeps its escape in every text: a "%" is never a conversion.
  std::string url = nginx.Url("/pkg/a%20b.zip");
  ASSERT_TRUE(product.Download(zip.c_str(), url.c_str(), md5.c_str()));
  EXPECT_EQ(qeltest::ReadFile(zip), qeltest::ReadFile(nginx.DocRoot() + "/pkg/a b.zip"));
  std::string access = nginx.AccessLog();
  EXPECT_EQ(access.find("/pkg/a%20b.zip|bytes=0-|"), 0u) << access;
  EXPECT_EQ(Occurrences(access, "\n"), 1u) << access;
  std::string attempt = "产品P1开始第1/2次下载，URL:" + url + "，本地存储:" + zip;
  EXPECT_EQ(Messages(), (std::vector<std::string>{"1 " + attempt, "1 产品P1下载文件完成"}));
  EXPECT_TRUE(log.Contains("[2] " + attempt + "-->file:ProductInfo.cpp,")) << log.All();
  long size = static_cast<long>(qeltest::ReadFile(zip).size());
  EXPECT_TRUE(log.Contains("[16] 文件大小:" + std::to_string(size) + "-->")) << log.All();
  EXPECT_TRUE(log.Contains("[2] 校验通过,文件MD5值：" + md5 + "，计算MD5值：" + md5 + "-->")) << log.All();
  EXPECT_TRUE(log.Contains("[16] 产品P1下载文件完成-->file:ProductInfo.cpp,")) << log.All();
  EXPECT_TRUE(log.Contains(",func:CProductInfo::Download"));

  g_messages.clear();
  ASSERT_TRUE(product.Download(zip.c_str(), url.c_str(), md5.c_str()));
  EXPECT_EQ(nginx.AccessLog(), access) << "no request for a package that is there";
  EXPECT_TRUE(Messages().empty()) << "and no status";
  EXPECT_TRUE(log.Contains("[16] 文件已经存在不需要重复下载-->"));
}

TEST_F(Download, ADigestThatNeverMatchesCostsEveryAttemptAndItsPause) {
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  std::string md5 = enginetest::MakeZip(nginx.DocRoot() + "/p.zip", {{"setup.exe", "#!/bin/sh\n"}});
  ASSERT_EQ(md5.size(), 32u);
  // The server's digest in lower case: the comparison is exact, so it never matches.
  std::string lower = md5;
  for (char& c : lower) c = static_cast<char>(tolower(c));
  Configure(3, 1);
  std::string zip = Zip(lower);
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(product.Download(zip.c_str(), nginx.Url("/p.zip").c_str(), lower.c_str()));
  auto spent = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(spent, std::chrono::seconds(3)) << "a pause after each of the three attempts, the last included";
  EXPECT_FALSE(qeltest::FileExists(zip));
  EXPECT_EQ(Occurrences(nginx.AccessLog(), "/p.zip|bytes=0-|"), 3u);
  std::vector<std::string> messages = Messages();
  EXPECT_EQ(Count(messages, "1 产品P1MD5校验不通过,删除已下载文件"), 3);
  EXPECT_EQ(Count(messages, "1 产品P1开始第3/3次下载"), 1);
  EXPECT_EQ(messages.back(), "1 产品P1MD5校验不通过,删除已下载文件");
}

TEST_F(Download, ShortBodyAndUnreachableServerFailBySize) {
  std::string md5(32, 'A');
  std::string zip = Zip(md5);
  qeltest::ScriptedServer server({{qeltest::TScriptStep::ReadHead(),
                                   qeltest::TScriptStep::SendBytes("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" +
                                                                   std::string(10, 'x')),
                                   qeltest::TScriptStep::CloseNow()}});
  Configure(1, 0);
  EXPECT_FALSE(product.Download(zip.c_str(), server.Url("/p.zip").c_str(), md5.c_str()));
  EXPECT_EQ(Messages().back(), "1 产品P1文件大小不正确，原文件大小：1000,已下载文件大小：10");
  EXPECT_FALSE(qeltest::FileExists(zip));
  ASSERT_EQ(server.Received().size(), 1u);
  EXPECT_NE(server.Received()[0].find("\r\nRange: bytes=0-\r\n"), std::string::npos) << server.Received()[0];

  g_messages.clear();
  unsigned short nobody = qeltest::FreePort();
  std::string url = "http://127.0.0.1:" + std::to_string(nobody) + "/p.zip";
  EXPECT_FALSE(product.Download(zip.c_str(), url.c_str(), md5.c_str()));
  EXPECT_EQ(Messages().back(), "1 产品P1文件大小不正确，原文件大小：-1,已下载文件大小：0");
  EXPECT_TRUE(log.Contains("[16] 错误代码：")) << log.All();
  EXPECT_TRUE(log.Contains(", 错误信息：")) << log.All();
  EXPECT_TRUE(log.Contains(",func:GetDownloadErrorInfoProc"));
}

TEST_F(Download, NoAttemptsBadUrlAndTheWorkFolderAlone) {
  std::string md5(32, 'B');
  std::string zip = Zip(md5);
  Configure(0, 0);
  qeltest::WriteFile(zip, "an old, wrong package");
  EXPECT_FALSE(product.Download(zip.c_str(), "http://127.0.0.1:9/p.zip", md5.c_str()));
  EXPECT_FALSE(qeltest::FileExists(zip)) << "deleted before the attempts, even when there are none";
  EXPECT_TRUE(Messages().empty());

  // A URL that does not parse reaches the caller; the attempt's downloader goes with it.
  Configure(2, 0);
  EXPECT_ANY_THROW(product.Download(zip.c_str(), "no scheme at all", md5.c_str()));
  EXPECT_EQ(Count(Messages(), "开始第"), 1) << "no second attempt";
}

// Answers the head and 10 of 1000 bytes, then says nothing more until the client gives up.
class CStallingServer {
 public:
  CStallingServer() : acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~CStallingServer() { thread_.join(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) + "/p"; }
  bool client_closed() const { return closed_; }

 private:
  void Serve() {
    boost::system::error_code ec;
    boost::asio::ip::tcp::socket socket(io_);
    acceptor_.accept(socket, ec);
    if (ec) return;
    boost::asio::streambuf head;
    boost::asio::read_until(socket, head, "\r\n\r\n", ec);
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(10, 'x');
    boost::asio::write(socket, boost::asio::buffer(answer), ec);
    char byte;
    socket.read_some(boost::asio::buffer(&byte, 1), ec);  // returns when the client closes
    closed_ = ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
  }
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
  std::atomic<bool> closed_{false};
};

TEST_F(Download, AStalledServerIsLeftAfterTheIdleTimeOut) {
  CStallingServer server;
  std::string md5(32, 'C');
  Configure(1, 0);
  EXPECT_FALSE(product.Download(Zip(md5).c_str(), server.Url().c_str(), md5.c_str()));
  EXPECT_EQ(Messages().back(), "1 产品P1文件大小不正确，原文件大小：1000,已下载文件大小：10");
  EXPECT_FALSE(qeltest::FileExists(Zip(md5)));
  // Only the client's idle time-out can have ended it: the server never closes first.
  for (int i = 0; i < 500 && !server.client_closed(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(server.client_closed());
}

// Consecutive failed downloads of checks that download first are counted; past the limit the full package
// is offered and the count starts again.
TEST_F(Download, FailedDownloadsCountUpToTheLimitThenTheFullPackageIsOffered) {
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  std::string md5 = enginetest::MakeZip(nginx.DocRoot() + "/u.zip", {{"update.exe", "#!/bin/sh\n"}});
  std::string wrong(32, 'D');
  nginx.AddFile("checkVersionInfo.html",
                "{\"result\":\"success\",\"product_code\":\"P1\",\"product_version\":\"1.1\",\"setup_url\":\"" +
                    nginx.Url("/s.zip") + "\",\"setup_md5\":\"" + md5 + "\",\"update_url\":\"" + nginx.Url("/u.zip") +
                    "\",\"update_md5\":\"" + wrong + "\"}");
  product.SetServerUrl(nginx.Url("/checkVersionInfo.html"));
  rec.notify_type = 2;
  rec.download_failed_max_count = 2;
  Configure(1, 0);
  for (int check = 1; check <= 3; ++check) {
    product.CheckUpdate(CHECK_AS_CONFIGURED, true);
    EXPECT_EQ(product.DownloadFailedCount(), check < 3 ? check : 0) << "check " << check;
    EXPECT_TRUE(log.Contains("连续" + std::to_string(check) + std::string(62, ' ') + "次下载失败，URL：" +
                             nginx.Url("/u.zip")));
  }
  EXPECT_TRUE(log.Contains("连续3" + std::string(54, ' ') + "次下载失败，URL：" + nginx.Url("/u.zip")));
  EXPECT_EQ(Count(Messages(), "3 P1 setup.exe"), 1);
  EXPECT_EQ(Count(Messages(), "1 产品P1MD5校验不通过,删除已下载文件"), 3);
  EXPECT_FALSE(qeltest::FileExists(Zip(wrong)));
}

// Products download at once on their own threads: the downloader's error line names its product.
TEST_F(Download, TheDownloadErrorLineNamesItsProduct) {
  std::string md5(32, 'E');
  Configure(1, 0);
  std::string url = "http://127.0.0.1:" + std::to_string(qeltest::FreePort()) + "/p.zip";
  EXPECT_FALSE(product.Download(Zip(md5).c_str(), url.c_str(), md5.c_str()));
  // The message is the system's text in the engine's locale.
  EXPECT_TRUE(log.Contains("[16] 错误代码：111, 错误信息：")) << log.All();
  EXPECT_TRUE(log.Contains(", 产品：P1-->file:")) << log.All();
}

}  // namespace
