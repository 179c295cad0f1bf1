// Each thread's message queue and the posting side of it. PostMessageW may be called from any thread; the
// queue's input and its windows belong to the thread that owns it (see threadqueue.h).
#include "threadqueue.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include "qelplat/lasterror.h"
#include "qelui/user32.h"
#include "xwindow.h"

namespace qelui {
namespace {

thread_local std::shared_ptr<ThreadQueue> t_queue;

}  // namespace

ThreadQueue::ThreadQueue() {
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) wake[0] = wake[1] = -1;
}

ThreadQueue::~ThreadQueue() {
  if (dpy) XCloseDisplay(dpy);
  if (wake[0] >= 0) close(wake[0]);
  if (wake[1] >= 0) close(wake[1]);
}

void ThreadQueue::Wake() {
  if (wake[1] < 0) return;
  char b = 1;
  ssize_t n = write(wake[1], &b, 1);
  (void)n;  // a full pipe already wakes the reader
}

void ThreadQueue::Drain() {
  char buf[64];
  while (wake[0] >= 0 && read(wake[0], buf, sizeof buf) > 0) {
  }
}

std::shared_ptr<ThreadQueue> CurrentQueuePtr() {
  if (!t_queue) t_queue = std::make_shared<ThreadQueue>();
  return t_queue;
}

ThreadQueue& CurrentQueue() { return *CurrentQueuePtr(); }

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void PushInput(ThreadQueue& q, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  MSG m{};
  m.hwnd = hwnd;
  m.message = msg;
  m.wParam = wp;
  m.lParam = lp;
  m.time = static_cast<DWORD>(NowMs());
  q.input.push_back(m);
}

}  // namespace qelui

BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<qelui::ThreadQueue> queue;
  if (hwnd) {
    auto w = qelui::FindWindowData(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    queue = w->queue;
  } else {
    queue = qelui::CurrentQueuePtr();
  }
  MSG m{};
  m.hwnd = hwnd;
  m.message = msg;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = static_cast<DWORD>(qelui::NowMs());
  {
    std::lock_guard<std::mutex> lock(queue->mu);
    queue->posted.push_back(m);
  }
  queue->Wake();
  return TRUE;
}

void PostQuitMessage(int exitCode) { PostMessageW(nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0); }
