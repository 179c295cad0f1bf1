// The service pass against real peers: the engine loaded by a host program, nginx as the update server. A
// product busy with a package that trickles in holds no other product back, neither at the pass that starts
// its check nor at a later one; a pass makes the products' base folder only when a product needs it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "engine_test_support.h"
#include "nginx_server.h"
#include "package_support.h"

namespace {

// The product key's values: its code, version and executable, and a check that downloads before it tells.
std::string ProductValues(const std::string& code, const std::string& version) {
  return "\"code\"=\"" + code + "\"\r\n\"current_version\"=\"" + version + "\"\r\n\"execute_file\"=\"/opt/" + code +
         ".exe\"\r\n\"notify_type\"=\"2\"\r\n";
}

// nginx as the update server: each product's answer is the file named after its code, naming version 1.1 in
// one package that nginx sends at 1 KiB/s, slower than anyone waits and faster than the stall limit.
class CTrickleServer {
 public:
  explicit CTrickleServer(size_t packageBytes)
      : nginx("location /slow/ { limit_rate 1k; }\n"
              "location = /checkVersionInfo.html { default_type text/html; try_files /answers/$arg_product_code "
              "=404; }") {
    if (!nginx.started() || mkdir((nginx.DocRoot() + "/slow").c_str(), 0755) != 0 ||
        mkdir((nginx.DocRoot() + "/answers").c_str(), 0755) != 0)
      return;
    md5 = enginetest::MakeZip(nginx.DocRoot() + "/slow/pkg.zip", {{"setup.exe", "", 0755, packageBytes}});
  }
  bool Ready() const { return md5.size() == 32; }
  void Answer(const std::string& code) const {
    nginx.AddFile("answers/" + code, "{\"result\":\"success\",\"product_code\":\"" + code +
                                         "\",\"product_version\":\"1.1\",\"setup_url\":\"" +
                                         nginx.Url("/slow/pkg.zip") + "\",\"setup_md5\":\"" + md5 + "\"}");
  }
  // The main key of the user's registry, naming this server.
  std::string MainKey() const {
    return "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"" + nginx.Url("/checkVersionInfo.html") +
           "\"\r\n\r\n";
  }

