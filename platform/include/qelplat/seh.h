#pragma once
// Structured exceptions. The faults Windows raises as exceptions arrive on Linux as signals: SIGSEGV and
// SIGBUS (access violations, stack overflow, in-page errors), SIGILL, SIGFPE, and SIGABRT from abort().
// SetUnhandledExceptionFilter takes them on an alternate stack, describes them in the Windows records
// below (the Windows exception codes, the machine state at the fault) and hands them to the filter.
//
// What the filter's result does:
//   EXCEPTION_EXECUTE_HANDLER  the process ends, killed by the same signal, without a kernel core file (the
//                              filter wrote its own records). Threads whose crash is still waiting for the
//                              filter run it first: the last one ends the process.
//   anything else              the signal's default action, as if no filter were installed (execution is
//                              never resumed after a fault).
// A fault inside the filter on a thread that is already in it ends the process at once. A filter that is
// still busy a minute after the first crash of the process is taken to be stuck and the process is killed,
// so that a crash never leaves a hung process behind.
//
// A stack overflow can be reported only on a thread with a reserve stack: the thread that installs the
// filter gets one, and any other thread gets one from qelplat::InstallCrashStack. A thread that runs with a
// small alternate stack of someone else's (a sanitizer gives every thread one) needs ours as well: the
// report takes more stack than that.
#include "qelplat/wintypes.h"

typedef uint64_t DWORD64;
typedef uintptr_t ULONG_PTR;
typedef void* PVOID;

enum : DWORD {
  EXCEPTION_DATATYPE_MISALIGNMENT = 0x80000002u,
  EXCEPTION_ACCESS_VIOLATION = 0xC0000005u,
  EXCEPTION_IN_PAGE_ERROR = 0xC0000006u,
  EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001Du,
  EXCEPTION_ARRAY_BOUNDS_EXCEEDED = 0xC000008Cu,
  EXCEPTION_FLT_DENORMAL_OPERAND = 0xC000008Du,
  EXCEPTION_FLT_DIVIDE_BY_ZERO = 0xC000008Eu,
  EXCEPTION_FLT_INEXACT_RESULT = 0xC000008Fu,
  EXCEPTION_FLT_INVALID_OPERATION = 0xC0000090u,
  EXCEPTION_FLT_OVERFLOW = 0xC0000091u,
  EXCEPTION_FLT_STACK_CHECK = 0xC0000092u,
  EXCEPTION_FLT_UNDERFLOW = 0xC0000093u,
  EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094u,
  EXCEPTION_INT_OVERFLOW = 0xC0000095u,
  EXCEPTION_PRIV_INSTRUCTION = 0xC0000096u,
  EXCEPTION_STACK_OVERFLOW = 0xC00000FDu,
  // abort(): the application ended itself.
  STATUS_FATAL_APP_EXIT = 0x40000015u,
  EXCEPTION_NONCONTINUABLE = 0x1,
};

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)
#define EXCEPTION_MAXIMUM_PARAMETERS 15

// For an access violation: ExceptionInformation[0] is 0 for a read, 1 for a write, 8 for an instruction
// fetch, and [1] the address that was touched.
struct EXCEPTION_RECORD {
  DWORD ExceptionCode;
  DWORD ExceptionFlags;
  EXCEPTION_RECORD* ExceptionRecord;
  PVOID ExceptionAddress;
  DWORD NumberParameters;
  ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};

// The x86-64 machine state at the fault (the Windows AMD64 record's registers; the debug and vector
// registers it also has are left out). The tail holds what a core file of the process needs beyond it.
struct CONTEXT {
  DWORD ContextFlags;
  DWORD MxCsr;
  WORD SegCs;
  WORD SegDs;
  WORD SegEs;
  WORD SegFs;
  WORD SegGs;
  WORD SegSs;
  DWORD EFlags;
  DWORD64 Rax;
  DWORD64 Rcx;
  DWORD64 Rdx;
  DWORD64 Rbx;
  DWORD64 Rsp;
  DWORD64 Rbp;
  DWORD64 Rsi;
  DWORD64 Rdi;
  DWORD64 R8;
  DWORD64 R9;
  DWORD64 R10;
  DWORD64 R11;
  DWORD64 R12;
  DWORD64 R13;
  DWORD64 R14;
  DWORD64 R15;
  DWORD64 Rip;
  // The FXSAVE image of the x87 and SSE state; valid when FltSaveValid is set.
  BYTE FltSave[512];
  DWORD FltSaveValid;
  // Thread-local storage bases of the faulting thread.
  DWORD64 FsBase;
  DWORD64 GsBase;
  // The signal as the kernel delivered it (a siginfo_t), all zero when the record was not made from one.
  BYTE SignalInfo[128];
};

struct EXCEPTION_POINTERS {
  EXCEPTION_RECORD* ExceptionRecord;
  CONTEXT* ContextRecord;
};

typedef LONG (*LPTOP_LEVEL_EXCEPTION_FILTER)(EXCEPTION_POINTERS* exceptionInfo);

// Makes filter the process's unhandled-exception filter and returns the previous one (null at first).
// The first call takes over the crash signals; a null filter gives them back their default action.
// The calling thread gets a reserve stack (see qelplat::InstallCrashStack).
LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

namespace qelplat {

// Bytes of a thread's reserve stack: the crash filter runs on it.
const unsigned kCrashStackSize = 512 * 1024;

// Gives the calling thread a reserve stack for crash signals, so that a stack overflow on this thread still
// reaches the filter. It is released when the thread ends. True when the thread has one (already had one
// of at least kCrashStackSize bytes, or got ours); false when the memory could not be had.
bool InstallCrashStack();

// For a crash filter: whether the heap still serves the calling thread. One allocation and its release are
// tried; false when they do not come back within a moment (the thread that crashed holds the heap's lock:
// a crash inside the allocator) or fault (the heap is corrupt). Without a heap the filter keeps to calls
// that need none.
bool HeapResponds();

}  // namespace qelplat
