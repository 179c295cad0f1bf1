// Windows, messages, timers and the message loop over X11. See qelui/user32.h for the threading model.
#include "qelui/user32.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwctype>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "qelplat/codepage.h"
#include "qelplat/lasterror.h"
#include "xwindow.h"

namespace qelui {

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT period;
  uint64_t due;
  TIMERPROC proc;
};

struct DragState {
  HWND hwnd = nullptr;
  int startX = 0;
  int startY = 0;
  LONG left = 0;
  LONG top = 0;
};

// One per thread that uses windows or runs a message loop.
struct ThreadQueue {
  std::mutex mu;
  std::deque<MSG> posted;  // guarded by mu; any thread may post
  int wake[2] = {-1, -1};  // a byte in the pipe wakes GetMessageW after a post

  // Owner thread only from here on.
  Display* dpy = nullptr;
  std::vector<HWND> windows;
  std::deque<MSG> input;
  std::vector<Timer> timers;
  DragState drag;
  UINT_PTR nextTimerId = 0x7000;

  ThreadQueue() {
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) wake[0] = wake[1] = -1;
  }
  ~ThreadQueue() {
    if (dpy) XCloseDisplay(dpy);
    if (wake[0] >= 0) close(wake[0]);
    if (wake[1] >= 0) close(wake[1]);
  }
  void Wake() {
    if (wake[1] < 0) return;
    char b = 1;
    ssize_t n = write(wake[1], &b, 1);
    (void)n;  // a full pipe already wakes the reader
  }
  void Drain() {
    char buf[64];
    while (wake[0] >= 0 && read(wake[0], buf, sizeof buf) > 0) {
    }
  }
};

namespace {

struct ClassInfo {
  WNDCLASSEXW wc;
  std::wstring name;
};

std::mutex g_mutex;  // guards the maps below
std::unordered_map<uintptr_t, std::shared_ptr<WindowData>> g_windows;
std::map<std::wstring, ClassInfo> g_classes;  // key: lower-case name
uintptr_t g_nextId = 0x10000;
ATOM g_nextAtom = 0xC000;

thread_local std::shared_ptr<ThreadQueue> t_queue;

ThreadQueue& Queue() {
  if (!t_queue) t_queue = std::make_shared<ThreadQueue>();
  return *t_queue;
}

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

std::wstring Lower(const std::wstring& s) {
  std::wstring out(s);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(c));
  return out;
}

int IgnoreXError(Display* dpy, XErrorEvent* e) {
  // A request on a window the server has already dropped (a race with its destruction, a restack against
  // a window the manager reparented) must not end the process, which Xlib's default handler does.
  char text[128];
  XGetErrorText(dpy, e->error_code, text, sizeof text);
  std::fprintf(stderr, "qelui: X error %s (request %d)\n", text, e->request_code);
  return 0;
}

Display* OpenDisplay() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(IgnoreXError);
  });
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return nullptr;
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) return nullptr;
  // The shape extension sets up its process-wide record lazily and without a lock; do it once here so
  // two threads opening their first windows cannot race on it.
  static std::once_flag shapeOnce;
  std::call_once(shapeOnce, [dpy] {
    int event = 0;
    int error = 0;
    XShapeQueryExtension(dpy, &event, &error);
  });
  return dpy;
}

Display* EnsureDisplay(ThreadQueue& q) {
  if (!q.dpy) q.dpy = OpenDisplay();
  return q.dpy;
}

Atom Intern(Display* dpy, const char* name) { return XInternAtom(dpy, name, False); }

bool FindArgbVisual(Display* dpy, XVisualInfo* info) {
  return XMatchVisualInfo(dpy, DefaultScreen(dpy), 32, TrueColor, info) != 0;
}

std::shared_ptr<WindowData> Lookup(HWND hwnd) { return FindWindowData(hwnd); }

