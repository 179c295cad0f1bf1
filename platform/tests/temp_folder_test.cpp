// The temporary folder on a shared machine, with another user (nobody) making folders first where ours
// would go or renaming in folders above ours: a TMPDIR that others may write to (the usual /tmp) is never
// used as it is, a qel-<uid> is made only where no one else can rename it away, and whatever cannot be used
// gives way to the private folder in the home, never to nothing while a usable folder exists.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
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
  EXPECT_EQ(qelplat::CheckPrivateFolder(loop).trust, qelplat::FOLDER_LINK_LOOP);

  if (getuid() != 0) return;
  // Another user's link in a sticky folder, to a folder of ours: they could point it elsewhere at any time.
  std::string theirs = shared + "/theirs";
  ASSERT_EQ(qeltest::AsOrdinaryUser([&] { return std::to_string(symlink(own.c_str(), theirs.c_str())); }), "0");
  EXPECT_EQ(TempPath(theirs, home_), Cache());
  EXPECT_EQ(qelplat::CheckPrivateFolder(theirs).trust, qelplat::FOLDER_NOT_A_FOLDER);
  EXPECT_EQ(Created(theirs + "/P"), "error 5");
  EXPECT_EQ(Listing(own), "P\n") << "nothing of ours went through their link";
}

// How the system's own lookup takes a path, for comparison: "folder", "missing", "loop" or "other".
std::string KernelSees(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? "folder" : "other";
  return errno == ELOOP ? "loop" : errno == ENOENT ? "missing" : "other";
}

