// Installation against real peers: nginx serves the check answer and the package, the products are real
// processes, the installers are scripts that record how they were started, and the client's own update goes
// through its batch file and qelcmd inside a process namespace of its own, so that no other Tavrin.exe on
// the machine is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.h"
#include "nginx_server.h"
#include "package_support.h"
#include "qelhttp/http_download.hpp"
#include "qelplat/lasterror.h"
#include "qelplat/process.h"
#include "VersionInfo.h"

namespace {

using enginetest::CLogCapture;
using enginetest::KeptProduct;
using enginetest::MakeProgram;
using enginetest::MakeZip;
using enginetest::PlaceDownloadedPackage;
using enginetest::RecorderScript;
using enginetest::WaitForFile;

struct TProgress {
  std::string path;
  int32_t file_size;
  int32_t bytes;
};

std::mutex g_lock;
std::vector<std::string> g_messages;
std::vector<TProgress> g_progress;

void Capture(EMsgType type, void* payload) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (type == EMSG_PROGRESS) {
    auto* info = static_cast<CHttpDownload::progress_info*>(payload);
    g_progress.push_back({std::string(info->path, strnlen(info->path, sizeof info->path)), info->file_size,
                          info->bytes_downloaded});
    return;
  }
  std::string text = std::to_string(type) + " ";
  if (type == EMSG_STATUS) text += static_cast<const char*>(payload);
  g_messages.push_back(text);
}

std::vector<std::string> Messages() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_messages;
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& text) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos) return i;
  return lines.size();
}

std::string Answer(const std::string& url, const std::string& md5) {
  return "{\"result\":\"success\",\"product_code\":\"P1\",\"product_version\":\"1.1\",\"setup_url\":\"" + url +
         "\",\"setup_md5\":\"" + md5 + "\",\"update_url\":\"\",\"update_md5\":\"\"}";
}

