// The service pass against real peers: the engine loaded by a host program, nginx as the update server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "engine_test_support.h"
#include "nginx_server.h"
#include "package_support.h"

namespace {

// Forty products whose packages trickle in for minutes are walked before a product that is current: each of
// them holds its work lock for its whole first check, and the pass that starts their checks must not wait
// for any of them.
TEST(ServicePass, EveryProductsFirstCheckStartsAtOnceWhateverTheOthersAreDoing) {
  enginetest::CHost host;
  // Each product's answer is the file named after its code.
  qeltest::NginxServer nginx(
      "location /slow/ { limit_rate 1k; }\n"
      "location = /checkVersionInfo.html { default_type text/html; try_files /answers/$arg_product_code =404; }");
  ASSERT_TRUE(nginx.started());
  ASSERT_EQ(mkdir((nginx.DocRoot() + "/slow").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((nginx.DocRoot() + "/answers").c_str(), 0755), 0);
  std::string md5 =
      enginetest::MakeZip(nginx.DocRoot() + "/slow/pkg.zip", {{"setup.exe", "", 0755, 64 * 1024}});
  ASSERT_EQ(md5.size(), 32u);
  auto answer = [&](const std::string& code) {
    nginx.AddFile("answers/" + code, "{\"result\":\"success\",\"product_code\":\"" + code +
                                         "\",\"product_version\":\"1.1\",\"setup_url\":\"" +
                                         nginx.Url("/slow/pkg.zip") + "\",\"setup_md5\":\"" + md5 + "\"}");
  };
  answer("A0");
  // Codes are walked from the last in order to the first: A0 comes after every T.
  std::string products;
  for (int i = 1; i <= 40; ++i) {
    std::string code = (i < 10 ? "T0" : "T") + std::to_string(i);
    answer(code);
    products += enginetest::ProductKey("HKEY_CURRENT_USER", code,
                                       "\"code\"=\"" + code + "\"\r\n\"current_version\"=\"1.0\"\r\n"
                                       "\"execute_file\"=\"/opt/" + code + ".exe\"\r\n\"notify_type\"=\"2\"\r\n");
  }
  products += enginetest::ProductKey("HKEY_CURRENT_USER", "A0",
                                     "\"code\"=\"A0\"\r\n\"current_version\"=\"1.1\"\r\n"
                                     "\"execute_file\"=\"/opt/A0.exe\"\r\n\"notify_type\"=\"2\"\r\n");
  qeltest::WriteFile(host.registry + "/HKEY_CURRENT_USER.reg",
                     enginetest::Hive("[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"" +
                                      nginx.Url("/checkVersionInfo.html") + "\"\r\n\r\n" + products));
  // The host gives the service 5 s from its start to see A0 checked.
  std::string out = host.Run("service '产品A0无更新' 5000");
  EXPECT_NE(out.find("SEEN"), std::string::npos) << out << host.Log();
}

}  // namespace
