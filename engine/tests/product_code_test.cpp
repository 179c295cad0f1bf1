// A product code names the product's work folder inside the temporary folder: a code that is not one plain
// folder name is skipped by the service like an incomplete record, and no folder is made for it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "engine_test_support.h"

namespace {

using enginetest::CHost;
using enginetest::ProductKey;

const char kUser[] = "HKEY_CURRENT_USER";

std::string Product(const std::string& code) {
  return "\"code\"=\"" + code + "\"\r\n\"current_version\"=\"1.0\"\r\n\"execute_file\"=\"/opt/p\"\r\n"
         "\"check_retry_count\"=\"0\"\r\n";
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(ProductCode, ACodeThatIsNotOnePlainFolderNameIsSkippedAndNamedInTheLog) {
  CHost host;
  std::string climb = "qel-climb-" + std::to_string(getpid());
  // .reg text: "\\" is one backslash; the control byte stands in the file as it is.
  std::string body = "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"check_timespan\"=\"0\"\r\n" +
                     ProductKey(kUser, "A", Product("../../" + climb)) + ProductKey(kUser, "B", Product("..")) +
                     ProductKey(kUser, "C", Product("a/b")) + ProductKey(kUser, "D", Product("a\\\\b")) +
                     ProductKey(kUser, "E", Product("  ")) + ProductKey(kUser, "F", Product("P\x01Q")) +
                     ProductKey(kUser, "G", Product("P1"));
  qeltest::WriteFile(host.registry + "/HKEY_CURRENT_USER.reg", enginetest::Hive(body));
  const std::string skipped = "产品编号不是有效的文件夹名，已跳过：产品编号：";
  std::string until = "产品P1版本信息为空|" + skipped + "../../" + climb + "|" + skipped + "..-->|" + skipped +
                      "a/b|" + skipped + "a\\b|" + skipped + "  -->|" + skipped + "P\\x01Q";
  std::string out = host.Run("service '" + until + "' 20000");
  EXPECT_NE(out.find("SEEN"), std::string::npos) << out << host.Log();
  std::string log = host.Log();
  EXPECT_NE(log.find("[ERROR] " + skipped + "../../" + climb + "-->file:Tavrin.cpp"), std::string::npos) << log;
  EXPECT_EQ(log.find("P\x01Q"), std::string::npos) << "a control byte never reaches the log as it is";
  EXPECT_NE(out.find("MSG 1 产品P1检查更新"), std::string::npos) << "the plain code is served: " << out;
  EXPECT_EQ(out.find("MSG 1 产品../../"), std::string::npos) << out;
  EXPECT_TRUE(Exists(host.temp + "/P1"));
  EXPECT_FALSE(Exists(host.temp + "/../../" + climb)) << "no folder outside the temporary folder";
  EXPECT_FALSE(Exists(host.temp + "/a"));
  EXPECT_FALSE(Exists(host.temp + "/a\\b"));
}

}  // namespace
