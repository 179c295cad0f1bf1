#include "QelTools/Log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "qelplat/console.h"
#include "test_support.h"

namespace {

using QEL::CLog;
using QEL::CLogWriter;

struct Recorder : CLogWriter {
  std::vector<std::pair<QEL::ELogLevel, std::string>>* seen;
  explicit Recorder(std::vector<std::pair<QEL::ELogLevel, std::string>>* s) : seen(s) {}
  int Write(QEL::ELogLevel level, const char* text) override {
    seen->emplace_back(level, text);
    return -1;
  }
};

struct Counted : CLogWriter {
  std::atomic<int>* destroyed;
  explicit Counted(std::atomic<int>* d) : destroyed(d) {}
  ~Counted() override { ++*destroyed; }
  int Write(QEL::ELogLevel, const char*) override { return -1; }
};

// Captures what the console writer prints to standard output.
std::string CaptureStdout(const std::function<void()>& body) {
  fflush(stdout);
  int saved = dup(1);
  char path[] = "/tmp/qel-console-XXXXXX";
  int fd = mkstemp(path);
  dup2(fd, 1);
  body();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(fd);
  std::string out = qeltest::ReadFile(path);
  unlink(path);
  return out;
}

}  // namespace

TEST(Log, RealLog4cxxWritesBesideTheHostProgram) {
  qeltest::TempDir dir;
  std::string host = dir.file("log_host");
  ASSERT_EQ(qeltest::RunCommand("cp " + std::string(QEL_TEST_BIN_DIR) + "/log_host " + host), 0);
  qeltest::WriteFileLogConfig(dir.path());
  std::string out;
  std::string cmd = "cd / && LD_LIBRARY_PATH=" + std::string(QEL_BIN_DIR) + " " + host +
                    " '产品P1检查更新' 'server=%s%n%d'";
  ASSERT_EQ(qeltest::RunCommand(cmd, &out), 0) << out;
  EXPECT_NE(out.find(dir.path()), std::string::npos) << "current folder is the program's: " << out;
  std::string log = qeltest::ReadFile(dir.file("out.log"));
  EXPECT_NE(log.find("[INFO] 产品P1检查更新\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[INFO] server=%s%n%d\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[ERROR] error line\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("dropped line"), std::string::npos) << "levels outside the table are dropped";
}

TEST(Log, ConsoleLinesCarryTimeAndTagAndNoColourWhenRedirected) {
  std::string out = CaptureStdout([] {
    QEL::CConsoleLogWriter console;
    EXPECT_EQ(console.Write(QEL::INFO, "hello %s"), -1);
    console.Write(static_cast<QEL::ELogLevel>(32), "odd");
    console.Write(QEL::FATAL, "bad");
  });
  std::regex line("\n\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{1,3}( \\[[A-Z]+\\]：)(.*)\n");
  std::vector<std::string> tags, texts;
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
    tags.push_back((*it)[1]);
    texts.push_back((*it)[2]);
  }
  EXPECT_EQ(tags, (std::vector<std::string>{" [INFO]：", " [DEFAULT]：", " [FATAL]："})) << out;
  EXPECT_EQ(texts, (std::vector<std::string>{"hello %s", "odd", "bad"}));
  EXPECT_EQ(out.find('\033'), std::string::npos);
  // The tags as written end in the full-width colon's three UTF-8 bytes, whatever this file's encoding.
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0], " [INFO]\xEF\xBC\x9A");
  EXPECT_EQ(tags[1].size(), 13u);
}

TEST(Log, ConsoleColoursMapToAnsi) {
  char buf[32];
  EXPECT_STREQ(qelplat::AnsiSequenceForAttribute(2, buf, sizeof(buf)), "\033[0;32m");
  EXPECT_STREQ(qelplat::AnsiSequenceForAttribute(10, buf, sizeof(buf)), "\033[0;92m");
  EXPECT_STREQ(qelplat::AnsiSequenceForAttribute(14, buf, sizeof(buf)), "\033[0;93m");
  EXPECT_STREQ(qelplat::AnsiSequenceForAttribute(4, buf, sizeof(buf)), "\033[0;31m");
  EXPECT_STREQ(qelplat::AnsiSequenceForAttribute(12, buf, sizeof(buf)), "\033[0;91m");
  EXPECT_STREQ(qelplat::AnsiSequenceForAttribute(0x4C, buf, sizeof(buf)), "\033[0;91;41m");
  EXPECT_STREQ(qelplat::AnsiSequenceForAttribute(15, buf, sizeof(buf)), "\033[0;97m");
}

