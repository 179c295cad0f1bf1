#include "qelplat/seh.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <asm/prctl.h>

#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "rawsys.h"

// Everything that runs at a crash sticks to calls that are safe inside a signal handler; the filter is the
// product's business.

namespace {

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// A fault this close to the stack pointer can only be the stack running out.
const uintptr_t kNearStackPointer = 64 * 1024;
// Below the lowest stack address of a thread: its guard pages (the main thread's growth gap is 1 MiB).
const uintptr_t kGuardSpan = 1024 * 1024;
// A crash filter still busy after this long is taken to be stuck (a lock the crashed thread held).
const time_t kFilterDeadlineSeconds = 60;

// Where the calling thread's stack ends, read when its reserve stack was installed (a signal handler may
// not ask for it). Plain data in static TLS, so that the handler reads it without any allocation.
struct StackBounds {
  uintptr_t low;
  uintptr_t guard;
};
__attribute__((tls_model("initial-exec"))) thread_local StackBounds t_bounds = {0, 0};
// Set while the thread runs the filter: a fault then is a crash of the crash handling itself.
__attribute__((tls_model("initial-exec"))) thread_local bool t_inFilter = false;
// Set while the thread tries the heap (qelplat::HeapResponds): where a stuck or faulting try jumps back to.
__attribute__((tls_model("initial-exec"))) thread_local sigjmp_buf* t_heapProbe = nullptr;

// A heap that has not answered by then is taken to be held by the crashed thread.
const long kHeapProbeMilliseconds = 2000;
// Larger than the per-thread caches of the allocator hold: the allocation goes to the locked heap itself.
const size_t kHeapProbeBytes = 64 * 1024;

// The reserve stack a thread got from us; given back (and the previous one restored) when it ends.
class CrashStack {
 public:
  CrashStack() = default;
  CrashStack(const CrashStack&) = delete;
  CrashStack& operator=(const CrashStack&) = delete;
  ~CrashStack() { Release(); }

  bool Allocate(const stack_t& previous) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t total = qelplat::kCrashStackSize + page;
    void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) return false;
    // The lowest page stays inaccessible: a handler that overflows its reserve faults instead of
    // writing over whatever lies below.
    mprotect(base, page, PROT_NONE);
    stack_t ours = {};
    ours.ss_sp = static_cast<char*>(base) + page;
    ours.ss_size = qelplat::kCrashStackSize;
    if (sigaltstack(&ours, nullptr) != 0) {
      munmap(base, total);
      return false;
    }
    m_base = base;
    m_total = total;
    m_stack = ours.ss_sp;
    m_previous = previous;
    return true;
  }

 private:
  void Release() {
    if (!m_base) return;
    stack_t current = {};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == m_stack && !(current.ss_flags & SS_ONSTACK)) {
      stack_t restore = m_previous;
      if (restore.ss_flags & SS_DISABLE) restore = stack_t{nullptr, SS_DISABLE, 0};
      sigaltstack(&restore, nullptr);
    }
    munmap(m_base, m_total);
    m_base = nullptr;
  }

  void* m_base = nullptr;
  size_t m_total = 0;
  void* m_stack = nullptr;
  stack_t m_previous = {};
};

thread_local CrashStack t_crashStack;

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> g_filter{nullptr};
std::atomic<bool> g_signalsTaken{false};
// Threads inside the crash path, and the signal the process is to end with once the last one is done.
std::atomic<int> g_pending{0};
std::atomic<int> g_endSignal{0};
std::atomic<bool> g_deadlineArmed{false};

void RecordStackBounds() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  size_t guard = 0;
  pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_getguardsize(&attr, &guard);
  pthread_attr_destroy(&attr);
  t_bounds.low = reinterpret_cast<uintptr_t>(low);
  t_bounds.guard = guard > kGuardSpan ? guard : kGuardSpan;
}

bool IsStackOverflow(uintptr_t faultAddress, uintptr_t stackPointer) {
  if (t_bounds.low && faultAddress < t_bounds.low + kNearStackPointer &&
      faultAddress + t_bounds.guard >= t_bounds.low)
    return true;
  return faultAddress + kNearStackPointer >= stackPointer && faultAddress < stackPointer + kNearStackPointer;
}

DWORD FloatingPointCode(int code) {
  switch (code) {
    case FPE_INTDIV: return EXCEPTION_INT_DIVIDE_BY_ZERO;
    case FPE_INTOVF: return EXCEPTION_INT_OVERFLOW;
    case FPE_FLTDIV: return EXCEPTION_FLT_DIVIDE_BY_ZERO;
    case FPE_FLTOVF: return EXCEPTION_FLT_OVERFLOW;
    case FPE_FLTUND: return EXCEPTION_FLT_UNDERFLOW;
    case FPE_FLTRES: return EXCEPTION_FLT_INEXACT_RESULT;
    case FPE_FLTSUB: return EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
    default: return EXCEPTION_FLT_INVALID_OPERATION;
  }
}

