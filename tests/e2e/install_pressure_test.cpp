// Installs under pressure, with the real programs in a process namespace of their own and nginx as the
// update server: many products installing at once from one client, and a client killed while its installer
// runs and started again by the watchdog. Installers are scripts that record each run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "nginx_server.h"

namespace {

using e2e::CInstalledSystem;
using e2e::CSandbox;
using e2e::ShellQuote;

const char kNeedsNamespace[] = "needs a PID namespace (unshare -p): the watchdog counts any Tavrin.exe as its client";

std::string Diagnosis(const CInstalledSystem& system) {
  return "\n--- log\n" + system.Log() + "\n--- programs\n" + qeltest::ReadFile(system.ProgramOutput());
}

// nginx answering each product's check from the file named after its code.
std::string AnswersByCode() {
  return "location = /checkVersionInfo.html { default_type text/html; try_files /answers/$arg_product_code =404; }";
}

void Answer(const qeltest::NginxServer& nginx, const std::string& code, const std::string& zip, const std::string& md5) {
  nginx.AddFile("answers/" + code, e2e::CheckAnswer(code, "1.1", nginx.Url("/" + zip), md5));
}

// Two hundred silent products of one client install at once. Every start of an installer meets it busy
// once (a preloaded shim answers the first exec with ETXTBSY, as a copy of the client forked by another
// install thread does while it still holds that installer open for writing): each is started all the same,
// exactly once.
TEST(InstallPressure, TwoHundredProductsInstallingAtOnceEachStartTheirInstallerExactlyOnce) {
  if (!CSandbox::Available()) GTEST_SKIP() << kNeedsNamespace;
  const int kProducts = 200;
  qeltest::NginxServer nginx(AnswersByCode());
  ASSERT_TRUE(nginx.started());
  CInstalledSystem system;
  ASSERT_EQ(mkdir((nginx.DocRoot() + "/answers").c_str(), 0755), 0);
  // Each run adds a line to the record named after the work folder it was unpacked into.
  std::string records = system.dir.file("records");
  std::string installer = "#!/bin/sh\necho run >> " + ShellQuote(records + "/") + "\"$(basename \"$(dirname \"$0\")\")\"\n";
  std::string md5 = e2e::MakeZip(nginx.DocRoot() + "/pkg.zip", {{"setup.exe", installer, 0755}});
  ASSERT_EQ(md5.size(), 32u);
  std::vector<e2e::TProduct> products;
  for (int i = 0; i < kProducts; ++i) {
    std::string code = "M" + std::to_string(1000 + i);
    Answer(nginx, code, "pkg.zip", md5);
    e2e::TProduct product{code, system.dir.file("products/" + code + ".exe")};
    product.notifyType = 0;
    products.push_back(product);
  }
  system.WriteRegistry(nginx.Url("/checkVersionInfo.html"), products);
  std::string busy = system.dir.file("busy.log");
  CSandbox sandbox(system, {"LD_PRELOAD=" + ShellQuote(std::string(QEL_BUILD_DIR) + "/tests/libexec_busy_shim.so") +
                            " QEL_BUSY_EXEC_SUFFIX=/setup.exe QEL_BUSY_EXEC_LOG=" + ShellQuote(busy) +
                            " exec ./Tavrin.exe"});

  ASSERT_TRUE(system.WaitForLog("静默安装" + system.Temp() + "/", kProducts, std::chrono::seconds(240)))
      << Diagnosis(system);
  auto recorded = [&] {
    int done = 0;
    for (const e2e::TProduct& p : products) done += qeltest::FileExists(records + "/" + p.code) ? 1 : 0;
    return done;
  };
  EXPECT_TRUE(e2e::WaitFor([&] { return recorded() == kProducts; }, std::chrono::seconds(60)))
      << recorded() << " of " << kProducts << " installers ran" << Diagnosis(system);
  for (const e2e::TProduct& p : products)
    EXPECT_EQ(qeltest::ReadFile(records + "/" + p.code), "run\n") << p.code;
  EXPECT_EQ(qeltest::ReadFile(busy).size(), static_cast<size_t>(kProducts)) << "every start met its installer busy";
  EXPECT_EQ(system.LogCount("启动安装包失败"), 0u) << Diagnosis(system);
}

// The client is killed the moment its installer starts; the watchdog starts a new one, which checks at once,
// finds the update again and must leave the running installer alone.
TEST(InstallPressure, AClientRestartedWhileItsInstallerRunsNeverStartsASecondOne) {
  if (!CSandbox::Available()) GTEST_SKIP() << kNeedsNamespace;
  qeltest::NginxServer nginx(AnswersByCode());
  ASSERT_TRUE(nginx.started());
  CInstalledSystem system;
  ASSERT_EQ(mkdir((nginx.DocRoot() + "/answers").c_str(), 0755), 0);
  std::string record = system.Record("setup");
  std::string release = system.dir.file("release");
  // The installer runs until the test lets it end (a minute at most).
  std::string installer = "#!/bin/sh\necho start >> " + ShellQuote(record) + "\ni=0\nwhile [ ! -f " +
                          ShellQuote(release) + " ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done\necho end >> " +
                          ShellQuote(record) + "\n";
  std::string md5 = e2e::MakeZip(nginx.DocRoot() + "/pkg.zip", {{"setup.exe", installer, 0755}});
  ASSERT_EQ(md5.size(), 32u);
  Answer(nginx, "KR", "pkg.zip", md5);
  std::string product = system.MakeProduct("Restarted.exe");
  e2e::TProduct registered{"KR", product};
  registered.notifyType = 0;
  system.WriteRegistry(nginx.Url("/checkVersionInfo.html"), {registered});
  CSandbox sandbox(system, {ShellQuote(product) + " 600", "exec ./TavrinDaemon.exe"});

  ASSERT_TRUE(e2e::WaitFor([&] { return qeltest::ReadFile(record) == "start\n"; }, std::chrono::seconds(60)))
      << Diagnosis(system);
  std::vector<pid_t> clients = e2e::ProcessesOf(system.Client());
  ASSERT_EQ(clients.size(), 1u) << Diagnosis(system);
  ASSERT_EQ(kill(clients[0], SIGKILL), 0);

  std::string waiting = "安装程序仍在运行，等待下次检查：" + system.WorkFolder("KR") + "-->";
  EXPECT_TRUE(system.WaitForLog(waiting)) << "the new client found the installer running" << Diagnosis(system);
  EXPECT_EQ(qeltest::ReadFile(record), "start\n") << "no second installer beside the first";
  EXPECT_EQ(system.LogCount("关闭进程"), 1u) << "the product was closed once, by the first client";
  EXPECT_EQ(system.LogCount("静默安装" + system.WorkFolder("KR") + "/setup.exe-->"), 1u) << Diagnosis(system);

  qeltest::WriteFile(release, "");
  EXPECT_TRUE(e2e::WaitFor([&] { return qeltest::ReadFile(record) == "start\nend\n"; })) << Diagnosis(system);
}

}  // namespace
