// Regions, DIB sections, memory DCs and layered windows.
#include "qelui/gdi.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "qelplat/export.h"
#include "qelplat/lasterror.h"
#include "qelui/user32.h"
#include "xwindow.h"

namespace {

struct GdiObject {
  virtual ~GdiObject() = default;
};

struct RegionObject : GdiObject {
  std::vector<RECT> rects;
};

struct DibObject : GdiObject {
  int width = 0;
  int height = 0;  // rows; bottomUp tells the order
  bool bottomUp = true;
  std::vector<uint32_t> bits;
};

struct DcObject : GdiObject {
  HGDIOBJ bitmap = nullptr;
};

std::mutex g_gdiMutex;
std::unordered_map<void*, std::unique_ptr<GdiObject>> g_objects;

template <class T>
T* Get(HGDIOBJ handle) {
  std::lock_guard<std::mutex> lock(g_gdiMutex);
  auto it = g_objects.find(handle);
  return it == g_objects.end() ? nullptr : dynamic_cast<T*>(it->second.get());
}

HGDIOBJ Add(std::unique_ptr<GdiObject> object) {
  HGDIOBJ handle = object.get();
  std::lock_guard<std::mutex> lock(g_gdiMutex);
  g_objects.emplace(handle, std::move(object));
  return handle;
}

bool Remove(HGDIOBJ handle) {
  std::lock_guard<std::mutex> lock(g_gdiMutex);
  return g_objects.erase(handle) > 0;
}

// Horizontal half-width of an ellipse row, as the span the elliptic corner covers at that row.
int CornerInset(int row, int rows, int radiusX, int radiusY) {
  if (radiusY <= 0 || radiusX <= 0) return 0;
  double dy = (row < radiusY ? radiusY - row - 0.5 : row - (rows - radiusY) + 0.5);
  if (row >= radiusY && row < rows - radiusY) return 0;
  double t = dy / radiusY;
  double dx = radiusX * std::sqrt(std::max(0.0, 1.0 - t * t));
  return static_cast<int>(std::lround(radiusX - dx));
}

}  // namespace

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
  auto region = std::make_unique<RegionObject>();
  if (right > left && bottom > top) region->rects.push_back(RECT{left, top, right, bottom});
  return Add(std::move(region));
}

HRGN CreateRoundRectRgn(int left, int top, int right, int bottom, int width, int height) {
  auto region = std::make_unique<RegionObject>();
  // GDI's round rectangles leave out the right and bottom edge.
  int w = right - left - 1;
  int h = bottom - top - 1;
  if (w > 0 && h > 0) {
    int rx = std::min(std::max(0, width / 2), w / 2);
    int ry = std::min(std::max(0, height / 2), h / 2);
    for (int row = 0; row < h; ++row) {
      int inset = CornerInset(row, h, rx, ry);
      if (w - 2 * inset > 0) region->rects.push_back(RECT{left + inset, top + row, left + w - inset, top + row + 1});
    }
  }
  return Add(std::move(region));
}

BOOL PtInRegion(HRGN rgn, int x, int y) {
  RegionObject* region = Get<RegionObject>(rgn);
  if (!region) return FALSE;
  for (const RECT& r : region->rects)
    if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) return TRUE;
  return FALSE;
}

BOOL DeleteObject(HGDIOBJ object) { return object && Remove(object) ? TRUE : FALSE; }

int GetWindowRgn(HWND hwnd, HRGN rgn) {
  auto w = qelui::FindWindowData(hwnd);
  RegionObject* region = Get<RegionObject>(rgn);
  if (!w || !region || !w->hasRegion) return RGN_ERROR;
  region->rects = w->region;
  if (region->rects.empty()) return NULLREGION;
  return region->rects.size() == 1 ? SIMPLEREGION : COMPLEXREGION;
}

int SetWindowRgn(HWND hwnd, HRGN rgn, BOOL) {
  auto w = qelui::FindWindowData(hwnd);
  if (!w) return 0;
  if (!rgn) {
    w->hasRegion = false;
    w->region.clear();
  } else {
    RegionObject* region = Get<RegionObject>(rgn);
    if (!region) return 0;
    w->hasRegion = true;
    w->region = region->rects;
    Remove(rgn);  // the window owns it now
  }
  qelui::ApplyWindowShape(*w);
  w->needsPaint = true;
  return 1;
}

HBITMAP CreateDIBSection(HDC, const BITMAPINFO* info, UINT usage, void** bits, HANDLE, DWORD) {
  if (bits) *bits = nullptr;
  if (!info || usage != DIB_RGB_COLORS || info->bmiHeader.biBitCount != 32 ||
      info->bmiHeader.biCompression != BI_RGB) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  LONG width = info->bmiHeader.biWidth;
  LONG height = info->bmiHeader.biHeight;
  LONG rows = height < 0 ? -height : height;
  // Refuse empty and absurd sizes rather than hand out a buffer nobody can index safely.
  if (width <= 0 || rows <= 0 || static_cast<int64_t>(width) * rows > (int64_t{1} << 28)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto dib = std::make_unique<DibObject>();
  dib->width = width;
  dib->height = rows;
  dib->bottomUp = height > 0;
  dib->bits.assign(static_cast<size_t>(width) * static_cast<size_t>(rows), 0);
  if (bits) *bits = dib->bits.data();
  return Add(std::move(dib));
}

HDC CreateCompatibleDC(HDC) { return Add(std::make_unique<DcObject>()); }

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  DcObject* context = Get<DcObject>(dc);
  if (!context || !object) return nullptr;
  HGDIOBJ old = context->bitmap;
  context->bitmap = object;
  // A DC's first selection replaces its stock bitmap; hand back something the caller may select again.
  return old ? old : object;
}