DWORD ExceptionCode(int signal, const siginfo_t* info, const ucontext_t* uc) {
  const uintptr_t fault = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  switch (signal) {
    case SIGSEGV:
      return IsStackOverflow(fault, sp) ? EXCEPTION_STACK_OVERFLOW : EXCEPTION_ACCESS_VIOLATION;
    case SIGBUS:
      if (IsStackOverflow(fault, sp)) return EXCEPTION_STACK_OVERFLOW;
      if (info->si_code == BUS_ADRALN) return EXCEPTION_DATATYPE_MISALIGNMENT;
      return info->si_code > 0 ? EXCEPTION_IN_PAGE_ERROR : EXCEPTION_ACCESS_VIOLATION;
    case SIGILL:
      return info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG ? EXCEPTION_PRIV_INSTRUCTION
                                                                         : EXCEPTION_ILLEGAL_INSTRUCTION;
    case SIGFPE:
      return FloatingPointCode(info->si_code);
    default:
      return STATUS_FATAL_APP_EXIT;
  }
}

void FillRecord(int signal, const siginfo_t* info, const ucontext_t* uc, EXCEPTION_RECORD* record) {
  const greg_t* g = uc->uc_mcontext.gregs;
  record->ExceptionCode = ExceptionCode(signal, info, uc);
  record->ExceptionFlags = signal == SIGABRT ? static_cast<DWORD>(EXCEPTION_NONCONTINUABLE) : 0;
  record->ExceptionAddress = reinterpret_cast<PVOID>(g[REG_RIP]);
  if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION || record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) {
    // The page-fault error code: bit 1 a write, bit 4 an instruction fetch.
    const greg_t err = g[REG_ERR];
    record->NumberParameters = 2;
    record->ExceptionInformation[0] = (err & 0x10) ? 8 : (err & 0x2) ? 1 : 0;
    record->ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(info->si_addr);
  }
}

void FillContext(const siginfo_t* info, const ucontext_t* uc, CONTEXT* c) {
  const greg_t* g = uc->uc_mcontext.gregs;
  c->Rax = g[REG_RAX];
  c->Rcx = g[REG_RCX];
  c->Rdx = g[REG_RDX];
  c->Rbx = g[REG_RBX];
  c->Rsp = g[REG_RSP];
  c->Rbp = g[REG_RBP];
  c->Rsi = g[REG_RSI];
  c->Rdi = g[REG_RDI];
  c->R8 = g[REG_R8];
  c->R9 = g[REG_R9];
  c->R10 = g[REG_R10];
  c->R11 = g[REG_R11];
  c->R12 = g[REG_R12];
  c->R13 = g[REG_R13];
  c->R14 = g[REG_R14];
  c->R15 = g[REG_R15];
  c->Rip = g[REG_RIP];
  c->EFlags = static_cast<DWORD>(g[REG_EFL]);
  const uint64_t segments = static_cast<uint64_t>(g[REG_CSGSFS]);
  c->SegCs = static_cast<WORD>(segments & 0xFFFF);
  c->SegGs = static_cast<WORD>((segments >> 16) & 0xFFFF);
  c->SegFs = static_cast<WORD>((segments >> 32) & 0xFFFF);
  c->SegSs = 0x2B;  // the user data selector of every 64-bit process
  if (uc->uc_mcontext.fpregs) {
    memcpy(c->FltSave, uc->uc_mcontext.fpregs, sizeof(c->FltSave));
    c->MxCsr = uc->uc_mcontext.fpregs->mxcsr;
    c->FltSaveValid = 1;
  }
  unsigned long base = 0;
  if (qelplat::raw::Call(SYS_arch_prctl, ARCH_GET_FS, qelplat::raw::Arg(&base)) == 0) c->FsBase = base;
  if (qelplat::raw::Call(SYS_arch_prctl, ARCH_GET_GS, qelplat::raw::Arg(&base)) == 0) c->GsBase = base;
  static_assert(sizeof(siginfo_t) == sizeof(c->SignalInfo), "siginfo_t is 128 bytes");
  memcpy(c->SignalInfo, info, sizeof(c->SignalInfo));
}

// Ends the process if the crash path is still running when the deadline passes.
void ArmDeadline() {
  if (g_deadlineArmed.exchange(true)) return;
  struct sigevent event = {};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGKILL;
  int timer = 0;
  if (qelplat::raw::Call(SYS_timer_create, CLOCK_MONOTONIC, qelplat::raw::Arg(&event), qelplat::raw::Arg(&timer)) != 0)
    return;
  struct itimerspec when = {};
  when.it_value.tv_sec = kFilterDeadlineSeconds;
  qelplat::raw::Call(SYS_timer_settime, timer, 0, qelplat::raw::Arg(&when), 0);
}

void RestoreDefault(int signal) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

// Kills the process with the signal's default action. The product wrote its own records, so the kernel
// is told not to add a core file of its own.
[[noreturn]] void EndProcess(int signal) {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  RestoreDefault(signal);
  qelplat::raw::Kill(qelplat::raw::GetTid(), signal);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  _exit(128 + signal);
}

// Another thread ends the process once it is done with its own crash.
[[noreturn]] void Park() {
  for (;;) pause();
}

