#pragma once
// A worker thread base class: the thread calls startup, run and cleanup turn after turn until it is asked
// to stop. A derived class supplies run, and doStop when run may block and must be woken.
//
// Thread safety: start, stop, tryStop, join and the getters may be called from any thread. The stop flag
// is read by the worker only before each turn, so a stop takes effect once the current turn ends.
// Neither destructor stops the thread: the owner stops it (stop or join) before destroying the object.
#include <atomic>
#include <mutex>

#include "qelplat/export.h"
#include "qelplat/wintypes.h"

namespace QEL {

enum EThreadStatus : int32_t {
  eThreadNotStarted = -1,
  eThreadStartup = 1,
  eThreadRunning = 2,
};

class QEL_EXPORT Thread {
 public:
  Thread();
  explicit Thread(unsigned stackSize);
  virtual ~Thread();
  // A running thread belongs to one object: copies would share its handle and end it twice.
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Clears the stop flag and starts the thread. False when it could not be created, or when this
  // object's thread is still running (two workers would share one object).
  bool start();
  // Asks the thread to end and waits for it without limit (not when called from the thread itself).
  void stop();
  // Asks the thread to end; does not wait.
  void tryStop();
  // True when no thread runs or it ended within the time; a negative time waits without limit.
  bool join(int milliseconds);
  bool pause() { return true; }
  void resume() {}

  HANDLE getHandle() const;
  unsigned getThreadID() const;
  EThreadStatus getThreadStatus() const { return m_status.load(); }
  bool isRunning() const;

  void setStackSize(unsigned stackSize) { m_stackSize = stackSize; }
  // The mask itself is the affinity of the running thread. -1 when below 1 or above the processor
  // count; else 0, or the error number when the system refused it.
  int setProcessorAffinity(int mask);

  static unsigned ThreadFunction(void* object);

 protected:
  virtual int run() = 0;
  virtual bool startup() { return true; }
  virtual void cleanup() {}
  // Runs on the stopping thread: the place to wake a worker blocked inside run.
  virtual void doStop() {}
  // Sets the stop flag, calls doStop, then waits when asked to.
  void requestStop(bool wait);
  bool stopRequested() const { return m_stop.load(); }

 private:
  bool createThread();
  void init();
  // The worker's last step: the handle is closed and the object idle again.
  void finished();

  unsigned m_stackSize = 0;
  DWORD m_threadId = 0;
  HANDLE m_handle = nullptr;
  std::atomic<bool> m_stop{false};
  int32_t m_processorCount = 1;
  std::atomic<EThreadStatus> m_status{eThreadNotStarted};
  // Guards the handle and the id between the controlling threads and the ending worker.
  mutable std::mutex m_lock;
};

}  // namespace QEL
