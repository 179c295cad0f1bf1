// The client run by an ordinary user (nobody) on a machine shared with another (uid 65533), installed in a
// folder that user cannot write to, as a system-wide install is: a TMPDIR that a group may rename in, a
// qel-<uid> another user made first, a TMPDIR that cannot be written to, and no folder to be had at all.
// None of them stops the client; the silent update is installed from the private folder in the user's home
// whenever one can be had, and nothing of ours is put where another user could swap it. A TMPDIR that is a
// link of the user's keeps its name. Without a runtime folder, what the other user makes and removes below
// /tmp never lets a second client or watchdog run beside the first.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "nginx_server.h"

namespace {

using e2e::CInstalledSystem;
using e2e::CSandbox;
using e2e::ShellQuote;

const unsigned kUser = 65534;
const unsigned kOther = 65533;
const char kCheckPath[] = "/checkVersionInfo.html";

class SharedMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (user_ == 0) GTEST_SKIP() << "no user number free for the test";
    if (getuid() != 0) GTEST_SKIP() << "needs root to run the client as another user";
    if (!CSandbox::Available()) GTEST_SKIP() << "needs a PID namespace: the client closes products by file name";
    ASSERT_TRUE(nginx_.started());
    record_ = system_.Record("setup");
    std::string md5 = e2e::MakeZip(nginx_.DocRoot() + "/up.zip", {{"setup.exe", e2e::Installer(record_), 0755}});
    ASSERT_EQ(md5.size(), 32u);
    nginx_.AddFile(kCheckPath + 1, e2e::CheckAnswer("UP", "2.0", nginx_.Url("/up.zip"), md5));
    e2e::TProduct product{"UP", system_.dir.file("products/not-running.exe")};
    product.notifyType = 0;
    system_.WriteRegistry(nginx_.Url(kCheckPath), {product});
    // The programs' folder stays root's and closed to the user; only the log in it is the user's.
    qeltest::WriteFile(system_.Bin() + "/out.log", "");
    std::string own = ShellQuote(system_.Bin() + "/out.log") + " " + ShellQuote(system_.Runtime()) + " " +
                      ShellQuote(system_.dir.file("records"));
    ASSERT_EQ(qeltest::RunCommand("chmod 755 " + ShellQuote(system_.dir.path()) + " " +
                                  ShellQuote(system_.RegistryFolder()) + " && chmod 644 " +
                                  ShellQuote(system_.RegistryFolder()) + "/* && chown " + std::to_string(user_) +
                                  " " + own),
              0);
  }

  void TearDown() override { sandbox_.reset(); }

  // A folder of the test's own with the owner, group and mode given.
  std::string Folder(const std::string& name, unsigned owner, unsigned group, mode_t mode) {
    std::string path = system_.dir.file(name);
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(chown(path.c_str(), owner, group), 0) << path;
    EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
    return path;
  }

  // A program of the system's run from its folder as the user, with the temporary folder and home given
  // (and the user's runtime folder, unless told otherwise).
  std::string AsUser(const std::string& program, const std::string& tmpdir, const std::string& home,
                     const std::string& groups = "--clear-groups", bool runtime = true) const {
    return "cd " + ShellQuote(system_.Bin()) + " && exec setpriv --reuid=" + std::to_string(user_) +
           " --regid=" + std::to_string(user_) + " " + groups + " env -u XDG_CACHE_HOME -u DISPLAY" +
           (runtime ? " XDG_RUNTIME_DIR=" + ShellQuote(system_.Runtime()) : std::string(" -u XDG_RUNTIME_DIR")) +
           " QEL_REGISTRY_DIR=" + ShellQuote(system_.RegistryFolder()) + " HOME=" + ShellQuote(home) +
           " TMPDIR=" + ShellQuote(tmpdir) + " ./" + program;
  }

  // The client as the user, in a namespace of its own, with the temporary folder and home given.
  void Start(const std::string& tmpdir, const std::string& home, const std::string& groups = "--clear-groups") {
    sandbox_ =
        std::make_unique<CSandbox>(system_, std::vector<std::string>{AsUser("Tavrin.exe", tmpdir, home, groups)});
    ASSERT_TRUE(e2e::WaitFor([&] { return !e2e::ProcessesOf(system_.Client()).empty(); })) << Diagnosis();
  }

  // The update installed silently from the product's folder in the home, the client still running.
  void ExpectInstalledFrom(const std::string& home, std::chrono::seconds bound = std::chrono::seconds(60)) {
    ExpectInstalledIn(home + "/.cache/qel/UP", bound);
  }

  void ExpectInstalledIn(const std::string& work, std::chrono::seconds bound = std::chrono::seconds(60)) {
    ASSERT_TRUE(system_.WaitForLog("静默安装" + work + "/setup.exe-->", 1, bound)) << Diagnosis();
    ASSERT_TRUE(e2e::WaitFor([&] { return qeltest::FileExists(record_); })) << Diagnosis();
    EXPECT_EQ(qeltest::ReadFile(record_), system_.Bin() + "\n[/verysilent]\n[/norestart]\n");
    struct stat st = {};
    ASSERT_EQ(stat(work.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user_);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the work folder is the user's alone";
    EXPECT_EQ(e2e::ProcessesOf(system_.Client()).size(), 1u) << "the client runs on" << Diagnosis();
    EXPECT_EQ(system_.LogCount("创建目录失败：" + system_.Bin()), 0u) << "never the programs' folder";
  }

  std::string Listing(const std::string& folder) const {
    std::string listing;
    qeltest::RunCommand("ls -A " + ShellQuote(folder), &listing);
    return listing;
  }

  std::string Diagnosis() const {
    return "\n--- log\n" + system_.Log() + "\n--- programs\n" + qeltest::ReadFile(system_.ProgramOutput());
  }

  unsigned user_ = kUser;
  qeltest::NginxServer nginx_;
  CInstalledSystem system_;
  std::string record_;
  std::unique_ptr<CSandbox> sandbox_;
};