BOOL DeleteDC(HDC dc) { return Get<DcObject>(dc) && Remove(dc) ? TRUE : FALSE; }

namespace qelui {

const uint32_t* DibBits(HBITMAP bitmap, int* width, int* height) {
  DibObject* dib = Get<DibObject>(bitmap);
  if (!dib) return nullptr;
  if (width) *width = dib->width;
  if (height) *height = dib->height;
  return dib->bits.data();
}

bool LayeredPixels(HWND hwnd, int* width, int* height, std::vector<uint32_t>* pixels) {
  auto w = FindWindowData(hwnd);
  if (!w || w->layered.empty()) return false;
  *width = w->layeredWidth;
  *height = w->layeredHeight;
  *pixels = w->layered;
  return true;
}

bool PutClientPixels(HWND hwnd, const uint32_t* pixels, int width, int height, int stride) {
  auto w = FindWindowData(hwnd);
  if (!w || !pixels || width <= 0 || height <= 0 || stride < width * 4) return false;
  // 24- and 32-bit TrueColor visuals take 32-bit pixels as they are; anything else is not supported.
  if (w->depth != 24 && w->depth != 32) return false;
  XImage* image = XCreateImage(w->dpy, w->visual, static_cast<unsigned>(w->depth), ZPixmap, 0,
                               reinterpret_cast<char*>(const_cast<uint32_t*>(pixels)), static_cast<unsigned>(width),
                               static_cast<unsigned>(height), 32, stride);
  if (!image) return false;
  image->byte_order = LSBFirst;  // host order of the pixels; Xlib swaps for a server that differs
  GC gc = XCreateGC(w->dpy, w->xid, 0, nullptr);
  XPutImage(w->dpy, w->xid, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XFreeGC(w->dpy, gc);
  image->data = nullptr;  // not ours
  XDestroyImage(image);
  XFlush(w->dpy);
  return true;
}

}  // namespace qelui

namespace {

void PutLayeredImage(qelui::WindowData& w) {
  Display* dpy = w.dpy;
  unsigned width = static_cast<unsigned>(w.layeredWidth);
  unsigned height = static_cast<unsigned>(w.layeredHeight);
  // The pixels are premultiplied ARGB, which is what a 32-bit TrueColor visual takes as is.
  XImage* image = XCreateImage(dpy, w.visual, 32, ZPixmap, 0, reinterpret_cast<char*>(w.layered.data()),
                               width, height, 32, static_cast<int>(width * 4));
  if (!image) return;
  Pixmap pixmap = XCreatePixmap(dpy, w.xid, width, height, 32);
  GC gc = XCreateGC(dpy, pixmap, 0, nullptr);
  XPutImage(dpy, pixmap, gc, image, 0, 0, 0, 0, width, height);
  XFreeGC(dpy, gc);
  image->data = nullptr;  // the pixels belong to the window record
  XDestroyImage(image);
  XSetWindowBackgroundPixmap(dpy, w.xid, pixmap);
  XFreePixmap(dpy, pixmap);
  XClearWindow(dpy, w.xid);
  XFlush(dpy);
}

}  // namespace

// Exported by name so that it is found at run time the way the shadow looks it up.
QEL_C_EXPORT BOOL UpdateLayeredWindow(HWND hwnd, HDC, POINT* pos, SIZE* size, HDC src, POINT* srcPos, COLORREF,
                                      BLENDFUNCTION* blend, DWORD flags) {
  auto w = qelui::FindWindowData(hwnd);
  if (!w || !(w->exStyle & WS_EX_LAYERED) || !(flags & ULW_ALPHA) || !blend) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DcObject* dc = Get<DcObject>(src);
  DibObject* dib = dc ? Get<DibObject>(dc->bitmap) : nullptr;
  int width = size ? size->cx : w->rect.right - w->rect.left;
  int height = size ? size->cy : w->rect.bottom - w->rect.top;
  int sx = srcPos ? srcPos->x : 0;
  int sy = srcPos ? srcPos->y : 0;
  if (!dib || width <= 0 || height <= 0 || sx < 0 || sy < 0 || sx + width > dib->width ||
      sy + height > dib->height) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (pos || size) {
    int x = pos ? pos->x : w->rect.left;
    int y = pos ? pos->y : w->rect.top;
    SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW);
  }
  w->layeredWidth = width;
  w->layeredHeight = height;
  w->layered.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  unsigned constant = blend->SourceConstantAlpha;
  for (int y = 0; y < height; ++y) {
    int row = dib->bottomUp ? dib->height - 1 - (sy + y) : sy + y;
    const uint32_t* in = &dib->bits[static_cast<size_t>(row) * dib->width + sx];
    uint32_t* out = &w->layered[static_cast<size_t>(y) * width];
    for (int x = 0; x < width; ++x) {
      uint32_t p = in[x];
      if (constant != 255) {
        uint32_t a = ((p >> 24) * constant) / 255, r = (((p >> 16) & 0xFF) * constant) / 255;
        uint32_t g = (((p >> 8) & 0xFF) * constant) / 255, b = ((p & 0xFF) * constant) / 255;
        p = (a << 24) | (r << 16) | (g << 8) | b;
      }
      out[x] = p;
    }
  }
  PutLayeredImage(*w);
  return TRUE;
}
