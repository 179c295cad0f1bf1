#include "ProductInfo.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "VersionInfo.h"
#include "engine_test_support.h"

namespace {

using enginetest::CLogCapture;

TProductInfo Record(const char* code) {
  TProductInfo rec;
  memset(&rec, 0, sizeof rec);
  strcpy(rec.code, code);
  strcpy(rec.current_version, "1.0");
  strcpy(rec.execute_file, "/opt/p");
  rec.check_timespan = 60;
  rec.install_mode = 2;  // keeps DoNotifyUpdate from sending or installing
  return rec;
}

TEST(ProductInfo, WorkFolderIsMadeOnceAndARefreshKeepsItsFiles) {
  qeltest::TempDir dir;
  CLogCapture log;
  CProductInfo product;
  product.SetBaseFolder(dir.path() + "/");
  TProductInfo rec = Record("P1");
  EXPECT_FALSE(product.SetProductInfo(nullptr, true));
  ASSERT_TRUE(product.SetProductInfo(&rec, true));
  EXPECT_EQ(product.WorkFolder(), dir.file("P1"));
  qeltest::WriteFile(dir.file("P1/package.zip"), "kept");
  ASSERT_TRUE(product.SetProductInfo(&rec, true));
  EXPECT_EQ(qeltest::ReadFile(dir.file("P1/package.zip")), "kept");
  EXPECT_TRUE(log.Contains("[16] 删除文件夹:" + dir.file("P1") + "-->file:ProductInfo.cpp,"));
  EXPECT_TRUE(log.Contains("[16] 创建目录失败：" + dir.file("P1") + "已存在-->file:ProductInfo.cpp,"));
  EXPECT_TRUE(log.Contains(",func:CProductInfo::SetProductInfo")) << log.All();
}

TEST(ProductInfo, MissingParentIsLoggedAndNoMessageSent) {
  qeltest::TempDir dir;
  CLogCapture log;
  CProductInfo product;
  static std::atomic<int> messages;
  messages = 0;
  product.SetCallback([](EMsgType, void*) { ++messages; });
  product.SetBaseFolder(dir.path() + "/missing/");
  TProductInfo rec = Record("P1");
  product.SetProductInfo(&rec, true);
  EXPECT_TRUE(log.Contains("创建目录失败：" + dir.path() + "/missing/P1路径不正确，需先创建父目录-->")) << log.All();
  EXPECT_EQ(messages.load(), 0);
}

TEST(ProductInfo, ARefreshKeepsTheObjectsOwnUpdateBlock) {
  qeltest::TempDir dir;
  CLogCapture log;
  CProductInfo product;
  product.SetBaseFolder(dir.path() + "/");
  TProductInfo rec = Record("P1");
  product.SetProductInfo(&rec, true);
  TVersionInfo vi;
  vi.product_version = "2.0";
  vi.setup_url = "http://h/s.zip";
  ASSERT_TRUE(product.DoNotifyUpdate(&vi, true, false));
  TUpdateInfo* own = product.RecordCopy().update_info;
  ASSERT_NE(own, nullptr);
  TUpdateInfo foreign;
  rec.update_info = &foreign;
  product.SetProductInfo(&rec, true);
  EXPECT_EQ(product.RecordCopy().update_info, own) << "neither dropped nor replaced by the caller's block";
  rec.update_info = nullptr;
  product.SetProductInfo(&rec, true);
  EXPECT_EQ(product.RecordCopy().update_info, own);
}

TEST(ProductInfo, StatusTextsAreLoggedBareAndDeliveredUnchanged) {
  CLogCapture log;
  CProductInfo product;
  const char* text = "产品P1开始第1/3次下载，URL:http://h/a%20b%s%n.zip，本地存储:/t/x.zip";
  EXPECT_TRUE(product.Notify(text, EMSG_STATUS)) << "no receiver: still logged";
  EXPECT_EQ(log.Lines().back(), std::string("[4] ") + text);
  static std::string received;
  received.clear();
  product.SetCallback([](EMsgType type, void* payload) {
    if (type == EMSG_STATUS) received = static_cast<const char*>(payload);
  });
  product.Notify(text, EMSG_STATUS);
  EXPECT_EQ(received, text);
}

// One product's receiver never runs twice at once; two products' receivers may.
TEST(ProductInfo, CallbacksOfOneProductAreSerialisedAndOfTwoProductsNot) {
  // A receiver is a plain function: what it shares with the test lives in statics, set afresh by each run.
  static std::atomic<int> inside;
  static std::atomic<int> most;
  static std::atomic<int> partnerWaitMs;
  static std::mutex lock;
  static std::condition_variable cv;
  inside = 0;
  most = 0;
  UpdateMessageCallback cb = [](EMsgType, void*) {
    int now = ++inside;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::unique_lock<std::mutex> hold(lock);
    cv.notify_all();
    // Stays until a partner has been inside together with it, or the wait is over.
    cv.wait_for(hold, std::chrono::milliseconds(partnerWaitMs.load()), [] { return most.load() >= 2; });
    --inside;
  };
  CProductInfo a;
  CProductInfo b;
  a.SetCallback(cb);
  b.SetCallback(cb);
  // One product: a partner can never come in, so the first receiver gives the second a while to try.
  partnerWaitMs = 100;
  {
    std::thread t1([&] { a.Notify("x", EMSG_PROGRESS); });
    std::thread t2([&] { a.Notify("y", EMSG_PROGRESS); });
    t1.join();
    t2.join();
  }
  EXPECT_EQ(most.load(), 1);
  // Two products: each receiver waits, however slow the machine, until the other is inside.
  partnerWaitMs = 30000;
  std::thread t3([&] { a.Notify("x", EMSG_PROGRESS); });
  std::thread t4([&] { b.Notify("y", EMSG_PROGRESS); });
  t3.join();
  t4.join();
  EXPECT_EQ(most.load(), 2);
}

TEST(ProductInfo, UpdateBlockTextsAreCutToTheirFieldsAndTheFullPackageChosen) {
  CLogCapture log;
  CProductInfo product;
  qeltest::TempDir dir;
  product.SetBaseFolder(dir.path() + "/");
  TProductInfo rec = Record("P1");
  product.SetProductInfo(&rec, true);
  TVersionInfo vi;
  vi.product_version = std::string(300, '9');
  vi.update_description = std::string(498, 'd') + "版";  // the last character does not fit whole
  vi.setup_url = "http://h/setup.zip";
  vi.setup_md5 = "0123456789ABCDEF0123456789ABCDEF";
  vi.update_url = "http://h/update.zip";
  vi.update_type = 1;
  product.DoNotifyUpdate(&vi, true, true);
  const TUpdateInfo* info = product.RecordCopy().update_info;
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(std::string(info->new_version), std::string(199, '9'));
  EXPECT_EQ(std::string(info->update_description), std::string(498, 'd'));
  EXPECT_STREQ(info->package_url, "http://h/setup.zip");
  EXPECT_STREQ(info->package_md5, "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_STREQ(info->package_file, "setup.exe");
  EXPECT_EQ(info->update_type, 1);
  EXPECT_TRUE(info->package_downloaded);
  product.DoNotifyUpdate(&vi, false, false);
  info = product.RecordCopy().update_info;
  EXPECT_STREQ(info->package_url, "http://h/update.zip");
  EXPECT_STREQ(info->package_file, "update.exe");
  EXPECT_FALSE(info->package_downloaded);
}

TEST(ProductInfo, ConsentModeSendsTheRecordWithItsBlock) {
  CLogCapture log;
  CProductInfo product;
  qeltest::TempDir dir;
  product.SetBaseFolder(dir.path() + "/");
  TProductInfo rec = Record("P1");
  rec.install_mode = 0;
  product.SetProductInfo(&rec, true);
  static std::string seen;
  seen.clear();
  product.SetCallback([](EMsgType type, void* payload) {
    if (type != EMSG_UPDATE_READY) return;
    auto* r = static_cast<TProductInfo*>(payload);
    seen = std::string(r->code) + " " + r->update_info->new_version;
  });
  TVersionInfo vi;
  vi.product_version = "1.1";
  EXPECT_TRUE(product.DoNotifyUpdate(&vi, false, false));
  EXPECT_EQ(seen, "P1 1.1");
  EXPECT_TRUE(log.Contains("[4] 产品P1正常安装更新到1.1版本"));
  EXPECT_FALSE(product.DoNotifyUpdate(nullptr, false, false));
  EXPECT_EQ(log.Lines().back(), "[4] 产品P1无更新");
}

TEST(ProductInfo, CheckFileNeverPassesWithoutADigest) {
  qeltest::TempDir dir;
  CLogCapture log;
  CProductInfo product;
  EXPECT_FALSE(product.CheckFile(dir.file("absent.zip").c_str(), "")) << "an empty MD5 does not match a missing file";
  qeltest::WriteFile(dir.file("a.zip"), "");
  EXPECT_TRUE(product.CheckFile(dir.file("a.zip").c_str(), "D41D8CD98F00B204E9800998ECF8427E"));
  EXPECT_FALSE(product.CheckFile(dir.file("a.zip").c_str(), "d41d8cd98f00b204e9800998ecf8427e"));
  EXPECT_TRUE(log.Contains("校验失败,文件MD5值：d41d8cd98f00b204e9800998ecf8427e，计算MD5值：D41D8CD98F00B204E9800998ECF8427E"));
}

TEST(ProductInfo, APackageDigestThatIsNotHexNeverBecomesAPath) {
  qeltest::TempDir dir;
  CLogCapture log;
  CProductInfo product;
  qeltest::WriteFile(dir.file("victim.zip"), "mine");
  std::string zip = dir.file("../" + std::string("x") + ".zip");
  EXPECT_FALSE(product.Download(dir.file("victim.zip").c_str(), "http://h/p.zip", "../../victim"));
  EXPECT_FALSE(product.Download(zip.c_str(), "http://h/p.zip", ""));
  EXPECT_EQ(qeltest::ReadFile(dir.file("victim.zip")), "mine");
}

TEST(ProductInfo, IntervalsNeverBusyLoopOrOverflow) {
  EXPECT_EQ(MinutesToMs(0), 60000u);
  EXPECT_EQ(MinutesToMs(-5), 60000u);
  EXPECT_EQ(MinutesToMs(100000), 6000000000ull);
  EXPECT_EQ(SecondsToMs(-1), 0u);
  EXPECT_EQ(SecondsToMs(3), 3000u);
}

}  // namespace