// A team folder: the user and the other user share its group, which may write to it, and it has no sticky
// bit, so the other user could rename our folder in it away and put a link in its place.
TEST_F(SharedMachine, AGroupWritableTmpdirNeverHostsTheWorkFolderAndTheUpdateStillInstalls) {
  std::string team = Folder("team", 0, kOther, 02770);
  std::string home = Folder("home", kUser, kUser, 0700);
  Start(team, home, "--groups=" + std::to_string(kOther));
  ExpectInstalledFrom(home);
  EXPECT_EQ(Listing(team), "") << "nothing of ours in the team folder";
  EXPECT_EQ(system_.LogCount("临时目录不可用：" + team + "，原因：组或其他用户可写（权限2770）"), 1u) << Diagnosis();
}

// Another user makes /tmp/qel-<uid> (here below a sticky folder like /tmp) before the client does; a
// TMPDIR the user cannot write to does the same. The client runs on and installs from the home.
TEST_F(SharedMachine, ASquattedFolderOrAnUnwritableTmpdirLeavesTheClientRunningAndTheHomeServes) {
  std::string shared = Folder("shared", 0, 0, 01777);
  std::string squatted = shared + "/qel-" + std::to_string(kUser);
  ASSERT_EQ(qeltest::RunCommand("setpriv --reuid=" + std::to_string(kOther) + " --regid=" + std::to_string(kOther) +
                                " --clear-groups mkdir -m 777 " + ShellQuote(squatted)),
            0);
  std::string home = Folder("home", kUser, kUser, 0700);
  Start(shared, home);
  ExpectInstalledFrom(home);
  EXPECT_EQ(Listing(squatted), "") << "the other user's folder is neither used nor changed";
  EXPECT_EQ(system_.LogCount("临时目录不可用：" + squatted + "，原因：目录属于其他用户（用户号65533）"), 1u)
      << Diagnosis();

  sandbox_.reset();
  unlink(record_.c_str());
  std::string closed = Folder("closed", 0, 0, 0755);
  std::string second = Folder("second-home", kUser, kUser, 0700);
  Start(closed, second);
  ExpectInstalledFrom(second);
  EXPECT_EQ(Listing(closed), "");
}

// No folder at all: the temporary one taken, the home not the user's to write. The client logs it once
// and runs on; once the home can be used, the next pass installs from it.
TEST_F(SharedMachine, NoFolderAtAllKeepsTheClientRunningAndTheNextPassTriesAgain) {
  std::string shared = Folder("shared", 0, 0, 01777);
  ASSERT_EQ(qeltest::RunCommand("setpriv --reuid=" + std::to_string(kOther) + " --regid=" + std::to_string(kOther) +
                                " --clear-groups mkdir -m 777 " + ShellQuote(shared + "/qel-" + std::to_string(kUser))),
            0);
  std::string home = Folder("home", 0, 0, 0755);
  Start(shared, home);
  const std::string none = "没有可用的工作目录，本轮不处理任何产品，下轮重试";
  ASSERT_TRUE(system_.WaitForLog(none)) << Diagnosis();
  EXPECT_EQ(e2e::ProcessesOf(system_.Client()).size(), 1u) << "no folder stops the client" << Diagnosis();
  EXPECT_FALSE(qeltest::FileExists(record_));
  ASSERT_EQ(chown(home.c_str(), kUser, kUser), 0);
  // The service pass comes every minute (the shortest interval the registry allows).
  ExpectInstalledFrom(home, std::chrono::seconds(150));
  EXPECT_EQ(system_.LogCount(none), 1u) << "said once, not at every pass";
}

