// The shipped log configuration writes to the user's log folder, which the log writer makes (0700) and
// names in QEL_LOG_DIR before configuring: the log works wherever the program lies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "test_support.h"

namespace {

class LogFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(qeltest::RunCommand("cp " + std::string(QEL_TEST_BIN_DIR) + "/log_host " + dir.file("log_host")), 0);
    ASSERT_EQ(qeltest::RunCommand("cp " + std::string(QEL_SOURCE_DIR) + "/packaging/log4cxx.properties " +
                                  dir.file("log4cxx.properties")),
              0);
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  }

  // Runs the host with a clean environment plus the assignments; its exit code, output in *out. log4cxx 1.0
  // frees a rolling appender's policy through the wrong type when it replaces the appender, which the
  // sanitizer build would stop at: a fault of the library's, so that one check is left out for the host.
  int Run(const std::string& env, std::string* out) {
    return qeltest::RunCommand("cd / && env -i HOME=" + home + " LD_LIBRARY_PATH=" + QEL_BIN_DIR +
                                   " ASAN_OPTIONS=new_delete_type_mismatch=0 " + env + " " + dir.file("log_host") +
                                   " '日志目录测试'",
                               out);
  }

  static bool LogHolds(const std::string& file) {
    return qeltest::FileExists(file) && qeltest::ReadFile(file).find("[INFO] 日志目录测试\n") != std::string::npos;
  }

  static unsigned Mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  qeltest::TempDir dir{"logfolder"};
  std::string home = dir.file("home");
};

TEST_F(LogFolder, TheStateFolderIsMadePrivateAndHoldsTheLog) {
  std::string state = dir.file("state");
  std::string out;
  ASSERT_EQ(Run("XDG_STATE_HOME=" + state, &out), 0) << out;
  EXPECT_TRUE(LogHolds(state + "/qel/Tavrin.log")) << out;
  EXPECT_EQ(Mode(state), 0700u);
  EXPECT_EQ(Mode(state + "/qel"), 0700u);
  EXPECT_FALSE(qeltest::FileExists(dir.file("Tavrin.log"))) << "nothing beside the program";
}

TEST_F(LogFolder, WithoutAnAbsoluteStateHomeTheHomeFolderIsUsed) {
  std::string out;
  ASSERT_EQ(Run("", &out), 0) << out;
  EXPECT_TRUE(LogHolds(home + "/.local/state/qel/Tavrin.log")) << out;
  EXPECT_EQ(Mode(home + "/.local"), 0700u);
  ASSERT_EQ(qeltest::RunCommand("rm -rf " + home + "/.local"), 0);
  ASSERT_EQ(Run("XDG_STATE_HOME=relative/state", &out), 0) << out;
  EXPECT_TRUE(LogHolds(home + "/.local/state/qel/Tavrin.log")) << "a relative state home is ignored\n" << out;
}

TEST_F(LogFolder, AFolderGivenInTheVariableIsUsed) {
  std::string chosen = dir.file("chosen/logs");
  std::string out;
  ASSERT_EQ(Run("QEL_LOG_DIR=" + chosen + " XDG_STATE_HOME=" + dir.file("state"), &out), 0) << out;
  EXPECT_TRUE(LogHolds(chosen + "/Tavrin.log")) << out;
  EXPECT_FALSE(qeltest::FileExists(dir.file("state"))) << out;
}

TEST_F(LogFolder, NoFolderToBeHadMeansNoLogAndOneLineOnStandardError) {
  std::string blocker = dir.file("a-file");
  qeltest::WriteFile(blocker, "");
  std::string out;
  ASSERT_EQ(Run("XDG_STATE_HOME=" + blocker + "/state", &out), 0) << out;
  EXPECT_NE(out.find("无法创建日志目录（QEL_LOG_DIR），不写日志：" + dir.file("log4cxx.properties") + "\n"),
            std::string::npos) << out;
  EXPECT_FALSE(qeltest::FileExists("/Tavrin.log")) << "never below the file system's root";
}

TEST_F(LogFolder, AConfigurationThatDoesNotNameTheFolderMakesNone) {
  qeltest::WriteFileLogConfig(dir.path());
  std::string out;
  ASSERT_EQ(Run("XDG_STATE_HOME=" + dir.file("state"), &out), 0) << out;
  EXPECT_TRUE(LogHolds(dir.file("out.log"))) << out;
  EXPECT_FALSE(qeltest::FileExists(dir.file("state")));
}

}  // namespace
