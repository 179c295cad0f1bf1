// An install whose final move (the unpacked package into the work folder) fails part-way leaves the old
// version whole: on a nearly full disk (a loop-mounted ext4 in a mount namespace of the test's own) whose
// work folder cannot grow for every new name, and with a preloaded library that fails any one rename of the
// move, on a file system that swaps two names in one step and on one that cannot. When taking a move back
// fails too, the install says so and is never reported as done. What the package would replace keeps its
// bytes, what it would add goes, the old installer stays and never runs; the downloaded zip goes either way.
//
// A staging folder is cleared away by a later install only when no living process holds it: another process
// sharing the work folder (in a PID namespace of its own) that installs while the first is stopped by gdb in
// the middle of its unpack leaves the first one's folder alone, and both go in whole; the folder of a process
// killed there, of one that died before it held its folder, and of one killed at any step of its final move
// is cleared away by the next install, which goes in whole. Where the file system keeps no locks, installs
// still go in whole.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "nginx_server.h"
#include "package_support.h"

namespace {

using enginetest::MakeZip;
using enginetest::RecorderScript;
using enginetest::TreeOf;
using enginetest::TZipEntry;

const char kShim[] = QEL_TEST_BIN_DIR "/libinstall_fault_shim.so";

bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::set<std::string> LinesOf(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

// The first few lines of each listing that the other lacks (none when the trees are the same), for a failure
// message that stays readable.
std::string Differences(const std::string& got, const std::string& want) {
  std::set<std::string> a = LinesOf(got);
  std::set<std::string> b = LinesOf(want);
  std::string text;
  int shown = 0;
  for (const std::string& line : a)
    if (!b.count(line) && shown++ < 8) text += "\n  extra:   " + line.substr(0, 120);
  shown = 0;
  for (const std::string& line : b)
    if (!a.count(line) && shown++ < 8) text += "\n  missing: " + line.substr(0, 120);
  return text;
}

// The old version of a product, as an earlier install left it: a file the package replaces, its installer,
// a folder the package merges into (one file replaced, one kept), a link the package replaces by a file, and
// a file the package does not know.
void MakeOldVersion(const std::string& work, const std::string& oldRecord) {
  qeltest::RunCommand("rm -rf '" + work + "'");
  ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((work + "/lib").c_str(), 0755), 0);
  qeltest::WriteFile(work + "/keep.txt", "old keep");
  qeltest::WriteFile(work + "/setup.exe", RecorderScript(oldRecord));
  ASSERT_EQ(chmod((work + "/setup.exe").c_str(), 0755), 0);
  qeltest::WriteFile(work + "/lib/a.dat", "old a");
  qeltest::WriteFile(work + "/lib/b.dat", "old b");
  qeltest::WriteFile(work + "/docs.txt", "docs");
  ASSERT_EQ(symlink("keep.txt", (work + "/current").c_str()), 0);
}

std::vector<TZipEntry> NewVersion() {
  return {{"keep.txt", "new keep"}, {"lib/a.dat", "new a"},          {"lib/c.dat", "new c"},
          {"added.txt", "added"},   {"newdir/x.txt", "x"},            {"newdir/deeper/y.txt", "y"},
          {"current", "now a file"}};
}

// One product's work folder below a base folder, the old version in it and a package for it.
class CMoveCase {
 public:
  explicit CMoveCase(std::vector<TZipEntry> entries) {
    mkdir(base.c_str(), 0700);
    md5 = MakeZip(dir.file("pkg.zip"), entries);
  }
  // The old version back, and the package where its download puts it.
  void Reset() {
    MakeOldVersion(work, dir.file("record-old"));
    qeltest::RunCommand("cp '" + dir.file("pkg.zip") + "' '" + Zip() + "'");
  }
  std::string Zip() const { return work + "/" + md5 + ".zip"; }
  std::string Install(const std::string& env) {
    qeltest::RunCommand("rm -f '" + Faults() + "'");
    return enginetest::RunInstallHost(base + "/", "P1", Zip(),
                                      "LD_PRELOAD='" + std::string(kShim) + "' QEL_RENAME_UNDER='" + work +
                                          "' QEL_RENAME_LOG='" + Faults() + "' " + env);
  }
  std::string Faults() const { return dir.file("faults"); }
  // What the work folder holds after the package went in whole.
  std::string Installed() {
    Reset();
    std::string out = enginetest::RunInstallHost(base + "/", "P1", Zip());
    EXPECT_FALSE(Holds(out, "解压失败")) << out;
    return TreeOf(work);
  }