  qeltest::NginxServer nginx;
  std::string md5;
};

// Forty products whose packages trickle in for minutes are walked before a product that is current: each of
// them holds its work lock for its whole first check, and the pass that starts their checks must not wait
// for any of them.
TEST(ServicePass, EveryProductsFirstCheckStartsAtOnceWhateverTheOthersAreDoing) {
  enginetest::CHost host;
  CTrickleServer server(64 * 1024);
  ASSERT_TRUE(server.Ready());
  server.Answer("A0");
  // Codes are walked from the last in order to the first: A0 comes after every T.
  std::string products;
  for (int i = 1; i <= 40; ++i) {
    std::string code = (i < 10 ? "T0" : "T") + std::to_string(i);
    server.Answer(code);
    products += enginetest::ProductKey("HKEY_CURRENT_USER", code, ProductValues(code, "1.0"));
  }
  products += enginetest::ProductKey("HKEY_CURRENT_USER", "A0", ProductValues("A0", "1.1"));
  qeltest::WriteFile(host.registry + "/HKEY_CURRENT_USER.reg", enginetest::Hive(server.MainKey() + products));
  // The host gives the service 5 s from its start to see A0 checked.
  std::string out = host.Run("service '产品A0无更新' 5000");
  EXPECT_NE(out.find("SEEN"), std::string::npos) << out << host.Log();
}

// The package holds its product's work lock for the whole download. The registry then gains a product; the
// next pass (a second start of the service runs one at once) must check it, coming back to the busy product
// later instead of waiting for it.
TEST(ServicePass, AProductAddedWhileAnotherTricklesInIsCheckedAtTheNextPass) {
  enginetest::CHost host;
  // Half an hour at that rate.
  CTrickleServer server(2 << 20);
  ASSERT_TRUE(server.Ready());
  server.Answer("T1");
  server.Answer("A1");
  const std::string busy = enginetest::ProductKey("HKEY_CURRENT_USER", "T1", ProductValues("T1", "1.0"));
  qeltest::WriteFile(host.registry + "/HKEY_CURRENT_USER.reg", enginetest::Hive(server.MainKey() + busy));
  // A1 is walked after T1 (the last sub-key comes first), and is current: its check ends at once.
  std::string hive = host.dir.file("next.reg");
  const std::string added = enginetest::ProductKey("HKEY_CURRENT_USER", "A1", ProductValues("A1", "1.1"));
  qeltest::WriteFile(hive, enginetest::Hive(server.MainKey() + busy + added));

  std::string out = host.Run("again '产品T1开始第1/' '" + hive + "' '产品A1无更新' 10000");
  EXPECT_NE(out.find("HIVE 1"), std::string::npos) << out << host.Log();
  EXPECT_NE(out.find("SEEN"), std::string::npos) << "the new product was checked" << out << host.Log();
  EXPECT_NE(out.find("MSG 2 T1,A1"), std::string::npos) << "the pass read the registry's change" << out;
  EXPECT_NE(host.Log().find("产品T1正在检查或安装，本轮不更新其设置，下轮再试-->"), std::string::npos) << host.Log();
  EXPECT_EQ(host.Log().find("产品T1下载文件完成"), std::string::npos) << "the package was still trickling in";
}

// The base folder is the temporary folder when it can be used, else one the engine makes: a pass makes it
// (and says what it passed over) only when a product comes that gets a work folder, after the product list
// has gone to the host and after what the records before that product gave to say.
TEST(ServicePass, ABaseFolderIsMadeOnlyForAProductThatNeedsOne) {
  enginetest::CHost host;
  // A temporary folder anyone may write to, and no sticky bit: the engine turns to the private folder in the
  // home, which it makes.
  std::string open = host.dir.file("open");
  std::string home = host.dir.file("home");
  ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  const std::string env = "TMPDIR='" + open + "' HOME='" + home + "' XDG_CACHE_HOME=";
  const std::string main = "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"http://127.0.0.1:" +
                           std::to_string(qeltest::FreePort()) + "/checkVersionInfo.html\"\r\n\r\n";
  const std::string registry = host.registry + "/HKEY_CURRENT_USER.reg";

  qeltest::WriteFile(registry, enginetest::Hive(main));
  std::string out = host.Run("service 'MSG 2' 10000", env);
  ASSERT_NE(out.find("SEEN"), std::string::npos) << out << host.Log();
  EXPECT_FALSE(qeltest::FileExists(home + "/.cache")) << "nothing to look after, nothing made";
  EXPECT_EQ(host.Log().find("临时目录不可用"), std::string::npos) << host.Log();

  // Z9 lacks its version and comes first; A1 is complete.
  const std::string incompleteKey =
      enginetest::ProductKey("HKEY_CURRENT_USER", "Z9", "\"code\"=\"Z9\"\r\n\"execute_file\"=\"/opt/z\"\r\n");
  const std::string completeKey = enginetest::ProductKey("HKEY_CURRENT_USER", "A1", ProductValues("A1", "1.0"));
  qeltest::WriteFile(registry, enginetest::Hive(main + incompleteKey + completeKey));
  out = host.Run("service '改用私有目录' 10000", env);
  ASSERT_NE(out.find("SEEN"), std::string::npos) << out << host.Log();
  EXPECT_TRUE(qeltest::FileExists(home + "/.cache/qel/A1")) << host.Log();
  std::string log = host.Log();
  size_t incomplete = log.find("产品信息不完整：产品编号：Z9");
  size_t refused = log.find("临时目录不可用：" + open);
  ASSERT_NE(incomplete, std::string::npos) << log;
  ASSERT_NE(refused, std::string::npos) << log;
  EXPECT_LT(incomplete, refused) << "the pass's lines come in the order of its records" << log;
}

}  // namespace
