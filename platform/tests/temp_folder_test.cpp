// The temporary folder on a shared machine, with another user (nobody) making folders first where ours
// would go or renaming in folders above ours: a TMPDIR that others may write to (the usual /tmp) is never
// used as it is, a qel-<uid> is made only where no one else can rename it away, and whatever cannot be used
// gives way to the private folder in the home, never to nothing while a usable folder exists.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "qelplat/lasterror.h"
#include "qelplat/paths.h"
#include "qelplat/privatefolder.h"
#include "test_support.h"

namespace {

// The temporary folder with TMPDIR and HOME as given (XDG_CACHE_HOME unset).
std::string TempPath(const std::string& tmpdir, const std::string& home) {
  qeltest::EnvGuard env("TMPDIR", tmpdir.c_str());
  qeltest::EnvGuard homeEnv("HOME", home.c_str());
  qeltest::EnvGuard cache("XDG_CACHE_HOME", nullptr);
  char buffer[4096];
  SetLastError(0);
  DWORD n = GetTempPathA(sizeof buffer, buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : "error " + std::to_string(GetLastError());
}

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}

std::string Listing(const std::string& folder) {
  std::string listing;
  qeltest::RunCommand("ls -A '" + folder + "'", &listing);
  return listing;
}

// Folders of the test's own below a folder others may pass through.
class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    home_ = dir_.file("home");
    ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
  }

  std::string Folder(const std::string& name, mode_t mode) {
    std::string path = dir_.file(name);
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
    return path;
  }

  std::string Cache() const { return home_ + "/.cache/qel/"; }

  qeltest::TempDir dir_;
  std::string home_;
  std::string ours_ = "qel-" + std::to_string(geteuid());
};

TEST_F(TempFolder, AFolderOfTheUsersOwnIsUsedAsItIsAndASharedOneGetsOursBelowIt) {
  std::string own = Folder("own", 0755);
  std::string shared = Folder("shared", 01777);
  EXPECT_EQ(TempPath(own, home_), own + "/");
  EXPECT_EQ(TempPath(shared + "/", home_), shared + "/" + ours_ + "/");
  EXPECT_EQ(ModeOf(shared + "/" + ours_), 0700u);
  EXPECT_EQ(TempPath(shared, home_), shared + "/" + ours_ + "/") << "and the second time";
  EXPECT_EQ(Listing(home_), "") << "the home is not touched while the temporary folder serves";
}

// A team folder (group-writable, no sticky bit) lets every member rename our folder away and put a link in
// its place: nothing of ours goes there, nor below a folder like it further up.
TEST_F(TempFolder, AFolderOthersMayRenameInNeverHostsOursAndTheHomeServes) {
  std::string team = Folder("team", 02770);
  std::string open = Folder("open", 0777);
  std::string below = open + "/tmp";
  ASSERT_EQ(mkdir(below.c_str(), 0700), 0);
  EXPECT_EQ(TempPath(team, home_), Cache());
  EXPECT_EQ(Listing(team), "");
  EXPECT_EQ(ModeOf(Cache()), 0700u);
  EXPECT_EQ(TempPath(below, home_), Cache()) << "a private TMPDIR below an open folder is no private folder";
  EXPECT_EQ(Listing(below), "");

  qeltest::EnvGuard env("TMPDIR", team.c_str());
  qeltest::EnvGuard homeEnv("HOME", home_.c_str());
  qelplat::TTempFolderChoice choice = qelplat::ChooseTempFolder();
  ASSERT_EQ(choice.refused.size(), 1u);
  EXPECT_EQ(choice.refused[0].folder, team);
  EXPECT_EQ(choice.refused[0].why.trust, qelplat::FOLDER_SHARED);
  EXPECT_EQ(choice.refused[0].why.mode, 02770u);
}

