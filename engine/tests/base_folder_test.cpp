// Where the work folders go when the temporary folder cannot be used, as the service pass asks for it every
// pass: which folder was passed over and why is logged when that changes, not at every pass.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "PrivateFolders.h"
#include "engine_test_support.h"

namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(BaseFolder, WhatWasPassedOverIsLoggedOncePerChange) {
  qeltest::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::string team = dir.file("team");
  std::string own = dir.file("own");
  std::string home = dir.file("home");
  ASSERT_EQ(mkdir(team.c_str(), 0700), 0);
  ASSERT_EQ(chmod(team.c_str(), 02770), 0);
  ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  qeltest::EnvGuard homeEnv("HOME", home.c_str());
  qeltest::EnvGuard cache("XDG_CACHE_HOME", nullptr);
  enginetest::CLogCapture log;
  CBaseFolder base;
  const std::string refused = "临时目录不可用：" + team + "，原因：组或其他用户可写（权限2770）-->";
  const std::string instead = "改用私有目录：" + home + "/.cache/qel/-->";
  {
    qeltest::EnvGuard tmpdir("TMPDIR", team.c_str());
    EXPECT_EQ(base.Choose(), home + "/.cache/qel/");
    EXPECT_EQ(base.Choose(), home + "/.cache/qel/");
  }
  EXPECT_EQ(Count(log.All(), refused), 1u) << log.All();
  EXPECT_EQ(Count(log.All(), instead), 1u);
  {
    qeltest::EnvGuard tmpdir("TMPDIR", own.c_str());
    EXPECT_EQ(base.Choose(), own + "/");
  }
  EXPECT_EQ(Count(log.All(), "临时目录不可用"), 1u) << "a usable folder is nothing to report";
  {
    qeltest::EnvGuard tmpdir("TMPDIR", team.c_str());
    qeltest::EnvGuard noHome("HOME", "/dev/null");
    EXPECT_EQ(base.Choose(), "");
    EXPECT_EQ(base.Choose(), "");
  }
  EXPECT_EQ(Count(log.All(), refused), 2u) << "said again after a change" << log.All();
  EXPECT_EQ(Count(log.All(), "没有可用的工作目录，本轮不处理任何产品，下轮重试-->"), 1u) << log.All();
}

}  // namespace
