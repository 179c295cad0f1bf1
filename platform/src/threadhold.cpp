#include "threadhold.h"

#include <signal.h>
#include <ucontext.h>

#include <asm/prctl.h>

#include <cerrno>
#include <cstring>

#include "rawsys.h"

namespace qelplat {
namespace {

// A thread that has not answered by then has the signal blocked and is left out.
const int64_t kAnswerMilliseconds = 500;

struct Slot {
  int tid;
  // The round this thread answered in.
  int answered;
  // Answered in time: part of the dump.
  int included;
  ThreadRegisters registers;
};

// Shared with the handler. Once published it is never unmapped: a thread may still answer a signal that
// reached it late. A larger process gets a larger table and the old one stays behind.
struct Table {
  int round;     // the current hold; holds are active while released < round
  int released;  // the last round let go
  int answered;  // threads that answered in the current round
  int capacity;
  int count;
  Slot slots[1];
};

Table* g_table = nullptr;
bool g_handlerInstalled = false;

size_t TableBytes(int capacity) { return offsetof(Table, slots) + sizeof(Slot) * static_cast<size_t>(capacity); }

// A real-time signal no part of the system uses; it stays ours once the first dump was written, so that a
// late answer never meets the default action (which would end the process).
int HoldSignal() { return SIGRTMAX - 1; }

Slot* SlotOf(Table* table, int tid) {
  for (int i = 0; i < table->count; ++i)
    if (table->slots[i].tid == tid) return &table->slots[i];
  return nullptr;
}

void Answer(Table* table, const void* ucontext) {
  const int round = __atomic_load_n(&table->round, __ATOMIC_ACQUIRE);
  if (__atomic_load_n(&table->released, __ATOMIC_ACQUIRE) >= round) return;
  Slot* slot = SlotOf(table, raw::GetTid());
  if (!slot || __atomic_load_n(&slot->answered, __ATOMIC_ACQUIRE) == round) return;
  RegistersFromContext(ucontext, &slot->registers);
  __atomic_store_n(&slot->answered, round, __ATOMIC_RELEASE);
  __atomic_add_fetch(&table->answered, 1, __ATOMIC_ACQ_REL);
  raw::FutexWake(&table->answered);
  for (;;) {
    const int released = __atomic_load_n(&table->released, __ATOMIC_ACQUIRE);
    if (released >= round) break;
    raw::FutexWait(&table->released, released, 200);
  }
}

void OnHoldSignal(int, siginfo_t*, void* ucontext) {
  const int savedErrno = errno;
  Table* table = __atomic_load_n(&g_table, __ATOMIC_ACQUIRE);
  if (table) Answer(table, ucontext);
  errno = savedErrno;
}

void InstallHandler() {
  if (g_handlerInstalled) return;
  struct sigaction action = {};
  action.sa_sigaction = &OnHoldSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigfillset(&action.sa_mask);
  // A held thread that faults must still reach the crash handling.
  const int crashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
  for (int crash : crashSignals) sigdelset(&action.sa_mask, crash);
  if (sigaction(HoldSignal(), &action, nullptr) == 0) g_handlerInstalled = true;
}

// Every thread of the process but the caller, from /proc/self/task.
bool OtherThreads(raw::Buffer* tids) {
  const int fd = raw::Open("/proc/self/task", O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const int self = raw::GetTid();
  alignas(8) char entries[4096];
  for (;;) {
    const long n = raw::Call(SYS_getdents64, fd, raw::Arg(entries), sizeof(entries));
    if (n <= 0) break;
    for (long offset = 0; offset < n;) {
      struct Entry {
        uint64_t inode;
        int64_t next;
        unsigned short length;
        unsigned char type;
        char name[1];
      };
      const Entry* entry = reinterpret_cast<const Entry*>(entries + offset);
      offset += entry->length;
      int tid = 0;
      const char* c = entry->name;
      for (; *c >= '0' && *c <= '9'; ++c) tid = tid * 10 + (*c - '0');
      if (*c != '\0' || tid == 0 || tid == self) continue;
      tids->Append(&tid, sizeof(tid));
    }
  }
  raw::Close(fd);
  return !tids->Failed();
}

// The published table, large enough for count threads.
Table* TableFor(int count) {
  Table* table = __atomic_load_n(&g_table, __ATOMIC_ACQUIRE);
  if (table && table->capacity >= count) return table;
  const int capacity = count * 2 > 64 ? count * 2 : 64;
  Table* grown = static_cast<Table*>(raw::Map(TableBytes(capacity)));
  if (!grown) return nullptr;
  grown->capacity = capacity;
  if (table) {
    grown->round = table->round;
    grown->released = table->released;
  }
  __atomic_store_n(&g_table, grown, __ATOMIC_RELEASE);
  return grown;
}

}  // namespace

void RegistersFromContext(const void* ucontext, ThreadRegisters* out) {
  const ucontext_t* uc = static_cast<const ucontext_t*>(ucontext);
  const greg_t* g = uc->uc_mcontext.gregs;
  user_regs_struct& r = out->regs;
  memset(&r, 0, sizeof(r));
  r.r15 = g[REG_R15];
  r.r14 = g[REG_R14];
  r.r13 = g[REG_R13];
  r.r12 = g[REG_R12];
  r.rbp = g[REG_RBP];
  r.rbx = g[REG_RBX];
  r.r11 = g[REG_R11];
  r.r10 = g[REG_R10];
  r.r9 = g[REG_R9];
  r.r8 = g[REG_R8];
  r.rax = g[REG_RAX];
  r.rcx = g[REG_RCX];
  r.rdx = g[REG_RDX];
  r.rsi = g[REG_RSI];
  r.rdi = g[REG_RDI];
  r.orig_rax = ~0ULL;  // not inside a system call that could be restarted
  r.rip = g[REG_RIP];
  r.cs = static_cast<uint64_t>(g[REG_CSGSFS]) & 0xFFFF;
  r.eflags = g[REG_EFL];
  r.rsp = g[REG_RSP];
  r.ss = 0x2B;
  unsigned long base = 0;
  if (raw::Call(SYS_arch_prctl, ARCH_GET_FS, raw::Arg(&base)) == 0) r.fs_base = base;
  if (raw::Call(SYS_arch_prctl, ARCH_GET_GS, raw::Arg(&base)) == 0) r.gs_base = base;
  out->fpValid = uc->uc_mcontext.fpregs != nullptr;
  if (out->fpValid) memcpy(&out->fpregs, uc->uc_mcontext.fpregs, sizeof(out->fpregs));
  out->tid = raw::GetTid();
}

bool ThreadHold::HoldOthers() {
  Release();
  raw::Buffer tids;
  if (!OtherThreads(&tids)) return false;
  const int count = static_cast<int>(tids.Size() / sizeof(int));
  Table* table = TableFor(count);
  if (!table) return false;
  InstallHandler();
  const int* ids = reinterpret_cast<const int*>(tids.Data());
  table->count = count;
  for (int i = 0; i < count; ++i) {
    table->slots[i].tid = ids[i];
    table->slots[i].included = 0;
    __atomic_store_n(&table->slots[i].answered, 0, __ATOMIC_RELAXED);
  }
  __atomic_store_n(&table->answered, 0, __ATOMIC_RELAXED);
  m_round = __atomic_add_fetch(&table->round, 1, __ATOMIC_ACQ_REL);
  int sent = 0;
  for (int i = 0; i < count; ++i)
    if (raw::Kill(ids[i], HoldSignal()) == 0) ++sent;
  const int64_t deadline = raw::MonotonicMilliseconds() + kAnswerMilliseconds;
  for (;;) {
    const int answered = __atomic_load_n(&table->answered, __ATOMIC_ACQUIRE);
    const int64_t left = deadline - raw::MonotonicMilliseconds();
    if (answered >= sent || left <= 0) break;
    raw::FutexWait(&table->answered, answered, static_cast<long>(left));
  }
  // Late answers still wait for the release, but stay out of the dump.
  m_count = 0;
  for (int i = 0; i < count; ++i) {
    Slot& slot = table->slots[i];
    slot.included = __atomic_load_n(&slot.answered, __ATOMIC_ACQUIRE) == m_round;
    if (slot.included) ++m_count;
  }
  return true;
}

const ThreadRegisters& ThreadHold::At(size_t index) const {
  Table* table = __atomic_load_n(&g_table, __ATOMIC_ACQUIRE);
  for (int i = 0; i < table->count; ++i) {
    const Slot& slot = table->slots[i];
    if (slot.included && index-- == 0) return slot.registers;
  }
  return table->slots[0].registers;
}

void ThreadHold::Release() {
  if (m_round == 0) return;
  Table* table = __atomic_load_n(&g_table, __ATOMIC_ACQUIRE);
  __atomic_store_n(&table->released, m_round, __ATOMIC_RELEASE);
  raw::FutexWake(&table->released);
  m_round = 0;
  m_count = 0;
}

}  // namespace qelplat