TEST_F(TempFolder, OursTakenFirstByAnotherUserIsRefusedUntouchedAndTheHomeServes) {
  if (getuid() != 0) GTEST_SKIP() << "another user's folders need root to make";
  // Another user takes our name first: as an open folder of their own, or as a link to one.
  std::string squatted = Folder("squatted", 01777);
  std::string linked = Folder("linked", 01777);
  std::string made = qeltest::AsOrdinaryUser([&] {
    bool ok = mkdir((squatted + "/" + ours_).c_str(), 0777) == 0 && chmod((squatted + "/" + ours_).c_str(), 0777) == 0 &&
              mkdir((linked + "/theirs").c_str(), 0777) == 0 && chmod((linked + "/theirs").c_str(), 0777) == 0 &&
              symlink((linked + "/theirs").c_str(), (linked + "/" + ours_).c_str()) == 0;
    return std::string(ok ? "made" : "not made");
  });
  ASSERT_EQ(made, "made");
  EXPECT_EQ(TempPath(squatted, home_), Cache());
  EXPECT_EQ(TempPath(linked, home_), Cache());
  EXPECT_EQ(ModeOf(squatted + "/" + ours_), 0777u) << "refused, not taken over";
  EXPECT_EQ(Listing(squatted + "/" + ours_), "");
  EXPECT_EQ(Listing(linked + "/theirs"), "") << "never followed";

  // The home's folder is judged the same way: taken there too, nothing is left.
  ASSERT_EQ(rmdir((home_ + "/.cache/qel").c_str()), 0);
  ASSERT_EQ(chmod(home_.c_str(), 0755), 0);
  ASSERT_EQ(chmod((home_ + "/.cache").c_str(), 01777), 0);
  ASSERT_EQ(qeltest::AsOrdinaryUser([&] {
              return std::string(mkdir((home_ + "/.cache/qel").c_str(), 0700) == 0 ? "made" : "not made");
            }),
            "made");
  EXPECT_EQ(TempPath(squatted, home_), "error 5");
}

// As an ordinary user: a TMPDIR that cannot be written to (root's, or the user's own without write access)
// gives way to the home; with the home closed too, nothing is used and the caller is told.
TEST_F(TempFolder, AnUnwritableTemporaryFolderGivesWayToTheHome) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  std::string roots = Folder("roots", 0755);
  std::string closed = Folder("closed", 0555);
  ASSERT_EQ(chown(closed.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(home_.c_str(), 65534, 65534), 0);
  std::string nobodys = qeltest::AsOrdinaryUser([&] {
    return TempPath(roots, home_) + "|" + TempPath(closed, home_) + "|" + TempPath(roots, roots);
  });
  std::string cache = home_ + "/.cache/qel/";
  EXPECT_EQ(nobodys, cache + "|" + cache + "|error 5");
  EXPECT_EQ(Listing(roots), "");
  EXPECT_EQ(Listing(closed), "");
}

// The results CreatePrivateDirectory promises, as the engine reads them for a work folder: 5 for a folder it
// would be made in that others may rename in (whether that folder is the last level or one above it) or a
// level that cannot be searched, 3 only where nothing is there.
std::string Created(const std::string& path) {
  SetLastError(0);
  if (qelplat::CreatePrivateDirectory(path)) return "made " + std::to_string(ModeOf(path));
  return "error " + std::to_string(GetLastError());
}

TEST_F(TempFolder, CreatePrivateDirectoryRefusesAFolderOthersMayRenameInAndTellsUnsearchableFromMissing) {
  std::string team = Folder("team", 02770);
  std::string sticky = Folder("sticky", 01777);
  EXPECT_EQ(Created(team + "/P"), "error 5") << "a group may rename ours away in a 2770 folder";
  EXPECT_EQ(Listing(team), "");
  EXPECT_EQ(Created(team + "/P/Q"), "error 5");
  EXPECT_EQ(Created(sticky + "/P"), "made " + std::to_string(0700u)) << "a sticky folder lets no one rename ours";
  EXPECT_EQ(Created(dir_.file("none/P")), "error 3");
  if (getuid() != 0) return;
  std::string theirs = Folder("theirs", 0755);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  EXPECT_EQ(Created(theirs + "/P"), "error 5") << "another user's folder is theirs to rename in";
  EXPECT_EQ(Listing(theirs), "");
  // Root's folder that the user cannot search: what is below it cannot be told, so access is denied.
  std::string closed = Folder("closed", 0700);
  ASSERT_EQ(mkdir((closed + "/inner").c_str(), 0755), 0);
  EXPECT_EQ(qeltest::AsOrdinaryUser([&] {
              return Created(closed + "/inner/P") + "|" + Created(closed + "/P") + "|" + Created(dir_.file("none/P"));
            }),
            "error 5|error 5|error 3");
}