bool WaitForVersion(CProductInfo& product, const std::string& version) {
  for (int i = 0; i < 3000 && product.CurrentVersion() != version; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return product.CurrentVersion() == version;
}

std::string Cwd() {
  char cwd[4096];
  return getcwd(cwd, sizeof cwd) ? cwd : "";
}

TEST(Install, SilentRoadFetchesClosesUnpacksOnceAndStartsTheInstallerQuietly) {
  qeltest::TempDir dir("install");
  CLogCapture log;
  g_messages.clear();
  // Slow enough that the downloader reports progress at least once.
  qeltest::NginxServer nginx("location /slow/ { limit_rate 60k; }");
  ASSERT_TRUE(nginx.started());
  ASSERT_EQ(mkdir((nginx.DocRoot() + "/slow").c_str(), 0755), 0);
  std::string record = dir.file("record");
  std::string md5 = MakeZip(nginx.DocRoot() + "/slow/pkg.zip",
                            {{"setup.exe", RecorderScript(record), 0755}, {"filler.bin", "", 0644, 100000}});
  ASSERT_EQ(md5.size(), 32u);
  std::string url = nginx.Url("/slow/pkg.zip");
  nginx.AddFile("checkVersionInfo.html", Answer(url, md5));

  // The product's file name holds a blank and a letter beyond ASCII.
  ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
  std::string program = dir.file("bin/My Prod é.exe");
  MakeProgram(program);
  qeltest::ChildProcess running({program, "600"});

  CProductInfo& product = KeptProduct();
  product.SetCallback(Capture);
  product.SetBaseFolder(dir.path() + "/");
  product.SetServerUrl(nginx.Url("/checkVersionInfo.html"));
  TProductInfo rec = enginetest::Record("P1", program);
  rec.notify_type = 0;
  rec.download_retry_count = 3;
  ASSERT_TRUE(product.SetProductInfo(&rec, true));
  std::string work = product.WorkFolder();
  std::string zip = work + "/" + md5 + ".zip";

  product.CheckUpdate(CHECK_AS_CONFIGURED, true);
  ASSERT_TRUE(WaitForVersion(product, "1.1")) << log.All();
  ASSERT_TRUE(WaitForFile(record)) << log.All();
  EXPECT_EQ(qeltest::ReadFile(record), Cwd() + "\n[/verysilent]\n[/norestart]\n");
  EXPECT_EQ(running.Wait(std::chrono::seconds(10)), 128 + 9) << "the product was closed first";
  EXPECT_FALSE(qeltest::FileExists(zip)) << "unpacked, then deleted";
  EXPECT_TRUE(qeltest::FileExists(work + "/setup.exe"));
  EXPECT_TRUE(qeltest::FileExists(work + "/filler.bin"));
  std::string access = nginx.AccessLog();
  EXPECT_EQ(access.find("/slow/pkg.zip|bytes=0-|"), access.find("/slow/pkg.zip")) << access;
  EXPECT_EQ(access.find("/slow/pkg.zip", access.find("/slow/pkg.zip") + 1), std::string::npos) << access;

  std::vector<std::string> messages = Messages();
  std::vector<std::string> expected = {
      "1 产品P1检查更新",
      "1 产品P1开始第1/3次下载，URL:" + url + "，本地存储:" + zip,
      "1 产品P1下载文件完成",
      "1 产品P1静默安装更新到1.1版本",
  };
  std::vector<std::string> seen;
  for (const std::string& m : messages)
    if (std::find(expected.begin(), expected.end(), m) != expected.end()) seen.push_back(m);
  EXPECT_EQ(seen, expected);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    ASSERT_FALSE(g_progress.empty());
    long size = static_cast<long>(qeltest::ReadFile(nginx.DocRoot() + "/slow/pkg.zip").size());
    EXPECT_EQ(g_progress.back().path, zip);
    EXPECT_EQ(g_progress.back().file_size, size);
    EXPECT_LE(g_progress.back().bytes, size);
  }
  std::vector<std::string> lines = log.Lines();
  size_t closing = IndexOf(lines, "[16] 关闭进程，进程文件" + program + "-->file:ProductInfo.cpp,");
  size_t starting = IndexOf(lines, "[16] 静默安装" + work + "/setup.exe-->file:ProductInfo.cpp,");
  ASSERT_LT(closing, lines.size()) << log.All();
  ASSERT_LT(starting, lines.size()) << log.All();
  EXPECT_LT(closing, starting);
  EXPECT_NE(lines[closing].find(",func:CProductInfo::TryTerminateProcess"), std::string::npos);
  EXPECT_NE(lines[starting].find(",func:CProductInfo::DoUpdate"), std::string::npos);
  EXPECT_TRUE(log.Contains("[16] 创建目录失败：" + work + "已存在-->")) << log.All();
  EXPECT_TRUE(log.Contains(",func:CProductInfo::DoUpdate"));

  // The next check finds the version in place.
  product.CheckUpdate(CHECK_AS_CONFIGURED, true);
  EXPECT_EQ(Messages().back(), "1 产品P1无更新");
}

// The update client's host process: engine_host copied as Tavrin.exe into dir, with a log configuration
// beside it; nginx serves its package (an installer that writes record) and the answer naming it. Returns
// the package's MD5.
std::string ServeClientPackage(const qeltest::TempDir& dir, const qeltest::NginxServer& nginx,
                               const std::string& record) {
  std::string md5 = MakeZip(nginx.DocRoot() + "/client.zip", {{"setup.exe", RecorderScript(record), 0755}});
  nginx.AddFile("checkVersionInfo.html",
                "{\"result\":\"success\",\"product_code\":\"TV\",\"product_version\":\"1.1\",\"setup_url\":\"" +
                    nginx.Url("/client.zip") + "\",\"setup_md5\":\"" + md5 + "\"}");
  std::string client = dir.file("Tavrin.exe");
  qeltest::WriteFile(client, qeltest::ReadFile(std::string(QEL_TEST_BIN_DIR) + "/engine_host"));
  chmod(client.c_str(), 0755);
  qeltest::WriteFileLogConfig(dir.path());
  return md5;
}

