// A hostile or broken update server against a silent product, the road that needs no one's consent: a
// package whose MD5 is not the one announced, a body cut short, a server that stops sending, a zip whose
// names climb out of the work folder. Whatever arrives stays inside the product's work folder (or is deleted)
// and no installer is started.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "nginx_server.h"
#include "scripted_server.h"

namespace {

using e2e::CInstalledSystem;
using e2e::CSandbox;
using e2e::ShellQuote;
using qeltest::TScript;
using qeltest::TScriptStep;

const char kCheckPath[] = "/checkVersionInfo.html";
// The end of a check whose single download attempt failed.
const char kDownloadFailed[] = "次下载失败，URL：";

class HostileServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(nginx_.started());
    product_ = system_.MakeProduct("Hostile Target.exe");
    record_ = system_.Record("setup");
    e2e::TProduct target{"HS", product_};
    target.notifyType = 0;
    system_.WriteRegistry(nginx_.Url(kCheckPath), {target});
    clientBytes_ = qeltest::ReadFile(system_.Client());
    before_ = system_.Files();
  }

  // The programs end before any server: a stalled connection is let go of.
  void TearDown() override { sandbox_.reset(); }

  void Answer(const std::string& url, const std::string& md5) {
    nginx_.AddFile(kCheckPath + 1, e2e::CheckAnswer("HS", "2.0", url, md5));
  }

  void Run() {
    std::vector<std::string> commands = {ShellQuote(product_) + " 600", "exec ./Tavrin.exe"};
    sandbox_ = std::make_unique<CSandbox>(system_, commands);
    ASSERT_TRUE(e2e::WaitFor([&] { return !e2e::ProcessesOf(system_.Client()).empty(); })) << Diagnosis();
  }

  std::string Diagnosis() const {
    return "\n--- log\n" + system_.Log() + "\n--- programs\n" + qeltest::ReadFile(system_.ProgramOutput());
  }

  // Nothing started, the product left running, and no file made outside the work folder (the work folder
  // holding nothing but what the package unpacked, when it was unpacked at all).
  void ExpectNothingStarted(bool productRuns = true) {
    EXPECT_FALSE(qeltest::FileExists(record_)) << "no installer ran";
    if (productRuns) {
      EXPECT_EQ(e2e::ProcessesOf(product_).size(), 1u) << "the product was not closed";
    }
    EXPECT_EQ(qeltest::ReadFile(system_.Client()), clientBytes_) << "the client is untouched";
    EXPECT_EQ(system_.MadeOutsideWorkFolder(before_, "HS"), std::set<std::string>());
  }

  // The zip is gone and the work folder is empty again.
  void ExpectWorkFolderEmpty() {
    std::string listing;
    qeltest::RunCommand("ls -A " + ShellQuote(system_.WorkFolder("HS")), &listing);
    EXPECT_EQ(listing, "");
  }

  qeltest::NginxServer nginx_;
  CInstalledSystem system_;
  std::string product_;
  std::string record_;
  std::string clientBytes_;
  std::set<std::string> before_;
  std::unique_ptr<CSandbox> sandbox_;
};

TEST_F(HostileServer, APackageWithAnotherMd5IsDeletedAndNeverRun) {
  std::string real = e2e::MakeZip(nginx_.DocRoot() + "/pkg.zip", {{"setup.exe", e2e::Installer(record_), 0755}});
  ASSERT_EQ(real.size(), 32u);
  std::string announced = "0123456789ABCDEF0123456789ABCDEF";
  Answer(nginx_.Url("/pkg.zip"), announced);
  Run();
  ASSERT_TRUE(system_.WaitForLog(kDownloadFailed)) << Diagnosis();
  EXPECT_EQ(system_.LogCount("校验失败,文件MD5值：" + announced + "，计算MD5值：" + real), 1u) << Diagnosis();
  EXPECT_EQ(system_.LogCount("产品HSMD5校验不通过,删除已下载文件"), 2u) << "logged and sent as status";
  EXPECT_EQ(system_.LogCount("静默安装"), 0u) << Diagnosis();
  ExpectWorkFolderEmpty();
  ExpectNothingStarted();
}

