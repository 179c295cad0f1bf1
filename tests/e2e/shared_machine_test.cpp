// The client run by an ordinary user (nobody) on a machine shared with another (uid 65533), installed in a
// folder that user cannot write to, as a system-wide install is: a TMPDIR that a group may rename in, a
// qel-<uid> another user made first, a TMPDIR that cannot be written to, and no folder to be had at all.
// None of them stops the client; the silent update is installed from the private folder in the user's home
// whenever one can be had, and nothing of ours is put where another user could swap it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
                                  ShellQuote(system_.RegistryFolder()) + "/* && chown " + std::to_string(kUser) +
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

  // The client as the user, in a namespace of its own, with the temporary folder and home given.
  void Start(const std::string& tmpdir, const std::string& home, const std::string& groups = "--clear-groups") {
    std::string command = "exec setpriv --reuid=" + std::to_string(kUser) + " --regid=" + std::to_string(kUser) +
                          " " + groups + " env -u XDG_CACHE_HOME HOME=" + ShellQuote(home) +
                          " TMPDIR=" + ShellQuote(tmpdir) + " ./Tavrin.exe";
    sandbox_ = std::make_unique<CSandbox>(system_, std::vector<std::string>{command});
    ASSERT_TRUE(e2e::WaitFor([&] { return !e2e::ProcessesOf(system_.Client()).empty(); })) << Diagnosis();
  }

  // The update installed silently from the product's folder in the home, the client still running.
  void ExpectInstalledFrom(const std::string& home, std::chrono::seconds bound = std::chrono::seconds(60)) {
    std::string work = home + "/.cache/qel/UP";
    ASSERT_TRUE(system_.WaitForLog("静默安装" + work + "/setup.exe-->", 1, bound)) << Diagnosis();
    ASSERT_TRUE(e2e::WaitFor([&] { return qeltest::FileExists(record_); })) << Diagnosis();
    EXPECT_EQ(qeltest::ReadFile(record_), system_.Bin() + "\n[/verysilent]\n[/norestart]\n");
    struct stat st = {};
    ASSERT_EQ(stat(work.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the folder in the home is the user's alone";
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

}  // namespace