void SetTitleProperties(WindowData& w) {
  std::string utf8 = qelplat::WideToUtf8(w.title);
  XStoreName(w.dpy, w.xid, utf8.c_str());
  XChangeProperty(w.dpy, w.xid, Intern(w.dpy, "_NET_WM_NAME"), Intern(w.dpy, "UTF8_STRING"), 8,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(utf8.data()),
                  static_cast<int>(utf8.size()));
}

void SetWindowProperties(WindowData& w) {
  Display* dpy = w.dpy;
  std::string cls = qelplat::WideToUtf8(w.className);
  XClassHint hint;
  hint.res_name = cls.data();
  hint.res_class = cls.data();
  XSetClassHint(dpy, w.xid, &hint);
  SetTitleProperties(w);

  Atom del = Intern(dpy, "WM_DELETE_WINDOW");
  XSetWMProtocols(dpy, w.xid, &del, 1);

  // The layer draws no frame of its own and asks the manager for none: the skins draw their own caption.
  long motif[5] = {2, 0, 0, 0, 0};
  Atom motifAtom = Intern(dpy, "_MOTIF_WM_HINTS");
  XChangeProperty(dpy, w.xid, motifAtom, motifAtom, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(motif), 5);

  if (w.exStyle & WS_EX_TOOLWINDOW) {
    Atom type = Intern(dpy, "_NET_WM_WINDOW_TYPE_UTILITY");
    XChangeProperty(dpy, w.xid, Intern(dpy, "_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&type), 1);
    Atom skip = Intern(dpy, "_NET_WM_STATE_SKIP_TASKBAR");
    XChangeProperty(dpy, w.xid, Intern(dpy, "_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&skip), 1);
  }
  if (w.owner) {
    if (auto owner = Lookup(w.owner)) XSetTransientForHint(dpy, w.xid, owner->xid);
  }
  if (w.exStyle & WS_EX_TRANSPARENT) {
    // Click-through: an empty input shape sends every pointer event to what lies below.
    XShapeCombineRectangles(dpy, w.xid, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
  }
}

void SetPositionHints(WindowData& w) {
  XSizeHints hints{};
  hints.flags = USPosition | PPosition | USSize | PSize;
  hints.x = w.rect.left;
  hints.y = w.rect.top;
  hints.width = std::max<LONG>(1, w.rect.right - w.rect.left);
  hints.height = std::max<LONG>(1, w.rect.bottom - w.rect.top);
  XSetWMNormalHints(w.dpy, w.xid, &hints);
}

bool CreateXWindow(WindowData& w) {
  Display* dpy = w.dpy;
  int screen = DefaultScreen(dpy);
  XSetWindowAttributes attrs{};
  unsigned long mask = CWEventMask | CWOverrideRedirect;
  attrs.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                     StructureNotifyMask | LeaveWindowMask | KeyPressMask;
  // Pop-ups are placed by us, not by the window manager (the shadow sits exactly behind its owner).
  attrs.override_redirect = (w.style & WS_POPUP) ? True : False;
  w.visual = DefaultVisual(dpy, screen);
  w.depth = DefaultDepth(dpy, screen);
  if (w.exStyle & WS_EX_LAYERED) {
    XVisualInfo info;
    if (!FindArgbVisual(dpy, &info)) return false;
    w.visual = info.visual;
    w.depth = 32;
    w.colormap = XCreateColormap(dpy, RootWindow(dpy, screen), info.visual, AllocNone);
    attrs.colormap = w.colormap;
    attrs.background_pixel = 0;
    attrs.border_pixel = 0;
    mask |= CWColormap | CWBackPixel | CWBorderPixel;
  } else {
    attrs.background_pixel = WhitePixel(dpy, screen);
    mask |= CWBackPixel;
  }
  unsigned width = static_cast<unsigned>(std::max<LONG>(1, w.rect.right - w.rect.left));
  unsigned height = static_cast<unsigned>(std::max<LONG>(1, w.rect.bottom - w.rect.top));
  w.xid = XCreateWindow(dpy, RootWindow(dpy, screen), w.rect.left, w.rect.top, width, height, 0, w.depth,
                        InputOutput, w.visual, mask, &attrs);
  if (!w.xid) return false;
  SetWindowProperties(w);
  SetPositionHints(w);
  return true;
}

LRESULT CallProc(const std::shared_ptr<WindowData>& w, UINT msg, WPARAM wp, LPARAM lp) {
  WNDPROC proc = w->proc;
  return proc ? proc(ToHandle(w->id), msg, wp, lp) : DefWindowProcW(ToHandle(w->id), msg, wp, lp);
}

LPARAM SizeParam(const RECT& r) { return MAKELPARAM(r.right - r.left, r.bottom - r.top); }

void PushInput(ThreadQueue& q, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  MSG m{};
  m.hwnd = hwnd;
  m.message = msg;
  m.wParam = wp;
  m.lParam = lp;
  m.time = static_cast<DWORD>(NowMs());
  q.input.push_back(m);
}

std::shared_ptr<WindowData> WindowOfX(ThreadQueue& q, ::Window xid) {
  for (HWND h : q.windows) {
    auto w = Lookup(h);
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
  HWND h = ToHandle(w->id);
  bool moved = x != w->rect.left || y != w->rect.top;
  bool sized = ev.width != std::max<LONG>(1, w->rect.right - w->rect.left) ||
               ev.height != std::max<LONG>(1, w->rect.bottom - w->rect.top);
  LONG width = sized ? ev.width : w->rect.right - w->rect.left;
  LONG height = sized ? ev.height : w->rect.bottom - w->rect.top;
  w->rect = RECT{x, y, x + width, y + height};
  if (moved) SendMessageW(h, WM_MOVE, 0, MAKELPARAM(x, y));
  if (sized) {
    w->needsPaint = true;
    SendMessageW(h, WM_SIZE, SIZE_RESTORED, SizeParam(w->rect));
  }
}

void OnButtonPress(ThreadQueue& q, const std::shared_ptr<WindowData>& w, const XButtonEvent& ev) {
  if (ev.button != Button1) return;
  HWND h = ToHandle(w->id);
  LRESULT hit = SendMessageW(h, WM_NCHITTEST, 0, MAKELPARAM(ev.x_root, ev.y_root));
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
    SendMessageW(h, WM_EXITSIZEMOVE, 0, 0);
    return;
  }
  PushInput(q, h, WM_LBUTTONUP, 0, MAKELPARAM(ev.x, ev.y));
}

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

bool PopTimer(ThreadQueue& q, MSG* msg, uint64_t now) {
  for (Timer& t : q.timers) {
    if (t.due > now) continue;
    t.due = now + t.period;
    *msg = MSG{};
    msg->hwnd = t.hwnd;
    msg->message = WM_TIMER;
    msg->wParam = t.id;
    msg->lParam = reinterpret_cast<LPARAM>(t.proc);
    msg->time = static_cast<DWORD>(now);
    return true;
  }
  return false;
}

bool PopPaint(ThreadQueue& q, MSG* msg) {
  for (HWND h : q.windows) {
    auto w = Lookup(h);
    if (!w || !w->needsPaint || !(w->style & WS_VISIBLE)) continue;
    *msg = MSG{};
    msg->hwnd = h;
    msg->message = WM_PAINT;
    return true;
  }
  return false;
}

int PollTimeout(const ThreadQueue& q, uint64_t now) {
  if (q.timers.empty()) return -1;
  uint64_t due = q.timers.front().due;
  for (const Timer& t : q.timers) due = std::min(due, t.due);
  return due <= now ? 0 : static_cast<int>(std::min<uint64_t>(due - now, 60000));
}

void WaitForWork(ThreadQueue& q) {
  pollfd fds[2];
  int n = 0;
  if (q.wake[0] >= 0) fds[n++] = pollfd{q.wake[0], POLLIN, 0};
  if (q.dpy) fds[n++] = pollfd{ConnectionNumber(q.dpy), POLLIN, 0};
  poll(fds, static_cast<nfds_t>(n), PollTimeout(q, NowMs()));
}

void ReleaseDisplayIfUnused(ThreadQueue& q) {
  if (!q.windows.empty() || !q.dpy) return;
  XCloseDisplay(q.dpy);
  q.dpy = nullptr;
  q.input.clear();
}

void Restack(WindowData& w) {
  if (!w.owner) return;
  auto owner = Lookup(w.owner);
  if (!owner || owner->dpy != w.dpy) return;
  // Owned pop-ups such as the shadow stay directly below their owner.
  XWindowChanges changes{};
  changes.sibling = owner->xid;
  changes.stack_mode = Below;
  XConfigureWindow(w.dpy, w.xid, CWSibling | CWStackMode, &changes);
}

bool ShowVisible(const std::shared_ptr<WindowData>& w) {
  HWND h = ToHandle(w->id);
  if (w->style & WS_VISIBLE) return true;
  SendMessageW(h, WM_SHOWWINDOW, TRUE, 0);
  if (!IsWindow(h)) return false;
  w->style |= WS_VISIBLE;
  w->needsPaint = true;
  XMapWindow(w->dpy, w->xid);
  Restack(*w);
  return false;
}

bool Hide(const std::shared_ptr<WindowData>& w) {
  HWND h = ToHandle(w->id);
  if (!(w->style & WS_VISIBLE)) return false;
  SendMessageW(h, WM_SHOWWINDOW, FALSE, 0);
  if (!IsWindow(h)) return true;
  w->style &= ~WS_VISIBLE;
  XUnmapWindow(w->dpy, w->xid);
  return true;
}

bool WorkArea(Display* dpy, RECT* rect) {
  Window root = DefaultRootWindow(dpy);
  Atom type;
  int format;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  *rect = RECT{0, 0, DisplayWidth(dpy, DefaultScreen(dpy)), DisplayHeight(dpy, DefaultScreen(dpy))};
  if (XGetWindowProperty(dpy, root, Intern(dpy, "_NET_WORKAREA"), 0, 4, False, XA_CARDINAL, &type, &format,
                         &count, &after, &data) == Success &&
      data && format == 32 && count >= 4) {
    const long* v = reinterpret_cast<const long*>(data);
    *rect = RECT{static_cast<LONG>(v[0]), static_cast<LONG>(v[1]), static_cast<LONG>(v[0] + v[2]),
                 static_cast<LONG>(v[1] + v[3])};
  }
  if (data) XFree(data);
  return true;
}

}  // namespace

std::shared_ptr<WindowData> FindWindowData(HWND hwnd) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == g_windows.end() ? nullptr : it->second;
}

HWND ToHandle(uintptr_t id) { return reinterpret_cast<HWND>(id); }

void ApplyWindowShape(WindowData& w) {
  if (!w.dpy || !w.xid) return;
  if (!w.hasRegion) {
    XShapeCombineMask(w.dpy, w.xid, ShapeBounding, 0, 0, None, ShapeSet);
    return;
  }
  std::vector<XRectangle> rects;
  for (const RECT& r : w.region) {
    if (r.right <= r.left || r.bottom <= r.top) continue;
    rects.push_back(XRectangle{static_cast<short>(r.left), static_cast<short>(r.top),
                               static_cast<unsigned short>(r.right - r.left),
                               static_cast<unsigned short>(r.bottom - r.top)});
  }
  XShapeCombineRectangles(w.dpy, w.xid, ShapeBounding, 0, 0, rects.data(), static_cast<int>(rects.size()),
                          ShapeSet, Unsorted);
}

bool DisplayAvailable() {
  ThreadQueue& q = Queue();
  if (q.dpy) return true;
  Display* dpy = OpenDisplay();
  if (!dpy) return false;
  XCloseDisplay(dpy);
  return true;
}

}  // namespace qelui

using qelui::FindWindowData;
using qelui::ToHandle;
using qelui::WindowData;

ATOM RegisterClassExW(const WNDCLASSEXW* wc) {
  if (!wc || !wc->lpszClassName || wc->cbSize != sizeof(WNDCLASSEXW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(qelui::g_mutex);
  std::wstring key = qelui::Lower(wc->lpszClassName);
  if (qelui::g_classes.count(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  qelui::ClassInfo info{*wc, wc->lpszClassName};
  info.wc.lpszClassName = nullptr;  // the stored name lives in info.name
  qelui::g_classes.emplace(key, info);
  return qelui::g_nextAtom++;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int cx,
                     int cy, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  qelui::ClassInfo cls{};
  {
    std::lock_guard<std::mutex> lock(qelui::g_mutex);
    auto it = className ? qelui::g_classes.find(qelui::Lower(className)) : qelui::g_classes.end();
    if (it == qelui::g_classes.end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    cls = it->second;
  }
  qelui::ThreadQueue& q = qelui::Queue();
  Display* dpy = qelui::EnsureDisplay(q);
  if (!dpy) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  auto w = std::make_shared<WindowData>();
  w->queue = qelui::t_queue;
  w->dpy = dpy;
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
  if (!qelui::CreateXWindow(*w)) {
    if (w->colormap) XFreeColormap(dpy, w->colormap);
    qelui::ReleaseDisplayIfUnused(q);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(qelui::g_mutex);
    w->id = qelui::g_nextId++;
    qelui::g_windows.emplace(w->id, w);
  }
  HWND h = ToHandle(w->id);
  q.windows.push_back(h);

  CREATESTRUCTW cs{param, instance, menu, parent, height, width, top, left, static_cast<LONG>(style),
                   windowName, className, exStyle};
  LPARAM csParam = reinterpret_cast<LPARAM>(&cs);
  if (!qelui::CallProc(w, WM_NCCREATE, 0, csParam) || qelui::CallProc(w, WM_CREATE, 0, csParam) == -1) {
    DestroyWindow(h);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (!IsWindow(h)) return nullptr;
  SendMessageW(h, WM_SIZE, SIZE_RESTORED, qelui::SizeParam(w->rect));
  SendMessageW(h, WM_MOVE, 0, MAKELPARAM(w->rect.left, w->rect.top));
  if ((style & WS_VISIBLE) && IsWindow(h)) ShowWindow(h, SW_SHOW);
  if (IsWindow(h)) XFlush(dpy);
  return IsWindow(h) ? h : nullptr;
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

  q.timers.erase(std::remove_if(q.timers.begin(), q.timers.end(),
                                [hwnd](const qelui::Timer& t) { return t.hwnd == hwnd; }),
                 q.timers.end());
  if (q.drag.hwnd == hwnd) {
    XUngrabPointer(w->dpy, CurrentTime);
    q.drag = qelui::DragState{};
  }
  if (!w->xidGone) XDestroyWindow(w->dpy, w->xid);
  if (w->colormap) XFreeColormap(w->dpy, w->colormap);
  XFlush(w->dpy);
  qelui::CallProc(w, WM_NCDESTROY, 0, 0);
  {
    std::lock_guard<std::mutex> lock(qelui::g_mutex);
    qelui::g_windows.erase(w->id);
  }
  q.windows.erase(std::remove(q.windows.begin(), q.windows.end(), hwnd), q.windows.end());
  qelui::ReleaseDisplayIfUnused(q);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) { return FindWindowData(hwnd) ? TRUE : FALSE; }

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

BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<qelui::ThreadQueue> queue;
  if (hwnd) {
    auto w = FindWindowData(hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    queue = w->queue;
  } else {
    qelui::Queue();
    queue = qelui::t_queue;
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

BOOL GetMessageW(LPMSG msg, HWND, UINT, UINT) {
  qelui::ThreadQueue& q = qelui::Queue();
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
  auto w = FindWindowData(msg->hwnd);
  if (!w) return 0;
  if (msg->message == WM_PAINT) w->needsPaint = false;
  return qelui::CallProc(w, msg->message, msg->wParam, msg->lParam);
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

BOOL ShowWindow(HWND hwnd, int cmdShow) {
  auto w = FindWindowData(hwnd);
  if (!w) return FALSE;
  bool wasVisible = (w->style & WS_VISIBLE) != 0;
  switch (cmdShow) {
    case SW_HIDE:
      qelui::Hide(w);
      break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
      qelui::ShowVisible(w);
      if (!IsWindow(hwnd)) return FALSE;
      w->style = (w->style | WS_MINIMIZE) & ~static_cast<DWORD>(WS_MAXIMIZE);
      XIconifyWindow(w->dpy, w->xid, DefaultScreen(w->dpy));
      SendMessageW(hwnd, WM_SIZE, SIZE_MINIMIZED, 0);
      break;
    case SW_SHOWMAXIMIZED: {
      qelui::ShowVisible(w);
      if (!IsWindow(hwnd) || (w->style & WS_MAXIMIZE)) break;
      w->restoreRect = w->rect;
      w->style = (w->style | WS_MAXIMIZE) & ~static_cast<DWORD>(WS_MINIMIZE);
      RECT work;
      qelui::WorkArea(w->dpy, &work);
      SetWindowPos(hwnd, nullptr, work.left, work.top, work.right - work.left, work.bottom - work.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      SendMessageW(hwnd, WM_SIZE, SIZE_MAXIMIZED, qelui::SizeParam(w->rect));
      break;
    }
    case SW_RESTORE:
    case SW_SHOWNORMAL: {
      bool wasMax = (w->style & WS_MAXIMIZE) != 0;
      bool wasMin = (w->style & WS_MINIMIZE) != 0;
      w->style &= ~static_cast<DWORD>(WS_MINIMIZE | WS_MAXIMIZE);
      qelui::ShowVisible(w);
      if (!IsWindow(hwnd)) return FALSE;
      if (wasMin) XMapRaised(w->dpy, w->xid);
      if (wasMax) {
        const RECT& r = w->restoreRect;
        SetWindowPos(hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER);
      }
      if (wasMin || wasMax) SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, qelui::SizeParam(w->rect));
      break;
    }
    default:
      qelui::ShowVisible(w);
      break;
  }
  if (IsWindow(hwnd)) XFlush(w->dpy);
  return wasVisible ? TRUE : FALSE;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int cx, int cy, BOOL repaint) {
  return SetWindowPos(hwnd, nullptr, x, y, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0u : static_cast<UINT>(SWP_NOREDRAW)));
}

BOOL SetWindowPos(HWND hwnd, HWND, int x, int y, int cx, int cy, UINT flags) {
  auto w = FindWindowData(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  RECT old = w->rect;
  LONG left = (flags & SWP_NOMOVE) ? old.left : x;
  LONG top = (flags & SWP_NOMOVE) ? old.top : y;
  LONG width = (flags & SWP_NOSIZE) ? old.right - old.left : std::max(0, cx);
  LONG height = (flags & SWP_NOSIZE) ? old.bottom - old.top : std::max(0, cy);
  w->rect = RECT{left, top, left + width, top + height};
  bool moved = left != old.left || top != old.top;
  bool sized = width != old.right - old.left || height != old.bottom - old.top;
  if (moved || sized) {
    XMoveResizeWindow(w->dpy, w->xid, left, top, static_cast<unsigned>(std::max<LONG>(1, width)),
                      static_cast<unsigned>(std::max<LONG>(1, height)));
    qelui::SetPositionHints(*w);
  }
  if (moved) SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(left, top));
  if (sized && IsWindow(hwnd)) {
    if (!(flags & SWP_NOREDRAW)) w->needsPaint = true;
    WPARAM kind = (w->style & WS_MAXIMIZE) ? SIZE_MAXIMIZED : SIZE_RESTORED;
    SendMessageW(hwnd, WM_SIZE, kind, qelui::SizeParam(w->rect));
  }
  if ((flags & SWP_SHOWWINDOW) && IsWindow(hwnd)) ShowWindow(hwnd, SW_SHOWNA);
  if ((flags & SWP_HIDEWINDOW) && IsWindow(hwnd)) ShowWindow(hwnd, SW_HIDE);
  if (IsWindow(hwnd)) XFlush(w->dpy);
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
  if (flags & AW_BLEND) {
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
    if (IsWindow(hwnd)) XDeleteProperty(w->dpy, w->xid, opacity);
    return TRUE;
  }
  ShowWindow(hwnd, SW_HIDE);
  return TRUE;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  qelui::ThreadQueue& q = qelui::Queue();
  if (hwnd && !IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (!hwnd) id = q.nextTimerId++;
  // Windows raises periods below 10 ms to 10 ms; so do we, so a zero period cannot spin the loop.
  UINT period = std::max<UINT>(elapse, 10);
  for (qelui::Timer& t : q.timers) {
    if (t.hwnd == hwnd && t.id == id) {
      t.period = period;
      t.due = qelui::NowMs() + period;
      t.proc = proc;
      return id;
    }
  }
  q.timers.push_back(qelui::Timer{hwnd, id, period, qelui::NowMs() + period, proc});
  q.Wake();
  return hwnd ? (id ? id : 1) : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  qelui::ThreadQueue& q = qelui::Queue();
  auto it = std::find_if(q.timers.begin(), q.timers.end(),
                         [&](const qelui::Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == q.timers.end()) return FALSE;
  q.timers.erase(it);
  return TRUE;
}

BOOL SystemParametersInfoW(UINT action, UINT, LPVOID value, UINT) {
  if (action != SPI_GETWORKAREA || !value) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  RECT* rect = static_cast<RECT*>(value);
  qelui::ThreadQueue& q = qelui::Queue();
  if (q.dpy) return qelui::WorkArea(q.dpy, rect) ? TRUE : FALSE;
  Display* dpy = qelui::OpenDisplay();
  if (!dpy) {
    *rect = RECT{0, 0, 0, 0};
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  qelui::WorkArea(dpy, rect);
  XCloseDisplay(dpy);
  return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR name) {
  if (!name) return GetModuleHandleA(nullptr);
  std::string narrow = qelplat::WideToUtf8(name);
  if (strcasecmp(narrow.c_str(), "USER32.DLL") == 0 || strcasecmp(narrow.c_str(), "USER32") == 0) {
    // The window functions live in this program. Layered windows need a 32-bit visual; without one (or
    // without a display) the module is reported missing, so callers fall back as on a system without it.
    Display* dpy = qelui::OpenDisplay();
    XVisualInfo info;
    bool argb = dpy && qelui::FindArgbVisual(dpy, &info);
    if (dpy) XCloseDisplay(dpy);
    if (!argb) {
      SetLastError(126);
      return nullptr;
    }
    return dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
  }
  return GetModuleHandleA(narrow.c_str());
}

HCURSOR LoadCursorW(HINSTANCE, LPCWSTR name) { return const_cast<wchar_t*>(name); }

BOOL PtInRect(const RECT* rect, POINT pt) {
  return rect && pt.x >= rect->left && pt.x < rect->right && pt.y >= rect->top && pt.y < rect->bottom ? TRUE
                                                                                                     : FALSE;
}
