#include "ClientConfig.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine_test_support.h"

namespace {

using enginetest::CEngineEnv;
using enginetest::Complete;
using enginetest::Main;
using enginetest::ProductKey;

const char kUser[] = "HKEY_CURRENT_USER";
const char kMachine[] = "HKEY_LOCAL_MACHINE";

using qeltest::AsOrdinaryUser;

std::vector<std::string> Codes(const TProductInfo* head) {
  std::vector<std::string> codes;
  for (; head; head = head->next) codes.push_back(head->code);
  return codes;
}

TEST(ClientConfig, ProductsListInReverseEnumerationOrderAndCopyOut) {
  CEngineEnv env;
  env.WriteUser(Main(kUser, "\"server\"=\"http://s/c\"") + ProductKey(kUser, "P1", Complete("P1")) +
                ProductKey(kUser, "P2", Complete("P2")) + ProductKey(kUser, "P3", Complete("P3")));
  CClientConfig config;
  std::vector<TProductInfo> out(3);
  EXPECT_EQ(config.LoadConfig(out.data(), HKEY_CURRENT_USER), 3);
  EXPECT_EQ(std::string(out[0].code) + out[1].code + out[2].code, "P3P2P1");
  EXPECT_EQ(Codes(&out[0]), (std::vector<std::string>{"P3", "P2", "P1"})) << "copies keep the engine's links";
  EXPECT_EQ(config.Server(), "http://s/c");
  EXPECT_EQ(config.CheckTimespan(), 60);
  TProductInfo found;
  EXPECT_TRUE(config.FindProduct("P1", &found));
  EXPECT_STREQ(found.execute_file, "/opt/P1");
  EXPECT_FALSE(config.FindProduct("P9", &found));
}

TEST(ClientConfig, ARecordWithOnlyACodeTakesEveryDefault) {
  CEngineEnv env;
  env.WriteUser(Main(kUser, "") + ProductKey(kUser, "only", "\"code\"=\"X\""));
  CClientConfig config;
  TProductInfo rec;
  ASSERT_EQ(config.LoadConfig(&rec, HKEY_CURRENT_USER), 1);
  EXPECT_STREQ(rec.code, "X");
  EXPECT_STREQ(rec.name, "");
  EXPECT_STREQ(rec.current_version, "");
  EXPECT_EQ(rec.check_update_type, 2);
  EXPECT_EQ(rec.notify_type, 0);
  EXPECT_EQ(rec.install_mode, 0);
  EXPECT_EQ(rec.check_timespan, 60);
  EXPECT_EQ(rec.check_retry_count, 3);
  EXPECT_EQ(rec.check_retry_timespan, 3);
  EXPECT_EQ(rec.download_failed_count, 0);
  EXPECT_EQ(rec.download_failed_max_count, 5);
  EXPECT_EQ(rec.download_retry_count, 3);
  EXPECT_EQ(rec.download_retry_timespan, 3);
  EXPECT_EQ(rec.update_info, nullptr);
}

TEST(ClientConfig, IntegerTextIsStrictAndABadValueKeepsItsDefault) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {{"15", 15}, {"+15", 15}, {"-3", -3}, {" 15", 60}, {"15a", 60}, {"", 60},
               {"2147483647", 2147483647}, {"2147483648", 60}, {"-2147483648", -2147483647 - 1}, {"1e3", 60}};
  for (const Case& c : cases) {
    CEngineEnv env;
    env.WriteUser(Main(kUser, std::string("\"check_timespan\"=\"") + c.text + "\"") +
                  ProductKey(kUser, "P", "\"check_timespan\"=\"" + std::string(c.text) + "\""));
    CClientConfig config;
    TProductInfo rec;
    ASSERT_EQ(config.LoadConfig(&rec, HKEY_CURRENT_USER), 1) << c.text;
    EXPECT_EQ(config.CheckTimespan(), c.expected) << c.text;
    EXPECT_EQ(rec.check_timespan, c.expected) << c.text;
  }
  CEngineEnv env;
  env.WriteUser(Main(kUser, "\"check_timespan\"=dword:0000000f") + ProductKey(kUser, "P", "\"notify_type\"=dword:1"));
  CClientConfig config;
  TProductInfo rec;
  ASSERT_EQ(config.LoadConfig(&rec, HKEY_CURRENT_USER), 1);
  EXPECT_EQ(config.CheckTimespan(), 60) << "a binary number is not decimal text";
  EXPECT_EQ(rec.notify_type, 0);
}

