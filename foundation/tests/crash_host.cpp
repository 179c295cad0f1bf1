// A product for the crash handler tests: installs QEL::CExceptHandle as its unhandled-exception filter, then
// crashes the way its first argument says:
//   null      writes through a null pointer          longname  the same, in a function named 2048 characters
//   divide    divides an integer by zero             abort     calls abort()
//   illegal   executes an undefined instruction      overflow  recurses without end
//   threads   two threads write through null pointers at the same time
//   doublefree  frees a block twice while a second thread runs: the allocator aborts holding its lock
// The second argument, when given, is the crash folder; without it SetCrashDir is never called.
// Exit code 3 means it did not crash.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "QelTools/ExceptHandle.h"
#include "qelplat/seh.h"

#define QEL_PASTE(a, b) a##b
#define QEL_TWICE(a) QEL_PASTE(a, a)
#define QEL_LONG_NAME \
  QEL_TWICE(QEL_TWICE(QEL_TWICE(QEL_TWICE(QEL_TWICE(QEL_TWICE(QEL_TWICE(FunctionNameOf16x)))))))

// 16 characters doubled seven times: 2048 characters, unmangled.
extern "C" __attribute__((noinline)) void QEL_LONG_NAME() {
  volatile int* nowhere = nullptr;
  *nowhere = 7;
}

namespace {

QEL::CExceptHandle g_handler;
std::atomic<int> g_inFilter{0};
int g_crashingThreads = 1;
std::atomic<bool> g_go{false};

LONG CrashFilter(EXCEPTION_POINTERS* info) {
  // With two crashing threads, both are inside the filter before either is handled: the crashes overlap.
  g_inFilter.fetch_add(1);
  for (int i = 0; i < 10000 && g_inFilter.load() < g_crashingThreads; ++i) usleep(1000);
  return g_handler.CrashHandler(info);
}

__attribute__((noinline)) void WriteThroughNull() {
  volatile int* nowhere = nullptr;
  *nowhere = 42;
}

__attribute__((noinline)) int DivideByZero(int divisor) {
  volatile int dividend = 100;
  volatile int zero = divisor;
  return dividend / zero;
}

__attribute__((noinline)) void ExecuteIllegal() { __builtin_trap(); }

__attribute__((noinline)) void AbortNow() { abort(); }

__attribute__((noinline)) int RecurseForever(int depth) {
  volatile char frame[64];
  frame[0] = static_cast<char>(depth);
  if (depth == -1) return 0;
  return RecurseForever(depth + 1) + frame[0];
}

// Each thread takes its reserve stack, as a product's threads do: the report needs more stack than the
// alternate stack a sanitizer gives a thread.
__attribute__((noinline)) void CrashInFirstThread() {
  qelplat::InstallCrashStack();
  while (!g_go.load()) {
  }
  WriteThroughNull();
}

__attribute__((noinline)) void CrashInSecondThread() {
  qelplat::InstallCrashStack();
  while (!g_go.load()) {
  }
  volatile int* nowhere = nullptr;
  *nowhere = 2;
}

// With a second thread alive the allocator takes its lock to free a block too large for the per-thread
// cache; finding the block free already, it aborts with the lock still held.
__attribute__((noinline)) void FreeTwice() {
  std::atomic<bool> stop{false};
  std::thread other([&stop] {
    while (!stop.load()) usleep(1000);
  });
  char* block = static_cast<char*>(malloc(4096));
  char* after = static_cast<char*>(malloc(4096));  // keeps the freed block from merging into the heap's top
  char* volatile again = block;
  free(block);
  free(again);
  stop.store(true);
  other.join();
  free(after);
}

void CrashTwoThreads() {
  g_crashingThreads = 2;
  std::thread first(CrashInFirstThread);
  std::thread second(CrashInSecondThread);
  g_go.store(true);
  first.join();
  second.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (argc > 2) g_handler.SetCrashDir(argv[2]);
  SetUnhandledExceptionFilter(CrashFilter);
  const char* mode = argv[1];
  if (strcmp(mode, "null") == 0) WriteThroughNull();
  if (strcmp(mode, "longname") == 0) QEL_LONG_NAME();
  if (strcmp(mode, "divide") == 0) return DivideByZero(0);
  if (strcmp(mode, "illegal") == 0) ExecuteIllegal();
  if (strcmp(mode, "abort") == 0) AbortNow();
  if (strcmp(mode, "overflow") == 0) return RecurseForever(0);
  if (strcmp(mode, "threads") == 0) CrashTwoThreads();
  if (strcmp(mode, "doublefree") == 0) FreeTwice();
  return 3;
}
