// The update check against a real server: nginx serves the answer as a static file and logs the exact
// query; the scripted server gives the bad answers.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Globals.h"
#include "ProductInfo.h"
#include "engine_test_support.h"
#include "nginx_server.h"
#include "scripted_server.h"

namespace {

using enginetest::CLogCapture;

std::mutex g_lock;
std::vector<std::string> g_messages;

void Capture(EMsgType type, void* payload) {
  std::string text = std::to_string(type) + " ";
  if (type == EMSG_STATUS || type == EMSG_FATAL) text += static_cast<const char*>(payload);
  if (type == EMSG_UPDATE_READY) {
    auto* rec = static_cast<TProductInfo*>(payload);
    text += std::string(rec->code) + " " + rec->update_info->new_version + " " + rec->update_info->package_file +
            " " + rec->update_info->package_url;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  g_messages.push_back(text);
}

std::vector<std::string> Messages() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_messages;
}

int Count(const std::string& prefix) {
  int n = 0;
  for (const std::string& m : Messages()) n += m.compare(0, prefix.size(), prefix) == 0;
  return n;
}

std::string Answer(const std::string& version, const std::string& update_url = "http://h/u.zip",
                   const std::string& code = "P1") {
  return "{\"result\":\"success\",\"product_code\":\"" + code + "\",\"product_name\":\"产品\",\"product_version\":\"" +
         version + "\",\"update_time\":\"2026-12-01\",\"update_description\":\"一#二\",\"setup_url\":\"http://h/s.zip\","
         "\"setup_md5\":\"0123456789ABCDEF0123456789ABCDEF\",\"update_url\":\"" + update_url +
         "\",\"update_md5\":\"FEDCBA9876543210FEDCBA9876543210\",\"update_type\":0}";
}

class Check : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.started());
    g_messages.clear();
    memset(&rec, 0, sizeof rec);
    strcpy(rec.code, "P1");
    strcpy(rec.current_version, "1.2");
    strcpy(rec.execute_file, "/opt/p1");
    rec.notify_type = 1;
    rec.check_timespan = 60;
    rec.check_retry_count = 3;
    rec.check_retry_timespan = 0;
    rec.download_retry_count = 1;
    rec.download_failed_max_count = 5;
    SetClientIdentity("00-11-22-33-44-55", "10.0.0.2");
  }
  // One check of the product against the answer; returns nginx's log of it.
  std::string Run(const std::string& answer, const std::string& server_url = "") {
    server.AddFile("checkVersionInfo.html", answer);
    product.SetCallback(Capture);
    product.SetBaseFolder(dir.path() + "/");
    product.SetServerUrl(server_url.empty() ? server.Url("/checkVersionInfo.html") : server_url);
    product.SetProductInfo(&rec, true);
    product.CheckUpdate(CHECK_AS_CONFIGURED, false);
    return server.AccessLog();
  }
  qeltest::NginxServer server;
  qeltest::TempDir dir;
  CLogCapture log;
  CProductInfo product;
  TProductInfo rec;
};

TEST_F(Check, RequestCarriesTheSixKeysAndAnEqualVersionIsNoUpdate) {
  Run(Answer("1.2"));
  const std::string line = "/checkVersionInfo.html?product_code=P1&product_version=1.2&Client_id=00-11-22-33-44-55"
                           "&Client_ip=10.0.0.2&download_type=0&download_version=1.0.1|-|qelhttp/2.9.9|200";
  // The check ends where the answer's length says, which may be before nginx has logged the request.
  EXPECT_TRUE(qeltest::WaitUntil([&] { return server.AccessLog().find(line) != std::string::npos; },
                                 std::chrono::seconds(10)))
      << server.AccessLog();
  EXPECT_EQ(Messages(), (std::vector<std::string>{"1 产品P1检查更新", "1 产品P1无更新"}));
  EXPECT_TRUE(log.Contains("[16] " + server.Url("/checkVersionInfo.html?product_code=P1")));
  EXPECT_TRUE(log.Contains("[2] 发送请求内容：" + server.Url("/checkVersionInfo.html?")));
  EXPECT_TRUE(log.Contains("[16] 获取版本信息成功\n" + std::string(46, ' ') + "产品编号：P1\n"));
  EXPECT_TRUE(log.Contains(std::string(46, ' ') + "更新包MD5：FEDCBA9876543210FEDCBA9876543210-->file:ProductInfo.cpp"));
  EXPECT_TRUE(log.Contains("[16] 无更新-->"));
}

TEST_F(Check, VersionsCompareAsBytes) {
  struct Case {
    const char* server;
    const char* installed;
    bool update;
  } cases[] = {{"1.10", "1.9", false}, {"1.9.1", "1.9", true}, {"1.0", "1.0", false}, {"2.0", "10.0", true}};
  for (const Case& c : cases) {
    g_messages.clear();
    strcpy(rec.current_version, c.installed);
    Run(Answer(c.server));
    EXPECT_EQ(Count("3 P1"), c.update ? 1 : 0) << c.server << " against " << c.installed;
  }
}

