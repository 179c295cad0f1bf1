// The client run by an ordinary user (nobody) on a machine shared with another (uid 65533), installed in a
// folder that user cannot write to, as a system-wide install is: a TMPDIR that a group may rename in, a
// qel-<uid> another user made first, a TMPDIR that cannot be written to, and no folder to be had at all.
// None of them stops the client; the silent update is installed from the private folder in the user's home
// whenever one can be had, and nothing of ours is put where another user could swap it. A TMPDIR that is a
// link of the user's keeps its name; one that climbs with ".." out of the other user's link or folder is
// never taken for the folder beside it. What the other user makes and removes below /tmp, a runtime folder
// included, never lets a second client or watchdog run beside the first.
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
#include "qelplat/mutex.h"

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
    std::string own = ShellQuote(system_.Bin() + "/out.log") + " " + ShellQuote(system_.dir.file("records"));
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

  // A program of the system's run from its folder as the user, with the temporary folder and home given, and
  // the runtime folder when one is.
  std::string AsUser(const std::string& program, const std::string& tmpdir, const std::string& home,
                     const std::string& groups = "--clear-groups", const std::string& runtime = "") const {
    return "cd " + ShellQuote(system_.Bin()) + " && exec setpriv --reuid=" + std::to_string(user_) +
           " --regid=" + std::to_string(user_) + " " + groups + " env -u XDG_CACHE_HOME -u DISPLAY" +
           (runtime.empty() ? std::string(" -u XDG_RUNTIME_DIR") : " XDG_RUNTIME_DIR=" + ShellQuote(runtime)) +
           " QEL_REGISTRY_DIR=" + ShellQuote(system_.RegistryFolder()) + " HOME=" + ShellQuote(home) +
           " TMPDIR=" + ShellQuote(tmpdir) + " ./" + program;
  }

  // The programs as the user, in a namespace of their own (with the test's private /tmp, when it has one).
  // An earlier sandbox ends first: ending it ends every program of the system's that runs.
  void StartSandbox(const std::vector<std::string>& commands) {
    sandbox_.reset();
    sandbox_ = std::make_unique<CSandbox>(system_, commands, "", privateTmp_);
  }

  // The client as the user, with the temporary folder and home given.
  void Start(const std::string& tmpdir, const std::string& home, const std::string& groups = "--clear-groups",
             const std::string& runtime = "") {
    StartSandbox({AsUser("Tavrin.exe", tmpdir, home, groups, runtime)});
    ASSERT_TRUE(e2e::WaitFor([&] { return !e2e::ProcessesOf(system_.Client()).empty(); })) << Diagnosis();
  }

  // A command of the other user's, run to its end; its exit code.
  static int AsOther(const std::string& command) {
    return qeltest::RunCommand("setpriv --reuid=" + std::to_string(kOther) + " --regid=" + std::to_string(kOther) +
                               " --clear-groups sh -c " + ShellQuote(command));
  }

  // True while some process holds the lock file.
  static bool Held(const std::string& lock) {
    int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
  }

  // The lock file of the named mutex in the home.
  static std::string LockIn(const std::string& home, const std::string& name) {
    return home + "/.cache/qel/" + qelplat::LockFileName(name);
  }

  // A second start of the program inside the namespace of the running sandbox (its /tmp included); its exit
  // code.
  int SecondStart(const std::string& program, const std::string& tmpdir, const std::string& home,
                  const std::string& runtime = "") {
    std::vector<pid_t> running = e2e::ProcessesOf(system_.Daemon());
    if (running.empty()) running = e2e::ProcessesOf(system_.Client());
    if (running.empty()) return -2;
    qeltest::ChildProcess start({"nsenter", "-t", std::to_string(running[0]), "-p", "-m", "--", "/bin/sh", "-c",
                                 AsUser(program, tmpdir, home, "--clear-groups", runtime)},
                                system_.ProgramOutput());
    return start.Wait(std::chrono::seconds(30));
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
  // The namespace's /tmp, when the test gives it one.
  std::string privateTmp_;
  qeltest::NginxServer nginx_{"location /slow/ { limit_rate 16k; }"};
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

// No folder at all: the temporary one taken, the home not the user's to write. Without its lock's folder
// the client does not start: it says why and ends with a failure code. Once the home can be used, the next
// start runs and installs from it.
TEST_F(SharedMachine, NoFolderAtAllEndsTheClientWithItsReasonAndTheNextStartInstalls) {
  std::string shared = Folder("shared", 0, 0, 01777);
  ASSERT_EQ(AsOther("mkdir -m 777 " + ShellQuote(shared + "/qel-" + std::to_string(kUser))), 0);
  std::string home = Folder("home", 0, 0, 0755);
  StartSandbox({"(" + AsUser("Tavrin.exe", shared, home) + "); echo \"client ended: $?\""});
  ASSERT_TRUE(e2e::WaitFor([&] {
    return qeltest::ReadFile(system_.ProgramOutput()).find("client ended: 1") != std::string::npos;
  })) << Diagnosis();
  const std::string why = "无法创建单实例锁QEL_Tavrin，程序退出：locks lie only in ${XDG_CACHE_HOME:-~/.cache}/qel: " +
                          home + "/.cache is missing or cannot be examined";
  EXPECT_NE(qeltest::ReadFile(system_.ProgramOutput()).find(why + "\n"), std::string::npos) << Diagnosis();
  EXPECT_EQ(system_.LogCount(why), 1u) << Diagnosis();
  EXPECT_FALSE(qeltest::FileExists(record_));
  EXPECT_EQ(Listing(shared + "/qel-" + std::to_string(kUser)), "");
  ASSERT_EQ(chown(home.c_str(), kUser, kUser), 0);
  Start(shared, home);
  ExpectInstalledFrom(home);
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

// The other user's layout in the namespace's own /tmp, as they would lay it in the machine's: their link
// /tmp/evil to /tmp/att/deep, their real folder /tmp/attdir, and beside their deep folder open folders of
// the names ours have (/tmp/att/vt/UP for the work folder, /tmp/att/vrt/qel for locks). The user's own
// /tmp/vt and /tmp/vrt are private. A path that climbs out of their link or folder with ".." names their
// open folder for the system's lookup, whatever the folder beside it is.
class ClimbingOutOfAnotherUsersLevel : public SharedMachine {
 protected:
  void SetUp() override {
    SharedMachine::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    privateTmp_ = Folder("tmp", 0, 0, 01777);
    ASSERT_EQ(AsOther("cd " + ShellQuote(privateTmp_) +
                      " && mkdir att att/deep && mkdir -m 777 att/vt att/vt/UP att/vrt att/vrt/qel attdir"
                      " && chmod 755 attdir && ln -s /tmp/att/deep evil"),
              0);
    for (const char* own : {"vt", "vrt"}) Folder(std::string("tmp/") + own, user_, user_, 0700);
  }

  // Their folders hold nothing of the user's, nor does the user's own beside them, and no installer ran from
  // either: every install the log names ran from the work folder given.
  void ExpectNothingOfTheUsersThere(const std::string& work, const std::string& theirs = "") {
    EXPECT_EQ(Listing(privateTmp_ + "/att/vt/UP"), theirs) << Diagnosis();
    EXPECT_EQ(Listing(privateTmp_ + "/att/vrt/qel"), "");
    EXPECT_EQ(Listing(privateTmp_ + "/vt"), "");
    EXPECT_EQ(Listing(privateTmp_ + "/vrt"), "");
    EXPECT_EQ(system_.LogCount("] 静默安装/"), system_.LogCount("] 静默安装" + work + "/setup.exe-->")) << Diagnosis();
  }

  std::string Home() { return Folder("home", user_, user_, 0700); }
};

TEST_F(ClimbingOutOfAnotherUsersLevel, ATmpdirLeavingTheirLinkWithDotDotIsRefusedAndTheHomeServes) {
  std::string home = Home();
  Start("/tmp/evil/../vt", home);
  ExpectInstalledFrom(home);
  EXPECT_EQ(system_.LogCount("临时目录不可用：/tmp/evil/../vt，原因：上级目录/tmp/evil不是真实的目录-->"), 1u)
      << Diagnosis();
  ExpectNothingOfTheUsersThere(home + "/.cache/qel/UP");
}

// Their real folder, which the walk used to leave with ".." without judging it: they lay their own copy of
// the (public) package where the path would lead through a link, and swap the folder for that link while
// the package comes in.
TEST_F(ClimbingOutOfAnotherUsersLevel, ATmpdirLeavingTheirFolderWithDotDotIsRefusedWhateverTheySwapInLater) {
  std::string filler;
  for (unsigned x = 12345; filler.size() < 64 * 1024;) {
    x = x * 1103515245u + 12345u;
    filler += static_cast<char>(x >> 24);
  }
  ASSERT_EQ(mkdir((nginx_.DocRoot() + "/slow").c_str(), 0755), 0);
  std::string md5 = e2e::MakeZip(nginx_.DocRoot() + "/slow/up.zip",
                                 {{"setup.exe", e2e::Installer(record_), 0755}, {"filler", filler}});
  ASSERT_EQ(md5.size(), 32u);
  nginx_.AddFile(kCheckPath + 1, e2e::CheckAnswer("UP", "2.0", nginx_.Url("/slow/up.zip"), md5));
  const std::string copy = privateTmp_ + "/att/vt/UP/" + md5 + ".zip";
  qeltest::WriteFile(copy, qeltest::ReadFile(nginx_.DocRoot() + "/slow/up.zip"));
  ASSERT_EQ(chown(copy.c_str(), kOther, kOther), 0);
  std::string home = Home();
  Start("/tmp/attdir/../vt", home);
  // The package is coming in (in the home, or wherever the path led when it was judged): they swap now.
  auto holdsFiles = [](const std::string& folder) {
    std::string listing;
    return qeltest::RunCommand("ls -A " + ShellQuote(folder) + " 2>/dev/null", &listing) == 0 && !listing.empty();
  };
  ASSERT_TRUE(e2e::WaitFor([&] { return holdsFiles(home + "/.cache/qel/UP") || holdsFiles(privateTmp_ + "/vt/UP"); }))
      << Diagnosis();
  ASSERT_EQ(AsOther("cd " + ShellQuote(privateTmp_) + " && mv attdir attdir.old && ln -s /tmp/att/deep attdir"), 0);
  ExpectInstalledFrom(home);
  EXPECT_EQ(system_.LogCount("临时目录不可用：/tmp/attdir/../vt，原因：上级目录/tmp/attdir可被其他用户改名或替换"
                             "（用户号65533，权限0755）-->"),
            1u)
      << Diagnosis();
  ExpectNothingOfTheUsersThere(home + "/.cache/qel/UP", md5 + ".zip\n");
  EXPECT_EQ(e2e::Md5Of(copy), md5) << "their copy untouched";
}

// A runtime folder that climbs out of their link: the lock is the home's all the same, so emptying their
// folder lets no second client run.
TEST_F(ClimbingOutOfAnotherUsersLevel, ARuntimeFolderLeavingTheirLinkWithDotDotNeverHoldsTheLock) {
  std::string home = Home();
  std::string temp = Folder("user-temp", user_, user_, 0700);
  Start(temp, home, "--clear-groups", "/tmp/evil/../vrt");
  ASSERT_TRUE(e2e::WaitFor([&] { return Held(LockIn(home, "QEL_Tavrin")); })) << Diagnosis();
  ASSERT_EQ(AsOther("rm -rf " + ShellQuote(privateTmp_ + "/att/vrt/qel") + "/*"), 0);
  EXPECT_EQ(SecondStart("Tavrin.exe", temp, home, "/tmp/evil/../vrt"), 255) << "a second client ends at once"
                                                                           << Diagnosis();
  EXPECT_EQ(e2e::ProcessesOf(system_.Client()).size(), 1u) << Diagnosis();
  ExpectNothingOfTheUsersThere(temp + "/UP");
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

  // One watchdog and one client, each holding its lock in the home.
  bool OneOfEach(const std::string& home) const {
    return Held(LockIn(home, "QEL_TavrinDaemon")) && Held(LockIn(home, "QEL_Tavrin")) &&
           e2e::ProcessesOf(system_.Daemon()).size() == 1 && e2e::ProcessesOf(system_.Client()).size() == 1;
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
  StartSandbox({AsUser("TavrinDaemon.exe", temp, home)});
  ASSERT_TRUE(e2e::WaitFor([&] { return Held(LockIn(home, "QEL_TavrinDaemon")) && Held(LockIn(home, "QEL_Tavrin")); }))
      << "the first watchdog and its client hold their locks" << Diagnosis();
  ASSERT_EQ(qeltest::RunCommand(other + "rmdir " + Tmp()), 0) << "nothing of the user's went into it";

  EXPECT_EQ(SecondStart("TavrinDaemon.exe", temp, home), 255) << "a second watchdog ends at once" << Diagnosis();
  EXPECT_EQ(SecondStart("Tavrin.exe", temp, home), 255) << "a client started by hand ends at once" << Diagnosis();
  EXPECT_EQ(e2e::ProcessesOf(system_.Daemon()).size(), 1u) << Diagnosis();
  EXPECT_EQ(e2e::ProcessesOf(system_.Client()).size(), 1u) << Diagnosis();
  struct stat st;
  EXPECT_NE(lstat(Tmp().c_str(), &st), 0) << "nothing is made below /tmp";
}

// XDG_RUNTIME_DIR=/tmp/runtime-<uid>, as container and WSL setups use, with no /run/user/<uid>: the other
// user makes it before the user's first login, removes it while the first watchdog and client run, and the
// user's next login makes it again. The next watchdog and a client started by hand end as second copies.
TEST_F(OneCopyPerUser, ARuntimeFolderAnotherUserMakesAndRemovesInTmpNeverLetsASecondClientOrWatchdogRun) {
  privateTmp_ = Folder("tmp", 0, 0, 01777);
  const std::string runtime = "/tmp/runtime-" + std::to_string(user_);
  const std::string outside = privateTmp_ + "/runtime-" + std::to_string(user_);
  ASSERT_EQ(AsOther("mkdir -m 777 " + ShellQuote(outside)), 0);
  std::string home = Folder("home", user_, user_, 0700);
  std::string temp = Folder("user-temp", user_, user_, 0700);
  StartSandbox({AsUser("TavrinDaemon.exe", temp, home, "--clear-groups", runtime)});
  ASSERT_TRUE(e2e::WaitFor([&] { return OneOfEach(home); })) << Diagnosis();
  EXPECT_EQ(Listing(outside), "") << "nothing of the user's in their folder";
  ASSERT_EQ(AsOther("rmdir " + ShellQuote(outside)), 0);
  Folder("tmp/runtime-" + std::to_string(user_), user_, user_, 0700);

  EXPECT_EQ(SecondStart("TavrinDaemon.exe", temp, home, runtime), 255) << "the next login's watchdog" << Diagnosis();
  EXPECT_TRUE(OneOfEach(home)) << Diagnosis();
  EXPECT_EQ(SecondStart("Tavrin.exe", temp, home, runtime), 255) << "a client started by hand" << Diagnosis();
  EXPECT_TRUE(OneOfEach(home)) << Diagnosis();
  EXPECT_EQ(Listing(outside), "") << "the user's own runtime folder is not used either";
}

}  // namespace
