// The worker thread base class: turns, stop, join with a time, restarts, hooks, affinity, and the handle's
// life while several threads wait. Timing is never asserted; waits are bounded by the test's timeout.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "QelTools/Thread.h"
#include "qelplat/thread.h"
#include "test_support.h"

namespace {

// A worker whose run blocks until released (or until doStop wakes it), counting its turns.
class GatedWorker : public QEL::Thread {
 public:
  std::atomic<int> turns{0};
  std::atomic<int> cleanups{0};
  bool startupResult = true;
  bool throwInRun = false;
  bool stopSelf = false;
  bool wakeOnStop = true;

  void Release() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    changed_.notify_all();
  }
  bool WaitForTurn(int n) {
    return qeltest::WaitUntil([&] { return turns.load() >= n; });
  }

 protected:
  bool startup() override { return startupResult; }
  int run() override {
    ++turns;
    if (throwInRun) throw std::runtime_error("run failed");
    if (stopSelf) stop();  // from inside the worker: must not wait for itself
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return open_; });
    return 7;
  }
  void cleanup() override { ++cleanups; }
  void doStop() override {
    if (wakeOnStop) Release();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
};

// A worker that sleeps in run and is woken by nothing: a stop waits for the sleep in progress.
class SleepyWorker : public QEL::Thread {
 public:
  std::atomic<int> turns{0};

 protected:
  int run() override {
    ++turns;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return 0;
  }
};

TEST(ThreadTest, NeverStartedObjectIsIdleAndJoinsAtOnce) {
  SleepyWorker worker;
  EXPECT_TRUE(worker.join(0));
  EXPECT_TRUE(worker.join(-1));
  worker.stop();  // no thread: returns at once
  EXPECT_FALSE(worker.isRunning());
  EXPECT_EQ(worker.getHandle(), nullptr);
  EXPECT_EQ(worker.getThreadID(), 0u);
  EXPECT_EQ(worker.getThreadStatus(), QEL::eThreadNotStarted);
  EXPECT_TRUE(worker.pause());
}

TEST(ThreadTest, JoinWithATimeReportsWhetherTheThreadEnded) {
  GatedWorker worker;
  ASSERT_TRUE(worker.start());
  ASSERT_TRUE(worker.WaitForTurn(1)) << "the worker never began its turn";
  EXPECT_TRUE(worker.isRunning());
  EXPECT_NE(worker.getHandle(), nullptr);
  EXPECT_NE(worker.getThreadID(), 0u);
  EXPECT_EQ(worker.getThreadStatus(), QEL::eThreadRunning);
  EXPECT_FALSE(worker.join(20));  // still blocked in run

  worker.tryStop();  // wakes run through doStop; does not wait
  EXPECT_TRUE(worker.join(-1));
  EXPECT_FALSE(worker.isRunning());
  EXPECT_EQ(worker.getHandle(), nullptr);
  EXPECT_EQ(worker.getThreadID(), 0u);
  EXPECT_EQ(worker.turns.load(), 1);
  EXPECT_EQ(worker.cleanups.load(), 1);
  EXPECT_EQ(worker.getThreadStatus(), QEL::eThreadRunning);  // keeps its last value
}

TEST(ThreadTest, StopDuringASleepWaitsForTheTurnAndTheThreadCanStartAgain) {
  SleepyWorker worker;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(worker.start()) << round;
    ASSERT_TRUE(qeltest::WaitUntil([&] { return worker.turns.load() > 0; })) << "no turn began, round " << round;
    worker.stop();
    EXPECT_FALSE(worker.isRunning()) << round;
    EXPECT_EQ(worker.getHandle(), nullptr) << round;
    worker.turns = 0;
  }
}

TEST(ThreadTest, SecondStartWhileRunningIsRefused) {
  GatedWorker worker;
  ASSERT_TRUE(worker.start());
  ASSERT_TRUE(worker.WaitForTurn(1)) << "the worker never began its turn";
  HANDLE first = worker.getHandle();
  EXPECT_FALSE(worker.start());
  EXPECT_EQ(worker.getHandle(), first);
  worker.stop();
  EXPECT_EQ(worker.turns.load(), 1);
}

