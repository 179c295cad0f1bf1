// The process watchdog and the TavrinDaemon program, against real child programs: a small stand-in client
// that logs its pid and inherited descriptors. Each test copies it under a name of its own, so tests running
// in parallel never see each other's programs; the program tests need the name Tavrin.exe and run in a PID
// namespace of their own, or, where none can be made, are skipped while a Tavrin.exe that is not ours runs.
// Waits poll with generous limits; no time is asserted.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QelTools/DaemonInfo.h"
#include "qelplat/lasterror.h"
#include "qelplat/mutex.h"
#include "qelplat/process.h"
#include "test_support.h"

namespace {

using qeltest::EnvGuard;
using qeltest::TempDir;

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  if (!qeltest::FileExists(log)) return lines;
  std::istringstream in(qeltest::ReadFile(log));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits until the log holds at least n lines; false after a minute.
bool WaitForLines(const std::string& log, size_t n) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (LogLines(log).size() < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

pid_t PidOf(const std::string& line) { return static_cast<pid_t>(std::atol(line.c_str())); }

std::string FdsOf(const std::string& line) {
  size_t at = line.find(" fds:");
  return at == std::string::npos ? std::string() : line.substr(at + 5);
}

void KillLogged(const std::string& log) {
  for (const std::string& line : LogLines(log)) kill(PidOf(line), SIGKILL);
}

// The stand-in client copied to folder/name, runnable.
std::string CopyClient(const std::string& folder, const std::string& name) {
  std::string target = folder + "/" + name;
  qeltest::WriteFile(target, qeltest::ReadFile(QEL_FAKE_CLIENT));
  chmod(target.c_str(), 0755);
  return target;
}

std::string UniqueName(const char* tag) {
  return std::string("wd-") + tag + "-" + std::to_string(getpid()) + ".exe";
}

bool ForeignProcessNamed(const std::string& name) {
  for (DWORD id : qelplat::ProcessIds()) {
    std::string path;
    if (qelplat::ProcessExecutable(id, &path) && path.substr(path.rfind('/') + 1) == name) return true;
  }
  return false;
}

// Counts the watch turns and can hold the daemon's sleep out of the picture.
class CountingDaemon : public QEL::CDaemonInfo {
 public:
  std::atomic<int> turns{0};

 protected:
  int run() override {
    ++turns;
    return CDaemonInfo::run();
  }
};

TEST(DaemonInfoTest, StartsTheProgramAtOnceWithoutOurDescriptorsAndAgainAfterKill9) {
  TempDir dir("watchdog");
  std::string log = dir.file("client.log");
  EnvGuard logEnv("QEL_FAKE_CLIENT_LOG", log.c_str());
  EnvGuard cache("XDG_CACHE_HOME", dir.path().c_str());
  std::string program = CopyClient(dir.path(), UniqueName("restart"));

  // Things the program must not inherit: a plain descriptor and a held single-instance lock.
  int plain = open(program.c_str(), O_RDONLY);
  ASSERT_GE(plain, 0);
  HANDLE lock = CreateMutexA(nullptr, FALSE, "QEL_WatchdogTest");
  ASSERT_NE(lock, nullptr);

  QEL::CDaemonInfo daemon;
  ASSERT_TRUE(daemon.StartDaemonService(program.c_str(), false, 1));
  EXPECT_FALSE(daemon.StartDaemonService(program.c_str(), false, 1)) << "a running watch is not started twice";
  ASSERT_TRUE(WaitForLines(log, 1));
  std::vector<std::string> lines = LogLines(log);
  EXPECT_EQ(FdsOf(lines[0]), " 0 1 2");

  kill(PidOf(lines[0]), SIGKILL);
  ASSERT_TRUE(WaitForLines(log, 2));
  lines = LogLines(log);
  EXPECT_NE(PidOf(lines[0]), PidOf(lines[1]));

  EXPECT_TRUE(daemon.StopDaemonService());
  EXPECT_FALSE(daemon.isRunning());
  KillLogged(log);
  close(plain);
  CloseHandle(lock);
}

TEST(DaemonInfoTest, SameNamedProgramInAnotherFolderCountsAsRunning) {
  TempDir dir("watchdog");
  std::string log = dir.file("client.log");
  EnvGuard logEnv("QEL_FAKE_CLIENT_LOG", log.c_str());
  ASSERT_EQ(mkdir(dir.file("a").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir.file("b").c_str(), 0700), 0);
  std::string name = UniqueName("elsewhere");
  std::string running = CopyClient(dir.file("a"), name);
  std::string watched = CopyClient(dir.file("b"), name);

  qeltest::ChildProcess other({running});
  ASSERT_TRUE(WaitForLines(log, 1));

  CountingDaemon daemon;
  ASSERT_TRUE(daemon.StartDaemonService(watched.c_str(), false, 1));
  ASSERT_TRUE(qeltest::WaitUntil([&] { return daemon.turns.load() > 0; })) << "the watch never took a turn";
  // The stop waits for the turn in progress, so its check has been made when it returns.
  EXPECT_TRUE(daemon.StopDaemonService());
  EXPECT_EQ(LogLines(log).size(), 1u);
}

TEST(DaemonInfoTest, PathsThatDoNotFitAndIdleStopsAreRefusedOrImmediate) {
  struct Case {
    const char* what;
    std::string path;
  };
  std::string tooLong = "/tmp/" + std::string(1019, 'x');  // 1024 bytes: no room for the NUL
  ASSERT_EQ(tooLong.size(), 1024u);
  for (const Case& c : {Case{"empty", ""}, Case{"too long", tooLong}}) {
    QEL::CDaemonInfo daemon;
    EXPECT_FALSE(daemon.StartDaemonService(c.path.c_str(), false, 1)) << c.what;
    EXPECT_FALSE(daemon.isRunning()) << c.what;
    EXPECT_FALSE(::StartDaemonService(c.path.c_str(), false, 1)) << c.what;
  }
  QEL::CDaemonInfo idle;
  EXPECT_FALSE(idle.StartDaemonService(nullptr, true, 1));
  EXPECT_TRUE(idle.StopDaemonService()) << "the engine stops a watch it never started";
  EXPECT_TRUE(idle.join(-1));
}

TEST(DaemonInfoTest, IntervalBelowOneSecondCountsAsOne) {
  TempDir dir("watchdog");
  for (int interval : {0, -5}) {
    CountingDaemon daemon;
    // A program that cannot start: every turn tries again, so a zero pause would spin.
    ASSERT_TRUE(daemon.StartDaemonService(dir.file("missing.exe").c_str(), false, interval));
    ASSERT_TRUE(qeltest::WaitUntil([&] { return daemon.turns.load() > 0; })) << "the watch never took a turn";
    daemon.StopDaemonService();
    EXPECT_LE(daemon.turns.load(), 2) << interval;
  }
}

// The program TavrinDaemon.exe, copied with a stand-in Tavrin.exe into a folder of the test's own.
class TavrinDaemonTest : public ::testing::Test {
 protected:
  std::string Install(const std::string& folder) {
    std::string daemon = folder + "/TavrinDaemon.exe";
    qeltest::WriteFile(daemon, qeltest::ReadFile(QEL_DAEMON_PROGRAM));
    chmod(daemon.c_str(), 0755);
    CopyClient(folder, "Tavrin.exe");
    return daemon;
  }

  TempDir dir_{"tavrindaemon"};
  std::string log_ = dir_.file("client.log");
  EnvGuard logEnv_{"QEL_FAKE_CLIENT_LOG", log_.c_str()};
  EnvGuard cache_{"XDG_CACHE_HOME", dir_.path().c_str()};
  EnvGuard libraries_{"LD_LIBRARY_PATH", QEL_BIN_DIR};
};

const char kInOwnNamespace[] = "QEL_TEST_IN_OWN_PID_NAMESPACE";

// Runs the current test again in a PID namespace of its own, where no other test's Tavrin.exe can be seen;
// false when no namespace can be made here (the test then runs as it is).
bool RanInOwnPidNamespace() {
  if (getenv(kInOwnNamespace) || qeltest::RunCommand("unshare -p -f --mount-proc true") != 0) return false;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string(test->test_suite_name()) + "." + test->name();
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return false;
  self[length] = '\0';
  std::string output;
  int status = qeltest::RunCommand(std::string(kInOwnNamespace) + "=1 unshare -p -f --mount-proc --kill-child '" +
                                       self + "' --gtest_filter=" + filter,
                                   &output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[       OK ] " + filter), std::string::npos) << "it ran, and was not skipped\n" << output;
  return true;
}

TEST_F(TavrinDaemonTest, RunsOnceAndRestartsTheClientAfterKill9) {
  // The watchdog counts any Tavrin.exe as its client: other tests' clients must not be in sight.
  if (RanInOwnPidNamespace()) return;
  if (ForeignProcessNamed("Tavrin.exe")) GTEST_SKIP() << "a Tavrin.exe runs already on this machine";
  std::string program = Install(dir_.path());
  qeltest::ChildProcess daemon({program});
  ASSERT_TRUE(WaitForLines(log_, 1));
  std::vector<std::string> lines = LogLines(log_);
  EXPECT_EQ(FdsOf(lines[0]), " 0 1 2") << "the client must not inherit the single-instance lock";

  qeltest::ChildProcess second({program});
  EXPECT_EQ(second.Wait(std::chrono::minutes(1)), 255) << "a second copy exits with -1";
  EXPECT_TRUE(daemon.running());

  kill(PidOf(lines[0]), SIGKILL);
  ASSERT_TRUE(WaitForLines(log_, 2));
  daemon.Stop(SIGKILL);
  KillLogged(log_);
}

// The lock file is removed and another start takes the name on a new one while this start stands between
// opening the old file and locking it (held there by gdb): the lock it then gets is no one's name, so it
// must find the other start's and end as a second copy does.
TEST_F(TavrinDaemonTest, ALockFileReplacedBeforeItIsLockedLeavesOneWatchdog) {
  if (RanInOwnPidNamespace()) return;
  if (ForeignProcessNamed("Tavrin.exe")) GTEST_SKIP() << "a Tavrin.exe runs already on this machine";
  std::string program = Install(dir_.path());
  std::string lock = dir_.file("qel/" + qelplat::LockFileName("QEL_TavrinDaemon"));
  std::string stopped = dir_.file("stopped");
  std::string go = dir_.file("go");
  std::string gdbOut = dir_.file("gdb.out");
  // LeakSanitizer cannot work under ptrace: a sanitized build would fail at the end for that alone.
  qeltest::ChildProcess gdb({"env", "ASAN_OPTIONS=detect_leaks=0", "gdb", "-nx", "-batch", "-ex",
                             "set breakpoint pending on", "-ex", "break CreateMutexA", "-ex", "run", "-ex", "delete",
                             "-ex", "tbreak flock", "-ex", "continue", "-ex",
                             "shell touch '" + stopped + "'; until [ -e '" + go + "' ]; do sleep 0.01; done", "-ex",
                             "continue", "-ex", "quit $_exitcode", program},
                            gdbOut);
  ASSERT_TRUE(qeltest::WaitUntil([&] { return qeltest::FileExists(stopped); }, std::chrono::minutes(1)))
      << qeltest::ReadFile(gdbOut);
  ASSERT_EQ(unlink(lock.c_str()), 0) << "the watchdog has opened its lock file";
  HANDLE other = CreateMutexA(nullptr, FALSE, "QEL_TavrinDaemon");
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "the other start holds the new file";
  qeltest::WriteFile(go, "");
  EXPECT_EQ(gdb.Wait(std::chrono::minutes(1)), 255) << "the watchdog ends as a second copy\n"
                                                     << qeltest::ReadFile(gdbOut);
  EXPECT_TRUE(LogLines(log_).empty()) << "and starts no client";
  gdb.Stop(SIGKILL);
  KillLogged(log_);
  CloseHandle(other);
}

TEST_F(TavrinDaemonTest, FolderTooLongForThePathBufferStartsNothing) {
  std::string folder = dir_.path();
  while (folder.size() < 1100) {
    folder += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  }
  std::string program = Install(folder);
  qeltest::ChildProcess daemon({program});
  EXPECT_EQ(daemon.Wait(std::chrono::minutes(1)), 0);
  EXPECT_TRUE(LogLines(log_).empty());
}

}  // namespace
