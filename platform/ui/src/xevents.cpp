// X events become window messages: moves and sizes are sent at once, pointer input is queued for
// GetMessageW, and a press on a caption band drags the window. Runs on the thread that owns the connection
// the event came from, which owns every window the event can name.
#include <algorithm>

#include "qelui/user32.h"
#include "xconnection.h"

namespace qelui {
namespace {

std::shared_ptr<WindowData> WindowOfX(ThreadQueue& q, ::Window xid) {
  for (HWND h : q.windows) {
    auto w = FindWindowData(h);
    if (w && w->xid == xid) return w;
  }
  return nullptr;
}

void OnConfigure(const std::shared_ptr<WindowData>& w, const XConfigureEvent& ev) {
  int x = ev.x;
  int y = ev.y;
  ::Window child;
  if (!ev.send_event)
    XTranslateCoordinates(w->dpy, w->xid, DefaultRootWindow(w->dpy), 0, 0, &x, &y, &child);
  bool moved = x != w->rect.left || y != w->rect.top;
  bool sized = ev.width != std::max<LONG>(1, w->rect.right - w->rect.left) ||
               ev.height != std::max<LONG>(1, w->rect.bottom - w->rect.top);
  LONG width = sized ? ev.width : w->rect.right - w->rect.left;
  LONG height = sized ? ev.height : w->rect.bottom - w->rect.top;
  w->rect = RECT{x, y, x + width, y + height};
  if (moved && !SendAndStillThere(w, WM_MOVE, 0, MAKELPARAM(x, y))) return;
  if (sized) {
    w->needsPaint = true;
    CallProc(w, WM_SIZE, SIZE_RESTORED, SizeParam(w->rect));
  }
}

void OnButtonPress(ThreadQueue& q, const std::shared_ptr<WindowData>& w, const XButtonEvent& ev) {
  if (ev.button != Button1) return;
  HWND h = ToHandle(w->id);
  LRESULT hit = CallProc(w, WM_NCHITTEST, 0, MAKELPARAM(ev.x_root, ev.y_root));
  if (!StillThere(*w)) return;
  if (hit == HTCAPTION) {
    // Dragging by the caption band is done here rather than by the window manager, so it works the same
    // with or without one.
    q.drag = DragState{h, ev.x_root, ev.y_root, w->rect.left, w->rect.top};
    XGrabPointer(w->dpy, w->xid, False, ButtonReleaseMask | PointerMotionMask, GrabModeAsync, GrabModeAsync,
                 None, None, ev.time);
    return;
  }
  PushInput(q, h, WM_LBUTTONDOWN, 1, MAKELPARAM(ev.x, ev.y));
}

void OnMotion(ThreadQueue& q, const std::shared_ptr<WindowData>& w, XMotionEvent ev) {
  // Only motion that directly follows is merged: reaching past a press or release would reorder them.
  XEvent next;
  while (XEventsQueued(w->dpy, QueuedAlready) > 0) {
    XPeekEvent(w->dpy, &next);
    if (next.type != MotionNotify || next.xmotion.window != w->xid) break;
    XNextEvent(w->dpy, &next);
    ev = next.xmotion;
  }
  HWND h = ToHandle(w->id);
  if (q.drag.hwnd == h) {
    SetWindowPos(h, nullptr, q.drag.left + ev.x_root - q.drag.startX, q.drag.top + ev.y_root - q.drag.startY,
                 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return;
  }
  PushInput(q, h, WM_MOUSEMOVE, 0, MAKELPARAM(ev.x, ev.y));
}

void OnButtonRelease(ThreadQueue& q, const std::shared_ptr<WindowData>& w, const XButtonEvent& ev) {
  if (ev.button != Button1) return;
  HWND h = ToHandle(w->id);
  if (q.drag.hwnd == h) {
    q.drag = DragState{};
    XUngrabPointer(w->dpy, ev.time);
    CallProc(w, WM_EXITSIZEMOVE, 0, 0);
    return;
  }
  PushInput(q, h, WM_LBUTTONUP, 0, MAKELPARAM(ev.x, ev.y));
}

}  // namespace

void TranslateXEvent(ThreadQueue& q, XEvent& ev) {
  auto w = WindowOfX(q, ev.xany.window);
  if (!w || w->destroying) return;
  HWND h = ToHandle(w->id);
  switch (ev.type) {
    case Expose:
      w->needsPaint = true;
      break;
    case ConfigureNotify:
      OnConfigure(w, ev.xconfigure);
      break;
    case ButtonPress:
      OnButtonPress(q, w, ev.xbutton);
      break;
    case ButtonRelease:
      OnButtonRelease(q, w, ev.xbutton);
      break;
    case MotionNotify:
      OnMotion(q, w, ev.xmotion);
      break;
    case LeaveNotify:
      PushInput(q, h, WM_MOUSELEAVE, 0, 0);
      break;
    case DestroyNotify:
      // Destroyed from outside (another client, a window manager's kill): the window is gone for us too.
      w->xidGone = true;
      DestroyWindow(h);
      PushInput(q, nullptr, WM_NULL, 0, 0);  // wakes a modal loop waiting on that window
      break;
    case ClientMessage:
      if (static_cast<Atom>(ev.xclient.data.l[0]) == Intern(w->dpy, "WM_DELETE_WINDOW"))
        PushInput(q, h, WM_SYSCOMMAND, SC_CLOSE, 0);
      break;
    default:
      break;
  }
}

}  // namespace qelui