  qeltest::TempDir dir{"failedinstall"};
  std::string base = dir.file("base");
  std::string work = base + "/P1";
  std::string md5;
};

// Every rename of the move fails in turn; after each failure the work folder is the old version again. The
// count goes on until a move meets no fault and the package is in place whole.
void EveryStepFailsInTurn(const std::string& mode) {
  CMoveCase c(NewVersion());
  ASSERT_EQ(c.md5.size(), 32u);
  const std::string installed = c.Installed();
  // The old version as the move must leave it: the zip goes either way.
  c.Reset();
  ASSERT_EQ(unlink(c.Zip().c_str()), 0);
  const std::string old = TreeOf(c.work);
  ASSERT_NE(installed, old);
  int steps = 0;
  for (int n = 1; n <= 64; ++n) {
    c.Reset();
    std::string out = c.Install(mode + " QEL_RENAME_FAIL_AT=" + std::to_string(n));
    if (qeltest::ReadFile(c.Faults()).empty()) {
      EXPECT_EQ(Differences(TreeOf(c.work), installed), "") << "the move that met no fault" << out;
      steps = n - 1;
      break;
    }
    EXPECT_EQ(Differences(TreeOf(c.work), old), "") << "rename " << n << " failed" << out;
    EXPECT_TRUE(Holds(out, "工作目录已还原-->")) << n << out;
    EXPECT_TRUE(Holds(out, "[16] 解压失败. 路径: " + c.Zip() + "\n")) << n << out;
    EXPECT_FALSE(Holds(out, "启动安装包成功")) << n << out;
  }
  // Seven items, two of them in a folder that merges, and the old installer that the package does not bring.
  EXPECT_GE(steps, 7) << "every item took its own move";
  EXPECT_FALSE(qeltest::FileExists(c.dir.file("record-old"))) << "the old installer never ran";
}

TEST(FailedInstall, AMoveThatFailsAtAnyStepIsTakenBackWhole) { EveryStepFailsInTurn(""); }

TEST(FailedInstall, AMoveThatFailsAtAnyStepIsTakenBackWholeWhereNamesCannotBeSwappedInOneStep) {
  EveryStepFailsInTurn("QEL_RENAME_NO_FLAGS=1");
}

// From the n-th rename on every rename fails, those that would take the move back included: the install
// names what it could not put back, keeps the staging folder (it holds the old content), and neither says
// it is done nor starts the package's installer. A later install clears the folder away and goes in whole.
TEST(FailedInstall, AMoveThatCannotBeTakenBackIsSaidSoAndNeverTakenForDone) {
  std::vector<TZipEntry> entries = NewVersion();
  qeltest::TempDir records("records");
  const std::string record = records.file("record-new");
  entries.push_back({"setup.exe", RecorderScript(record), 0755});
  CMoveCase c(entries);
  ASSERT_EQ(c.md5.size(), 32u);
  const std::string installed = c.Installed();
  ASSERT_TRUE(enginetest::WaitForFile(record));
  ASSERT_EQ(unlink(record.c_str()), 0);
  for (const char* mode : {"", "QEL_RENAME_NO_FLAGS=1"}) {
    bool completed = false;
    for (int n = 2; n <= 64 && !completed; ++n) {
      c.Reset();
      std::string out = c.Install(std::string(mode) + " QEL_RENAME_FAIL_FROM=" + std::to_string(n));
      completed = qeltest::ReadFile(c.Faults()).empty();
      if (completed) break;
      EXPECT_TRUE(Holds(out, "工作目录未能完全还原-->")) << mode << " " << n << out;
      EXPECT_TRUE(Holds(out, "[16] 未能还原：" + c.work + "/")) << mode << " " << n << out;
      EXPECT_TRUE(Holds(out, "[16] 解压失败. 路径: " + c.Zip() + "\n")) << mode << " " << n << out;
      EXPECT_TRUE(Holds(out, "[16] 启动安装包失败,错误码：2\n")) << mode << " " << n << out;
      EXPECT_FALSE(Holds(out, "启动安装包成功")) << mode << " " << n << out;
      std::string stages;
      qeltest::RunCommand("ls -d '" + c.work + "'/.qel-unpack-* 2>/dev/null", &stages);
      EXPECT_FALSE(stages.empty()) << "kept for the old content it holds" << mode << " " << n;

      qeltest::RunCommand("cp '" + c.dir.file("pkg.zip") + "' '" + c.Zip() + "'");
      out = enginetest::RunInstallHost(c.base + "/", "P1", c.Zip());
      EXPECT_EQ(Differences(TreeOf(c.work), installed), "")
          << "a later install goes in whole" << mode << " " << n << out;
      EXPECT_TRUE(enginetest::WaitForFile(record)) << out;
      unlink(record.c_str());
    }
    EXPECT_TRUE(completed) << mode;
  }
  EXPECT_FALSE(qeltest::FileExists(c.dir.file("record-old"))) << "the old installer never ran";
}

// A work folder whose own folder cannot grow for all the new names of a package, though the package fits
// unpacked beside it: the package replaces its installer and 100 files, merges into a folder and adds 4,000
// long names. The disk is sized once the staging folder's share of it has been measured.
const char kFiller[] = R"(import os, shutil, sys, zipfile
package, root = sys.argv[1], sys.argv[2]
def room():
    os.sync()
    st = os.statvfs(root)
    return st.f_bavail * st.f_frsize
before = room()
scratch = os.path.join(root, "measure")
with zipfile.ZipFile(package) as z:
    z.extractall(scratch)
unpacked = before - room()
folder = os.stat(scratch).st_size
shutil.rmtree(scratch)
# Room for the download and the staging folder, and for half the growth the work folder's own folder needs
# for the new names: the move runs out of room half-way.
keep = -(-os.path.getsize(package) // 4096) * 4096 + unpacked + folder // 2
with open(os.path.join(root, "filler"), "wb") as f:
    os.posix_fallocate(f.fileno(), 0, room() - keep)
print("unpacked", unpacked, "folder", folder, "left", room())
)";

TEST(FailedInstall, ANearlyFullDiskLeavesTheOldVersionWholeByteForByte) {
  if (getuid() != 0 || qeltest::RunCommand("unshare -m true") != 0 || qeltest::FindProgram("mkfs.ext4").empty())
    GTEST_SKIP() << "needs root, a mount namespace and mkfs.ext4 for a loop-mounted disk";
  qeltest::NginxServer nginx("location = /checkVersionInfo.html { try_files /answer.json =404; }");
  ASSERT_TRUE(nginx.started());
  enginetest::CHost host;
  std::vector<TZipEntry> entries = {{"setup.exe", RecorderScript(host.dir.file("record-new")), 0755},
                                    {"lib/a.dat", "new a"},
                                    {"lib/new.dat", "new"}};
  std::string old = host.dir.file("old");
  ASSERT_EQ(mkdir(old.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((old + "/lib").c_str(), 0755), 0);
  qeltest::WriteFile(old + "/setup.exe", RecorderScript(host.dir.file("record-old")));
  ASSERT_EQ(chmod((old + "/setup.exe").c_str(), 0755), 0);
  qeltest::WriteFile(old + "/lib/a.dat", "old a");
  qeltest::WriteFile(old + "/lib/b.dat", "old b");
  for (int i = 0; i < 100; ++i) {
    std::string name = "r" + std::to_string(1000 + i) + ".dat";
    qeltest::WriteFile(old + "/" + name, "old " + name);
    entries.push_back({name, "new " + name});
  }
  for (int i = 0; i < 4000; ++i)
    entries.push_back({"n" + std::to_string(10000 + i) + "-" + std::string(200, 'x'), std::to_string(i)});
  std::string md5 = MakeZip(nginx.DocRoot() + "/pkg.zip", entries);
  ASSERT_EQ(md5.size(), 32u);
  nginx.AddFile("answer.json", "{\"result\":\"success\",\"product_code\":\"P1\",\"product_version\":\"2.0\","
                               "\"setup_url\":\"" + nginx.Url("/pkg.zip") + "\",\"setup_md5\":\"" + md5 + "\"}");
  qeltest::WriteFile(host.registry + "/HKEY_CURRENT_USER.reg",
                     enginetest::Hive("[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"" +
                                      nginx.Url("/checkVersionInfo.html") + "\"\r\n\r\n" +
                                      enginetest::ProductKey("HKEY_CURRENT_USER", "P1",
                                                             "\"code\"=\"P1\"\r\n\"current_version\"=\"1.0\"\r\n"
                                                             "\"execute_file\"=\"/nonexistent/p1.exe\"\r\n"
                                                             "\"notify_type\"=\"0\"\r\n")));
  const std::string disk = host.dir.file("disk.img");
  const std::string temp = host.dir.file("disk");
  ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
  std::string out;
  // 4 KiB blocks, as the unpack's own room check reckons; no blocks kept for root; inodes for every name.
  const std::string mkfs = "mkfs.ext4 -q -F -b 4096 -m 0 -N 16384 '" + disk + "'";
  ASSERT_EQ(qeltest::RunCommand("truncate -s 64M '" + disk + "' && " + mkfs, &out), 0) << out;
  qeltest::WriteFile(host.dir.file("tree.py"), enginetest::TreeScript());
  qeltest::WriteFile(host.dir.file("fill.py"), kFiller);
  const std::string work = temp + "/P1";
  const std::string tree = "python3 '" + host.dir.file("tree.py") + "' '" + work + "' > '";
  std::string script = "set -e\nmount --make-rprivate /\n";
  script += "mount -o loop '" + disk + "' '" + temp + "'\nchmod 700 '" + temp + "'\n";
  script += "mkdir -m 700 '" + work + "'\ncp -a '" + old + "/.' '" + work + "/'\n";
  script += "python3 '" + host.dir.file("fill.py") + "' '" + nginx.DocRoot() + "/pkg.zip' '" + temp + "'\n";
  script += tree + host.dir.file("before") + "'\nset +e\n";
  // Waited for to the install's last line: the clearing away of its staging folder comes before it.
  script += "cd / && env QEL_REGISTRY_DIR='" + host.registry + "' TMPDIR='" + temp + "' LD_LIBRARY_PATH='" +
            QEL_BIN_DIR + "' '" + host.dir.file("engine_host") + "' service '启动安装包失败' 60000\n";
  script += tree + host.dir.file("after") + "'\n";
  qeltest::WriteFile(host.dir.file("run.sh"), script);
  qeltest::RunCommand("unshare -m /bin/sh '" + host.dir.file("run.sh") + "'", &out);
  std::string log = host.Log();
  ASSERT_TRUE(Holds(out, "SEEN")) << out << log;
  std::string before = qeltest::ReadFile(host.dir.file("before"));
  ASSERT_TRUE(Holds(before, "r1099.dat 644 file")) << before;
  EXPECT_TRUE(Holds(log, "安装包内容移入工作目录失败：" + work + "/n1")) << "a new name met the full disk" << log;
  EXPECT_TRUE(Holds(log, ",错误代码：112，工作目录已还原-->")) << log;
  EXPECT_EQ(Differences(qeltest::ReadFile(host.dir.file("after")), before), "")
      << "the old version whole, and the zip gone";
  EXPECT_FALSE(qeltest::FileExists(host.dir.file("record-old"))) << "the old installer never ran";
  EXPECT_FALSE(qeltest::FileExists(host.dir.file("record-new")));
}

std::vector<std::string> Stages(const std::string& work) {
  std::vector<std::string> stages;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir(work.c_str()), closedir);
  for (dirent* entry; folder && (entry = readdir(folder.get()));) {
    if (std::string(entry->d_name).compare(0, 12, ".qel-unpack-") == 0) stages.push_back(work + "/" + entry->d_name);
  }
  return stages;
}

// install_host under gdb, stopped where it begins to unpack (its staging folder made and held) until the
// test lets it go on; gdb then runs `then` (continue, or kill).
class CStoppedInstall {
 public:
  CStoppedInstall(const std::string& folder, const std::string& base, const std::string& zip, const std::string& then)
      : m_stopped(folder + ".stopped"), m_go(folder + ".go"), m_log(folder + ".log") {
    m_gdb = qeltest::ChildProcess(
        {"gdb", "-q", "-batch", "-ex", "set breakpoint pending on", "-ex", "break QELDeCompress", "-ex", "run", "-ex",
         "shell touch '" + m_stopped + "'", "-ex",
         "shell i=0; while [ ! -e '" + m_go + "' ] && [ $i -lt 3000 ]; do sleep 0.02; i=$((i+1)); done", "-ex", then,
         "--args", std::string(QEL_TEST_BIN_DIR) + "/install_host", base, "P1", zip},
        m_log);
  }
  bool WaitStopped() {
    return qeltest::WaitUntil([&] { return qeltest::FileExists(m_stopped); }, std::chrono::seconds(60),
                              std::chrono::milliseconds(10));
  }
  // Lets it go on, and waits for gdb to end; what the install and gdb printed.
  std::string Finish() {
    qeltest::WriteFile(m_go, "");
    m_gdb.Wait(std::chrono::seconds(60));
    return qeltest::ReadFile(m_log);
  }