// A TMPDIR that is a link of the user's to a folder of theirs: the work folder lies below the link, named as
// the user gave it, in the log as well.
TEST_F(SharedMachine, ATmpdirThatIsALinkOfTheUsersKeepsItsNameInTheWorkFolder) {
  std::string target = Folder("scratch", kUser, kUser, 0700);
  std::string link = system_.dir.file("tmp-link");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(lchown(link.c_str(), kUser, kUser), 0);
  Start(link, Folder("home", kUser, kUser, 0700));
  ExpectInstalledIn(link + "/UP");
  EXPECT_EQ(system_.LogCount(target + "/UP"), 0u) << "never named where the link leads" << Diagnosis();
}

// A user number no account has, taken for the test alone: a number is ours once its claim folder is made,
// which only one test can do (the single-instance lock tests claim theirs the same way). 0 when none is free.
class CClaimedUser {
 public:
  CClaimedUser() {
    for (unsigned uid = 62000; uid < 62100; ++uid) {
      if (getpwuid(uid) || Exists(TmpFolder(uid)) || Exists("/run/user/" + std::to_string(uid))) continue;
      if (mkdir(Claim(uid).c_str(), 0700) != 0) continue;
      this->uid = uid;
      return;
    }
  }
  ~CClaimedUser() {
    if (uid) qeltest::RunCommand("rm -rf " + TmpFolder(uid) + " " + Claim(uid));
  }
  CClaimedUser(const CClaimedUser&) = delete;
  CClaimedUser& operator=(const CClaimedUser&) = delete;
  static std::string TmpFolder(unsigned uid) { return "/tmp/qel-" + std::to_string(uid); }

  unsigned uid = 0;

 private:
  static std::string Claim(unsigned uid) { return "/tmp/qel-test-user-" + std::to_string(uid) + ".claim"; }
  static bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
};

// The user's watchdog and client with no runtime folder at all (no XDG_RUNTIME_DIR, no /run/user/<uid>), as
// from a job or a login without a session manager.
class OneCopyPerUser : public SharedMachine {
 protected:
  OneCopyPerUser() { user_ = claimed_.uid; }

  std::string Tmp() const { return CClaimedUser::TmpFolder(user_); }

  // True while some process holds the lock file.
  static bool Held(const std::string& lock) {
    int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
  }

  // A second start of the program inside the namespace of the running watchdog; its exit code.
  int SecondStart(const std::string& program, const std::string& tmpdir, const std::string& home) {
    std::vector<pid_t> running = e2e::ProcessesOf(system_.Daemon());
    if (running.empty()) return -2;
    qeltest::ChildProcess start({"nsenter", "-t", std::to_string(running[0]), "-p", "-m", "--", "/bin/sh", "-c",
                                 AsUser(program, tmpdir, home, "--clear-groups", false)},
                                system_.ProgramOutput());
    return start.Wait(std::chrono::seconds(30));
  }

  CClaimedUser claimed_;
};

// Another user makes /tmp/qel-<uid> before the user's first start and removes it while the first watchdog
// and its client run: the next watchdog (a second login's) and a client started by hand meet the first ones'
// locks and end as second copies do.
TEST_F(OneCopyPerUser, AFolderAnotherUserMakesAndRemovesBelowTmpNeverLetsASecondClientOrWatchdogRun) {
  std::string other = "setpriv --reuid=" + std::to_string(kOther) + " --regid=" + std::to_string(kOther) +
                      " --clear-groups ";
  ASSERT_EQ(qeltest::RunCommand(other + "mkdir -m 777 " + Tmp()), 0);
  std::string home = Folder("home", user_, user_, 0700);
  std::string temp = Folder("user-temp", user_, user_, 0700);
  sandbox_ = std::make_unique<CSandbox>(
      system_, std::vector<std::string>{AsUser("TavrinDaemon.exe", temp, home, "--clear-groups", false)});
  std::string locks = home + "/.cache/qel/";
  ASSERT_TRUE(e2e::WaitFor([&] { return Held(locks + "QEL_TavrinDaemon.lock") && Held(locks + "QEL_Tavrin.lock"); }))
      << "the first watchdog and its client hold their locks" << Diagnosis();
  ASSERT_EQ(qeltest::RunCommand(other + "rmdir " + Tmp()), 0) << "nothing of the user's went into it";

  EXPECT_EQ(SecondStart("TavrinDaemon.exe", temp, home), 255) << "a second watchdog ends at once" << Diagnosis();
  EXPECT_EQ(SecondStart("Tavrin.exe", temp, home), 255) << "a client started by hand ends at once" << Diagnosis();
  EXPECT_EQ(e2e::ProcessesOf(system_.Daemon()).size(), 1u) << Diagnosis();
  EXPECT_EQ(e2e::ProcessesOf(system_.Client()).size(), 1u) << Diagnosis();
  struct stat st;
  EXPECT_NE(lstat(Tmp().c_str(), &st), 0) << "nothing is made below /tmp";
}

}  // namespace