// ".." goes back from where the walk stands, as the system's lookup does: from where a link led, not from
// the link's name in the text; any number in a row, "/.." being "/". Beside each right answer stands a
// decoy that the text alone would name, shared with others, so a walk that took ".." by the text would
// judge the decoy and say so.
TEST_F(TempFolder, DotDotIsWalkedAsTheSystemWalksItThroughLinksAndAtTheRoot) {
  std::string own = Folder("own", 0700);
  ASSERT_EQ(mkdir((own + "/a").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((own + "/a/b").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((own + "/x").c_str(), 0700), 0);
  std::string links = Folder("links", 0755);
  // Decoys: where ".." taken as text would lead.
  for (const std::string& decoy : {own + "/a/x", links + "/x", dir_.file("x")}) {
    ASSERT_EQ(mkdir(decoy.c_str(), 0700), 0);
    ASSERT_EQ(chmod(decoy.c_str(), 0777), 0);
  }
  ASSERT_EQ(symlink("../own/a/b", (links + "/deep").c_str()), 0) << "a relative link";
  ASSERT_EQ(symlink((own + "/a/b").c_str(), (links + "/absolute").c_str()), 0);
  ASSERT_EQ(symlink("deep/../..", (links + "/through").c_str()), 0) << "a link whose own text climbs";

  for (const std::string& path :
       {own + "/a/b/../../x", links + "/deep/../../x", links + "/absolute/../../x", links + "/through/x",
        links + "/deep/./.././../x", "/../.." + own + "/x", "/.." + links + "/deep/../../../own/x"}) {
    EXPECT_EQ(KernelSees(path), "folder") << path;
    EXPECT_EQ(qelplat::CheckPrivateFolder(path).trust, qelplat::FOLDER_PRIVATE) << path;
    EXPECT_EQ(TempPath(path, home_), path + "/") << "used as given";
  }
  EXPECT_EQ(qelplat::CheckPrivateFolder(links + "/deep/../x").trust, qelplat::FOLDER_SHARED) << "own/a/x";
  EXPECT_EQ(Created(links + "/deep/../../P"), "made " + std::to_string(0700u));
  EXPECT_EQ(ModeOf(own + "/P"), 0700u) << "made where the system's lookup puts it";
  EXPECT_EQ(Listing(home_), "");
}

// A loop of links, and more links in one path than the system follows, are told as such; exactly as many
// as it follows still lead to the folder.
TEST_F(TempFolder, ALinkLoopIsReportedAsALoop) {
  std::string own = Folder("own", 0700);
  std::string links = Folder("links", 0755);
  ASSERT_EQ(symlink("b", (links + "/a").c_str()), 0);
  ASSERT_EQ(symlink("a", (links + "/b").c_str()), 0);
  std::string previous = own;
  for (int n = 1; n <= 41; ++n) {
    std::string link = links + "/chain" + std::to_string(n);
    ASSERT_EQ(symlink(previous.c_str(), link.c_str()), 0);
    previous = link;
  }
  const std::string forty = links + "/chain40";
  const std::string fortyOne = links + "/chain41";
  EXPECT_EQ(KernelSees(forty), "folder");
  EXPECT_EQ(qelplat::CheckPrivateFolder(forty).trust, qelplat::FOLDER_PRIVATE);
  EXPECT_EQ(KernelSees(fortyOne), "loop");
  EXPECT_EQ(KernelSees(links + "/a/x"), "loop");
  for (const std::string& path : {fortyOne, links + "/a", links + "/a/x", links + "/b/../own"}) {
    qelplat::TFolderTrust why = qelplat::CheckPrivateFolder(path);
    EXPECT_EQ(why.trust, qelplat::FOLDER_LINK_LOOP) << path;
    EXPECT_EQ(Created(path + "/P"), "error 5") << path;
  }
  qelplat::TFolderTrust loop = qelplat::CheckPrivateFolder(links + "/a");
  EXPECT_EQ(qelplat::DescribeFolderTrust(loop, qelplat::TRUST_IN_ENGLISH),
            "leads through more symbolic links than the system follows (a loop)");
  EXPECT_EQ(qelplat::DescribeFolderTrust(loop, qelplat::TRUST_IN_CHINESE), "路径上的符号链接过多（循环链接）");
  EXPECT_EQ(Listing(own), "");
}

// Another user (nobody) in a sticky folder like /tmp: a link of theirs to a folder of theirs, and a real
// folder of theirs, each followed by ".." to a folder of ours beside it. The system's lookup goes up from
// where their link leads, so the path names their folder, not ours; their real folder they may swap for
// such a link at any time. Neither is passed on the way up: nothing is used, made or followed there, for
// TMPDIR, XDG_CACHE_HOME, HOME and CreatePrivateDirectory alike.
class DotDotAfterAnotherUsersLevel : public TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    if (getuid() != 0) GTEST_SKIP() << "another user's folders need root to make";
    shared_ = Folder("shared", 01777);
    theirs_ = shared_ + "/att";
    std::string made = qeltest::AsOrdinaryUser([&] {
      bool ok = mkdir(theirs_.c_str(), 0755) == 0 && mkdir((theirs_ + "/deep").c_str(), 0755) == 0 &&
                mkdir((theirs_ + "/vt").c_str(), 0777) == 0 && chmod((theirs_ + "/vt").c_str(), 0777) == 0 &&
                symlink((theirs_ + "/deep").c_str(), (shared_ + "/evil").c_str()) == 0 &&
                mkdir((shared_ + "/attdir").c_str(), 0755) == 0;
      return std::string(ok ? "made" : "not made");
    });
    ASSERT_EQ(made, "made");
    ASSERT_EQ(mkdir((shared_ + "/vt").c_str(), 0700), 0) << "ours, private";
    ASSERT_EQ(KernelSees(shared_ + "/evil/../vt"), "folder");
  }

  // Nothing of ours in their folders, nor in ours below the path as judged.
  void ExpectNothingMade() {
    EXPECT_EQ(Listing(theirs_ + "/vt"), "");
    EXPECT_EQ(Listing(theirs_), "deep\nvt\n");
    EXPECT_EQ(Listing(shared_ + "/vt"), "");
  }

  std::string shared_;
  std::string theirs_;
};

