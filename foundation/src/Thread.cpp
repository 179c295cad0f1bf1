#include "QelTools/Thread.h"

#include "qelplat/lasterror.h"
#include "qelplat/seh.h"
#include "qelplat/thread.h"

namespace QEL {

Thread::Thread() { init(); }

Thread::Thread(unsigned stackSize) : m_stackSize(stackSize) { init(); }

Thread::~Thread() {
  // The owner must have stopped the thread. If it did not, the handle is still closed here so the table
  // does not keep it; the worker then must not come back to this object, which is the owner's fault.
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_handle) CloseHandle(m_handle);
}

void Thread::init() {
  m_status = eThreadNotStarted;
  m_processorCount = qelplat::ProcessorCount();
}

bool Thread::start() { return createThread(); }

bool Thread::createThread() {
  // Held across the creation so a worker that ends at once cannot clear the handle before it is stored.
  std::lock_guard<std::mutex> guard(m_lock);
  // A refused second start leaves a pending stop request of the running worker as it was.
  if (m_handle) return false;
  m_stop = false;
  DWORD id = 0;
  HANDLE handle = qelplat::BeginThread(m_stackSize, &Thread::ThreadFunction, this, &id);
  if (!handle) return false;
  m_handle = handle;
  m_threadId = id;
  return true;
}

void Thread::requestStop(bool wait) {
  m_stop.exchange(true);
  doStop();
  if (wait) join(-1);
}

void Thread::stop() { requestStop(true); }

void Thread::tryStop() { requestStop(false); }

bool Thread::join(int milliseconds) {
  std::shared_ptr<qelplat::ThreadEnd> end;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_handle) return true;
    // The worker cannot wait for itself: that would never return.
    if (m_threadId == GetCurrentThreadId()) return false;
    // The end state outlives the handle, which the ending worker closes while we may still be waiting.
    end = qelplat::ThreadEndOf(m_handle);
  }
  DWORD limit = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
  return qelplat::WaitThreadEnd(end, limit);
}

HANDLE Thread::getHandle() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_handle;
}

unsigned Thread::getThreadID() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_threadId;
}

bool Thread::isRunning() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_handle != nullptr;
}

int Thread::setProcessorAffinity(int mask) {
  if (mask < 1 || mask > m_processorCount) return -1;
  std::lock_guard<std::mutex> guard(m_lock);
  if (SetThreadAffinityMask(m_handle, static_cast<uintptr_t>(mask)) != 0) return 0;
  return static_cast<int>(GetLastError());
}

void Thread::finished() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_handle) CloseHandle(m_handle);
  m_handle = nullptr;
  m_threadId = 0;
}

unsigned Thread::ThreadFunction(void* object) {
  Thread* self = static_cast<Thread*>(object);
  // A reserve stack for crash signals, so that even a stack overflow on this thread reaches a crash filter.
  qelplat::InstallCrashStack();
  unsigned result = 0;
  try {
    while (!self->m_stop.load()) {
      self->m_status = eThreadStartup;
      result = 1;
      if (self->startup()) {
        self->m_status = eThreadRunning;
        result = static_cast<unsigned>(self->run());
      }
      self->cleanup();
    }
  } catch (...) {
    // No exception may leave a thread: the worker ends as if stopped, with a failure code.
    result = static_cast<unsigned>(-1);
  }
  // After this the object may be destroyed by a waiter: touch nothing of it any more.
  self->finished();
  return result;
}

}  // namespace QEL
