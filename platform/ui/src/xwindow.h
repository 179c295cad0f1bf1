#pragma once
// Internal: the record behind a window handle, shared by the window system, GDI and the paint manager.
#include <X11/Xlib.h>

#include <memory>
#include <string>
#include <vector>

#include "qelui/uitypes.h"

namespace qelui {

struct ThreadQueue;

struct WindowData {
  uintptr_t id = 0;
  std::shared_ptr<ThreadQueue> queue;  // the owning thread's queue
  Display* dpy = nullptr;
  ::Window xid = 0;
  Visual* visual = nullptr;
  int depth = 0;
  Colormap colormap = 0;  // ours to free (ARGB windows only)

  WNDPROC proc = nullptr;
  LONG_PTR userData = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  HWND owner = nullptr;
  HINSTANCE instance = nullptr;
  std::wstring className;
  std::wstring title;

  RECT rect{};         // screen coordinates
  RECT restoreRect{};  // before maximising
  bool destroying = false;
  bool xidGone = false;  // destroyed by another client
  bool needsPaint = false;
  bool hasRegion = false;
  std::vector<RECT> region;  // window coordinates

  int layeredWidth = 0;  // pixels last given to UpdateLayeredWindow, top row first
  int layeredHeight = 0;
  std::vector<uint32_t> layered;
};

// The live record of a window, or null. Safe on any thread.
std::shared_ptr<WindowData> FindWindowData(HWND hwnd);
HWND ToHandle(uintptr_t id);

// Applies the window region as the X bounding shape (or removes it).
void ApplyWindowShape(WindowData& w);

}  // namespace qelui