 private:
  std::string m_stopped;
  std::string m_go;
  std::string m_log;
  qeltest::ChildProcess m_gdb;
};

TEST(StagingFolder, OnlyAFolderNoLivingProcessHoldsIsClearedAway) {
  if (qeltest::FindProgram("gdb").empty()) GTEST_SKIP() << "needs gdb to stop an install in the middle";
  qeltest::TempDir records("records");
  auto package = [&](const std::string& name) {
    return std::vector<TZipEntry>{{"setup.exe", RecorderScript(records.file(name)), 0755}, {"shared.txt", name}};
  };
  CMoveCase a(package("A"));
  CMoveCase b(package("B"));
  ASSERT_EQ(a.md5.size(), 32u);
  ASSERT_EQ(b.md5.size(), 32u);
  // Both install into a's work folder: two clients of one user sharing it.
  a.Reset();
  const std::string work = a.work;
  const std::string zipB = work + "/" + b.md5 + ".zip";
  auto placeB = [&] { qeltest::RunCommand("cp '" + b.dir.file("pkg.zip") + "' '" + zipB + "'"); };
  placeB();
  // A second process in a PID namespace of its own: the process ids it sees say nothing of the first.
  const std::string unshare = "unshare -p -f --mount-proc ";
  const std::string ownNamespace = qeltest::RunCommand(unshare + "true") == 0 ? unshare : "";
  // The namespace ends with its first process, and every process in it with it: that process waits for the
  // installer the install started.
  auto installB = [&] {
    std::string out;
    std::string record = records.file("B");
    unlink(record.c_str());
    qeltest::RunCommand(ownNamespace + "sh -c \"'" + std::string(QEL_TEST_BIN_DIR) + "/install_host' '" + a.base +
                            "/' P1 '" + zipB + "'; i=0; while [ ! -e '" + record +
                            "' ] && [ \\$i -lt 1000 ]; do sleep 0.02; i=\\$((i+1)); done\"",
                        &out);
    return out;
  };

  {
    CStoppedInstall first(a.dir.file("first"), a.base + "/", a.Zip(), "continue");
    ASSERT_TRUE(first.WaitStopped()) << first.Finish();
    std::vector<std::string> living = Stages(work);
    ASSERT_EQ(living.size(), 1u) << first.Finish();
    std::string out = installB();
    EXPECT_TRUE(Holds(out, "启动安装包成功")) << out;
    EXPECT_TRUE(qeltest::FileExists(living[0])) << "the living process's staging folder is left alone";
    std::string firstOut = first.Finish();
    EXPECT_FALSE(Holds(firstOut, "解压失败")) << firstOut;
    EXPECT_TRUE(Holds(firstOut, "启动安装包成功")) << firstOut;
    EXPECT_TRUE(enginetest::WaitForFile(records.file("A")));
    EXPECT_TRUE(enginetest::WaitForFile(records.file("B")));
    EXPECT_EQ(qeltest::ReadFile(work + "/shared.txt"), "A") << "the first went in last, whole";
    EXPECT_TRUE(Stages(work).empty());
  }

  {
    qeltest::RunCommand("cp '" + a.dir.file("pkg.zip") + "' '" + a.Zip() + "'");
    CStoppedInstall killed(a.dir.file("killed"), a.base + "/", a.Zip(), "kill");
    ASSERT_TRUE(killed.WaitStopped()) << killed.Finish();
    std::vector<std::string> dead = Stages(work);
    killed.Finish();
    ASSERT_EQ(dead.size(), 1u);
    EXPECT_TRUE(qeltest::FileExists(dead[0])) << "left by the killed process";
    // As a process leaves it that died between making its folder and holding it.
    ASSERT_EQ(mkdir((work + "/.qel-unpack-000000000000").c_str(), 0700), 0);
    placeB();
    std::string out = installB();
    EXPECT_TRUE(Holds(out, "启动安装包成功")) << out;
    EXPECT_TRUE(Stages(work).empty()) << "the dead ones' folders are cleared away" << out;
  }

  // Killed at each step of the final move: the kernel drops the hold with the process, and the next install
  // clears the folder away and goes in whole.
  CMoveCase c(NewVersion());
  ASSERT_EQ(c.md5.size(), 32u);
  const std::string installed = c.Installed();
  bool completed = false;
  for (int n = 1; n <= 64 && !completed; ++n) {
    c.Reset();
    std::string out = c.Install("QEL_RENAME_KILL_AT=" + std::to_string(n));
    completed = qeltest::ReadFile(c.Faults()).empty();
    if (completed) break;
    EXPECT_EQ(Stages(c.work).size(), 1u) << n << out;
    qeltest::RunCommand("cp '" + c.dir.file("pkg.zip") + "' '" + c.Zip() + "'");
    out = enginetest::RunInstallHost(c.base + "/", "P1", c.Zip());
    EXPECT_EQ(Differences(TreeOf(c.work), installed), "") << "killed at rename " << n << out;
  }
  EXPECT_TRUE(completed);
}

// On a file system that keeps no locks (a home on NFS), no staging folder can be held: installs still go in
// whole, and a folder left by a dead process stays, since no process can tell it dead.
TEST(StagingFolder, WhereNoFolderCanBeHeldInstallsStillGoInWhole) {
  CMoveCase c(NewVersion());
  ASSERT_EQ(c.md5.size(), 32u);
  const std::string installed = c.Installed();
  c.Reset();
  const std::string left = c.work + "/.qel-unpack-000000000000";
  ASSERT_EQ(mkdir(left.c_str(), 0700), 0);
  std::string out = c.Install("QEL_FLOCK_NONE=1");
  EXPECT_FALSE(Holds(out, "解压失败")) << out;
  EXPECT_EQ(Stages(c.work), std::vector<std::string>{left}) << out;
  ASSERT_EQ(rmdir(left.c_str()), 0);
  EXPECT_EQ(Differences(TreeOf(c.work), installed), "") << out;
}

}  // namespace