// The signal's default action once the handler returns: a fault happens again, a raised signal is raised
// again.
void DefaultAction(int signal) {
  RestoreDefault(signal);
  qelplat::raw::Kill(qelplat::raw::GetTid(), signal);
}

// Leaves a try of the heap that did not come back.
void AbandonHeapProbe() {
  sigjmp_buf* probe = t_heapProbe;
  if (!probe) return;
  t_heapProbe = nullptr;
  siglongjmp(*probe, 1);
}

void OnHeapProbeTimeout(int, siginfo_t*, void*) { AbandonHeapProbe(); }

// A real-time signal no part of the system uses (the thread hold has the one above). It stays ours once
// taken, so that a late expiry never meets the default action, which would end the process.
int HeapProbeSignal() { return SIGRTMAX - 2; }

void OnCrashSignal(int signal, siginfo_t* info, void* ucontext) {
  const ucontext_t* uc = static_cast<const ucontext_t*>(ucontext);
  if (t_inFilter) {
    // A corrupt heap faults under the try: the heap is unusable, and the filter goes on without it.
    AbandonHeapProbe();
    EndProcess(signal);
  }
  LPTOP_LEVEL_EXCEPTION_FILTER filter = g_filter.load();
  if (!filter) {
    DefaultAction(signal);
    return;
  }
  g_pending.fetch_add(1);
  ArmDeadline();
  EXCEPTION_RECORD record = {};
  CONTEXT context = {};
  FillRecord(signal, info, uc, &record);
  FillContext(info, uc, &context);
  EXCEPTION_POINTERS pointers = {&record, &context};
  t_inFilter = true;
  const LONG verdict = filter(&pointers);
  t_inFilter = false;
  if (verdict != EXCEPTION_EXECUTE_HANDLER) {
    DefaultAction(signal);
    return;
  }
  int expected = 0;
  g_endSignal.compare_exchange_strong(expected, signal);
  if (g_pending.fetch_sub(1) > 1) Park();
  EndProcess(g_endSignal.load());
}

void TakeCrashSignals() {
  if (g_signalsTaken.exchange(true)) return;
  struct sigaction action = {};
  action.sa_sigaction = &OnCrashSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  // Nothing blocked: a second kind of fault inside the filter must reach the handler, which then ends the
  // process instead of letting it hang.
  sigemptyset(&action.sa_mask);
  for (int signal : kCrashSignals) sigaction(signal, &action, nullptr);
}

}  // namespace

LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  qelplat::InstallCrashStack();
  // The local time zone is read now: its first reading allocates, which a filter without a heap cannot.
  tzset();
  LPTOP_LEVEL_EXCEPTION_FILTER previous = g_filter.exchange(filter);
  TakeCrashSignals();
  return previous;
}

namespace qelplat {

bool HeapResponds() {
  static std::atomic<bool> handlerTaken{false};
  const int signal = HeapProbeSignal();
  if (!handlerTaken.exchange(true)) {
    struct sigaction action = {};
    action.sa_sigaction = &OnHeapProbeTimeout;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
  struct sigevent event = {};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = signal;
  event._sigev_un._tid = raw::GetTid();  // sigev_notify_thread_id
  int timer = 0;
  if (raw::Call(SYS_timer_create, CLOCK_MONOTONIC, raw::Arg(&event), raw::Arg(&timer)) != 0) return false;
  // The expiry must reach this thread, and so must a fault under the try: inside the handler of a crash
  // its own signal is blocked, and a blocked fault would end the process at once.
  sigset_t reach;
  sigemptyset(&reach);
  sigaddset(&reach, signal);
  for (int crash : kCrashSignals) sigaddset(&reach, crash);
  raw::Call(SYS_rt_sigprocmask, SIG_UNBLOCK, raw::Arg(&reach), 0, sizeof(uint64_t));
  // Through a pointer the compiler cannot see into, so that the pair is not left out as having no effect.
  void* (*volatile allocate)(size_t) = &malloc;
  void (*volatile release)(void*) = &free;
  volatile bool responded = false;
  sigjmp_buf probe;
  if (sigsetjmp(probe, 1) == 0) {
    t_heapProbe = &probe;
    struct itimerspec when = {};
    when.it_value.tv_sec = kHeapProbeMilliseconds / 1000;
    when.it_value.tv_nsec = (kHeapProbeMilliseconds % 1000) * 1000000;
    raw::Call(SYS_timer_settime, timer, 0, raw::Arg(&when), 0);
    release(allocate(kHeapProbeBytes));
    responded = true;
  }
  t_heapProbe = nullptr;
  raw::Call(SYS_timer_delete, timer);
  return responded;
}

bool InstallCrashStack() {
  RecordStackBounds();
  stack_t current = {};
  if (sigaltstack(nullptr, &current) != 0) return false;
  const bool enabled = !(current.ss_flags & SS_DISABLE);
  if (enabled && current.ss_size >= kCrashStackSize) return true;
  // Running on the alternate stack (inside a signal handler): it cannot be replaced now.
  if (current.ss_flags & SS_ONSTACK) return false;
  return t_crashStack.Allocate(current);
}

}  // namespace qelplat