TEST(ThreadTest, ARefusedSecondStartLeavesAPendingStopAsItWas) {
  GatedWorker worker;
  worker.wakeOnStop = false;
  ASSERT_TRUE(worker.start());
  ASSERT_TRUE(worker.WaitForTurn(1)) << "the worker never began its turn";
  worker.tryStop();
  EXPECT_FALSE(worker.start());
  worker.Release();
  EXPECT_TRUE(worker.join(30000)) << "the stop asked before the refused start was lost";
  EXPECT_EQ(worker.turns.load(), 1);
  worker.stop();
}

TEST(ThreadTest, ExitCodeFollowsTheLastTurn) {
  struct Case {
    bool startupResult;
    bool throwInRun;
    DWORD expected;
  };
  for (const Case& c : {Case{true, false, 7u}, Case{false, false, 1u}, Case{true, true, 0xFFFFFFFFu}}) {
    GatedWorker worker;
    worker.startupResult = c.startupResult;
    worker.throwInRun = c.throwInRun;
    worker.Release();  // run returns at once
    // The entry routine started through its own handle, so the exit code can be read after the end.
    HANDLE h = qelplat::BeginThread(0, &QEL::Thread::ThreadFunction, &worker, nullptr);
    ASSERT_NE(h, nullptr);
    auto turnsDone = [&] { return c.throwInRun ? worker.turns.load() >= 1 : worker.cleanups.load() >= 2; };
    ASSERT_TRUE(qeltest::WaitUntil(turnsDone)) << "the turns never ended";
    worker.tryStop();
    ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, c.expected);
    EXPECT_TRUE(CloseHandle(h));
    if (!c.startupResult) {
      EXPECT_EQ(worker.turns.load(), 0);
    }
  }
}

TEST(ThreadTest, StopFromInsideTheWorkerDoesNotWaitForItself) {
  GatedWorker worker;
  worker.stopSelf = true;
  ASSERT_TRUE(worker.start());
  EXPECT_TRUE(worker.join(-1));
  EXPECT_EQ(worker.turns.load(), 1);
}

TEST(ThreadTest, ManyWaitersAllReturnWhenTheWorkerEndsAndClosesItsHandle) {
  GatedWorker worker;
  ASSERT_TRUE(worker.start());
  ASSERT_TRUE(worker.WaitForTurn(1)) << "the worker never began its turn";
  std::atomic<int> returned{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 8; ++i)
    waiters.emplace_back([&] {
      if (worker.join(-1)) ++returned;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  worker.tryStop();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(returned.load(), 8);
  EXPECT_FALSE(worker.isRunning());
}

TEST(ThreadTest, ProcessorAffinity) {
  GatedWorker worker;
  int count = qelplat::ProcessorCount();
  EXPECT_EQ(worker.setProcessorAffinity(0), -1);
  EXPECT_EQ(worker.setProcessorAffinity(-3), -1);
  EXPECT_EQ(worker.setProcessorAffinity(count + 1), -1);
  EXPECT_EQ(worker.setProcessorAffinity(1), static_cast<int>(ERROR_INVALID_HANDLE));  // no thread yet
  ASSERT_TRUE(worker.start());
  ASSERT_TRUE(worker.WaitForTurn(1)) << "the worker never began its turn";
  EXPECT_EQ(worker.setProcessorAffinity(1), 0);
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(static_cast<pid_t>(worker.getThreadID()), sizeof(set), &set), 0);
  EXPECT_EQ(CPU_COUNT(&set), 1);
  EXPECT_TRUE(CPU_ISSET(0, &set));
  worker.stop();
}

TEST(ThreadTest, StackSizeIsUsed) {
  struct StackProbe : QEL::Thread {
    std::atomic<size_t> stack{0};
    int run() override {
      pthread_attr_t attr;
      size_t size = 0;
      if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
      }
      stack = size;
      tryStop();
      return 0;
    }
  } probe;
  // Larger than the default, since the runtime may hand out a cached stack bigger than asked for.
  probe.setStackSize(24u << 20);
  ASSERT_TRUE(probe.start());
  ASSERT_TRUE(probe.join(-1));
  EXPECT_GE(probe.stack.load(), 24u << 20);
}

}  // namespace
