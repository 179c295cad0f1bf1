#pragma once
// Internal: the message queue each thread gets, as every Windows thread has its own. The posted messages
// and the timers may be touched by any thread under the queue's lock; everything else belongs to the
// thread that owns the queue, the thread whose GetMessageW reads it.
#include <X11/Xlib.h>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "qelui/uitypes.h"

namespace qelui {

struct Timer {
  HWND hwnd;  // null: a thread timer
  UINT_PTR id;
  UINT period;
  uint64_t due;
  TIMERPROC proc;
};

// A caption drag in progress; the layer moves the window itself, with or without a window manager.
struct DragState {
  HWND hwnd = nullptr;
  int startX = 0;
  int startY = 0;
  LONG left = 0;
  LONG top = 0;
};

struct ThreadQueue {
  ThreadQueue();
  ~ThreadQueue();
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  // Any thread. Wakes the owner's GetMessageW after a post or a new timer.
  void Wake();
  // Owning thread: empties the wake pipe before it looks for work.
  void Drain();

  // Any thread, under mu.
  std::mutex mu;
  std::deque<MSG> posted;
  std::vector<Timer> timers;
  UINT_PTR nextTimerId = 0x7000;

  int wake[2] = {-1, -1};  // fixed after construction: a byte in the pipe wakes GetMessageW

  // Owning thread only.
  Display* dpy = nullptr;
  std::vector<HWND> windows;
  std::deque<MSG> input;  // translated X input, returned after posted messages
  DragState drag;
};

// The calling thread's queue, made on first use.
ThreadQueue& CurrentQueue();
std::shared_ptr<ThreadQueue> CurrentQueuePtr();

// Milliseconds of the monotonic clock.
uint64_t NowMs();

// Owning thread: appends translated input for the window (null: a message that only wakes the loop).
void PushInput(ThreadQueue& q, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// Owning thread, from GetMessageW: the first timer that is due, as its WM_TIMER message (lParam carries
// its TIMERPROC); false when none is.
bool PopTimer(ThreadQueue& q, MSG* msg, uint64_t now);
// Milliseconds until the next timer is due (0: one is), or -1 when the queue has none.
int MsUntilNextTimer(ThreadQueue& q, uint64_t now);
// Drops every timer of a window that is being destroyed.
void DropWindowTimers(ThreadQueue& q, HWND hwnd);

}  // namespace qelui
