#include "qelplat/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>

#include "qelplat/lasterror.h"

namespace qelplat {

class ThreadEnd {
 public:
  void Finish(DWORD code) {
    std::lock_guard<std::mutex> guard(lock_);
    code_ = code;
    ended_ = true;
    ended_changed_.notify_all();
  }

  bool Wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> guard(lock_);
    if (milliseconds == INFINITE) {
      ended_changed_.wait(guard, [this] { return ended_; });
      return true;
    }
    return ended_changed_.wait_for(guard, std::chrono::milliseconds(milliseconds), [this] { return ended_; });
  }

  DWORD ExitCode() {
    std::lock_guard<std::mutex> guard(lock_);
    return ended_ ? code_ : STILL_ACTIVE;
  }

 private:
  std::mutex lock_;
  std::condition_variable ended_changed_;
  bool ended_ = false;
  DWORD code_ = STILL_ACTIVE;
};

namespace {

struct ThreadObject : KernelObject {
  pthread_t thread{};
  DWORD id = 0;
  std::shared_ptr<ThreadEnd> end = std::make_shared<ThreadEnd>();
};

// What the new thread owns: its routine, and its share of the end state.
struct ThreadStart {
  THREAD_START_ROUTINE routine;
  void* argument;
  std::shared_ptr<ThreadEnd> end;
  // The id is published before BeginThread returns, so the handle can report it at once.
  std::mutex lock;
  std::condition_variable id_known;
  DWORD id = 0;
};

void* ThreadMain(void* raw) {
  // The record is shared with BeginThread, which may still be waking up on its lock when this thread is
  // already done: whichever lets go last frees it.
  std::shared_ptr<ThreadStart> start;
  {
    std::unique_ptr<std::shared_ptr<ThreadStart>> handoff(static_cast<std::shared_ptr<ThreadStart>*>(raw));
    start = *handoff;
  }
  {
    std::lock_guard<std::mutex> guard(start->lock);
    start->id = GetCurrentThreadId();
    start->id_known.notify_all();
  }
  THREAD_START_ROUTINE routine = start->routine;
  void* argument = start->argument;
  std::shared_ptr<ThreadEnd> end = start->end;
  DWORD code = routine(argument);
  end->Finish(code);
  return nullptr;
}

}  // namespace

HANDLE BeginThread(unsigned stackSize, THREAD_START_ROUTINE routine, void* argument, DWORD* threadId) {
  if (!routine) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_unique<ThreadObject>();
  auto start = std::make_shared<ThreadStart>();
  start->routine = routine;
  start->argument = argument;
  start->end = object->end;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize != 0) {
    size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
    pthread_attr_setstacksize(&attr, size);
  }
  // The new thread takes over this second reference to the start record.
  auto handoff = std::make_unique<std::shared_ptr<ThreadStart>>(start);
  int rc = pthread_create(&object->thread, &attr, ThreadMain, handoff.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    SetLastError(Win32FromErrno(rc));
    return nullptr;
  }
  handoff.release();
  {
    std::unique_lock<std::mutex> guard(start->lock);
    start->id_known.wait(guard, [&start] { return start->id != 0; });
    object->id = start->id;
  }
  if (threadId) *threadId = object->id;
  return RegisterHandle(std::move(object));
}

int ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

std::shared_ptr<ThreadEnd> ThreadEndOf(HANDLE thread) {
  ThreadObject* object = HandleObject<ThreadObject>(thread);
  return object ? object->end : nullptr;
}

bool WaitThreadEnd(const std::shared_ptr<ThreadEnd>& end, DWORD milliseconds) {
  return end && end->Wait(milliseconds);
}

}  // namespace qelplat

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }

DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds) {
  std::shared_ptr<qelplat::ThreadEnd> end = qelplat::ThreadEndOf(thread);
  if (!end) return WAIT_FAILED;
  return end->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  std::shared_ptr<qelplat::ThreadEnd> end = qelplat::ThreadEndOf(thread);
  if (!end || !exitCode) {
    if (end) SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = end->ExitCode();
  return TRUE;
}

uintptr_t SetThreadAffinityMask(HANDLE thread, uintptr_t mask) {
  qelplat::ThreadObject* object = qelplat::HandleObject<qelplat::ThreadObject>(thread);
  if (!object) return 0;
  if (mask == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // An ended thread's id may already name another thread: never touch it.
  if (object->end->ExitCode() != STILL_ACTIVE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  cpu_set_t previous;
  CPU_ZERO(&previous);
  if (sched_getaffinity(static_cast<pid_t>(object->id), sizeof(previous), &previous) != 0) {
    qelplat::SetLastErrorFromErrno();
    return 0;
  }
  cpu_set_t wanted;
  CPU_ZERO(&wanted);
  for (unsigned bit = 0; bit < std::numeric_limits<uintptr_t>::digits; ++bit)
    if (mask & (uintptr_t{1} << bit)) CPU_SET(bit, &wanted);
  // By thread id rather than pthread_t: a thread that already ended then fails cleanly (ESRCH) instead of
  // touching a detached thread's freed descriptor.
  if (sched_setaffinity(static_cast<pid_t>(object->id), sizeof(wanted), &wanted) != 0) {
    qelplat::SetLastErrorFromErrno();
    return 0;
  }
  uintptr_t old = 0;
  for (unsigned bit = 0; bit < std::numeric_limits<uintptr_t>::digits; ++bit)
    if (CPU_ISSET(bit, &previous)) old |= uintptr_t{1} << bit;
  return old;
}
