// The temporary folder on a shared machine, with another user (nobody) making folders first where ours
// would go: a TMPDIR that others may write to (the usual /tmp) is never used as it is.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "qelplat/lasterror.h"
#include "qelplat/paths.h"
#include "test_support.h"

namespace {

std::string TempPath(const std::string& tmpdir) {
  qeltest::EnvGuard env("TMPDIR", tmpdir.c_str());
  char buffer[4096];
  SetLastError(0);
  DWORD n = GetTempPathA(sizeof buffer, buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : "error " + std::to_string(GetLastError());
}

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}

TEST(TempFolder, OnlyAFolderOfTheUsersOwnIsUsedAsItIsAndNoPlantedOneIsFollowed) {
  qeltest::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::string own = dir.file("own");
  std::string shared = dir.file("shared");
  ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  std::string ours = "qel-" + std::to_string(geteuid());

  EXPECT_EQ(TempPath(own), own + "/");
  EXPECT_EQ(TempPath(shared + "/"), shared + "/" + ours + "/");
  EXPECT_EQ(ModeOf(shared + "/" + ours), 0700u);
  EXPECT_EQ(TempPath(shared), shared + "/" + ours + "/") << "and the second time";

  if (getuid() != 0) GTEST_SKIP() << "another user's folders need root to make";
  // Another user takes our name first: as an open folder of their own, or as a link to one.
  std::string squatted = dir.file("squatted");
  std::string linked = dir.file("linked");
  for (const std::string& folder : {squatted, linked}) {
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
  }
  std::string made = qeltest::AsOrdinaryUser([&] {
    bool ok = mkdir((squatted + "/" + ours).c_str(), 0777) == 0 && chmod((squatted + "/" + ours).c_str(), 0777) == 0 &&
              mkdir((linked + "/theirs").c_str(), 0777) == 0 && chmod((linked + "/theirs").c_str(), 0777) == 0 &&
              symlink((linked + "/theirs").c_str(), (linked + "/" + ours).c_str()) == 0;
    return std::string(ok ? "made" : "not made");
  });
  ASSERT_EQ(made, "made");
  EXPECT_EQ(TempPath(squatted), "error 5");
  EXPECT_EQ(TempPath(linked), "error 5");
  EXPECT_EQ(ModeOf(squatted + "/" + ours), 0777u) << "refused, not taken over";
  std::string listing;
  qeltest::RunCommand("ls -A '" + linked + "/theirs'", &listing);
  EXPECT_EQ(listing, "") << "never followed";
}

}  // namespace
