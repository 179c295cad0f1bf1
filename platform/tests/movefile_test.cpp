// The renames a failed install is taken back with: a move never replaces what it meets, of whatever kind,
// and a link is moved, never followed; an exchange swaps two names of any kinds and is undone by itself; a
// full disk stops a move into a folder that cannot grow, but never an exchange. Left out: file systems that
// know neither (NFS, FUSE), where the install's own tests stand in for them with a preloaded shim.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "qelplat/lasterror.h"
#include "qelplat/movefile.h"
#include "test_support.h"

namespace {

class MoveFile : public ::testing::Test {
 protected:
  // What is at path: "file:<bytes>", "folder", "link:<target>" or "none".
  static std::string What(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return "none";
    if (S_ISDIR(st.st_mode)) return "folder";
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(path.c_str(), target, sizeof target);
      return "link:" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return "file:" + qeltest::ReadFile(path);
  }

  static std::string Moved(const std::string& from, const std::string& to, DWORD flags = 0) {
    SetLastError(0);
    if (MoveFileExA(from.c_str(), to.c_str(), flags)) return "moved";
    return "error " + std::to_string(GetLastError());
  }

  static std::string Exchanged(const std::string& a, const std::string& b) {
    SetLastError(0);
    if (qelplat::ExchangePaths(a, b)) return "exchanged";
    return "error " + std::to_string(GetLastError());
  }

  // One of each kind: "file" (holding "bytes"), "folder" (holding "inner") and "link" to the target given.
  void OneOfEachKind(const char* linkTarget) {
    qeltest::WriteFile(dir_.file("file"), "bytes");
    ASSERT_EQ(mkdir(dir_.file("folder").c_str(), 0700), 0);
    qeltest::WriteFile(dir_.file("folder/inner"), "inner");
    ASSERT_EQ(symlink(linkTarget, dir_.file("link").c_str()), 0);
  }

