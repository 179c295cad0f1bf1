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
