// Named mutexes (one holder per name, freed at the holder's death, the folder rules) and the thread
// stand-in's waits and exit codes.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "qelplat/lasterror.h"
#include "qelplat/mutex.h"
#include "qelplat/thread.h"
#include "test_support.h"

namespace {

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

TEST(NamedMutexTest, OneHolderPerNameUntilClosed) {
  qeltest::TempDir dir("mutex");
  qeltest::EnvGuard cache("XDG_CACHE_HOME", dir.path().c_str());
  HANDLE first = CreateMutexA(nullptr, FALSE, "QEL_Test");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(qelplat::LockFileName("QEL_Test"), "QEL_Test@" + HostName() + ".lock");
  EXPECT_TRUE(qeltest::FileExists(dir.file("qel/QEL_Test@" + HostName() + ".lock")));

  HANDLE second = CreateMutexW(nullptr, FALSE, L"QEL_Test");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(CloseHandle(second));

  HANDLE other = CreateMutexA(nullptr, FALSE, "QEL_Other");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(other);

  EXPECT_TRUE(CloseHandle(first));
  HANDLE again = CreateMutexA(nullptr, FALSE, "QEL_Test");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(again);
}

TEST(NamedMutexTest, HolderKilledFreesTheName) {
  qeltest::TempDir dir("mutex");
  qeltest::EnvGuard cache("XDG_CACHE_HOME", dir.path().c_str());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HANDLE h = CreateMutexA(nullptr, FALSE, "QEL_Held");
    char ok = (h && GetLastError() == ERROR_SUCCESS) ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  close(ready[0]);
  ASSERT_EQ(ok, 'y');
  HANDLE busy = CreateMutexA(nullptr, FALSE, "QEL_Held");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  CloseHandle(busy);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  HANDLE mine = CreateMutexA(nullptr, FALSE, "QEL_Held");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(mine);
}

TEST(NamedMutexTest, BadNamesAndUnsafeFolders) {
  for (const char* name : {static_cast<const char*>(nullptr), "", ".", "..", "a/b", "../escape"}) {
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name), nullptr) << (name ? name : "null");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  // A lock folder others may write to is not used, nor is another folder taken in its place: a start that
  // locked elsewhere would not meet the copy that locks here once the folder is mended.
  qeltest::TempDir dir("mutex");
  qeltest::EnvGuard cache("XDG_CACHE_HOME", dir.path().c_str());
  ASSERT_EQ(mkdir(dir.file("qel").c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.file("qel").c_str(), 0777), 0);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QEL_Open"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(qelplat::LastMutexFailure(), "locks lie only in ${XDG_CACHE_HOME:-~/.cache}/qel: " + dir.file("qel") +
                                             " may be written by others (mode 0777)");
  EXPECT_EQ(qelplat::NamedMutexFolder(), "");
}

TEST(NamedMutexTest, ALockPathThatIsNotAPlainFileOfTheUsersIsRefusedAndReported) {
  qeltest::TempDir dir("mutex");
  qeltest::EnvGuard cache("XDG_CACHE_HOME", dir.path().c_str());
  ASSERT_EQ(mkdir(dir.file("qel").c_str(), 0700), 0);
  std::string folder = dir.file("qel/" + qelplat::LockFileName("QEL_Folder"));
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QEL_Folder"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(qelplat::LastMutexFailure(), folder + " is a folder, not a plain file");

  std::string link = dir.file("qel/" + qelplat::LockFileName("QEL_Link"));
  ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), link.c_str()), 0);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"QEL_Link"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(qelplat::LastMutexFailure(), link + " is a symbolic link, not a plain file");
  EXPECT_FALSE(qeltest::FileExists(dir.file("elsewhere"))) << "the link is never followed";

  std::string fifo = dir.file("qel/" + qelplat::LockFileName("QEL_Fifo"));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QEL_Fifo"), nullptr);
  EXPECT_EQ(qelplat::LastMutexFailure(), fifo + " is not a plain file");

  if (geteuid() == 0) {
    std::string foreign = dir.file("qel/" + qelplat::LockFileName("QEL_Foreign"));
    qeltest::WriteFile(foreign, "");
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QEL_Foreign"), nullptr);
    EXPECT_EQ(qelplat::LastMutexFailure(), foreign + " belongs to another user");
  }
  HANDLE fine = CreateMutexA(nullptr, FALSE, "QEL_Fine");
  EXPECT_NE(fine, nullptr) << "other names of the folder still work";
  CloseHandle(fine);
}

