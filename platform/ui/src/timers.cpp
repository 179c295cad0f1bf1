// Timers. A window's timer lives in the queue of the window's thread, whichever thread sets or kills it, so
// its WM_TIMER reaches the window on the thread that owns it; a thread timer (no window) lives in the
// calling thread's queue. Any thread may set or kill a timer (the list is under the queue's lock); only the
// owning thread's GetMessageW takes the messages.
#include <algorithm>

#include "qelplat/lasterror.h"
#include "qelui/user32.h"
#include "threadqueue.h"
#include "xwindow.h"

namespace qelui {
namespace {

// The queue that holds the timers of a window, or of the calling thread when there is no window; null
// when the window is gone.
std::shared_ptr<ThreadQueue> TimerQueueOf(HWND hwnd) {
  if (!hwnd) return CurrentQueuePtr();
  auto w = FindWindowData(hwnd);
  return w ? w->queue : nullptr;
}

std::vector<Timer>::iterator FindTimer(ThreadQueue& q, HWND hwnd, UINT_PTR id) {
  return std::find_if(q.timers.begin(), q.timers.end(),
                      [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
}

}  // namespace

bool PopTimer(ThreadQueue& q, MSG* msg, uint64_t now) {
  std::lock_guard<std::mutex> lock(q.mu);
  for (auto it = q.timers.begin(); it != q.timers.end();) {
    // A timer set from another thread while its window was being destroyed outlives the window.
    if (it->hwnd && !IsWindow(it->hwnd)) {
      it = q.timers.erase(it);
      continue;
    }
    if (it->due > now) {
      ++it;
      continue;
    }
    it->due = now + it->period;
    *msg = MSG{};
    msg->hwnd = it->hwnd;
    msg->message = WM_TIMER;
    msg->wParam = it->id;
    msg->lParam = reinterpret_cast<LPARAM>(it->proc);
    msg->time = static_cast<DWORD>(now);
    return true;
  }
  return false;
}

int MsUntilNextTimer(ThreadQueue& q, uint64_t now) {
  std::lock_guard<std::mutex> lock(q.mu);
  if (q.timers.empty()) return -1;
  uint64_t due = q.timers.front().due;
  for (const Timer& t : q.timers) due = std::min(due, t.due);
  return due <= now ? 0 : static_cast<int>(std::min<uint64_t>(due - now, 60000));
}

void DropWindowTimers(ThreadQueue& q, HWND hwnd) {
  std::lock_guard<std::mutex> lock(q.mu);
  q.timers.erase(std::remove_if(q.timers.begin(), q.timers.end(), [hwnd](const Timer& t) { return t.hwnd == hwnd; }),
                 q.timers.end());
}

}  // namespace qelui

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  std::shared_ptr<qelui::ThreadQueue> queue = qelui::TimerQueueOf(hwnd);
  if (!queue) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  // Windows raises periods below 10 ms to 10 ms; so do we, so a zero period cannot spin the loop.
  const UINT period = std::max<UINT>(elapse, 10);
  {
    std::lock_guard<std::mutex> lock(queue->mu);
    if (!hwnd) id = queue->nextTimerId++;
    const uint64_t due = qelui::NowMs() + period;
    auto it = qelui::FindTimer(*queue, hwnd, id);
    if (it != queue->timers.end()) {
      *it = qelui::Timer{hwnd, id, period, due, proc};
    } else {
      queue->timers.push_back(qelui::Timer{hwnd, id, period, due, proc});
    }
  }
  // The owner may be asleep with a longer wait than this timer's first period.
  queue->Wake();
  return hwnd && !id ? 1 : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  std::shared_ptr<qelui::ThreadQueue> queue = qelui::TimerQueueOf(hwnd);
  if (!queue) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(queue->mu);
  auto it = qelui::FindTimer(*queue, hwnd, id);
  if (it == queue->timers.end()) return FALSE;
  queue->timers.erase(it);
  return TRUE;
}
