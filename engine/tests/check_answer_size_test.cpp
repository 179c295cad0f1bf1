// Oversized check answers against the real engine library in a host program: nginx feeds every product an
// answer of 20 MB. The answer is read only up to its cap, the log quotes only its start, and the host's
// memory stays bounded while forty checks run at once and falls back when they are done.
#include <gtest/gtest.h>

#include <string>

#include "engine_test_support.h"
#include "nginx_server.h"

namespace {

using enginetest::CHost;
using enginetest::ProductKey;

const int kProducts = 40;

// Runs the host with kProducts products against nginx serving answer; returns the host's output.
std::string RunChecks(CHost& host, qeltest::NginxServer& nginx, const std::string& answer) {
  qeltest::WriteFile(nginx.DocRoot() + "/checkVersionInfo.html", answer);
  std::string body = "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"" + nginx.Url("/checkVersionInfo.html") +
                     "\"\r\n\r\n";
  std::string until;
  for (int i = 1; i <= kProducts; ++i) {
    std::string code = "P" + std::to_string(i);
    body += ProductKey("HKEY_CURRENT_USER", code,
                       "\"code\"=\"" + code + "\"\r\n\"current_version\"=\"1.0\"\r\n\"execute_file\"=\"/opt/" + code +
                           "\"\r\n\"check_retry_count\"=\"2\"\r\n\"check_retry_timespan\"=\"0\"\r\n");
    until += (until.empty() ? "" : "|") + std::string("产品") + code + "版本信息为空";
  }
  qeltest::WriteFile(host.registry + "/HKEY_CURRENT_USER.reg", enginetest::Hive(body));
  return host.Run("service '" + until + "' 120000");
}

// The figure after "name=" in the host's MEMORY line, in kB; -1 when missing.
long MemoryFigure(const std::string& out, const std::string& name) {
  size_t at = out.find("MEMORY ");
  if (at == std::string::npos) return -1;
  at = out.find(name + "=", at);
  if (at == std::string::npos) return -1;
  return std::stol(out.substr(at + name.size() + 1));
}

TEST(CheckAnswer, TwentyMegabyteAnswersToFortyProductsKeepMemoryAndLogSmall) {
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  CHost idle;
  std::string small = RunChecks(idle, nginx, "{\"result\":\"busy\"}");
  ASSERT_NE(small.find("SEEN"), std::string::npos) << small << idle.Log();

  CHost host;
  std::string answer = "{\"result\":\"success\",\"update_description\":\"" + std::string(20 * 1000 * 1000, 'A');
  std::string out = RunChecks(host, nginx, answer);
  ASSERT_NE(out.find("SEEN"), std::string::npos) << out.substr(0, 4000);
  long peak = MemoryFigure(out, "peak");
  long now = MemoryFigure(out, "now");
  long idleNow = MemoryFigure(small, "now");
  ASSERT_TRUE(peak > 0 && now > 0 && idleNow > 0) << out.substr(0, 4000);
#ifndef QEL_UNDER_ASAN
  // The sanitizer's allocator keeps freed memory on purpose: the figures mean something only without it.
  EXPECT_LT(peak, 256 * 1024) << "kB at the peak of forty checks";
  EXPECT_LT(now, idleNow + 16 * 1024) << "kB after the checks, against " << idleNow << " kB after small answers";
#endif

  std::string log = host.Log();
  const std::string quoted = "返回数据格式不正确，返回内容：";
  size_t lines = 0;
  for (size_t at = log.find(quoted); at != std::string::npos; at = log.find(quoted, at + 1)) {
    size_t end = log.find('\n', at);
    EXPECT_LT(end - at, 1500u) << "a failed parse quotes only the answer's first 1 KiB";
    ++lines;
  }
  EXPECT_EQ(lines, 2u * kProducts);
  EXPECT_LT(log.size(), 2u * 1024 * 1024) << "the log of eighty failed attempts";
}

}  // namespace