// The update client registered as a product.
TEST(Install, TheClientUpdatesItselfThroughItsBatchFile) {
  if (qeltest::RunCommand("unshare -p -f --mount-proc true") != 0)
    GTEST_SKIP() << "needs a process namespace: the batch ends every Tavrin.exe it can see";
  qeltest::TempDir dir("selfupdate");
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  std::string record = dir.file("record");
  std::string md5 = ServeClientPackage(dir, nginx, record);
  ASSERT_EQ(md5.size(), 32u);
  std::string client = dir.file("Tavrin.exe");
  // A "%" in the temporary folder must reach the installer's path through the batch file unchanged.
  std::string temp = dir.file("temp 50%");
  std::string registry = dir.file("registry");
  ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(registry.c_str(), 0700), 0);
  qeltest::WriteFile(registry + "/HKEY_CURRENT_USER.reg",
                     enginetest::Hive("[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"" +
                                      nginx.Url("/checkVersionInfo.html") + "\"\r\n\r\n" +
                                      enginetest::ProductKey("HKEY_CURRENT_USER", "TV",
                                                             "\"code\"=\"TV\"\r\n\"current_version\"=\"1.0\"\r\n"
                                                             "\"execute_file\"=\"" + client + "\"\r\n"
                                                             "\"notify_type\"=\"0\"\r\n"
                                                             "\"download_retry_count\"=\"1\"\r\n")));
  // The namespace's first process outlives the client, until the installer has written its record.
  std::string inner = "env QEL_REGISTRY_DIR='" + registry + "' TMPDIR='" + temp + "' LD_LIBRARY_PATH='" +
                      QEL_BIN_DIR + "' '" + client + "' service never-seen 60000 > '" + dir.file("host.out") +
                      "' 2>&1; echo host-status=$?; i=0; while [ ! -f '" + record +
                      "' ] && [ $i -lt 2000 ]; do sleep 0.01; i=$((i+1)); done";
  qeltest::WriteFile(dir.file("inner.sh"), inner + "\n");
  std::string output;
  qeltest::RunCommand("cd / && unshare -p -f --mount-proc /bin/sh '" + dir.file("inner.sh") + "'", &output);
  std::string hostLog = qeltest::ReadFile(dir.file("out.log"));
  EXPECT_NE(output.find("host-status=137"), std::string::npos)
      << "the batch ended the client: " << output << qeltest::ReadFile(dir.file("host.out")) << hostLog;
  ASSERT_TRUE(qeltest::FileExists(record)) << hostLog;
  std::string started = qeltest::ReadFile(record);
  EXPECT_EQ(std::count(started.begin(), started.end(), '\n'), 1) << "started without arguments: " << started;

  std::string work = temp + "/TV";
  EXPECT_EQ(qeltest::ReadFile(work + "/SelfUpdate.bat"),
            "taskkill /F /IM Tavrin.exe\r\nstart \"\" \"" + dir.file("temp 50%%/TV/setup.exe") + "\"");
  EXPECT_NE(hostLog.find("更新客户端自升级-->"), std::string::npos) << hostLog;
  EXPECT_EQ(hostLog.find("关闭进程"), std::string::npos) << "the client is never closed by the engine itself";
  EXPECT_FALSE(qeltest::FileExists(work + "/" + md5 + ".zip"));
}

