// The X side of windows: each thread's connection to the X server, the X window behind a window record and
// its properties (title, class, frame hints, shape, stacking), and the desktop queries (work area, 32-bit
// visual). A connection belongs to the thread that opened it and is used by that thread only; the queries
// that open a connection of their own may run on any thread.
#include "xconnection.h"

#include <X11/Xatom.h>
#include <X11/extensions/shape.h>
#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "qelplat/codepage.h"
#include "qelplat/lasterror.h"
#include "qelui/user32.h"

namespace qelui {
namespace {

int IgnoreXError(Display* dpy, XErrorEvent* e) {
  // A request on a window the server has already dropped (a race with its destruction, a restack against
  // a window the manager reparented) must not end the process, which Xlib's default handler does.
  char text[128];
  XGetErrorText(dpy, e->error_code, text, sizeof text);
  std::fprintf(stderr, "qelui: X error %s (request %d)\n", text, e->request_code);
  return 0;
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
    if (auto owner = FindWindowData(w.owner)) XSetTransientForHint(dpy, w.xid, owner->xid);
  }
  if (w.exStyle & WS_EX_TRANSPARENT) {
    // Click-through: an empty input shape sends every pointer event to what lies below.
    XShapeCombineRectangles(dpy, w.xid, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
  }
}

}  // namespace

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

void ReleaseDisplayIfUnused(ThreadQueue& q) {
  if (!q.windows.empty() || !q.dpy) return;
  XCloseDisplay(q.dpy);
  q.dpy = nullptr;
  q.input.clear();
}

Atom Intern(Display* dpy, const char* name) { return XInternAtom(dpy, name, False); }

bool FindArgbVisual(Display* dpy, XVisualInfo* info) {
  return XMatchVisualInfo(dpy, DefaultScreen(dpy), 32, TrueColor, info) != 0;
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

void SetTitleProperties(WindowData& w) {
  std::string utf8 = qelplat::WideToUtf8(w.title);
  XStoreName(w.dpy, w.xid, utf8.c_str());
  XChangeProperty(w.dpy, w.xid, Intern(w.dpy, "_NET_WM_NAME"), Intern(w.dpy, "UTF8_STRING"), 8,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(utf8.data()),
                  static_cast<int>(utf8.size()));
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

void Restack(WindowData& w) {
  if (!w.owner) return;
  auto owner = FindWindowData(w.owner);
  if (!owner || owner->dpy != w.dpy) return;
  XWindowChanges changes{};
  changes.sibling = owner->xid;
  changes.stack_mode = Below;
  XConfigureWindow(w.dpy, w.xid, CWSibling | CWStackMode, &changes);
}

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
  ThreadQueue& q = CurrentQueue();
  if (q.dpy) return true;
  Display* dpy = OpenDisplay();
  if (!dpy) return false;
  XCloseDisplay(dpy);
  return true;
}

}  // namespace qelui

BOOL SystemParametersInfoW(UINT action, UINT, LPVOID value, UINT) {
  if (action != SPI_GETWORKAREA || !value) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  RECT* rect = static_cast<RECT*>(value);
  qelui::ThreadQueue& q = qelui::CurrentQueue();
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