TEST_F(Check, ConsentModeGetsTheIncrementalOrTheFullPackage) {
  Run(Answer("1.3"));
  EXPECT_EQ(Messages().back(), "3 P1 1.3 update.exe http://h/u.zip");
  EXPECT_TRUE(log.Contains("产品P1有增量更新,当前版本号：1.2,最新版本号：1.3,更新包URL：http://h/u.zip,更新包MD5：FEDC"));
  g_messages.clear();
  Run(Answer("1.3", ""));
  EXPECT_EQ(Messages().back(), "3 P1 1.3 setup.exe http://h/s.zip");
  EXPECT_TRUE(log.Contains("产品P1有跨版本更新,当前版本号：1.2,最新版本号：1.3,安装包URL：http://h/s.zip"));
  EXPECT_NE(std::find(Messages().begin(), Messages().end(), "1 产品P1正常安装更新到1.3版本"), Messages().end());
}

TEST_F(Check, OtherNotifyTypesAndFailedDownloads) {
  rec.notify_type = 7;
  Run(Answer("1.3"));
  EXPECT_EQ(Count("3 "), 0) << "an unknown mode does nothing with the update";
  g_messages.clear();
  rec.notify_type = 2;
  Run(Answer("1.3"));
  EXPECT_EQ(product.DownloadFailedCount(), 1);
  EXPECT_TRUE(log.Contains("连续1" + std::string(62, ' ') + "次下载失败，URL：http://h/u.zip")) << log.All();
  g_messages.clear();
  rec.notify_type = 1;
  rec.download_failed_count = 9;
  Run(Answer("1.3"));
  EXPECT_EQ(Count("3 P1"), 2) << "the chosen package, then the full one after too many failures";
  EXPECT_EQ(Messages().back(), "3 P1 1.3 setup.exe http://h/s.zip");
  EXPECT_TRUE(log.Contains("连续9" + std::string(54, ' ') + "次下载失败，URL：http://h/u.zip"));
  EXPECT_EQ(product.DownloadFailedCount(), 0);
}

TEST_F(Check, NoAttemptsAnswersForAnotherProductAndRefusals) {
  rec.check_retry_count = 0;
  EXPECT_EQ(Run(Answer("1.3")), "") << "no request at all";
  EXPECT_EQ(Messages().back(), "1 产品P1版本信息为空");
  g_messages.clear();
  rec.check_retry_count = 3;
  std::string access = Run(Answer("1.3", "x", "P2"));
  EXPECT_EQ(Messages().back().find("1 产品P1更新异常,URL:" + server.Url("/checkVersionInfo.html?product_code=P1")), 0u)
      << Messages().back();
  EXPECT_NE(Messages().back().find(",异常描述:返回结果不是需要的产品信息"), std::string::npos);
  g_messages.clear();
  Run("{\"result\":\"Success\"}");
  EXPECT_EQ(Count("1 产品P1版本信息为空"), 1);
  EXPECT_TRUE(log.Contains("[16] 响应成功，返回内容：{\"result\":\"Success\"}"));
  g_messages.clear();
  Run("{\"result\":\"success\",\"product_code\":7}");
  EXPECT_NE(Messages().back().find("更新异常"), std::string::npos) << "a wrong type ends the check";
}

TEST_F(Check, ABadAnswerIsRetriedOnAFreshConnection) {
  qeltest::TScript bad = {qeltest::TScriptStep::ReadHead(),
                          qeltest::TScriptStep::SendBytes("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nnope!"),
                          qeltest::TScriptStep::CloseNow()};
  std::string good_body = Answer("1.2");
  qeltest::TScript good = {qeltest::TScriptStep::ReadHead(),
                           qeltest::TScriptStep::SendBytes("HTTP/1.1 200 OK\r\nContent-Length: " +
                                                           std::to_string(good_body.size()) + "\r\n\r\n" + good_body),
                           qeltest::TScriptStep::CloseNow()};
  qeltest::ScriptedServer scripted({bad, good});
  Run("", scripted.Url("/checkVersionInfo.html"));
  EXPECT_EQ(scripted.Received().size(), 2u) << "one connection per attempt, and none after a good answer";
  EXPECT_TRUE(log.Contains("[16] 返回数据格式不正确，返回内容：nope!"));
  EXPECT_EQ(Messages().back(), "1 产品P1无更新");
}

TEST_F(Check, AnUnreachableServerIsReportedPerAttempt) {
  rec.check_retry_count = 2;
  unsigned short closed = qeltest::FreePort();
  Run("", "http://127.0.0.1:" + std::to_string(closed) + "/c");
  // The message text follows the process locale, which the logger sets.
  EXPECT_EQ(Count("1 产品P1连接服务器失败：错误代码:111，错误描述:"), 2) << Messages()[1];
  EXPECT_EQ(Messages().back(), "1 产品P1版本信息为空");
}

}  // namespace
