// The test peers themselves, checked with curl, so a failing stream test points at the client.
#include <gtest/gtest.h>

#include "nginx_server.h"

namespace {

TEST(PeerFixtures, NginxServesFilesRedirectsAndLogsRangeAndAgent) {
  qeltest::NginxServer server("location /r { return 302 /a.txt; }");
  ASSERT_TRUE(server.started());
  server.AddFile("a.txt", "hello");
  std::string out;
  ASSERT_EQ(0, qeltest::RunCommand("curl -s -L -A qel-agent -r 1-3 " + server.Url("/r"), &out));
  EXPECT_EQ("ell", out);
  const std::string log = server.AccessLog();
  EXPECT_NE(std::string::npos, log.find("/r|bytes=1-3|qel-agent|302"));
  EXPECT_NE(std::string::npos, log.find("/a.txt|bytes=1-3|qel-agent|206"));
}

}  // namespace

#include "scripted_server.h"

namespace {

TEST(PeerFixtures, ScriptedServerPlaysSplitAnswerAndRecordsRequest) {
  using qeltest::TScriptStep;
  qeltest::TScript script{TScriptStep::ReadHead()};
  for (auto& step : qeltest::SendSplitEveryByte("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"))
    script.push_back(step);
  qeltest::ScriptedServer server({script});
  std::string out;
  ASSERT_EQ(0, qeltest::RunCommand("curl -s -A probe " + server.Url("/x"), &out));
  EXPECT_EQ("ok", out);
  ASSERT_EQ(1u, server.Received().size());
  EXPECT_NE(std::string::npos, server.Received()[0].find("GET /x HTTP/1.1"));
}

}  // namespace
