// Downloads through real SOCKS proxies: every connection of the download, the first one and the pieces,
// opens its own tunnel (dante without authentication, microsocks with user name and password).
#include <gtest/gtest.h>

#include "dante_server.h"
#include "download_test_support.h"
#include "microsocks_server.h"
#include "nginx_server.h"

namespace {

qelhttp::proxy_settings Proxy(int type, unsigned short port, const std::string& user = "",
                              const std::string& password = "") {
  qelhttp::proxy_settings proxy;
  proxy.type = type;
  proxy.host = "127.0.0.1";
  proxy.port = port;
  proxy.username = user;
  proxy.password = password;
  return proxy;
}

TEST(DownloadSocks, OneAndSeveralConnectionsComeThroughEveryKindOfProxy) {
  qeltest::NginxServer origin;
  ASSERT_TRUE(origin.started());
  const std::string data = dltest::Content(3 * 1024 * 1024 + 17, 7);
  origin.AddFile("package.zip", data);
  qeltest::DanteServer dante;
  qeltest::MicrosocksServer micro("qel", "secret");
  ASSERT_TRUE(dante.started());
  ASSERT_TRUE(micro.started());
  qeltest::TempDir dir;
  int round = 0;
  for (const qelhttp::proxy_settings& proxy :
       {Proxy(1, dante.port()), Proxy(2, dante.port()), Proxy(3, micro.port(), "qel", "secret")}) {
    for (bool single : {true, false}) {
      SCOPED_TRACE("proxy type " + std::to_string(proxy.type) + (single ? ", one connection" : ", several"));
      qelhttp::settings settings = single ? dltest::Single() : dltest::Multi(dir, 4, 5);
      settings.piece_size = 256 * 1024;
      settings.proxy = proxy;
      const std::string target = dir.file("got" + std::to_string(++round) + ".zip");
      dltest::TRecorder recorder;
      dltest::TOutcome out = dltest::Download(origin.Url("/package.zip"), target, settings, &recorder);
      EXPECT_TRUE(out.complete) << "errors: " << recorder.Errors().size();
      EXPECT_EQ(out.size, static_cast<int64_t>(data.size()));
      EXPECT_TRUE(qeltest::ReadFile(target) == data) << "the file differs from the server's";
    }
  }
  EXPECT_NE(dante.Log().find("pass("), std::string::npos) << dante.Log();
}

}  // namespace
