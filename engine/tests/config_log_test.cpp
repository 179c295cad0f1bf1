// What the configuration reader tells the log when nothing happens: which registry files it read or missed,
// what it skipped of them, which values it could not use and when a root holds no product. Each is said
// once for each version of the file, however often the service reloads it, and never on standard error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ClientConfig.h"
#include "engine_test_support.h"

namespace {

using enginetest::CEngineEnv;
using enginetest::CLogCapture;
using enginetest::Complete;
using enginetest::Main;
using enginetest::ProductKey;

const char kUser[] = "HKEY_CURRENT_USER";
const char kMachine[] = "HKEY_LOCAL_MACHINE";

size_t Count(CLogCapture& log, const std::string& text) {
  size_t n = 0;
  for (const std::string& line : log.Lines()) n += line.find(text) != std::string::npos;
  return n;
}

using CStderrCapture = qeltest::StderrCapture;

TEST(ConfigLog, TheFileReadIsNamedOnceForEachVersion) {
  CEngineEnv env;
  std::string user = env.dir.file("HKEY_CURRENT_USER.reg");
  env.WriteUser(Main(kUser, "") + ProductKey(kUser, "P1", Complete("P1")));
  CLogCapture log;
  CClientConfig config;
  for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(config.Reload(nullptr, nullptr), 1);
  std::string read = "[4] 读取注册表文件：" + user + "（HKEY_CURRENT_USER）-->file:ClientConfig.cpp,line:";
  EXPECT_EQ(Count(log, read), 1u) << log.All();
  EXPECT_NE(log.All().find(",func:CClientConfig::LoadConfig\n"), std::string::npos) << log.All();
  EXPECT_EQ(Count(log, "HKEY_LOCAL_MACHINE"), 0u) << "the machine's file is not read while the user has products";

  env.WriteUser(Main(kUser, "") + ProductKey(kUser, "P1", Complete("P1")) + ProductKey(kUser, "P2", Complete("P2")));
  for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(config.Reload(nullptr, nullptr), 2);
  EXPECT_EQ(Count(log, read), 2u) << "an edited file is a new version\n" << log.All();
  EXPECT_EQ(log.Lines().size(), 2u) << log.All();
}

TEST(ConfigLog, MissingFilesAreSaidOnceEach) {
  CEngineEnv env;
  CLogCapture log;
  CClientConfig config;
  for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(config.Reload(nullptr, nullptr), 0);
  EXPECT_EQ(Count(log, "[4] 注册表文件不存在：" + env.dir.file("HKEY_CURRENT_USER.reg") + "（HKEY_CURRENT_USER）-->"),
            1u) << log.All();
  EXPECT_EQ(Count(log, "[4] 注册表文件不存在：" + env.dir.file("HKEY_LOCAL_MACHINE.reg") + "（HKEY_LOCAL_MACHINE）-->"),
            1u) << log.All();
  EXPECT_EQ(log.Lines().size(), 2u) << "a missing file needs no word on products\n" << log.All();

  env.WriteMachine(Main(kMachine, "") + ProductKey(kMachine, "M1", Complete("M1")));
  ASSERT_EQ(config.Reload(nullptr, nullptr), 1);
  EXPECT_EQ(Count(log, "[4] 读取注册表文件：" + env.dir.file("HKEY_LOCAL_MACHINE.reg")), 1u) << log.All();
  EXPECT_EQ(Count(log, "注册表文件不存在"), 2u) << "the user's file is still missing: nothing new\n" << log.All();
}

TEST(ConfigLog, ARootWithoutProductsIsSaidOnce) {
  CEngineEnv env;
  env.WriteUser(Main(kUser, "\"server\"=\"http://s/c\""));
  env.WriteMachine("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n");
  CLogCapture log;
  CClientConfig config;
  for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(config.Reload(nullptr, nullptr), 0);
  EXPECT_EQ(Count(log, "[4] 注册表HKEY_CURRENT_USER\\SOFTWARE\\Tavrin\\ProductList下没有产品-->"), 1u) << log.All();
  EXPECT_EQ(Count(log, "[4] 注册表HKEY_LOCAL_MACHINE中没有SOFTWARE\\Tavrin键，没有产品-->"), 1u) << log.All();
  EXPECT_EQ(log.Lines().size(), 4u) << "two files read, two roots without products\n" << log.All();

  env.WriteUser(Main(kUser, "") + "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin\\ProductList]\r\n");
  ASSERT_EQ(config.Reload(nullptr, nullptr), 0);
  EXPECT_EQ(Count(log, "ProductList下没有产品"), 2u) << "an empty product list is said for the new version too";
}

TEST(ConfigLog, ValuesThatCannotBeUsedAreNamedWithTheirKeyOnce) {
  CEngineEnv env;
  env.WriteUser(Main(kUser, "\"check_timespan\"=dword:0000000f") +
                ProductKey(kUser, "P",
                           "\"code\"=\"P\"\r\n\"current_version\"=\"1.0\"\r\n\"execute_file\"=\"/opt/p\"\r\n"
                           "\"notify_type\"=dword:00000001\r\n\"name\"=hex:41,42\r\n"
                           "\"check_retry_count\"=\"2x\"\r\n\"old_version\"=\"" + std::string(300, 'v') + "\"\r\n"
                           "\"check_timespan\"=\"5\"\r\n"));
  CLogCapture log;
  CClientConfig config;
  std::vector<TProductInfo> copy;
  for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(config.Reload(nullptr, &copy), 1);
  ASSERT_EQ(copy.size(), 1u);
  EXPECT_EQ(config.CheckTimespan(), 60);
  EXPECT_EQ(copy[0].notify_type, 0);
  EXPECT_STREQ(copy[0].name, "") << "binary data is not taken for text";
  EXPECT_EQ(copy[0].check_retry_count, 3);
  EXPECT_STREQ(copy[0].old_version, "");
  EXPECT_EQ(copy[0].check_timespan, 5) << "good values beside them are read";
  std::string product = "键：HKEY_CURRENT_USER\\SOFTWARE\\Tavrin\\ProductList\\P，值：";
  EXPECT_EQ(Count(log, "[8] 注册表值不是文本类型，已使用默认值：键：HKEY_CURRENT_USER\\SOFTWARE\\Tavrin，值：check_timespan，"
                       "类型：REG_DWORD-->"), 1u) << log.All();
  EXPECT_EQ(Count(log, "[8] 注册表值不是文本类型，已使用默认值：" + product + "notify_type，类型：REG_DWORD-->"), 1u)
      << log.All();
  EXPECT_EQ(Count(log, "[8] 注册表值不是文本类型，已使用默认值：" + product + "name，类型：REG_BINARY-->"), 1u) << log.All();
  EXPECT_EQ(Count(log, "[8] 注册表值不是十进制数字，已使用默认值：" + product + "check_retry_count，内容：2x-->"), 1u)
      << log.All();
  EXPECT_EQ(Count(log, "[8] 注册表值过长，已使用默认值：" + product + "old_version，长度：300字节，最多199字节-->"), 1u)
      << log.All();
  EXPECT_EQ(log.Lines().size(), 6u) << "the file, then five values, once\n" << log.All();
}

TEST(ConfigLog, ParseWarningsReachTheLogOnceAndNothingReachesStandardError) {
  CEngineEnv env;
  std::string user = env.dir.file("HKEY_CURRENT_USER.reg");
  env.WriteUser(Main(kUser, "garbage") + ProductKey(kUser, "P1", Complete("P1")));
  CLogCapture log;
  CStderrCapture err;
  CClientConfig config;
  for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(config.Reload(nullptr, nullptr), 1);
  EXPECT_EQ(err.Text(), "");
  EXPECT_EQ(Count(log, "[8] 注册表文件格式错误：" + user + ":4: malformed value name, line skipped-->"), 1u) << log.All();
}

TEST(ConfigLog, AFileThatCannotBeReadIsSaid) {
  CEngineEnv env;
  std::string user = env.dir.file("HKEY_CURRENT_USER.reg");
  ASSERT_EQ(mkdir(user.c_str(), 0700), 0);
  CLogCapture log;
  CClientConfig config;
  for (int pass = 0; pass < 2; ++pass) ASSERT_EQ(config.Reload(nullptr, nullptr), 0);
  EXPECT_EQ(Count(log, "[8] 注册表文件无法读取：" + user + "（HKEY_CURRENT_USER），错误代码:5-->"), 1u) << log.All();
}

}  // namespace
