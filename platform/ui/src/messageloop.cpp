// The message loop: GetMessageW takes the calling thread's next message (posted, then input, then timers,
// then paints), sleeping until there is one; DispatchMessageW hands it to its window. Both run on the thread
// that owns the queue, and so does every modal loop built on them (CWindowWnd::ShowModal).
#include <X11/Xlib.h>
#include <poll.h>

#include "qelui/user32.h"
#include "threadqueue.h"
#include "xconnection.h"
#include "xwindow.h"

namespace qelui {
namespace {

// Messages for a window that has gone since they were posted are dropped, as on Windows.
bool PopPosted(ThreadQueue& q, MSG* msg) {
  std::lock_guard<std::mutex> lock(q.mu);
  while (!q.posted.empty()) {
    *msg = q.posted.front();
    q.posted.pop_front();
    if (msg->message == WM_QUIT || !msg->hwnd || IsWindow(msg->hwnd)) return true;
  }
  return false;
}

bool PopInput(ThreadQueue& q, MSG* msg) {
  while (!q.input.empty()) {
    *msg = q.input.front();
    q.input.pop_front();
    if (!msg->hwnd || IsWindow(msg->hwnd)) return true;
  }
  return false;
}

bool PopPaint(ThreadQueue& q, MSG* msg) {
  for (HWND h : q.windows) {
    auto w = FindWindowData(h);
    if (!w || !w->needsPaint || !(w->style & WS_VISIBLE)) continue;
    *msg = MSG{};
    msg->hwnd = h;
    msg->message = WM_PAINT;
    return true;
  }
  return false;
}

// Sleeps until a post, an X event or the next timer.
void WaitForWork(ThreadQueue& q) {
  pollfd fds[2];
  int n = 0;
  if (q.wake[0] >= 0) fds[n++] = pollfd{q.wake[0], POLLIN, 0};
  if (q.dpy) fds[n++] = pollfd{ConnectionNumber(q.dpy), POLLIN, 0};
  poll(fds, static_cast<nfds_t>(n), MsUntilNextTimer(q, NowMs()));
}

}  // namespace
}  // namespace qelui

BOOL GetMessageW(LPMSG msg, HWND, UINT, UINT) {
  qelui::ThreadQueue& q = qelui::CurrentQueue();
  for (;;) {
    // X events are read first, so a busy stream of posted messages cannot starve input; as on Windows,
    // posted messages are still returned before input.
    q.Drain();
    while (q.dpy && XEventsQueued(q.dpy, QueuedAfterFlush) > 0) {
      XEvent ev;
      XNextEvent(q.dpy, &ev);
      qelui::TranslateXEvent(q, ev);
    }
    if (qelui::PopPosted(q, msg)) return msg->message == WM_QUIT ? FALSE : TRUE;
    if (qelui::PopInput(q, msg)) return TRUE;
    if (qelui::PopTimer(q, msg, qelui::NowMs())) return TRUE;
    if (qelui::PopPaint(q, msg)) return TRUE;
    qelui::WaitForWork(q);
  }
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageW(const MSG* msg) {
  if (!msg) return 0;
  if (msg->message == WM_TIMER && msg->lParam) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
    return 0;
  }
  auto w = qelui::FindWindowData(msg->hwnd);
  if (!w) return 0;
  if (msg->message == WM_PAINT) w->needsPaint = false;
  return qelui::CallProc(w, msg->message, msg->wParam, msg->lParam);
}
