#pragma once
// Holding the other threads of the process still while a core file is written, and taking their registers.
// A process cannot ptrace its own threads, so each one is sent a signal whose handler records the thread's
// registers and then waits until it is released. Threads that do not answer in time (the signal blocked)
// are left out. Safe inside a signal handler.
#include <sys/user.h>

#include <cstddef>

namespace qelplat {

struct ThreadRegisters {
  int tid;
  int fpValid;
  user_regs_struct regs;
  user_fpregs_struct fpregs;
};

// The registers of the calling thread as saved in a signal's ucontext (or by getcontext).
void RegistersFromContext(const void* ucontext, ThreadRegisters* out);

class ThreadHold {
 public:
  ThreadHold() = default;
  ThreadHold(const ThreadHold&) = delete;
  ThreadHold& operator=(const ThreadHold&) = delete;
  // Releases the threads.
  ~ThreadHold() { Release(); }

  // Stops every thread but the calling one; true when the hold could be set up (some threads may still
  // have stayed out).
  bool HoldOthers();
  void Release();

  // The threads that answered, in /proc/self/task order.
  size_t Count() const { return m_count; }
  const ThreadRegisters& At(size_t index) const;

 private:
  size_t m_count = 0;
  int m_round = 0;
};

}  // namespace qelplat
