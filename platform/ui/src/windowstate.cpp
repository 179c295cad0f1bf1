// A window's state as the user sees it: shown or hidden, minimised or maximised, where it is and how large,
// its title, and the fade-out. Every call here runs on the thread that owns the window, and every one that
// sends a message stops touching the window once a procedure has destroyed it (StillThere).
#include <X11/Xatom.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "qelplat/lasterror.h"
#include "qelui/user32.h"
#include "xconnection.h"

namespace qelui {
namespace {

// Maps a hidden window, after telling it with WM_SHOWWINDOW. True when the window is still there afterwards
// (shown, or visible already); false when its WM_SHOWWINDOW handler destroyed it.
bool ShowAndStillThere(const std::shared_ptr<WindowData>& w) {
  if (w->style & WS_VISIBLE) return true;
  if (!SendAndStillThere(w, WM_SHOWWINDOW, TRUE, 0)) return false;
  w->style |= WS_VISIBLE;
  w->needsPaint = true;
  XMapWindow(w->dpy, w->xid);
  Restack(*w);
  return true;
}

// Unmaps a visible window, after telling it. True when the window is still there afterwards.
bool HideAndStillThere(const std::shared_ptr<WindowData>& w) {
  if (!(w->style & WS_VISIBLE)) return true;
  if (!SendAndStillThere(w, WM_SHOWWINDOW, FALSE, 0)) return false;
  w->style &= ~WS_VISIBLE;
  XUnmapWindow(w->dpy, w->xid);
  return true;
}

bool MinimizeAndStillThere(const std::shared_ptr<WindowData>& w) {
  if (!ShowAndStillThere(w)) return false;
  w->style = (w->style | WS_MINIMIZE) & ~static_cast<DWORD>(WS_MAXIMIZE);
  XIconifyWindow(w->dpy, w->xid, DefaultScreen(w->dpy));
  return SendAndStillThere(w, WM_SIZE, SIZE_MINIMIZED, 0);
}

bool MaximizeAndStillThere(const std::shared_ptr<WindowData>& w) {
  if (!ShowAndStillThere(w)) return false;
  if (w->style & WS_MAXIMIZE) return true;
  w->restoreRect = w->rect;
  w->style = (w->style | WS_MAXIMIZE) & ~static_cast<DWORD>(WS_MINIMIZE);
  RECT work;
  WorkArea(w->dpy, &work);
  SetWindowPos(ToHandle(w->id), nullptr, work.left, work.top, work.right - work.left, work.bottom - work.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  return StillThere(*w) && SendAndStillThere(w, WM_SIZE, SIZE_MAXIMIZED, SizeParam(w->rect));
}

bool RestoreAndStillThere(const std::shared_ptr<WindowData>& w) {
  bool wasMax = (w->style & WS_MAXIMIZE) != 0;
  bool wasMin = (w->style & WS_MINIMIZE) != 0;
  w->style &= ~static_cast<DWORD>(WS_MINIMIZE | WS_MAXIMIZE);
  if (!ShowAndStillThere(w)) return false;
  if (wasMin) XMapRaised(w->dpy, w->xid);
  if (wasMax) {
    const RECT& r = w->restoreRect;
    SetWindowPos(ToHandle(w->id), nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER);
    if (!StillThere(*w)) return false;
  }
  if (!wasMin && !wasMax) return true;
  return SendAndStillThere(w, WM_SIZE, SIZE_RESTORED, SizeParam(w->rect));
}

// Takes the new rectangle, tells the X server, then sends WM_MOVE and WM_SIZE for what changed. True when
// the window is still there afterwards.
bool PlaceAndStillThere(const std::shared_ptr<WindowData>& w, const RECT& rect, bool redraw) {
  RECT old = w->rect;
  w->rect = rect;
  bool moved = rect.left != old.left || rect.top != old.top;
  bool sized = rect.right - rect.left != old.right - old.left || rect.bottom - rect.top != old.bottom - old.top;
  if (moved || sized) {
    XMoveResizeWindow(w->dpy, w->xid, rect.left, rect.top,
                      static_cast<unsigned>(std::max<LONG>(1, rect.right - rect.left)),
                      static_cast<unsigned>(std::max<LONG>(1, rect.bottom - rect.top)));
    SetPositionHints(*w);
  }
  if (moved && !SendAndStillThere(w, WM_MOVE, 0, MAKELPARAM(rect.left, rect.top))) return false;
  if (!sized) return true;
  if (redraw) w->needsPaint = true;
  WPARAM kind = (w->style & WS_MAXIMIZE) ? SIZE_MAXIMIZED : SIZE_RESTORED;
  return SendAndStillThere(w, WM_SIZE, kind, SizeParam(w->rect));
}

// True when the window is still there afterwards.
bool ApplyShowCommand(const std::shared_ptr<WindowData>& w, int cmdShow) {
  switch (cmdShow) {
    case SW_HIDE:
      return HideAndStillThere(w);
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
      return MinimizeAndStillThere(w);
    case SW_SHOWMAXIMIZED:
      return MaximizeAndStillThere(w);
    case SW_RESTORE:
    case SW_SHOWNORMAL:
      return RestoreAndStillThere(w);
    default:
      return ShowAndStillThere(w);
  }
}

}  // namespace
}  // namespace qelui

using qelui::FindWindowData;

BOOL IsWindowVisible(HWND hwnd) {
  auto w = FindWindowData(hwnd);
  return w && (w->style & WS_VISIBLE) ? TRUE : FALSE;
}

BOOL IsIconic(HWND hwnd) {
  auto w = FindWindowData(hwnd);
  return w && (w->style & WS_MINIMIZE) ? TRUE : FALSE;
}

BOOL IsZoomed(HWND hwnd) {
  auto w = FindWindowData(hwnd);
  return w && (w->style & WS_MAXIMIZE) ? TRUE : FALSE;
}

// As on Windows, the result is whether the window was visible before the call.
BOOL ShowWindow(HWND hwnd, int cmdShow) {
  auto w = FindWindowData(hwnd);
  if (!w) return FALSE;
  const BOOL wasVisible = (w->style & WS_VISIBLE) ? TRUE : FALSE;
  if (qelui::ApplyShowCommand(w, cmdShow)) XFlush(w->dpy);
  return wasVisible;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int cx, int cy, BOOL repaint) {
  return SetWindowPos(hwnd, nullptr, x, y, cx, cy,
                      SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0u : static_cast<UINT>(SWP_NOREDRAW)));
}