// TMPDIR is the user's to set, and a quote in it would end the batch file's quoted installer path early: the
// batch would start whatever the path's first part names, after it had ended the client. A product code with
// a character Windows forbids in file names is skipped like any code that is no folder name.
TEST(Install, TheClientUpdatesItselfOnlyThroughAPathItCanQuote) {
  if (qeltest::RunCommand("unshare -p -f --mount-proc true") != 0)
    GTEST_SKIP() << "needs a process namespace: the batch ends every Tavrin.exe it can see";
  qeltest::TempDir dir("selfquote");
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  std::string record = dir.file("record");
  ASSERT_EQ(ServeClientPackage(dir, nginx, record).size(), 32u);
  std::string client = dir.file("Tavrin.exe");
  // The path's first part: a program of someone else's choosing.
  std::string planted = dir.file("planted-record");
  qeltest::WriteFile(dir.file("q"), RecorderScript(planted));
  chmod(dir.file("q").c_str(), 0755);
  std::string temp = dir.file("q\" \"x");
  std::string registry = dir.file("registry");
  ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(registry.c_str(), 0700), 0);
  // Sub-keys list in reverse: the client's own product comes last, after every refused code was said.
  std::string products = enginetest::ProductKey("HKEY_CURRENT_USER", "00",
                                                "\"code\"=\"TV\"\r\n\"current_version\"=\"1.0\"\r\n"
                                                "\"execute_file\"=\"" + client + "\"\r\n\"notify_type\"=\"0\"\r\n"
                                                "\"download_retry_count\"=\"1\"\r\n");
  const std::string forbidden = "<>:\"|?*";
  for (size_t i = 0; i < forbidden.size(); ++i) {
    std::string code = std::string("B") + (forbidden[i] == '"' ? "\\\"" : std::string(1, forbidden[i])) + "C";
    products += enginetest::ProductKey("HKEY_CURRENT_USER", "B" + std::to_string(i),
                                       "\"code\"=\"" + code + "\"\r\n\"current_version\"=\"1.0\"\r\n"
                                       "\"execute_file\"=\"/opt/b\"\r\n\"check_retry_count\"=\"0\"\r\n");
  }
  qeltest::WriteFile(registry + "/HKEY_CURRENT_USER.reg",
                     enginetest::Hive("[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"" +
                                      nginx.Url("/checkVersionInfo.html") + "\"\r\n\r\n" + products));
  // A client that was ended waits, in its namespace, for what the batch started.
  std::string inner = "env QEL_REGISTRY_DIR='" + registry + "' TMPDIR='" + temp + "' LD_LIBRARY_PATH='" + QEL_BIN_DIR +
                      "' '" + client + "' service '创建BAT文件失败' 60000 > '" + dir.file("host.out") +
                      "' 2>&1; s=$?; echo host-status=$s; i=0; while [ $s -ne 0 ] && [ ! -f '" + planted +
                      "' ] && [ $i -lt 2000 ]; do sleep 0.01; i=$((i+1)); done";
  qeltest::WriteFile(dir.file("inner.sh"), inner + "\n");
  std::string output;
  qeltest::RunCommand("cd / && unshare -p -f --mount-proc /bin/sh '" + dir.file("inner.sh") + "'", &output);
  std::string hostLog = qeltest::ReadFile(dir.file("out.log"));
  EXPECT_NE(output.find("host-status=0"), std::string::npos) << "the client was not ended: " << output << hostLog;
  EXPECT_FALSE(qeltest::FileExists(planted)) << "the planted program never starts";
  EXPECT_FALSE(qeltest::FileExists(record));
  EXPECT_FALSE(qeltest::FileExists(temp + "/TV/SelfUpdate.bat"));
  EXPECT_NE(hostLog.find("安装包路径含有双引号或控制字符，无法在批处理文件中安全引用，不写入批处理文件：" + temp +
                         "/TV/setup.exe-->"),
            std::string::npos)
      << hostLog;
  EXPECT_NE(hostLog.find("更新客户端自升级，创建BAT文件失败-->"), std::string::npos) << hostLog;
  for (char c : forbidden) {
    std::string code = std::string("B") + c + "C";
    EXPECT_NE(hostLog.find("产品编号不是有效的文件夹名，已跳过：产品编号：" + code + "-->"), std::string::npos) << code;
    EXPECT_FALSE(qeltest::FileExists(temp + "/" + code)) << code;
  }
}