TEST(Log, TimeStampFormat) {
  qeltest::EnvGuard tz("TZ", "UTC");
  tzset();
  EXPECT_EQ(QEL::FormatLogTime(0, 7), "1970-01-01 00:00:00.7");
  EXPECT_EQ(QEL::FormatLogTime(86400 * 365, 50), "1971-01-01 00:00:00.50");
  EXPECT_EQ(QEL::FormatLogTime(1700000000, 999), "2023-11-14 22:13:20.999");
}

TEST(Log, FormattingIsCutWritersAreOptionalAndErrorsContained) {
  std::vector<std::pair<QEL::ELogLevel, std::string>> seen;
  CLog log;
  log.SetWriter(new Recorder(&seen));
  std::string huge(500000, 'x');
  EXPECT_EQ(log.Log(QEL::INFO, "%s", huge.c_str()), -1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].second.size(), 409599u);

  log.SetWriter(nullptr);
  EXPECT_EQ(log.Log(QEL::INFO, "nothing"), 0);

  struct Thrower : CLogWriter {
    int Write(QEL::ELogLevel, const char*) override { throw std::runtime_error("disk gone"); }
  };
  log.SetWriter(new Thrower);
  EXPECT_EQ(log.Log(QEL::WARN, "x"), -1);
  // The lock was released: another thread can log.
  std::thread([&] { EXPECT_EQ(log.Log(QEL::WARN, "y"), -1); }).join();
}

TEST(Log, NestedLoggingDoesNotOverwriteTheOuterText) {
  std::vector<std::pair<QEL::ELogLevel, std::string>> first, second;
  CLog log;
  struct Echo : CLogWriter {
    CLog* log;
    std::vector<std::pair<QEL::ELogLevel, std::string>>* seen;
    int Write(QEL::ELogLevel level, const char* text) override {
      if (level == QEL::INFO) log->Log(QEL::DEBUG, "nested while writing: %.5s", text);
      seen->emplace_back(level, text);
      return -1;
    }
  };
  auto* multi = new QEL::CMultiLogWriter;
  auto* echo = new Echo;
  echo->log = &log;
  echo->seen = &first;
  multi->Add(echo);
  multi->Add(new Recorder(&second));
  log.SetWriter(multi);
  log.Log(QEL::INFO, "outer message");
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0].second, "nested while writing: outer");
  EXPECT_EQ(second[1].second, "outer message");
  EXPECT_EQ(first.back().second, "outer message");
}

TEST(Log, CopiesShareOneWriterDestroyedOnce) {
  std::atomic<int> destroyed{0};
  {
    CLog a;
    a.SetWriter(new Counted(&destroyed));
    CLog b;
    b = a;
    CLog c(a);
    std::shared_ptr<CLogWriter> held = a.GetWriter();
    a.SetWriter(nullptr);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);

  auto* multi = new QEL::CMultiLogWriter;
  multi->Add(new Counted(&destroyed));
  multi->Add(new Counted(&destroyed));
  std::unique_ptr<CLogWriter> base(multi);
  base.reset();  // through the base class: the list's writers go too
  EXPECT_EQ(destroyed, 3);
}

TEST(Log, ConcurrentLoggersNeverInterleave) {
  std::string sink;
  struct Slow : CLogWriter {
    std::string* sink;
    int Write(QEL::ELogLevel, const char* text) override {
      for (const char* p = text; *p; ++p) {
        *sink += *p;
        if ((p - text) % 16 == 0) std::this_thread::yield();
      }
      *sink += '\n';
      return -1;
    }
  };
  CLog a, b;
  auto* sa = new Slow;
  sa->sink = &sink;
  auto* sb = new Slow;
  sb->sink = &sink;
  a.SetWriter(sa);
  b.SetWriter(sb);
  std::thread ta([&] {
    for (int i = 0; i < 200; ++i) a.Log(QEL::INFO, "%s", std::string(64, 'a').c_str());
  });
  std::thread tb([&] {
    for (int i = 0; i < 200; ++i) b.Log(QEL::INFO, "%s", std::string(64, 'b').c_str());
  });
  ta.join();
  tb.join();
  std::istringstream lines(sink);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(line == std::string(64, 'a') || line == std::string(64, 'b')) << line;
  }
  EXPECT_EQ(count, 400);
}