BOOL SetWindowPos(HWND hwnd, HWND, int x, int y, int cx, int cy, UINT flags) {
  auto w = FindWindowData(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const RECT& old = w->rect;
  LONG left = (flags & SWP_NOMOVE) ? old.left : x;
  LONG top = (flags & SWP_NOMOVE) ? old.top : y;
  LONG width = (flags & SWP_NOSIZE) ? old.right - old.left : std::max(0, cx);
  LONG height = (flags & SWP_NOSIZE) ? old.bottom - old.top : std::max(0, cy);
  if (!qelui::PlaceAndStillThere(w, RECT{left, top, left + width, top + height}, !(flags & SWP_NOREDRAW)))
    return TRUE;
  if ((flags & SWP_SHOWWINDOW) && !qelui::ShowAndStillThere(w)) return TRUE;
  if ((flags & SWP_HIDEWINDOW) && !qelui::HideAndStillThere(w)) return TRUE;
  XFlush(w->dpy);
  return TRUE;
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect) {
  auto w = FindWindowData(hwnd);
  if (!w || !rect) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  *rect = w->rect;
  return TRUE;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect) {
  RECT r{};
  if (!GetWindowRect(hwnd, &r)) return FALSE;
  *rect = RECT{0, 0, r.right - r.left, r.bottom - r.top};
  return TRUE;
}

BOOL ScreenToClient(HWND hwnd, POINT* pt) {
  RECT r{};
  if (!pt || !GetWindowRect(hwnd, &r)) return FALSE;
  pt->x -= r.left;
  pt->y -= r.top;
  return TRUE;
}

BOOL ClientToScreen(HWND hwnd, POINT* pt) {
  RECT r{};
  if (!pt || !GetWindowRect(hwnd, &r)) return FALSE;
  pt->x += r.left;
  pt->y += r.top;
  return TRUE;
}

BOOL InvalidateRect(HWND hwnd, const RECT*, BOOL) {
  auto w = FindWindowData(hwnd);
  if (!w) return FALSE;
  w->needsPaint = true;
  return TRUE;
}

BOOL SetWindowTextW(HWND hwnd, LPCWSTR text) {
  auto w = FindWindowData(hwnd);
  if (!w) return FALSE;
  w->title = text ? text : L"";
  qelui::SetTitleProperties(*w);
  XFlush(w->dpy);
  return TRUE;
}

BOOL AnimateWindow(HWND hwnd, DWORD time, DWORD flags) {
  auto w = FindWindowData(hwnd);
  if (!w) return FALSE;
  if (!(flags & AW_HIDE)) return ShowWindow(hwnd, SW_SHOW), TRUE;
  if (!(w->style & WS_VISIBLE)) return FALSE;
  if (!(flags & AW_BLEND)) {
    ShowWindow(hwnd, SW_HIDE);
    return TRUE;
  }
  Atom opacity = qelui::Intern(w->dpy, "_NET_WM_WINDOW_OPACITY");
  const int steps = 16;
  for (int i = steps - 1; i >= 0; --i) {
    unsigned long value = static_cast<unsigned long>(0xFFFFFFFFul / steps * static_cast<unsigned long>(i));
    XChangeProperty(w->dpy, w->xid, opacity, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
    XFlush(w->dpy);
    std::this_thread::sleep_for(std::chrono::milliseconds(time / steps));
  }
  ShowWindow(hwnd, SW_HIDE);
  if (qelui::StillThere(*w)) XDeleteProperty(w->dpy, w->xid, opacity);
  return TRUE;
}

BOOL PtInRect(const RECT* rect, POINT pt) {
  return rect && pt.x >= rect->left && pt.x < rect->right && pt.y >= rect->top && pt.y < rect->bottom ? TRUE
                                                                                                     : FALSE;
}
