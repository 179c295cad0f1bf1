// The client's single-instance lock when it cannot be made: the program says why, on standard error and in
// its log, and ends with a failure code at once instead of idling without its engine.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "qelplat/mutex.h"
#include "test_support.h"

namespace {

class InstanceLock : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qeltest::FileExists(std::string(QEL_BIN_DIR) + "/Tavrin.exe"));
    // The program with a log configuration of its own, run from a folder of its own.
    qeltest::RunCommand("cp " + std::string(QEL_BIN_DIR) + "/Tavrin.exe " + dir.file("Tavrin.exe"));
    qeltest::WriteFileLogConfig(dir.path());
    ASSERT_EQ(mkdir(dir.file("cache").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("cache/qel").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("registry").c_str(), 0700), 0);
  }

  // Runs the client; its exit code, with standard error in *err.
  int Run(std::string* err) {
    std::string cmd = "cd / && env -u DISPLAY XDG_CACHE_HOME=" + dir.file("cache") +
                      " QEL_REGISTRY_DIR=" + dir.file("registry") + " LD_LIBRARY_PATH=" + QEL_BIN_DIR +
                      " timeout 60 " + dir.file("Tavrin.exe") + " 2>" + dir.file("stderr") + " >/dev/null";
    int code = qeltest::RunCommand("(" + cmd + ")");
    *err = qeltest::ReadFile(dir.file("stderr"));
    return code;
  }

  std::string Log() { return qeltest::FileExists(dir.file("out.log")) ? qeltest::ReadFile(dir.file("out.log")) : ""; }

  qeltest::TempDir dir{"instancelock"};
};

TEST_F(InstanceLock, ALockPathThatIsAFolderEndsTheClientWithItsReason) {
  std::string lock = dir.file("cache/qel/" + qelplat::LockFileName("QEL_Tavrin"));
  ASSERT_EQ(mkdir(lock.c_str(), 0700), 0);
  std::string err;
  EXPECT_EQ(Run(&err), 1);
  std::string text = "无法创建单实例锁QEL_Tavrin，程序退出：" + lock + " is a folder, not a plain file";
  EXPECT_EQ(err, text + "\n");
  EXPECT_NE(Log().find("[ERROR] " + text + "\n"), std::string::npos) << Log();
}

TEST_F(InstanceLock, ALockPathThatIsASymbolicLinkEndsTheClientWithItsReason) {
  std::string lock = dir.file("cache/qel/" + qelplat::LockFileName("QEL_Tavrin"));
  ASSERT_EQ(symlink(dir.file("target").c_str(), lock.c_str()), 0);
  std::string err;
  EXPECT_EQ(Run(&err), 1);
  EXPECT_EQ(err, "无法创建单实例锁QEL_Tavrin，程序退出：" + lock + " is a symbolic link, not a plain file\n");
  EXPECT_NE(Log().find("is a symbolic link"), std::string::npos) << Log();
  EXPECT_FALSE(qeltest::FileExists(dir.file("target")));
}

// A lock folder others may write to is never passed over for another folder, where a copy started once it
// is mended would not meet this one: the client ends and says why, and where locks lie.
TEST_F(InstanceLock, ALockFolderOthersMayWriteToEndsTheClientInsteadOfLockingElsewhere) {
  ASSERT_EQ(chmod(dir.file("cache/qel").c_str(), 0777), 0);
  std::string err;
  EXPECT_EQ(Run(&err), 1);
  std::string text = "无法创建单实例锁QEL_Tavrin，程序退出：locks lie only in ${XDG_CACHE_HOME:-~/.cache}/qel: " +
                     dir.file("cache/qel") + " may be written by others (mode 0777)";
  EXPECT_EQ(err, text + "\n");
  EXPECT_NE(Log().find("[ERROR] " + text + "\n"), std::string::npos) << Log();
}

}  // namespace
