// Named mutexes (one holder per name, freed at the holder's death, the folder rules) and the thread
// stand-in's waits and exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
  // A lock folder others may write to is not used: the per-user folder below /tmp takes over.
  qeltest::TempDir dir("mutex");
  qeltest::EnvGuard runtime("XDG_RUNTIME_DIR", dir.path().c_str());
  ASSERT_EQ(mkdir(dir.file("qel").c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.file("qel").c_str(), 0777), 0);
  EXPECT_EQ(qelplat::NamedMutexFolder(), "/tmp/qel-" + std::to_string(geteuid()));
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