// A user of our own for the cases that need /run/user/<uid>, which only root may make: no account has the
// number, and its folders are removed at the end. Without root, the user running the tests.
class CTestUser {
 public:
  CTestUser() {
    if (getuid() != 0) {
      uid = getuid();
      return;
    }
    // Tests run side by side: a number is ours once its claim folder is made, which only one of them can.
    for (uid = 62000; getpwuid(uid) || Exists(RunFolder()) || Exists(TmpFolder()) || !Claim(); ++uid) {
    }
    m_made = true;
  }
  ~CTestUser() {
    if (m_made) qeltest::RunCommand("rm -rf " + RunFolder() + " " + TmpFolder() + " " + ClaimFolder());
  }
  std::string RunFolder() const { return "/run/user/" + std::to_string(uid); }
  std::string TmpFolder() const { return "/tmp/qel-" + std::to_string(uid); }
  // Makes /run/user/<uid> owned by owner, 0700; false when that is not possible here.
  bool MakeRunFolder(uid_t owner) const {
    if (!m_made) return false;
    return mkdir(RunFolder().c_str(), 0700) == 0 && chown(RunFolder().c_str(), owner, owner) == 0;
  }
  // Runs fn in a child process as this user; its text comes back through a pipe. The child ends when fn
  // returns, or when release is written to (or closed) if given.
  std::string Run(const std::function<std::string()>& fn, int* release = nullptr, pid_t* pid = nullptr) const {
    int out[2];
    int hold[2];
    if (pipe(out) != 0 || pipe(hold) != 0) return "no pipe";
    pid_t child = fork();
    if (child == 0) {
      close(out[0]);
      close(hold[1]);
      if (m_made && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
        _exit(2);
      std::string text = fn() + "\n";
      if (write(out[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(3);
      char c;
      if (release && read(hold[0], &c, 1) < 0) _exit(4);
      _exit(0);
    }
    close(out[1]);
    close(hold[0]);
    std::string text;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') text += c;
    close(out[0]);
    if (release) {
      *release = hold[1];
      *pid = child;
    } else {
      close(hold[1]);
      waitpid(child, nullptr, 0);
    }
    return text;
  }

  uid_t uid = 0;

 private:
  std::string ClaimFolder() const { return "/tmp/qel-test-user-" + std::to_string(uid) + ".claim"; }
  // A claim left by a run that was killed keeps its number taken; the next number serves as well.
  bool Claim() const { return mkdir(ClaimFolder().c_str(), 0700) == 0; }
  static bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  bool m_made = false;
};

std::string TryLock() {
  HANDLE h = CreateMutexA(nullptr, FALSE, "QEL_TwoStarts");
  std::string text = h ? std::to_string(GetLastError()) : "failed " + qelplat::LastMutexFailure();
  return text + " " + qelplat::NamedMutexFolder();
}

// A home of the user's below a folder others may pass through.
class CTestHome {
 public:
  explicit CTestHome(uid_t owner) {
    EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
    EXPECT_EQ(mkdir(home.c_str(), 0700), 0);
    EXPECT_EQ(chown(home.c_str(), owner, owner), 0);
  }
  // A start of the user's with the home and the runtime folder given (none when null).
  std::function<std::string()> Start(const char* runtime) const {
    return [this, runtime] {
      if (runtime) setenv("XDG_RUNTIME_DIR", runtime, 1);
      else unsetenv("XDG_RUNTIME_DIR");
      unsetenv("XDG_CACHE_HOME");
      setenv("HOME", home.c_str(), 1);
      return TryLock();
    };
  }
  std::string Locks() const { return home + "/.cache/qel"; }
  qeltest::TempDir dir;
  std::string home = dir.file("home");
};

// The lock lies in the home whatever runtime folder a start has, or none: a start inside a login session
// and one outside it meet, and /run/user/<uid> plays no part, the user's own or another's.
TEST(NamedMutexTest, StartsWithAnyRuntimeFolderOrNoneMeetAtOneLockInTheHome) {
  CTestUser user;
  if (!user.MakeRunFolder(user.uid)) GTEST_SKIP() << "needs root to make the user's runtime folder";
  CTestHome home(user.uid);
  int release = -1;
  pid_t desktop = -1;
  EXPECT_EQ(user.Run(home.Start(user.RunFolder().c_str()), &release, &desktop), "0 " + home.Locks())
      << "the desktop's start holds the lock";
  EXPECT_EQ(user.Run(home.Start(nullptr)), "183 " + home.Locks()) << "a start without the variable meets it";
  std::string own = home.dir.file("own-runtime");
  ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
  ASSERT_EQ(chown(own.c_str(), user.uid, user.uid), 0);
  EXPECT_EQ(user.Run(home.Start(own.c_str())), "183 " + home.Locks()) << "so does one with another runtime folder";
  close(release);
  waitpid(desktop, nullptr, 0);
  EXPECT_EQ(user.Run(home.Start(nullptr)), "0 " + home.Locks());
  struct stat st;
  ASSERT_EQ(lstat(home.Locks().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, user.uid);
  EXPECT_NE(lstat((user.RunFolder() + "/qel").c_str(), &st), 0) << "nothing is made in the runtime folder";
  EXPECT_NE(lstat(user.TmpFolder().c_str(), &st), 0) << "nothing is made below /tmp";
}

// Another user (here root, then nobody) takes the user's folders first and gives them back while a copy
// runs: /tmp/qel-<uid>; a runtime folder in /tmp, which the user's next login shell makes again once it is
// gone; the folder XDG_RUNTIME_DIR names, emptied; a path that leaves their link with "..". A second start
// meets the first one's lock every time. Only a home that cannot be had fails the lock, and says why.
TEST(NamedMutexTest, WhatAnotherUserMakesOrRemovesNeverMovesTheLock) {
  CTestUser user;
  if (getuid() != 0) GTEST_SKIP() << "needs root to make a folder of another owner";
  ASSERT_EQ(mkdir(user.TmpFolder().c_str(), 0777), 0);
  CTestHome home(user.uid);
  const std::string runtime = home.dir.file("runtime-" + std::to_string(user.uid));
  ASSERT_EQ(mkdir(runtime.c_str(), 0777), 0) << "made first by another user";
  ASSERT_EQ(chmod(runtime.c_str(), 0777), 0);
  int release = -1;
  pid_t first = -1;
  EXPECT_EQ(user.Run(home.Start(runtime.c_str()), &release, &first), "0 " + home.Locks());
  ASSERT_EQ(rmdir(user.TmpFolder().c_str()), 0);
  EXPECT_EQ(user.Run(home.Start(nullptr)), "183 " + home.Locks()) << "the second start meets the first";

  ASSERT_EQ(rmdir(runtime.c_str()), 0) << "given back";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0) << "made again by the user's login";
  ASSERT_EQ(chown(runtime.c_str(), user.uid, user.uid), 0);
  EXPECT_EQ(user.Run(home.Start(runtime.c_str())), "183 " + home.Locks()) << "the runtime folder plays no part";

  std::string theirs = home.dir.file("theirs");
  ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(chmod(theirs.c_str(), 0777), 0);
  EXPECT_EQ(user.Run(home.Start(theirs.c_str())), "183 " + home.Locks());
  qeltest::RunCommand("rm -rf " + theirs + "/*");
  EXPECT_EQ(user.Run(home.Start(theirs.c_str())), "183 " + home.Locks());

  // Their link in a folder like /tmp, climbed out of to a runtime folder of the user's beside it.
  std::string shared = home.dir.file("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(mkdir((shared + "/vrt").c_str(), 0700), 0);
  ASSERT_EQ(chown((shared + "/vrt").c_str(), user.uid, user.uid), 0);
  ASSERT_EQ(qeltest::AsOrdinaryUser([&] {
              bool ok = mkdir((shared + "/att").c_str(), 0755) == 0 && mkdir((shared + "/att/deep").c_str(), 0755) == 0 &&
                        mkdir((shared + "/att/vrt").c_str(), 0777) == 0 && chmod((shared + "/att/vrt").c_str(), 0777) == 0 &&
                        symlink((shared + "/att/deep").c_str(), (shared + "/evil").c_str()) == 0;
              return std::string(ok ? "made" : "not made");
            }),
            "made");
  const std::string climbing = shared + "/evil/../vrt";
  EXPECT_EQ(user.Run(home.Start(climbing.c_str())), "183 " + home.Locks());
  std::string listing;
  qeltest::RunCommand("ls -A " + shared + "/att/vrt " + shared + "/vrt", &listing);
  EXPECT_EQ(listing, shared + "/att/vrt:\n\n" + shared + "/vrt:\n") << "nothing of the user's in either";
  close(release);
  waitpid(first, nullptr, 0);

  std::string text = user.Run([&] {
    setenv("XDG_CACHE_HOME", home.dir.file("not-there/cache").c_str(), 1);
    return TryLock();
  });
  EXPECT_EQ(text, "failed locks lie only in ${XDG_CACHE_HOME:-~/.cache}/qel: " + home.dir.file("not-there/cache") +
                      " is missing or cannot be examined ");
}

// A start on another machine sharing the home (here: another host name, in a namespace of its own) takes
// a lock of its own, beside this machine's; a host name that could not be a file name is made one.
TEST(NamedMutexTest, EachMachineSharingTheHomeHoldsItsOwnLock) {
  if (getuid() != 0 || qeltest::RunCommand("unshare -u true") != 0) GTEST_SKIP() << "needs a UTS namespace";
  qeltest::TempDir dir("mutex");
  qeltest::EnvGuard cache("XDG_CACHE_HOME", dir.path().c_str());
  HANDLE here = CreateMutexA(nullptr, FALSE, "QEL_TwoStarts");
  ASSERT_NE(here, nullptr);
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  auto elsewhere = [](const char* host) {
    return qeltest::InChild(
        [host] {
          if (unshare(CLONE_NEWUTS) != 0 || sethostname(host, strlen(host)) != 0) return std::string("no namespace");
          return TryLock() + " " + qelplat::LockFileName("QEL_TwoStarts");
        },
        false);
  };
  const std::string folder = dir.file("qel");
  EXPECT_EQ(elsewhere("other-machine"), "0 " + folder + " QEL_TwoStarts@other-machine.lock");
  EXPECT_EQ(elsewhere("odd/name"), "0 " + folder + " QEL_TwoStarts@odd_name.lock");
  EXPECT_TRUE(qeltest::FileExists(folder + "/QEL_TwoStarts@other-machine.lock"));
  EXPECT_EQ(elsewhere(HostName().c_str()), "183 " + folder + " " + qelplat::LockFileName("QEL_TwoStarts"))
      << "a start on this machine meets this machine's lock";
  CloseHandle(here);
}

unsigned ReturnArgument(void* arg) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(arg)); }

unsigned WaitForFlag(void* arg) {
  auto* flag = static_cast<std::atomic<bool>*>(arg);
  while (!flag->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 5;
}

TEST(ThreadHandleTest, WaitsExitCodesAndClosingWhileWaited) {
  std::atomic<bool> go{false};
  DWORD id = 0;
  HANDLE h = qelplat::BeginThread(0, WaitForFlag, &go, &id);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(h, 5), static_cast<DWORD>(WAIT_TIMEOUT));

  // A waiter holding the end state keeps waiting safely after the handle is closed.
  auto end = qelplat::ThreadEndOf(h);
  std::thread waiter([&] { EXPECT_TRUE(qelplat::WaitThreadEnd(end, INFINITE)); });
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_FAILED));
  go = true;
  waiter.join();

  HANDLE quick = qelplat::BeginThread(1, ReturnArgument, reinterpret_cast<void*>(uintptr_t{42}), nullptr);
  ASSERT_NE(quick, nullptr);
  EXPECT_EQ(WaitForSingleObject(quick, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  ASSERT_TRUE(GetExitCodeThread(quick, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(SetThreadAffinityMask(quick, 1), 0u) << "an ended thread's id may name another thread";
  CloseHandle(quick);

  EXPECT_EQ(qelplat::BeginThread(0, nullptr, nullptr, nullptr), nullptr);
  EXPECT_GE(qelplat::ProcessorCount(), 1);
}

}  // namespace
