#pragma once
// Internal: the record behind a window handle, shared by the window system, GDI and the paint manager, and the
// few calls every part of the window system makes on it.
//
// A window belongs to the thread that created it. Each field below is either fixed once the window is
// registered (set by CreateWindowExW before the handle exists, so any thread may read it through
// FindWindowData) or touched only by the owning thread. No lock guards a field: the registry's lock
// guards only the map from handles to records.
#include <X11/Xlib.h>

#include <memory>
#include <string>
#include <vector>

#include "qelui/uitypes.h"

namespace qelui {

struct ThreadQueue;

struct WindowData {
  // Fixed after creation.
  uintptr_t id = 0;
  std::shared_ptr<ThreadQueue> queue;  // the owning thread's queue
  Display* dpy = nullptr;              // the owning thread's connection
  ::Window xid = 0;
  Visual* visual = nullptr;
  int depth = 0;
  Colormap colormap = 0;  // ours to free (ARGB windows only)
  HWND owner = nullptr;
  HINSTANCE instance = nullptr;
  std::wstring className;

  // Owning thread only.
  WNDPROC proc = nullptr;  // replaced when a window is subclassed
  LONG_PTR userData = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  std::wstring title;
  RECT rect{};         // screen coordinates
  RECT restoreRect{};  // before maximising
  bool destroying = false;
  bool xidGone = false;  // destroyed by another client
  bool needsPaint = false;
  bool hasRegion = false;
  std::vector<RECT> region;  // window coordinates
  int layeredWidth = 0;      // pixels last given to UpdateLayeredWindow, top row first
  int layeredHeight = 0;
  std::vector<uint32_t> layered;
};

// The live record of a window, or null. Safe on any thread.
std::shared_ptr<WindowData> FindWindowData(HWND hwnd);
HWND ToHandle(uintptr_t id);

// Calls the window's procedure (DefWindowProcW when it has none). Owning thread only.
LRESULT CallProc(const std::shared_ptr<WindowData>& w, UINT msg, WPARAM wp, LPARAM lp);

// Any window procedure may destroy its own window inside any message it is sent, and so may every call below
// that sends one (showing, hiding, moving). After such a call this tells whether the window is still
// there; when it is not, the caller leaves the record alone, since the X window and the handle are gone.
bool StillThere(const WindowData& w);

// Sends a message and tells whether the window is still there afterwards (see StillThere).
bool SendAndStillThere(const std::shared_ptr<WindowData>& w, UINT msg, WPARAM wp, LPARAM lp);

// The WM_SIZE lParam of a rectangle.
LPARAM SizeParam(const RECT& r);

// Applies the window region as the X bounding shape (or removes it).
void ApplyWindowShape(WindowData& w);

}  // namespace qelui
