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

TEST(NamedMutexTest, OneHolderPerNameUntilClosed) {
  qeltest::TempDir dir("mutex");
  qeltest::EnvGuard runtime("XDG_RUNTIME_DIR", dir.path().c_str());
  HANDLE first = CreateMutexA(nullptr, FALSE, "QEL_Test");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(qeltest::FileExists(dir.file("qel/QEL_Test.lock")));

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
  qeltest::EnvGuard runtime("XDG_RUNTIME_DIR", dir.path().c_str());
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
  qeltest::EnvGuard runtime("XDG_RUNTIME_DIR", dir.path().c_str());
  ASSERT_EQ(mkdir(dir.file("qel").c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.file("qel").c_str(), 0777), 0);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QEL_Open"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(qelplat::LastMutexFailure(),
            "no private folder for the lock: " + dir.file("qel") + " may be written by others (mode 0777)");
  EXPECT_EQ(qelplat::NamedMutexFolder(), "");
}

TEST(NamedMutexTest, ALockPathThatIsNotAPlainFileOfTheUsersIsRefusedAndReported) {
  qeltest::TempDir dir("mutex");
  qeltest::EnvGuard runtime("XDG_RUNTIME_DIR", dir.path().c_str());
  ASSERT_EQ(mkdir(dir.file("qel").c_str(), 0700), 0);
  std::string folder = dir.file("qel/QEL_Folder.lock");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QEL_Folder"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(qelplat::LastMutexFailure(), folder + " is a folder, not a plain file");

  std::string link = dir.file("qel/QEL_Link.lock");
  ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), link.c_str()), 0);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"QEL_Link"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(qelplat::LastMutexFailure(), link + " is a symbolic link, not a plain file");
  EXPECT_FALSE(qeltest::FileExists(dir.file("elsewhere"))) << "the link is never followed";

  std::string fifo = dir.file("qel/QEL_Fifo.lock");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QEL_Fifo"), nullptr);
  EXPECT_EQ(qelplat::LastMutexFailure(), fifo + " is not a plain file");

  if (geteuid() == 0) {
    std::string foreign = dir.file("qel/QEL_Foreign.lock");
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

TEST(NamedMutexTest, StartsWithAndWithoutTheRuntimeVariableMeetAtOneLock) {
  CTestUser user;
  if (!user.MakeRunFolder(user.uid)) {
    struct stat st;
    if (getuid() == 0 || lstat(user.RunFolder().c_str(), &st) != 0 || st.st_uid != user.uid)
      GTEST_SKIP() << "no runtime folder of the user here";
  }
  std::string folder = user.RunFolder() + "/qel";
  int release = -1;
  pid_t desktop = -1;
  std::string first = user.Run(
      [&] {
        setenv("XDG_RUNTIME_DIR", user.RunFolder().c_str(), 1);
        return TryLock();
      },
      &release, &desktop);
  EXPECT_EQ(first, "0 " + folder) << "the desktop's start holds the lock";
  std::string second = user.Run([] {
    unsetenv("XDG_RUNTIME_DIR");
    return TryLock();
  });
  EXPECT_EQ(second, "183 " + folder) << "a start without the variable finds the same lock";
  close(release);
  waitpid(desktop, nullptr, 0);
  std::string after = user.Run([] {
    unsetenv("XDG_RUNTIME_DIR");
    return TryLock();
  });
  EXPECT_EQ(after, "0 " + folder);
}

// A home of the user's below a folder others may pass through.
class CTestHome {
 public:
  explicit CTestHome(uid_t owner) {
    EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
    EXPECT_EQ(mkdir(home.c_str(), 0700), 0);
    EXPECT_EQ(chown(home.c_str(), owner, owner), 0);
  }
  qeltest::TempDir dir;
  std::string home = dir.file("home");
};

// Without a runtime folder of the user's own the lock lies in the private folder in the home, never below
// /tmp, whatever another user made there.
TEST(NamedMutexTest, WithoutARuntimeFolderOfTheUsersOwnTheLockLiesInTheHome) {
  CTestUser user;
  if (!user.MakeRunFolder(0)) GTEST_SKIP() << "needs root to make a runtime folder of another owner";
  CTestHome home(user.uid);
  std::string text = user.Run([&] {
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_CACHE_HOME");
    setenv("HOME", home.home.c_str(), 1);
    return TryLock();
  });
  EXPECT_EQ(text, "0 " + home.home + "/.cache/qel") << "/run/user/<uid> of another owner is never used";
  struct stat st;
  ASSERT_EQ(lstat((home.home + "/.cache/qel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, user.uid);
  EXPECT_NE(lstat(user.TmpFolder().c_str(), &st), 0) << "nothing is made below /tmp";
}

// Another user (here root) takes /tmp/qel-<uid> before the user's first start and gives it back while that
// copy runs, or owns the folder XDG_RUNTIME_DIR names and removes what the user made in it: a second start
// meets the first one's lock either way. Only a home that cannot be had fails the lock, and says why.
TEST(NamedMutexTest, WhatAnotherUserMakesOrRemovesNeverMovesTheLock) {
  CTestUser user;
  if (getuid() != 0) GTEST_SKIP() << "needs root to make a folder of another owner";
  ASSERT_EQ(mkdir(user.TmpFolder().c_str(), 0777), 0);
  CTestHome home(user.uid);
  auto fromTheHome = [&] {
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_CACHE_HOME");
    setenv("HOME", home.home.c_str(), 1);
    return TryLock();
  };
  int release = -1;
  pid_t first = -1;
  EXPECT_EQ(user.Run(fromTheHome, &release, &first), "0 " + home.home + "/.cache/qel");
  ASSERT_EQ(rmdir(user.TmpFolder().c_str()), 0);
  EXPECT_EQ(user.Run(fromTheHome), "183 " + home.home + "/.cache/qel") << "the second start meets the first";

  std::string theirs = home.dir.file("theirs");
  ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(chmod(theirs.c_str(), 0777), 0);
  auto namingTheirs = [&] {
    setenv("XDG_RUNTIME_DIR", theirs.c_str(), 1);
    unsetenv("XDG_CACHE_HOME");
    setenv("HOME", home.home.c_str(), 1);
    return TryLock();
  };
  EXPECT_EQ(user.Run(namingTheirs), "183 " + home.home + "/.cache/qel")
      << "a runtime folder not the user's is no runtime folder";
  qeltest::RunCommand("rm -rf " + theirs + "/*");
  EXPECT_EQ(user.Run(namingTheirs), "183 " + home.home + "/.cache/qel");
  close(release);
  waitpid(first, nullptr, 0);

  std::string text = user.Run([&] {
    unsetenv("XDG_RUNTIME_DIR");
    setenv("XDG_CACHE_HOME", home.dir.file("not-there/cache").c_str(), 1);
    return TryLock();
  });
  EXPECT_EQ(text, "failed no private folder for the lock: " + home.dir.file("not-there/cache") + " is missing or cannot be examined ");
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