TEST_F(DotDotAfterAnotherUsersLevel, ALinkOfTheirsIsNeverClimbedOutOf) {
  const std::string path = shared_ + "/evil/../vt";
  qelplat::TFolderTrust why = qelplat::CheckPrivateFolder(path);
  EXPECT_EQ(why.trust, qelplat::FOLDER_NOT_A_FOLDER);
  EXPECT_EQ(why.at, shared_ + "/evil");
  EXPECT_EQ(qelplat::DescribeFolderTrust(why, qelplat::TRUST_IN_CHINESE), "上级目录" + shared_ + "/evil不是真实的目录");
  EXPECT_EQ(TempPath(path, home_), Cache());
  EXPECT_EQ(TempPath(shared_ + "/evil/./../vt", home_), Cache());
  EXPECT_EQ(Created(path + "/P"), "error 5");
  EXPECT_EQ(Created(shared_ + "/evil/../P"), "error 5");
  ExpectNothingMade();
}

TEST_F(DotDotAfterAnotherUsersLevel, ARealFolderOfTheirsIsJudgedBeforeDotDotLeavesIt) {
  const std::string path = shared_ + "/attdir/../vt";
  qelplat::TFolderTrust why = qelplat::CheckPrivateFolder(path);
  EXPECT_EQ(why.trust, qelplat::FOLDER_OPEN_ABOVE);
  EXPECT_EQ(why.at, shared_ + "/attdir");
  EXPECT_EQ(why.owner, 65534u);
  EXPECT_EQ(TempPath(path, home_), Cache());
  EXPECT_EQ(Created(path + "/P"), "error 5");
  ExpectNothingMade();
}

TEST_F(DotDotAfterAnotherUsersLevel, TheCacheFolderAndTheHomeAreWalkedTheSameWay) {
  const std::string team = Folder("team", 02770);  // no temporary folder: the home's must serve
  {
    qeltest::EnvGuard tmpdir("TMPDIR", team.c_str());
    qeltest::EnvGuard cache("XDG_CACHE_HOME", (shared_ + "/evil/../cache").c_str());
    char buffer[4096];
    SetLastError(0);
    EXPECT_EQ(GetTempPathA(sizeof buffer, buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(TempPath(team, shared_ + "/evil/../home"), "error 5");
  ExpectNothingMade();
  EXPECT_EQ(Listing(shared_), "att\nattdir\nevil\nvt\n") << "no level of ours made on the way";
}

// While the walk runs, the other user keeps swapping their folder for a link to theirs and back, one step
// each: whichever the walk meets, it is theirs and never passed.
TEST_F(DotDotAfterAnotherUsersLevel, ALevelSwappedDuringTheWalkIsNeverPassed) {
  const std::string flip = shared_ + "/attdir";
  const std::string link = shared_ + "/attlink";
  ASSERT_EQ(qeltest::AsOrdinaryUser([&] { return std::to_string(symlink((theirs_ + "/deep").c_str(), link.c_str())); }),
            "0");
  int started[2];
  ASSERT_EQ(pipe(started), 0);
  pid_t swapper = fork();
  ASSERT_GE(swapper, 0);
  if (swapper == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
      _exit(2);
    char c = 'y';
    if (write(started[1], &c, 1) != 1) _exit(3);
    for (;;) renameat2(AT_FDCWD, flip.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
  }
  close(started[1]);
  char c = 0;
  ASSERT_EQ(read(started[0], &c, 1), 1);
  close(started[0]);
  int passed = 0;
  for (int i = 0; i < 2000; ++i) {
    if (qelplat::CheckPrivateFolder(flip + "/../vt").trust == qelplat::FOLDER_PRIVATE) ++passed;
    if (qelplat::CheckPrivateFolder(link + "/../vt").trust == qelplat::FOLDER_PRIVATE) ++passed;
  }
  std::string temp = TempPath(flip + "/../vt", home_);
  kill(swapper, SIGKILL);
  waitpid(swapper, nullptr, 0);
  EXPECT_EQ(passed, 0);
  EXPECT_EQ(temp, Cache());
  ExpectNothingMade();
}

}  // namespace
