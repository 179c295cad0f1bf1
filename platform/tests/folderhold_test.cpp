// Folder holds as a process clearing away dead staging folders meets them: a held folder is busy to every
// other holder, also in this process, until it is released or its holder dies however it dies; a program
// the holder starts keeps no hold; a link is never held for its folder; and a holder can tell that the
// path no longer names the folder it holds. Left out: file systems without locks (NFS), which no test here
// can mount.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "qelplat/folderhold.h"
#include "qelplat/lasterror.h"
#include "test_support.h"

namespace {

using qelplat::CFolderHold;

class FolderHold : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0); }

  qeltest::TempDir dir_{"folderhold"};
  std::string folder_ = dir_.file("stage");
};

TEST_F(FolderHold, AHeldFolderIsBusyToEveryOtherHolderUntilReleased) {
  CFolderHold first;
  CFolderHold second;
  EXPECT_EQ(first.TryHold(folder_), qelplat::HOLD_TAKEN);
  EXPECT_TRUE(first.HeldAt(folder_));
  EXPECT_EQ(second.TryHold(folder_), qelplat::HOLD_BUSY) << "another open of the folder, in this very process";
  EXPECT_FALSE(second.HeldAt(folder_));
  first.Release();
  EXPECT_FALSE(first.HeldAt(folder_));
  EXPECT_EQ(second.TryHold(folder_), qelplat::HOLD_TAKEN);
  {
    CFolderHold scoped;
    EXPECT_EQ(scoped.TryHold(dir_.path()), qelplat::HOLD_TAKEN);
    EXPECT_EQ(scoped.TryHold(folder_), qelplat::HOLD_BUSY) << "the earlier hold was let go first";
    EXPECT_EQ(first.TryHold(dir_.path()), qelplat::HOLD_TAKEN);
  }
  EXPECT_EQ(second.TryHold(folder_), qelplat::HOLD_TAKEN) << "holding again what it holds";
}

// util-linux's flock takes the same lock on the open folder, as a process of another program would; without
// forking, the program it becomes holds the lock alone, and is killed outright.
TEST_F(FolderHold, AHolderKilledLeavesNothingThatLooksAliveAndAnotherProgramsLockIsMet) {
  qeltest::ChildProcess holder({"flock", "--exclusive", "--no-fork", folder_, "sleep", "600"});
  CFolderHold other;
  ASSERT_TRUE(qeltest::WaitUntil([&] { return other.TryHold(folder_) == qelplat::HOLD_BUSY; }));
  holder.Stop(SIGKILL);
  EXPECT_EQ(other.TryHold(folder_), qelplat::HOLD_TAKEN);
}

// A program started while the folder is held keeps running after the holder lets go; the folder is free.
TEST_F(FolderHold, AProgramTheHolderStartsKeepsNoHold) {
  CFolderHold hold;
  ASSERT_EQ(hold.TryHold(folder_), qelplat::HOLD_TAKEN);
  qeltest::ChildProcess started({"sleep", "30"});
  ASSERT_TRUE(started.running());
  hold.Release();
  CFolderHold other;
  EXPECT_EQ(other.TryHold(folder_), qelplat::HOLD_TAKEN);
  EXPECT_TRUE(started.running());
}

TEST_F(FolderHold, OnlyARealFolderCanBeHeldNeverALinkToOne) {
  std::string link = dir_.file("link");
  ASSERT_EQ(symlink(folder_.c_str(), link.c_str()), 0);
  std::string file = dir_.file("file");
  qeltest::WriteFile(file, "");
  CFolderHold hold;
  SetLastError(0);
  EXPECT_EQ(hold.TryHold(link), qelplat::HOLD_FAILED);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(hold.TryHold(file), qelplat::HOLD_FAILED);
  EXPECT_EQ(hold.TryHold(dir_.file("gone")), qelplat::HOLD_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(hold.HeldAt(dir_.file("gone")));
  CFolderHold other;
  EXPECT_EQ(other.TryHold(folder_), qelplat::HOLD_TAKEN) << "the failed holds took nothing";
}

// Another process took the folder for dead before this one held it, and removed it or put another in its
// place: the hold is on a folder the path no longer names.
TEST_F(FolderHold, AHolderTellsThatThePathNoLongerNamesItsFolder) {
  CFolderHold hold;
  ASSERT_EQ(hold.TryHold(folder_), qelplat::HOLD_TAKEN);
  ASSERT_EQ(rename(folder_.c_str(), dir_.file("moved").c_str()), 0);
  EXPECT_FALSE(hold.HeldAt(folder_)) << "moved away";
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  EXPECT_FALSE(hold.HeldAt(folder_)) << "another folder of its name";
  EXPECT_TRUE(hold.HeldAt(dir_.file("moved")));
  ASSERT_EQ(rmdir(dir_.file("moved").c_str()), 0);
  EXPECT_FALSE(hold.HeldAt(dir_.file("moved"))) << "removed";
  CFolderHold fresh;
  EXPECT_EQ(fresh.TryHold(folder_), qelplat::HOLD_TAKEN);
  EXPECT_TRUE(fresh.HeldAt(folder_));
}

}  // namespace