TEST(ClientConfig, TextsLongerThanTheirFieldKeepTheDefaultAndNeverOverrun) {
  CEngineEnv env;
  std::string fits(199, 'v');
  std::string tooLong(200, 'w');
  std::string path499(499, 'p');
  std::string value500(499, 'x');
  env.WriteUser(Main(kUser, "\"server\"=\"" + std::string(600, 's') + "\"\r\n\"check_timespan\"=\"7\"") +
                ProductKey(kUser, "P",
                           "\"code\"=\"" + fits + "\"\r\n\"name\"=\"" + tooLong + "\"\r\n\"current_version\"=\"" +
                               std::string(450, 'c') + "\"\r\n\"execute_file\"=\"" + path499 +
                               "\"\r\n\"old_version\"=\"" + value500 + "x\"\r\n\"notify_type\"=\"1\""));
  CClientConfig config;
  TProductInfo rec;
  ASSERT_EQ(config.LoadConfig(&rec, HKEY_CURRENT_USER), 1);
  EXPECT_EQ(std::string(rec.code), fits);
  EXPECT_STREQ(rec.name, "");
  EXPECT_STREQ(rec.current_version, "");
  EXPECT_STREQ(rec.old_version, "") << "a value that does not fit the buffer is absent";
  EXPECT_EQ(std::string(rec.execute_file), path499);
  EXPECT_EQ(rec.check_update_type, 2) << "the integers after the texts are untouched";
  EXPECT_EQ(rec.notify_type, 1);
  EXPECT_EQ(rec.update_info, nullptr);
  EXPECT_EQ(config.Server(), "") << "a server text too long for the buffer is absent";
  EXPECT_EQ(config.CheckTimespan(), 7) << "a long server value does not hide the interval";
}

TEST(ClientConfig, UserWithoutProductsFallsBackToTheMachineAndKeepsItsServer) {
  CEngineEnv env;
  env.WriteUser(Main(kUser, "\"server\"=\"http://user/c\""));
  env.WriteMachine(Main(kMachine, "") + ProductKey(kMachine, "M1", Complete("M1")));
  CClientConfig config;
  std::vector<TProductInfo> copy;
  EXPECT_EQ(config.Reload(nullptr, &copy), 1);
  ASSERT_EQ(copy.size(), 1u);
  EXPECT_STREQ(copy[0].code, "M1");
  EXPECT_EQ(copy[0].next, nullptr);
  EXPECT_EQ(config.Server(), "http://user/c");
  env.WriteMachine(Main(kMachine, "\"server\"=\"http://machine/c\"") + ProductKey(kMachine, "M1", Complete("M1")));
  config.Reload(nullptr, nullptr);
  EXPECT_EQ(config.Server(), "http://machine/c");
}

TEST(ClientConfig, AMainKeyThatDoesNotOpenChangesNothing) {
  CEngineEnv env;
  env.WriteUser(Main(kUser, "\"server\"=\"a\"\r\n\"check_timespan\"=\"9\"") + ProductKey(kUser, "P1", Complete("P1")));
  CClientConfig config;
  ASSERT_EQ(config.LoadConfig(nullptr, HKEY_CURRENT_USER), 1);
  env.WriteUser("");
  EXPECT_EQ(config.LoadConfig(nullptr, HKEY_CURRENT_USER), 0);
  EXPECT_EQ(config.Server(), "a");
  EXPECT_EQ(config.CheckTimespan(), 9);
  EXPECT_TRUE(config.FindProduct("P1", nullptr));
}

TEST(ClientConfig, CopiesOfTheListAreLinkedWithinTheCopy) {
  std::vector<TProductInfo> records(3);
  memset(records.data(), 0, sizeof(TProductInfo) * 3);
  CClientConfig::Relink(records);
  EXPECT_EQ(records[0].next, &records[1]);
  EXPECT_EQ(records[1].next, &records[2]);
  EXPECT_EQ(records[2].next, nullptr);
}

