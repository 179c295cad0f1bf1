// A window's life: creation with its Windows messages in Windows' order, sending messages to its procedure,
// the fields behind GetWindowLongPtrW, and destruction with the windows it owns. All of it runs on the
// thread that owns the window (the creating thread); only the registry lookups are safe elsewhere.
#include <algorithm>

#include "qelplat/lasterror.h"
#include "qelui/user32.h"
#include "windowregistry.h"
#include "xconnection.h"

namespace qelui {

LRESULT CallProc(const std::shared_ptr<WindowData>& w, UINT msg, WPARAM wp, LPARAM lp) {
  WNDPROC proc = w->proc;
  return proc ? proc(ToHandle(w->id), msg, wp, lp) : DefWindowProcW(ToHandle(w->id), msg, wp, lp);
}

bool SendAndStillThere(const std::shared_ptr<WindowData>& w, UINT msg, WPARAM wp, LPARAM lp) {
  CallProc(w, msg, wp, lp);
  return StillThere(*w);
}

LPARAM SizeParam(const RECT& r) { return MAKELPARAM(r.right - r.left, r.bottom - r.top); }

namespace {

std::shared_ptr<WindowData> NewWindowData(const ClassInfo& cls, DWORD exStyle, LPCWSTR windowName, DWORD style,
                                          int x, int y, int cx, int cy, HWND parent, HINSTANCE instance) {
  auto w = std::make_shared<WindowData>();
  w->queue = CurrentQueuePtr();
  w->proc = cls.wc.lpfnWndProc;
  w->style = style & ~static_cast<DWORD>(WS_VISIBLE);  // shown after WM_CREATE, as on Windows
  w->exStyle = exStyle;
  w->owner = parent;
  w->instance = instance;
  w->className = cls.name;
  w->title = windowName ? windowName : L"";
  int left = x == CW_USEDEFAULT ? 0 : x;
  int top = x == CW_USEDEFAULT ? 0 : y;
  int width = cx == CW_USEDEFAULT ? 300 : std::max(0, cx);
  int height = cx == CW_USEDEFAULT ? 200 : std::max(0, cy);
  w->rect = RECT{left, top, left + width, top + height};
  return w;
}

HWND GoneDuringCreation() {
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return nullptr;
}

}  // namespace
}  // namespace qelui

using qelui::FindWindowData;
using qelui::StillThere;
using qelui::ToHandle;

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int cx,
                     int cy, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  qelui::ClassInfo cls{};
  if (!qelui::FindClass(className, &cls)) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  qelui::ThreadQueue& q = qelui::CurrentQueue();
  Display* dpy = qelui::EnsureDisplay(q);
  if (!dpy) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto w = qelui::NewWindowData(cls, exStyle, windowName, style, x, y, cx, cy, parent, instance);
  w->dpy = dpy;
  if (!qelui::CreateXWindow(*w)) {
    if (w->colormap) XFreeColormap(dpy, w->colormap);
    qelui::ReleaseDisplayIfUnused(q);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  HWND h = qelui::RegisterWindow(w);
  q.windows.push_back(h);

  const RECT& r = w->rect;
  CREATESTRUCTW cs{param, instance, menu, parent, r.bottom - r.top, r.right - r.left, r.top, r.left,
                   static_cast<LONG>(style), windowName, className, exStyle};
  LPARAM csParam = reinterpret_cast<LPARAM>(&cs);
  if (!qelui::CallProc(w, WM_NCCREATE, 0, csParam) || qelui::CallProc(w, WM_CREATE, 0, csParam) == -1) {
    DestroyWindow(h);
    return qelui::GoneDuringCreation();
  }
  if (!StillThere(*w) || !qelui::SendAndStillThere(w, WM_SIZE, SIZE_RESTORED, qelui::SizeParam(w->rect)) ||
      !qelui::SendAndStillThere(w, WM_MOVE, 0, MAKELPARAM(w->rect.left, w->rect.top)))
    return qelui::GoneDuringCreation();
  if (style & WS_VISIBLE) ShowWindow(h, SW_SHOW);
  if (!StillThere(*w)) return qelui::GoneDuringCreation();
  XFlush(dpy);
  return h;
}

BOOL DestroyWindow(HWND hwnd) {
  auto w = FindWindowData(hwnd);
  if (!w || w->destroying) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  qelui::ThreadQueue& q = *w->queue;
  w->destroying = true;
  if (w->style & WS_VISIBLE) {
    if (!w->xidGone) XUnmapWindow(w->dpy, w->xid);
    w->style &= ~WS_VISIBLE;
  }
  qelui::CallProc(w, WM_DESTROY, 0, 0);

  // Owned windows go with their owner.
  std::vector<HWND> owned;
  for (HWND other : q.windows) {
    auto o = FindWindowData(other);
    if (o && o->owner == hwnd && !o->destroying) owned.push_back(other);
  }
  for (HWND other : owned) DestroyWindow(other);

  qelui::DropWindowTimers(q, hwnd);
  if (q.drag.hwnd == hwnd) {
    XUngrabPointer(w->dpy, CurrentTime);
    q.drag = qelui::DragState{};
  }
  if (!w->xidGone) XDestroyWindow(w->dpy, w->xid);
  if (w->colormap) XFreeColormap(w->dpy, w->colormap);
  XFlush(w->dpy);
  qelui::CallProc(w, WM_NCDESTROY, 0, 0);
  qelui::UnregisterWindow(*w);
  q.windows.erase(std::remove(q.windows.begin(), q.windows.end(), hwnd), q.windows.end());
  qelui::ReleaseDisplayIfUnused(q);
  return TRUE;
}

HWND GetParent(HWND hwnd) {
  auto w = FindWindowData(hwnd);
  return w ? w->owner : nullptr;
}

LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
  switch (msg) {
    case WM_NCCREATE:
    case WM_NCACTIVATE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) SendMessageW(hwnd, WM_CLOSE, 0, 0);
      return 0;
    case WM_NCHITTEST:
      return HTCLIENT;
    default:
      return 0;
  }
}

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(hwnd, msg, wParam, lParam) : DefWindowProcW(hwnd, msg, wParam, lParam);
}

LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto w = FindWindowData(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return qelui::CallProc(w, msg, wParam, lParam);
}

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index) {
  auto w = FindWindowData(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (index) {
    case GWLP_WNDPROC:
      return reinterpret_cast<LONG_PTR>(w->proc);
    case GWL_STYLE:
      return static_cast<LONG>(w->style);
    case GWL_EXSTYLE:
      return static_cast<LONG>(w->exStyle);
    case GWLP_USERDATA:
      return w->userData;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
}

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
  auto w = FindWindowData(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG_PTR old = GetWindowLongPtrW(hwnd, index);
  switch (index) {
    case GWLP_WNDPROC:
      w->proc = reinterpret_cast<WNDPROC>(value);
      break;
    case GWL_STYLE:
      // Visibility and the min/max state change only through ShowWindow, as on Windows.
      w->style = (static_cast<DWORD>(value) & ~static_cast<DWORD>(WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE)) |
                 (w->style & (WS_VISIBLE | WS_MINIMIZE | WS_MAXIMIZE));
      break;
    case GWL_EXSTYLE:
      w->exStyle = static_cast<DWORD>(value);
      break;
    case GWLP_USERDATA:
      w->userData = value;
      break;
    default:
      return 0;
  }
  return old;
}

HCURSOR LoadCursorW(HINSTANCE, LPCWSTR name) { return const_cast<wchar_t*>(name); }