  qeltest::TempDir dir_{"movefile"};
};

TEST_F(MoveFile, AMoveTakesFilesFoldersAndLinksToAFreeNameAndTheLinkIsNotFollowed) {
  OneOfEachKind("folder");
  // The link is moved last, after the folder it names: the link itself goes, its text unchanged.
  const struct {
    const char* name;
    const char* seen;  // what its new name shows, looked into
  } kinds[] = {{"file", "file:bytes"}, {"folder", "file:inner"}, {"link", "link:folder"}};
  for (const auto& kind : kinds) {
    const std::string from = dir_.file(kind.name);
    const std::string to = from + "2";
    EXPECT_EQ(Moved(from, to), "moved") << kind.name;
    EXPECT_EQ(What(from), "none") << kind.name;
    EXPECT_EQ(What(std::string(kind.name) == "folder" ? to + "/inner" : to), kind.seen) << kind.name;
  }
  EXPECT_EQ(What(dir_.file("folder2")), "folder") << "not followed into, nor moved with the link";
  EXPECT_EQ(Moved(dir_.file("gone"), dir_.file("any")), "error 2");
  EXPECT_EQ(Moved(dir_.file("file2"), dir_.file("no/such")), "error 2");
}

TEST_F(MoveFile, AMoveNeverReplacesWhatItMeetsNorTakesFlags) {
  qeltest::WriteFile(dir_.file("source"), "new");
  qeltest::WriteFile(dir_.file("file"), "old");
  ASSERT_EQ(mkdir(dir_.file("empty").c_str(), 0700), 0);
  ASSERT_EQ(symlink("file", dir_.file("link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", dir_.file("dangling").c_str()), 0);
  for (const char* taken : {"file", "empty", "link", "dangling"}) {
    std::string before = What(dir_.file(taken));
    EXPECT_EQ(Moved(dir_.file("source"), dir_.file(taken)), "error 183") << taken;
    EXPECT_EQ(What(dir_.file(taken)), before) << taken;
    EXPECT_EQ(What(dir_.file("source")), "file:new") << taken;
  }
  EXPECT_EQ(What(dir_.file("nowhere")), "none") << "a dangling link is never followed to make its target";
  // Replacing on request (Windows' MOVEFILE_REPLACE_EXISTING) or any other flag is refused, nothing moved.
  for (DWORD flags : {0x1u, 0x2u, 0x8u}) {
    EXPECT_EQ(Moved(dir_.file("source"), dir_.file("file"), flags), "error 87") << flags;
    EXPECT_EQ(Moved(dir_.file("source"), dir_.file("free"), flags), "error 87") << flags;
  }
  EXPECT_EQ(What(dir_.file("file")), "file:old");
  EXPECT_EQ(What(dir_.file("free")), "none");
  SetLastError(0);
  EXPECT_FALSE(MoveFileExA(nullptr, dir_.file("free").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(MoveFileExA(dir_.file("source").c_str(), nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(MoveFile, AnExchangeSwapsNamesOfAnyKindAndASecondTakesItBack) {
  OneOfEachKind("nowhere");
  EXPECT_EQ(Exchanged(dir_.file("file"), dir_.file("folder")), "exchanged");
  EXPECT_EQ(What(dir_.file("file/inner")), "file:inner");
  EXPECT_EQ(What(dir_.file("folder")), "file:bytes");
  EXPECT_EQ(Exchanged(dir_.file("folder"), dir_.file("link")), "exchanged");
  EXPECT_EQ(What(dir_.file("folder")), "link:nowhere") << "a link is swapped, not followed";
  EXPECT_EQ(What(dir_.file("link")), "file:bytes");
  EXPECT_EQ(Exchanged(dir_.file("folder"), dir_.file("link")), "exchanged");
  EXPECT_EQ(Exchanged(dir_.file("file"), dir_.file("folder")), "exchanged");
  EXPECT_EQ(What(dir_.file("file")), "file:bytes");
  EXPECT_EQ(What(dir_.file("folder/inner")), "file:inner");
  EXPECT_EQ(What(dir_.file("link")), "link:nowhere");
  EXPECT_EQ(Exchanged(dir_.file("file"), dir_.file("gone")), "error 2") << "both must exist";
  EXPECT_EQ(Exchanged(dir_.file("gone"), dir_.file("file")), "error 2");
  EXPECT_EQ(What(dir_.file("file")), "file:bytes");
}

// A disk filled to the last block, whose folder holds as many names as its blocks take: a new name cannot
// be moved in (112, nothing moved), while an exchange with a name already there still goes.
TEST_F(MoveFile, AFullDiskStopsAMoveIntoAFolderThatCannotGrowButNoExchange) {
  if (getuid() != 0 || qeltest::RunCommand("unshare -m true") != 0 || qeltest::FindProgram("mkfs.ext4").empty())
    GTEST_SKIP() << "needs root, a mount namespace and mkfs.ext4 for a loop-mounted disk";
  const std::string image = dir_.file("disk.img");
  const std::string disk = dir_.file("disk");
  ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
  std::string out;
  ASSERT_EQ(qeltest::RunCommand("truncate -s 2M '" + image + "' && mkfs.ext4 -q -F -b 1024 -m 0 -N 256 '" + image + "'", &out),
            0)
      << out;
  qeltest::WriteFile(dir_.file("outside"), "outside");
  std::string result = qeltest::InChild(
      [&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
          return std::string("no namespace");
        if (qeltest::RunCommand("mount -o loop '" + image + "' '" + disk + "'") != 0) return std::string("no mount");
        const std::string folder = disk + "/folder";
        mkdir(folder.c_str(), 0700);
        qeltest::WriteFile(disk + "/file", "on the disk");
        // Every block taken, then names added to the folder until one more cannot be.
        qeltest::RunCommand("fallocate -l $(( $(stat -f -c '%a*%S' '" + disk + "') )) '" + disk + "/filler'");
        std::string longName(200, 'n');
        int names = 0;
        while (names < 1000) {
          std::string name = folder + "/" + std::to_string(names) + longName;
          int fd = open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
          if (fd < 0) break;
          close(fd);
          ++names;
        }
        std::string text = errno == ENOSPC ? "full" : "not full";
        text += " | " + Moved(disk + "/file", folder + "/new" + longName);
        text += " | " + What(disk + "/file");
        text += " | " + Exchanged(disk + "/file", folder + "/0" + longName);
        text += " | " + What(folder + "/0" + longName);
        umount(disk.c_str());
        return text;
      },
      false);
  EXPECT_EQ(result, "full | error 112 | file:on the disk | exchanged | file:on the disk");
}

}  // namespace