TEST(ClientConfig, ANameTooLongForTheBufferHidesOnlyItsOwnProduct) {
  CEngineEnv env;
  enginetest::CLogCapture log;
  // 200 characters of 3 bytes: within Windows' limit for a key name, beyond the engine's 500-byte buffer.
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "产";
  env.WriteUser(Main(kUser, "") + ProductKey(kUser, "A1", Complete("A1")) +
                ProductKey(kUser, "B" + wide, Complete("B")) + ProductKey(kUser, "C1", Complete("C1")) +
                ProductKey(kUser, "D1", Complete("D1")));
  CClientConfig config;
  std::vector<TProductInfo> out(4);
  EXPECT_EQ(config.LoadConfig(out.data(), HKEY_CURRENT_USER), 4) << "the unreadable name still counts";
  std::vector<std::string> codes;
  for (int i = 0; i < 3; ++i) codes.push_back(out[i].code);
  EXPECT_EQ(codes, (std::vector<std::string>{"D1", "C1", "A1"})) << "the products listed after it are all there";
  EXPECT_TRUE(log.Contains("[16] 产品列表第2个子键名称过长，已跳过-->file:ClientConfig.cpp")) << log.All();
}

TEST(ClientConfig, AMachineFileTheUserMayOnlyReadServesTheUser) {
  CEngineEnv env;
  env.WriteMachine(Main(kMachine, "\"server\"=\"http://machine/c\"") + ProductKey(kMachine, "M1", Complete("M1")) +
                   ProductKey(kMachine, "M2", Complete("M2")));
  ASSERT_EQ(chmod(env.dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(env.dir.file("HKEY_LOCAL_MACHINE.reg").c_str(), 0444), 0);
  std::string result = AsOrdinaryUser([] {
    CClientConfig config;
    std::vector<TProductInfo> copy;
    int count = config.Reload(nullptr, &copy);
    std::string text = std::to_string(count) + " " + config.Server();
    for (const TProductInfo& rec : copy) text += std::string(" ") + rec.code;
    return text;
  });
  EXPECT_EQ(result, "2 http://machine/c M2 M1");
}

TEST(ClientConfig, TenThousandProductsReloadFromTheKeptFile) {
  CEngineEnv env;
  std::string body = Main(kUser, "\"server\"=\"http://s/c\"\r\n\"check_timespan\"=\"5\"");
  for (int i = 0; i < 10000; ++i) {
    std::string code = "P" + std::to_string(i);
    body += ProductKey(kUser, code,
                       Complete(code) + "\"name\"=\"" + code + "\"\r\n\"notify_type\"=\"1\"\r\n" +
                           "\"check_timespan\"=\"30\"\r\n\"check_retry_count\"=\"2\"\r\n" +
                           "\"download_retry_count\"=\"4\"\r\n");
  }
  env.WriteUser(body);
  CClientConfig config;
  auto started = std::chrono::steady_clock::now();
  for (int pass = 0; pass < 3; ++pass) {
    std::vector<TProductInfo> copy;
    ASSERT_EQ(config.Reload(nullptr, &copy), 10000);
    ASSERT_EQ(copy.size(), 10000u);
    EXPECT_STREQ(copy.back().code, "P0");
    EXPECT_EQ(copy.back().download_retry_count, 4);
  }
  EXPECT_EQ(config.CheckTimespan(), 5);
  // A hang guard only; the figure itself is the benchmark's (bench/registry_reload.sh).
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(120));
}

TEST(ClientConfig, AProductCodeMustBeOnePlainFolderName) {
  for (const char* code : {"P1", "产品", "a b", " P1", "...", ".hidden", "%s%n"})
    EXPECT_TRUE(IsPlainFolderName(code)) << code;
  for (const char* code : {"", " ", "\t", ".", "..", " .. ", "../../elsewhere", "a/b", "/abs", "a\\b", "tab\there",
                           "new\nline", "del\x7f"})
    EXPECT_FALSE(IsPlainFolderName(code)) << code;
  EXPECT_EQ(PrintableCode("a\nb\x7f"), "a\\x0Ab\\x7F");
}

}  // namespace