// A TMPDIR that is a link of the user's names the folders the user gave, below the link, as a path without
// a link would; every level it leads to is judged as before. A link of anyone else's is never followed.
TEST_F(TempFolder, ATmpdirThatIsALinkKeepsItsGivenPathAndTheFoldersItLeadsToAreJudged) {
  std::string own = Folder("own", 0700);
  std::string shared = Folder("shared", 01777);
  std::string open = Folder("open", 0777);
  ASSERT_EQ(mkdir((open + "/tmp").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir_.file("links").c_str(), 0755), 0);
  std::string toOwn = dir_.file("links/own");
  std::string toShared = dir_.file("links/shared");
  std::string relative = dir_.file("links/relative");
  std::string belowOpen = dir_.file("links/below-open");
  ASSERT_EQ(symlink(own.c_str(), toOwn.c_str()), 0);
  ASSERT_EQ(symlink(shared.c_str(), toShared.c_str()), 0);
  ASSERT_EQ(symlink("../links/own", relative.c_str()), 0);
  ASSERT_EQ(symlink((open + "/tmp").c_str(), belowOpen.c_str()), 0);
  std::string inOpen = open + "/mine";
  ASSERT_EQ(symlink(own.c_str(), inOpen.c_str()), 0);
  std::string loop = dir_.file("links/loop");
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);

  EXPECT_EQ(TempPath(toOwn, home_), toOwn + "/");
  EXPECT_EQ(TempPath(toOwn + "/", home_), toOwn + "/");
  EXPECT_EQ(TempPath(relative, home_), relative + "/");
  EXPECT_EQ(TempPath(toShared, home_), toShared + "/" + ours_ + "/");
  EXPECT_EQ(Created(toOwn + "/P"), "made " + std::to_string(0700u)) << "a work folder below the link";
  EXPECT_EQ(qelplat::CheckPrivateFolder(toOwn + "/P").trust, qelplat::FOLDER_PRIVATE);
  EXPECT_EQ(ModeOf(own + "/P"), 0700u) << "made where the link leads";
  qelplat::TFolderTrust below = qelplat::CheckPrivateFolder(belowOpen);
  EXPECT_EQ(below.trust, qelplat::FOLDER_OPEN_ABOVE);
  EXPECT_EQ(below.at, open) << "the folder at fault, where the link leads";
  EXPECT_EQ(TempPath(belowOpen, home_), Cache());
  EXPECT_EQ(Listing(open + "/tmp"), "");
  EXPECT_EQ(TempPath(inOpen, home_), Cache()) << "a link in a folder others may rename in could be swapped";
  EXPECT_EQ(qelplat::CheckPrivateFolder(loop).trust, qelplat::FOLDER_NOT_A_FOLDER);

  if (getuid() != 0) return;
  // Another user's link in a sticky folder, to a folder of ours: they could point it elsewhere at any time.
  std::string theirs = shared + "/theirs";
  ASSERT_EQ(qeltest::AsOrdinaryUser([&] { return std::to_string(symlink(own.c_str(), theirs.c_str())); }), "0");
  EXPECT_EQ(TempPath(theirs, home_), Cache());
  EXPECT_EQ(qelplat::CheckPrivateFolder(theirs).trust, qelplat::FOLDER_NOT_A_FOLDER);
  EXPECT_EQ(Created(theirs + "/P"), "error 5");
  EXPECT_EQ(Listing(own), "P\n") << "nothing of ours went through their link";
}

}  // namespace