TEST(Install, ConsentRoadThroughTheExportsStartsTheInstallerPlainly) {
  enginetest::CHost host;
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  std::string record = host.dir.file("record");
  std::string md5 = MakeZip(nginx.DocRoot() + "/pkg.zip", {{"setup.exe", RecorderScript(record), 0755}});
  ASSERT_EQ(md5.size(), 32u);
  nginx.AddFile("checkVersionInfo.html", Answer(nginx.Url("/pkg.zip"), md5));
  std::string program = host.dir.file("Consent Prod é.exe");
  MakeProgram(program);
  qeltest::ChildProcess running({program, "600"});
  qeltest::WriteFile(host.registry + "/HKEY_CURRENT_USER.reg",
                     enginetest::Hive("[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"" +
                                      nginx.Url("/checkVersionInfo.html") + "\"\r\n\r\n" +
                                      enginetest::ProductKey("HKEY_CURRENT_USER", "P1",
                                                             "\"code\"=\"P1\"\r\n\"current_version\"=\"1.0\"\r\n"
                                                             "\"execute_file\"=\"" + program + "\"\r\n"
                                                             "\"notify_type\"=\"1\"\r\n"
                                                             "\"download_retry_count\"=\"2\"\r\n"
                                                             "\"download_retry_timespan\"=\"0\"\r\n")));
  std::string out = host.Run("service '启动安装包成功' 30000", "ENGINE_HOST_AGREE=1");
  EXPECT_NE(out.find("MSG 3 P1 1.1 setup.exe " + nginx.Url("/pkg.zip") + "\nBLOCK running=1 downloaded=0\nAGREE 1\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("SEEN"), std::string::npos) << out << host.Log();
  ASSERT_TRUE(WaitForFile(record)) << host.Log();
  std::string started = qeltest::ReadFile(record);
  EXPECT_EQ(std::count(started.begin(), started.end(), '\n'), 1) << "no parameters: " << started;
  EXPECT_EQ(running.Wait(std::chrono::seconds(10)), 128 + 9);
  std::string log = host.Log();
  EXPECT_NE(log.find("关闭进程，进程文件" + program + "-->"), std::string::npos) << log;
  EXPECT_NE(log.find("[ERROR] 启动安装包成功-->"), std::string::npos) << log;
  EXPECT_NE(log.find("产品P1下载文件完成"), std::string::npos) << "the install thread fetched it: " << log;
}

TEST(Install, ProcessSearchResultsAndNamesThatCannotReachTaskkill) {
  qeltest::TempDir dir("terminate");
  CLogCapture log;
  CProductInfo& product = KeptProduct();
  // A name of this test's own: a kill by image name reaches every process of that name.
  std::string program = dir.file("My Searched é.exe");
  std::string percent = dir.file("50% Prod.exe");
  std::string quote = dir.file("Say \"hi\".exe");
  for (const std::string& path : {program, percent, quote}) MakeProgram(path);
  qeltest::ChildProcess running({program, "600"});
  qeltest::ChildProcess withPercent({percent, "600"});
  qeltest::ChildProcess withQuote({quote, "600"});

  EXPECT_EQ(product.TryTerminateProcess("", true), -1);
  EXPECT_EQ(product.TryTerminateProcess(dir.file("absent.exe"), true), 0);
  EXPECT_EQ(product.TryTerminateProcess(dir.file("my searched é.exe"), true), 0) << "paths compare with case";
  EXPECT_EQ(product.TryTerminateProcess(program, false), 1);
  EXPECT_EQ(product.TryTerminateProcess(percent, false), 1);
  EXPECT_EQ(product.TryTerminateProcess(percent, true), -1);
  EXPECT_EQ(GetLastError(), 123u);
  EXPECT_EQ(product.TryTerminateProcess(quote, true), -1);
  EXPECT_TRUE(withPercent.running());
  EXPECT_TRUE(withQuote.running());
  EXPECT_TRUE(running.running());
  EXPECT_FALSE(log.Contains("关闭进程")) << log.All();

  EXPECT_EQ(product.TryTerminateProcess(program, true), 2);
  EXPECT_EQ(running.Wait(std::chrono::seconds(10)), 128 + 9);
  EXPECT_TRUE(log.Contains("[16] 关闭进程，进程文件" + program + "-->file:ProductInfo.cpp,")) << log.All();
}

// The product's registered path leads to its program through a link to its folder and a link to the file,
// as a versioned installation does; the running process shows only where the links lead.
TEST(Install, AProductStartedThroughALinkIsFoundReportedRunningAndClosedBeforeItsInstaller) {
  qeltest::TempDir dir("linked");
  CLogCapture log;
  std::string real = dir.file("versions/2.0/Linked Prod " + std::to_string(getpid()) + "-2.0.exe");
  ASSERT_EQ(mkdir(dir.file("versions").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("versions/2.0").c_str(), 0755), 0);
  MakeProgram(real);
  ASSERT_EQ(symlink("versions/2.0", dir.file("current").c_str()), 0);
  ASSERT_EQ(symlink(real.c_str(), dir.file("versions/2.0/Linked Prod.exe").c_str()), 0);
  std::string registered = dir.file("current/Linked Prod.exe");
  qeltest::ChildProcess running({registered, "600"});

  CProductInfo& product = KeptProduct();
  ASSERT_EQ(mkdir(dir.file("base").c_str(), 0755), 0);
  product.SetBaseFolder(dir.file("base") + "/");
  TProductInfo rec = enginetest::Record("P1", registered);
  rec.install_mode = 2;  // the update block only: nothing sent, nothing installed
  ASSERT_TRUE(product.SetProductInfo(&rec, true));
  EXPECT_EQ(product.TryTerminateProcess(registered, false), 1);
  TVersionInfo vi;
  vi.product_version = "2.1";
  ASSERT_TRUE(product.DoNotifyUpdate(&vi, true, true));
  ASSERT_NE(product.RecordCopy().update_info, nullptr);
  EXPECT_EQ(product.RecordCopy().update_info->product_running, 1) << "the prompt's record says it runs";

  std::string record = dir.file("record");
  TUpdateInfo info;
  std::vector<enginetest::TZipEntry> entries = {{"setup.exe", RecorderScript(record), 0755}};
  ASSERT_FALSE(PlaceDownloadedPackage(dir.file("made.zip"), product.WorkFolder(), entries, "2.1", &info).empty());
  rec.install_mode = 1;
  rec.update_info = &info;
  EXPECT_TRUE(product.DoUpdate(rec));
  EXPECT_EQ(running.Wait(std::chrono::seconds(10)), 128 + 9) << log.All();
  ASSERT_TRUE(WaitForFile(record)) << log.All();
  std::vector<std::string> lines = log.Lines();
  size_t closing = IndexOf(lines, "[16] 关闭进程，进程文件" + registered + "-->");
  size_t starting = IndexOf(lines, "[16] 静默安装" + product.WorkFolder() + "/setup.exe-->");
  EXPECT_LT(closing, starting) << log.All();
  EXPECT_LT(starting, lines.size()) << log.All();
}

TEST(Install, EveryProcessIsExaminedNotOnlyTheFirstFew) {
  qeltest::TempDir dir("terminate");
  CProductInfo& product = KeptProduct();
  // 130 programs of their own: whatever order the ids come in (they wrap around), at most 125 of them lie
  // among the first 125 ids, so at least 5 lie beyond. One of those is the product searched for.
  std::vector<std::string> programs;
  std::vector<qeltest::ChildProcess> crowd;
  for (int i = 0; i < 130; ++i) {
    programs.push_back(dir.file("Crowd " + std::to_string(i) + ".exe"));
    MakeProgram(programs.back());
    crowd.emplace_back(std::vector<std::string>{programs.back(), "600"});
  }
  std::vector<DWORD> ids = qelplat::ProcessIds();
  std::string late;
  for (size_t i = 0; i < crowd.size() && late.empty(); ++i) {
    size_t index = std::find(ids.begin(), ids.end(), static_cast<DWORD>(crowd[i].pid())) - ids.begin();
    if (index >= 125 && index < ids.size()) late = programs[i];
  }
  ASSERT_FALSE(late.empty()) << "some program must lie beyond the first 125 ids";
  EXPECT_EQ(product.TryTerminateProcess(late, false), 1);
}

class InstallStep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(dir.file("base").c_str(), 0755), 0);
    product.SetBaseFolder(dir.file("base") + "/");
    ASSERT_TRUE(product.SetProductInfo(&rec, true));
    work = product.WorkFolder();
    memset(&info, 0, sizeof info);
    strcpy(info.new_version, "2.0");
    strcpy(info.package_file, "setup.exe");
  }
  // A package already in the work folder, as a check that downloaded it leaves it.
  void Package(const std::vector<enginetest::TZipEntry>& entries) {
    zip = PlaceDownloadedPackage(dir.file("made.zip"), work, entries, "2.0", &info);
    ASSERT_FALSE(zip.empty());
  }
  bool Run() {
    TProductInfo r = rec;
    r.update_info = &info;
    return product.DoUpdate(r);
  }

  qeltest::TempDir dir{"installstep"};
  CLogCapture log;
  CProductInfo& product = KeptProduct();
  TProductInfo rec = enginetest::Record("P1", "/nonexistent/p1.exe");
  TUpdateInfo info;
  std::string work;
  std::string zip;
};

