#pragma once
// Threads the Windows way: started with a stack size, waited for through their handle with a time limit,
// their exit code kept after they end. A thread handle may be closed while the thread runs or while others
// wait on it: the end state lives until the last waiter and the thread itself are done with it.
#include <memory>

#include "qelplat/handle.h"
#include "qelplat/timeapi.h"
#include "qelplat/wintypes.h"

enum : DWORD {
  WAIT_OBJECT_0 = 0,
  WAIT_TIMEOUT = 258,
  WAIT_FAILED = 0xFFFFFFFFu,
  STILL_ACTIVE = 259,
};

typedef unsigned (*THREAD_START_ROUTINE)(void* argument);

// The system's thread id of the calling thread (gettid): 32 bits, unique among running threads.
DWORD GetCurrentThreadId();

// Waits until the thread of the handle ends: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with
// ERROR_INVALID_HANDLE. Only thread handles can be waited for.
DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds);
// STILL_ACTIVE while the thread runs, else the value its routine returned.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Returns the previous mask (all processors before the first change), 0 on failure with the error number.
uintptr_t SetThreadAffinityMask(HANDLE thread, uintptr_t mask);

namespace qelplat {

// Starts routine(argument) at once on a new thread with the given stack size (0: the system's default,
// raised to the system minimum when smaller). Returns its handle and id, or null with the error number.
HANDLE BeginThread(unsigned stackSize, THREAD_START_ROUTINE routine, void* argument, DWORD* threadId);

// Processors the process may run on, at least 1.
int ProcessorCount();

// The end state of a thread, shared with everyone waiting for it. Take it while the handle is known to be
// open; the wait itself then needs no handle.
class ThreadEnd;
std::shared_ptr<ThreadEnd> ThreadEndOf(HANDLE thread);
// True when the thread ended within the time (INFINITE: waits for ever).
bool WaitThreadEnd(const std::shared_ptr<ThreadEnd>& end, DWORD milliseconds);

}  // namespace qelplat
