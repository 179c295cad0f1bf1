#include <gtest/gtest.h>

#include <json/json.h>

#include <cstring>
#include <stdexcept>

#include "Globals.h"
#include "ProductInfo.h"
#include "VersionInfo.h"
#include "engine_test_support.h"

namespace {

using enginetest::CLogCapture;

TEST(CheckRequest, UrlCarriesTheSixKeysInOrderWithTheirDefaults) {
  CLogCapture log;
  qeltest::TempDir dir;
  CProductInfo product;
  product.SetBaseFolder(dir.path() + "/");
  TProductInfo rec;
  memset(&rec, 0, sizeof rec);
  strcpy(rec.code, "P1");
  strcpy(rec.current_version, "1.2");
  product.SetProductInfo(&rec, true);
  SetClientIdentity("00-11-22-33-44-55", "10.0.0.2");
  EXPECT_EQ(product.BuildRequestUrl("http://s/checkVersionInfo.html"),
            "http://s/checkVersionInfo.html?product_code=P1&product_version=1.2&Client_id=00-11-22-33-44-55"
            "&Client_ip=10.0.0.2&download_type=0&download_version=1.0.1");
  EXPECT_EQ(product.BuildRequestUrl("http://s/c?x=1"),
            "http://s/c?x=1?product_code=P1&product_version=1.2&Client_id=00-11-22-33-44-55"
            "&Client_ip=10.0.0.2&download_type=0&download_version=1.0.1");
  CProductInfo empty;
  SetClientIdentity("", "");
  EXPECT_EQ(empty.BuildRequestUrl(""),
            "http://localhost/checkVersionInfo.html?product_code=QEL_TEST&product_version=1.0.1"
            "&Client_id=FF-FF-FF-FF-FF-FF&Client_ip=127.0.0.1&download_type=0&download_version=1.0.1");
}

TEST(CheckAnswer, RejectedAnswersLogTheirTextAndGiveNothing) {
  CLogCapture log;
  CProductInfo product;
  struct Case {
    const char* text;
    const char* logged;
  } cases[] = {
      {"", "返回数据格式不正确，返回内容："},
      {"<html>", "返回数据格式不正确，返回内容：<html>"},
      {"{}", "返回数据格式不正确，返回内容：{}"},
      {"[]", "返回数据格式不正确，返回内容：[]"},
      {"42", "返回数据格式不正确，返回内容：42"},
      {"{\"a\":1}", "返回数据格式不正确，返回内容：{\"a\":1}"},
      {"{\"result\":null}", "返回数据格式不正确，返回内容：{\"result\":null}"},
      {"{\"result\":\"Success\"}", "响应成功，返回内容：{\"result\":\"Success\"}"},
      {"{\"result\":\"%s%n\"}", "响应成功，返回内容：{\"result\":\"%s%n\"}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(product.ParserResponseInfo(c.text), nullptr) << c.text;
    EXPECT_TRUE(log.Contains(std::string("[16] ") + c.logged + "-->file:ProductInfo.cpp")) << c.text << log.All();
  }
  EXPECT_TRUE(log.Contains("func:CProductInfo::ParserResponseInfo"));
}

TEST(CheckAnswer, FieldsAreTakenAsTheServerSendsThem) {
  CLogCapture log;
  CProductInfo product;
  auto vi = product.ParserResponseInfo(
      "{\"result\":\"success\",\"product_code\":\"P1\",\"product_name\":\"产品\\u4e00\",\"product_version\":\"1.10\","
      "\"update_time\":\"2026-12-01\",\"update_description\":\"a#b\",\"setup_url\":\"http://h/s.zip\","
      "\"setup_md5\":\"AB\",\"update_url\":\"\",\"update_md5\":\"\",\"update_type\":1.9}");
  ASSERT_NE(vi, nullptr);
  EXPECT_EQ(vi->product_code, "P1");
  EXPECT_EQ(vi->product_name, "产品一");
  EXPECT_EQ(vi->product_version, "1.10");
  EXPECT_EQ(vi->update_description, "a#b");
  EXPECT_EQ(vi->setup_url, "http://h/s.zip");
  EXPECT_EQ(vi->update_type, 1) << "a real is truncated";
  EXPECT_TRUE(log.Contains("[2] 服务器响应内容："));
  struct Case {
    const char* type;
    int expected;
  } types[] = {{"true", 1}, {"false", 0}, {"null", 0}, {"-7", -7}};
  for (const Case& c : types) {
    vi = product.ParserResponseInfo(std::string("{\"result\":\"success\",\"update_type\":") + c.type + "}");
    ASSERT_NE(vi, nullptr) << c.type;
    EXPECT_EQ(vi->update_type, c.expected) << c.type;
    EXPECT_EQ(vi->product_code, "") << "absent keys stay empty";
  }
}

TEST(CheckAnswer, ValuesOfTheWrongTypeRaiseTheLibrarysError) {
  CLogCapture log;
  CProductInfo product;
  const char* answers[] = {
      "[1,2]",
      "{\"result\":1}",
      "{\"result\":\"success\",\"product_code\":null}",
      "{\"result\":\"success\",\"product_version\":10}",
      "{\"result\":\"success\",\"update_type\":\"1\"}",
      "{\"result\":\"success\",\"update_type\":1e20}",
      "{\"result\":\"success\",\"setup_url\":{}}",
  };
  for (const char* answer : answers) EXPECT_THROW(product.ParserResponseInfo(answer), std::exception) << answer;
}

}  // namespace