TEST_F(InstallStep, NoBlockOrNoPackageTouchesNothing) {
  std::string program = dir.file("Kept Prod.exe");
  MakeProgram(program);
  qeltest::ChildProcess running({program, "600"});
  strcpy(rec.execute_file, program.c_str());
  rec.download_retry_count = 1;
  product.SetProductInfo(&rec, true);

  TProductInfo bare = rec;
  EXPECT_TRUE(product.DoUpdate(bare));
  EXPECT_TRUE(log.Contains("[16] 版本信息为空-->")) << log.All();
  EXPECT_EQ(product.CurrentVersion(), "1.0");

  std::string url = "http://127.0.0.1:" + std::to_string(qeltest::FreePort()) + "/p.zip";
  strcpy(info.package_url, url.c_str());
  strcpy(info.package_md5, std::string(32, 'A').c_str());
  EXPECT_TRUE(Run());
  EXPECT_TRUE(log.Contains("[16] 下载失败-->")) << log.All();
  EXPECT_TRUE(log.Contains("[16] 文件" + url + "下载失败-->"));
  EXPECT_TRUE(running.running()) << "no process is touched";
  EXPECT_EQ(product.CurrentVersion(), "2.0") << "the version moves on all the same";

  // A block from elsewhere naming a file of its own choosing is not a package of this engine.
  qeltest::WriteFile(dir.file("victim.txt"), "mine");
  strcpy(info.package_file, "../../victim.txt");
  info.package_downloaded = true;
  EXPECT_TRUE(Run());
  EXPECT_EQ(qeltest::ReadFile(dir.file("victim.txt")), "mine");
  EXPECT_FALSE(log.Contains("启动安装包")) << log.All();
  EXPECT_TRUE(running.running());
}

