// The exports as a host program calls them: the engine library loaded by a program of its own folder.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "engine_test_support.h"

namespace {

using enginetest::CHost;
using enginetest::ProductKey;

const char kUser[] = "HKEY_CURRENT_USER";

std::string Complete(const std::string& code, const std::string& extra = "") {
  return "\"code\"=\"" + code + "\"\r\n\"current_version\"=\"1." + code + "\"\r\n\"execute_file\"=\"/opt/" + code +
         "\"\r\n" + extra;
}

void WriteUser(const CHost& host, const std::string& body) {
  qeltest::WriteFile(host.registry + "/HKEY_CURRENT_USER.reg", enginetest::Hive(body));
}

std::string Main(const std::string& values) { return "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n" + values + "\r\n"; }

TEST(Exports, ProductInfoCountsListsAndFindsWithoutWritingWhereNotAsked) {
  CHost host;
  WriteUser(host, Main("") + ProductKey(kUser, "P1", Complete("P1")) + ProductKey(kUser, "P2", Complete("P2")) +
                      ProductKey(kUser, "P3", Complete("P3")));
  std::string out = host.Run("get P1");
  EXPECT_NE(out.find("COUNT 3\nLIST P3,P2,P1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("FIND 3 P1 1.P1\n"), std::string::npos) << "the record held third is found: " << out;
  EXPECT_NE(out.find("FINDNULL 3\n"), std::string::npos) << "a code with no output buffer: " << out;
  out = host.Run("get nope");
  EXPECT_NE(out.find("FIND 3 untouched \n"), std::string::npos) << out;
}

TEST(Exports, EdgeCallsOfTheOtherExports) {
  CHost host;
  std::string out = host.Run("check 0");
  EXPECT_NE(out.find("CHECK -1"), std::string::npos) << out;
  out = host.Run("check 1");
  EXPECT_NE(out.find("CHECK 0"), std::string::npos) << "no product: nothing to check: " << out;
  out = host.Run("misc");
  EXPECT_NE(out.find("STARTUPDATE 0\nSETNULL -1\nSET -1\n"), std::string::npos) << out;
}

TEST(Exports, StaleResumeFilesGoFromTheHostFolderOnly) {
  CHost host;
  qeltest::WriteFile(host.dir.file("a1b2c3d4.meta"), "x");
  qeltest::WriteFile(host.dir.file("keep.txt"), "x");
  mkdir((host.temp + "/P1").c_str(), 0755);
  qeltest::WriteFile(host.temp + "/P1/0badf00d.meta", "x");
  host.Run("get");
  EXPECT_FALSE(qeltest::FileExists(host.dir.file("a1b2c3d4.meta")));
  EXPECT_TRUE(qeltest::FileExists(host.dir.file("keep.txt")));
  EXPECT_TRUE(qeltest::FileExists(host.temp + "/P1/0badf00d.meta"));
}

TEST(Exports, ServiceReportsTheListChecksCompleteProductsAndLogsIncompleteOnes) {
  CHost host;
  WriteUser(host, Main("\"check_timespan\"=\"0\"") +
                      ProductKey(kUser, "P1", Complete("P1", "\"check_retry_count\"=\"0\"\r\n")) +
                      ProductKey(kUser, "P2", "\"code\"=\"P2%s%n\"\r\n\"execute_file\"=\"/opt/p2\"\r\n"));
  std::string out = host.Run("service 产品P1版本信息为空 20000");
  EXPECT_NE(out.find("START 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("MSG 2 P2%s%n,P1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("MSG 1 产品P1检查更新\n"), std::string::npos) << out;
  EXPECT_NE(out.find("SEEN"), std::string::npos) << out;
  std::string log = host.Log();
  std::regex incomplete(
      "\\[ERROR\\] 产品信息不完整：产品编号：P2%s%n当前版本：执行程序：/opt/p2"
      "-->file:Tavrin\\.cpp,line:\\d+,thread:0x[0-9a-f]{8},func:CTavrin::DoSome\n");
  EXPECT_TRUE(std::regex_search(log, incomplete)) << log;
  EXPECT_NE(log.find("[INFO] 产品P1检查更新\n"), std::string::npos) << "status lines carry no suffix: " << log;
  struct stat st;
  EXPECT_EQ(stat((host.temp + "/P1").c_str(), &st), 0) << "the work folder is the temp folder and the code";
  EXPECT_NE(stat((host.temp + "/P2%s%n").c_str(), &st), 0);
}

// The second pass comes once the first check is over (its last line logged): a pass passes over a product
// whose check is still going on.
TEST(Exports, ASecondPassRefreshesKnownProductsAndStartsNoSecondCheck) {
  CHost host;
  WriteUser(host, Main("") + ProductKey(kUser, "P1", Complete("P1", "\"check_retry_count\"=\"0\"\r\n")));
  std::string hive = host.dir.file("same.reg");
  qeltest::WriteFile(hive, qeltest::ReadFile(host.registry + "/HKEY_CURRENT_USER.reg"));
  std::string out = host.Run("again '[ERROR] 产品P1版本信息为空-->' '" + hive + "' '已存在' 20000");
  EXPECT_NE(out.find("SEEN"), std::string::npos) << out;
  size_t first = out.find("MSG 1 产品P1检查更新");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find("MSG 1 产品P1检查更新", first + 1), std::string::npos) << "one check thread: " << out;
  std::string log = host.Log();
  EXPECT_NE(log.find("删除文件夹:" + host.temp + "/P1-->file:ProductInfo.cpp"), std::string::npos) << log;
  EXPECT_NE(log.find("创建目录失败：" + host.temp + "/P1已存在-->"), std::string::npos) << log;
}

TEST(Exports, NullCallbackStillRunsTheServiceAndLogsStatusLines) {
  CHost host;
  WriteUser(host, Main("") + ProductKey(kUser, "P1", Complete("P1", "\"check_retry_count\"=\"0\"\r\n")));
  host.Run("service 产品P1版本信息为空 20000", "ENGINE_HOST_NULL_CALLBACK=1");
  std::string log = host.Log();
  EXPECT_NE(log.find("[INFO] 产品P1检查更新\n"), std::string::npos) << log;
}

// A temporary folder the user cannot write to never stops the host: the engine says which folder it
// passed over and why, makes the work folder in the private folder of the user's home, and checks.
TEST(Exports, AnUnwritableTempFolderGivesWayToTheHomeAndNeverStopsTheHost) {
  CHost host;
  WriteUser(host, Main("") + ProductKey(kUser, "P1", Complete("P1", "\"check_retry_count\"=\"0\"\r\n")));
  // Rights mean nothing to root: the host runs as an unprivileged user then. The temporary folder is that
  // user's own, only not writable.
  std::string home = host.dir.file("home");
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  // The folders above stay closed to others (an open one would disqualify every folder below it); only the
  // log file is the user's.
  qeltest::WriteFile(host.dir.file("out.log"), "");
  qeltest::RunCommand("chmod 755 " + host.dir.path() + " " + host.registry + " && chmod 555 " + host.temp +
                      " && chmod 644 " + host.registry + "/*");
  if (getuid() == 0) qeltest::RunCommand("chown nobody " + host.temp + " " + home + " " + host.dir.file("out.log"));
  std::string prefix = getuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
  std::string out;
  std::string cmd = "cd / && " + prefix + "env -u XDG_CACHE_HOME HOME=" + home + " QEL_REGISTRY_DIR=" + host.registry +
                    " TMPDIR=" + host.temp + " LD_LIBRARY_PATH=" + QEL_BIN_DIR + " " + host.dir.file("engine_host") +
                    " service 产品P1版本信息为空 20000";
  qeltest::RunCommand(cmd, &out);
  EXPECT_NE(out.find("SEEN"), std::string::npos) << out << host.Log();
  EXPECT_EQ(out.find("MSG 0"), std::string::npos) << out;
  std::string uid = getuid() == 0 ? "65534" : std::to_string(getuid());
  std::string log = host.Log();
  EXPECT_NE(log.find("临时目录不可用：" + host.temp + "/qel-" + uid + "，原因：无法创建，错误代码：5-->"), std::string::npos)
      << log;
  EXPECT_NE(log.find("改用私有目录：" + home + "/.cache/qel/-->"), std::string::npos) << log;
  struct stat st;
  EXPECT_EQ(stat((home + "/.cache/qel/P1").c_str(), &st), 0) << "the work folder is in the home";
}

}  // namespace
