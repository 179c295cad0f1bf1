// A whole update of a running product, from the client's first check to the installer: the road with the
// user's consent (the prompt on a private X server, OK pressed with xdotool) and the silent road. nginx is
// the update server; the product and a bystander are copies of sleep; the installer records how it was
// started. Each case checks the outcome and that nothing else happened.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "nginx_server.h"
#include "xvfb.h"

namespace {

using e2e::CInstalledSystem;
using e2e::CSandbox;
using e2e::ShellQuote;

const int kScreenW = 1024;
const int kScreenH = 768;

class UpdateCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(nginx_.started());
    product_ = system_.MakeProduct("E2E Editor.exe");
    bystander_ = system_.MakeProduct("Bystander.exe");
    record_ = system_.Record("setup");
    md5_ = e2e::MakeZip(nginx_.DocRoot() + "/editor.zip",
                        {{"setup.exe", e2e::Installer(record_), 0755}, {"notes/readme.txt", "Editor 1.1\n"}});
    ASSERT_EQ(md5_.size(), 32u);
    nginx_.AddFile("checkVersionInfo.html", e2e::CheckAnswer("ED", "1.1", nginx_.Url("/editor.zip"), md5_));
  }

  void Register(int notifyType) {
    e2e::TProduct editor{"ED", product_};
    editor.notifyType = notifyType;
    system_.WriteRegistry(nginx_.Url("/checkVersionInfo.html"), {editor});
    before_ = system_.Files();
  }

  std::vector<std::string> Commands() const {
    return {ShellQuote(product_) + " 600", ShellQuote(bystander_) + " 600", "exec ./Tavrin.exe"};
  }

  std::string Diagnosis() const {
    return "\n--- log\n" + system_.Log() + "\n--- programs\n" + qeltest::ReadFile(system_.ProgramOutput());
  }

  // The outcome both roads share: the product closed, the bystander untouched, the package unpacked and
  // deleted, one installer run, nothing written outside the work folder.
  void ExpectInstalled(const std::string& arguments) {
    EXPECT_EQ(qeltest::ReadFile(record_), system_.Bin() + "\n" + arguments) << "one run, from the client's folder";
    EXPECT_TRUE(e2e::WaitFor([&] { return e2e::ProcessesOf(product_).empty(); })) << "the product was closed";
    EXPECT_EQ(e2e::ProcessesOf(bystander_).size(), 1u) << "other programs are left alone";
    EXPECT_EQ(e2e::ProcessesOf(system_.Client()).size(), 1u);
    std::string work = system_.WorkFolder("ED");
    EXPECT_FALSE(qeltest::FileExists(work + "/" + md5_ + ".zip")) << "unpacked, then deleted";
    EXPECT_EQ(qeltest::ReadFile(work + "/notes/readme.txt"), "Editor 1.1\n");
    EXPECT_EQ(system_.LogCount("关闭进程，进程文件" + product_ + "-->"), 1u) << Diagnosis();
    EXPECT_EQ(system_.LogCount("解压失败"), 0u);
    EXPECT_EQ(system_.MadeOutsideWorkFolder(before_, "ED"), std::set<std::string>());
    std::string access = nginx_.AccessLog();
    EXPECT_EQ(std::count(access.begin(), access.end(), '\n'), 2) << "one check, one download: " << access;
    EXPECT_NE(access.find("/editor.zip|bytes=0-|qelhttp/2.9.9|206"), std::string::npos) << access;
  }

  qeltest::NginxServer nginx_;
  CInstalledSystem system_;
  std::string product_;
  std::string bystander_;
  std::string record_;
  std::string md5_;
  std::set<std::string> before_;
};

TEST_F(UpdateCycle, ConsentRoadThePromptIsAcceptedAndTheInstallerStartsPlainly) {
  qeltest::XvfbServer xvfb;
  if (!xvfb.ok()) GTEST_SKIP() << "Xvfb not available";
  Register(1);
  CSandbox sandbox(system_, Commands(), xvfb.display());

  std::string id = xvfb.WaitForWindowClass("UIMessageDialog", 60000);
  ASSERT_FALSE(id.empty()) << "no prompt" << Diagnosis();
  e2e::TPoint size = e2e::PromptSize(system_.Bin());
  std::string corner = "Position: " + std::to_string(kScreenW - size.x) + "," + std::to_string(kScreenH - size.y);
  ASSERT_TRUE(e2e::WaitFor([&] {
    std::string geometry;
    xvfb.Xdotool("getwindowgeometry " + id, &geometry);
    return geometry.find(corner) != std::string::npos;
  })) << "the prompt never reached its corner";
  EXPECT_FALSE(qeltest::FileExists(system_.WorkFolder("ED") + "/" + md5_ + ".zip")) << "notify only: not fetched yet";
  EXPECT_EQ(system_.LogCount("开始第"), 0u) << Diagnosis();
  EXPECT_FALSE(qeltest::FileExists(record_));
  EXPECT_EQ(e2e::ProcessesOf(product_).size(), 1u) << "the product runs while the user decides";

  e2e::TPoint ok = e2e::PromptControlCentre(system_.Bin(), L"okbtn", kScreenW, kScreenH);
  ASSERT_TRUE(xvfb.Click(ok.x, ok.y));
  ASSERT_TRUE(system_.WaitForLog("启动安装包成功-->")) << Diagnosis();
  ASSERT_TRUE(e2e::WaitFor([&] { return qeltest::FileExists(record_); })) << Diagnosis();
  EXPECT_TRUE(e2e::WaitFor([&] {
    std::string shown;
    xvfb.Xdotool("search --onlyvisible --class '^UIMessageDialog$'", &shown);
    return shown.empty();
  })) << "the prompt is gone";

  ExpectInstalled("");
  EXPECT_EQ(system_.LogCount("产品ED正常安装更新到1.1版本"), 2u) << "logged and sent as status, once" << Diagnosis();
  EXPECT_EQ(system_.LogCount("产品ED下载文件完成"), 2u) << "the install thread downloaded it";
  EXPECT_EQ(system_.LogCount("静默安装"), 0u);
}

TEST_F(UpdateCycle, SilentRoadDownloadsVerifiesClosesAndInstallsQuietly) {
  Register(0);
  CSandbox sandbox(system_, Commands());

  ASSERT_TRUE(system_.WaitForLog("静默安装" + system_.WorkFolder("ED") + "/setup.exe-->")) << Diagnosis();
  ASSERT_TRUE(e2e::WaitFor([&] { return qeltest::FileExists(record_); })) << Diagnosis();
  ExpectInstalled("[/verysilent]\n[/norestart]\n");

  // In order: downloaded and verified on the check thread, then closed, then started.
  std::string log = system_.Log();
  size_t verified = log.find("校验通过,文件MD5值：" + md5_ + "，计算MD5值：" + md5_);
  size_t downloaded = log.find("产品ED下载文件完成");
  size_t silent = log.find("产品ED静默安装更新到1.1版本");
  size_t closed = log.find("关闭进程，进程文件" + product_);
  size_t started = log.find("静默安装" + system_.WorkFolder("ED") + "/setup.exe");
  EXPECT_LT(verified, downloaded) << log;
  EXPECT_LT(downloaded, silent) << log;
  EXPECT_LT(silent, closed) << log;
  EXPECT_LT(closed, started) << log;
  EXPECT_EQ(system_.LogCount("启动安装包"), 0u) << "a silent start reports nothing further";
}

}  // namespace