TEST_F(InstallStep, HostileNamesStayInTheWorkFolderAndNothingStarts) {
  std::string outside = "qel-escape-" + std::to_string(getpid());
  Package({{"../../escape1.txt", "1"},
           {"/tmp/" + outside + "-abs.txt", "2"},
           {"sub/../../../escape3.txt", "3"},
           {"..\\..\\escape4.txt", "4"},
           {"C:\\escape5.txt", "5"},
           {"../../../../../../../../../../tmp/" + outside + "-deep.txt", "6"}});
  EXPECT_TRUE(Run());
  std::string found;
  qeltest::RunCommand("find '" + dir.path() + "' -name 'escape*'", &found);
  for (size_t start = 0, end; start < found.size(); start = end + 1) {
    end = found.find('\n', start);
    if (end == std::string::npos) end = found.size();
    EXPECT_EQ(found.compare(start, work.size() + 1, work + "/"), 0) << found;
  }
  EXPECT_FALSE(qeltest::FileExists("/tmp/" + outside + "-abs.txt"));
  EXPECT_FALSE(qeltest::FileExists("/tmp/" + outside + "-deep.txt"));
  EXPECT_FALSE(qeltest::FileExists(zip));
  std::vector<std::string> lines = log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[16] 启动安装包失败,错误码：2"), lines.end()) << log.All();
}

TEST_F(InstallStep, APackageThatFailsToUnpackIsNeverRun) {
  std::string record = dir.file("record");
  Package({{"setup.exe", RecorderScript(record), 0755}, {"data.bin", "some data that will not check", 0644, 0, true}});
  EXPECT_TRUE(Run());
  std::vector<std::string> lines = log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[16] 解压失败. 路径: " + zip), lines.end()) << log.All();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[16] 启动安装包失败,错误码：2"), lines.end()) << log.All();
  EXPECT_FALSE(qeltest::FileExists(work + "/setup.exe"));
  EXPECT_FALSE(qeltest::FileExists(zip));
}