// A body shorter than its Content-Length, then the connection closed; a body that stops and a server that
// keeps the connection open without sending more (the download gives up after its idle limit).
class BrokenBody : public HostileServer {
 protected:
  void Serve(bool stall) {
    std::string body(4096, 'z');
    qeltest::WriteFile(system_.dir.file("full.bin"), body);
    std::string md5 = e2e::Md5Of(system_.dir.file("full.bin"));
    ASSERT_EQ(md5.size(), 32u);
    unlink(system_.dir.file("full.bin").c_str());
    before_ = system_.Files();
    server_ = std::make_unique<qeltest::ScriptedServer>([body, stall](size_t, const std::string&) {
      TScript script = {TScriptStep::SendBytes("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                               "Content-Length: 4096\r\n\r\n" + body.substr(0, 1000))};
      // A stalled server holds the connection until the client lets go of it.
      script.push_back(stall ? TScriptStep::ReadHead() : TScriptStep::CloseNow());
      script.push_back(TScriptStep::CloseNow());
      return script;
    });
    Answer(server_->Url("/pkg.zip"), md5);
    Run();
  }

  void ExpectFailedBySize() {
    EXPECT_EQ(system_.LogCount("静默安装"), 0u) << Diagnosis();
    EXPECT_EQ(system_.LogCount("产品HS文件大小不正确"), 2u) << Diagnosis();
    EXPECT_EQ(system_.LogCount("下载文件完成"), 0u);
    ExpectWorkFolderEmpty();
    ExpectNothingStarted();
  }

  std::unique_ptr<qeltest::ScriptedServer> server_;
};

TEST_F(BrokenBody, AShortBodyIsDeletedAndNeverRun) {
  Serve(false);
  ASSERT_TRUE(system_.WaitForLog(kDownloadFailed)) << Diagnosis();
  ExpectFailedBySize();
}

TEST_F(BrokenBody, AServerThatStopsSendingIsLeftAfterItsIdleLimit) {
  Serve(true);
  ASSERT_TRUE(system_.WaitForLog(kDownloadFailed, 1, std::chrono::seconds(120))) << Diagnosis();
  ExpectFailedBySize();
}

TEST_F(HostileServer, ClimbingNamesStayInTheWorkFolderAndNothingStarts) {
  std::string tag = std::to_string(getpid());
  std::string absolute = "/tmp/qel-e2e-absolute-" + tag + ".txt";
  std::string deep = "../../../../../../../../../../../../tmp/qel-e2e-deep-" + tag + ".txt";
  std::string md5 = e2e::MakeZip(nginx_.DocRoot() + "/pkg.zip",
                                 {{"../../escape-up.txt", "1"},
                                  {absolute, "2"},
                                  {"sub/../../../escape-sub.txt", "3"},
                                  {"..\\..\\escape-back.txt", "4"},
                                  {deep, "5"},
                                  {"../../bin/Tavrin.exe", "not a client"},
                                  {"../../bin/setup.exe", e2e::Installer(record_), 0755}});
  ASSERT_EQ(md5.size(), 32u);
  Answer(nginx_.Url("/pkg.zip"), md5);
  Run();
  // The package is what the server announced: it is unpacked, the product closed, and the installer is
  // started from where the package would put it, where none lies.
  ASSERT_TRUE(system_.WaitForLog("静默安装" + system_.WorkFolder("HS") + "/setup.exe-->")) << Diagnosis();
  EXPECT_FALSE(qeltest::FileExists(system_.WorkFolder("HS") + "/setup.exe"));
  EXPECT_EQ(system_.LogCount("解压失败"), 0u) << Diagnosis();
  EXPECT_FALSE(qeltest::FileExists(absolute));
  EXPECT_FALSE(qeltest::FileExists("/tmp/qel-e2e-deep-" + tag + ".txt"));
  EXPECT_FALSE(qeltest::FileExists(system_.WorkFolder("HS") + "/" + md5 + ".zip"));
  EXPECT_EQ(qeltest::ReadFile(system_.WorkFolder("HS") + "/bin/Tavrin.exe"), "not a client");
  ExpectNothingStarted(false);
}

}  // namespace