// A temporary folder whose name is no valid text (a Latin-1 byte in TMPDIR): the archive library gets the
// work folder as the very bytes the engine made it from, so the package unpacks there and its installer runs.
TEST_F(InstallStep, AWorkFolderWhoseNameIsNoTextUnpacksAndInstalls) {
  std::string base = dir.file("caf\xE9");
  ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
  product.SetBaseFolder(base + "/");
  ASSERT_TRUE(product.SetProductInfo(&rec, true));
  work = product.WorkFolder();
  ASSERT_EQ(work, base + "/P1");
  std::string record = dir.file("record");
  Package({{"setup.exe", RecorderScript(record), 0755}});
  EXPECT_TRUE(Run());
  EXPECT_FALSE(log.Contains("解压失败")) << log.All();
  EXPECT_TRUE(log.Contains("[16] 启动安装包成功-->")) << log.All();
  EXPECT_TRUE(WaitForFile(record)) << log.All();
  EXPECT_TRUE(qeltest::FileExists(work + "/setup.exe"));
  EXPECT_FALSE(qeltest::FileExists(zip));
}

TEST_F(InstallStep, NoProcessListMeansNoInstall) {
  std::string record = dir.file("record");
  rec.execute_file[0] = '\0';  // no executable configured: the search answers -1
  product.SetProductInfo(&rec, true);
  Package({{"setup.exe", RecorderScript(record), 0755}});
  EXPECT_TRUE(Run());
  EXPECT_TRUE(log.Contains("[16] 结束进程失败，错误代码：")) << log.All();
  EXPECT_FALSE(log.Contains("启动安装包"));
  EXPECT_FALSE(log.Contains("静默安装"));
  EXPECT_TRUE(qeltest::FileExists(work + "/setup.exe")) << "unpacked all the same";
}

TEST_F(InstallStep, ASilentStartThatFailsIsLoggedWithItsErrorNumber) {
  rec.install_mode = 1;
  product.SetProductInfo(&rec, true);
  Package({{"readme.txt", "no installer in this package"}});
  EXPECT_TRUE(Run());
  std::vector<std::string> lines = log.Lines();
  size_t silent = IndexOf(lines, "[16] 静默安装" + work + "/setup.exe-->");
  ASSERT_LT(silent, lines.size()) << log.All();
  EXPECT_NE(std::find(lines.begin() + static_cast<std::ptrdiff_t>(silent), lines.end(), "[16] 启动安装包失败,错误码：2"),
            lines.end())
      << log.All();
}

TEST_F(InstallStep, AProductWhoseNameCannotReachTaskkillIsLeftRunningAndItsErrorNumberLogged) {
  std::string program = dir.file("100% Kept " + std::to_string(getpid()) + ".exe");
  MakeProgram(program);
  qeltest::ChildProcess running({program, "600"});
  strcpy(rec.execute_file, program.c_str());
  product.SetProductInfo(&rec, true);
  Package({{"setup.exe", RecorderScript(dir.file("record")), 0755}});
  EXPECT_TRUE(Run());
  EXPECT_TRUE(log.Contains("[16] 结束进程失败，错误代码：123-->")) << log.All();
  EXPECT_TRUE(running.running());
  EXPECT_FALSE(log.Contains("启动安装包"));
}

TEST_F(InstallStep, SelfUpdateBatchHoldsItsTwoLinesByteForByte) {
  std::string folder = dir.file("a 50%");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  CProductInfo& other = KeptProduct();
  other.SetBaseFolder(folder + "/");
  other.SetProductInfo(&rec, true);
  std::string bat = other.WriteSelfUpdateBat(folder + "/P1/setup.exe");
  EXPECT_EQ(bat, folder + "/P1/SelfUpdate.bat");
  EXPECT_EQ(qeltest::ReadFile(bat), "taskkill /F /IM Tavrin.exe\r\nstart \"\" \"" + dir.file("a 50%%") + "/P1/setup.exe\"");
  ASSERT_EQ(unlink(bat.c_str()), 0);
  ASSERT_EQ(rmdir((folder + "/P1").c_str()), 0);
  EXPECT_EQ(other.WriteSelfUpdateBat(folder + "/P1/setup.exe"), "");
}

}  // namespace
