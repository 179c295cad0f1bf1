#pragma once
// The few GDI objects the client draws with: rectangle regions, 32-bit DIB sections, memory device
// contexts, window regions and layered (per-pixel alpha) windows.
//
// Regions are lists of rectangles; GDI objects are checked against the live set, so deleting twice or
// deleting garbage fails instead of freeing memory that is not ours. Objects may be used on any thread.
#include <vector>

#include "qelui/uitypes.h"

HRGN CreateRectRgn(int left, int top, int right, int bottom);
// A rectangle with elliptic corners of the given width and height, as GDI builds it.
HRGN CreateRoundRectRgn(int left, int top, int right, int bottom, int width, int height);
BOOL PtInRegion(HRGN rgn, int x, int y);
BOOL DeleteObject(HGDIOBJ object);
// Copies the window's region (window coordinates) into rgn; a window without a region gives RGN_ERROR and
// leaves rgn as it was.
int GetWindowRgn(HWND hwnd, HRGN rgn);
// The window takes the region over (the caller must not delete it); null removes the region.
int SetWindowRgn(HWND hwnd, HRGN rgn, BOOL redraw);

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section,
                         DWORD offset);
HDC CreateCompatibleDC(HDC dc);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
BOOL DeleteDC(HDC dc);

// Looked up at run time by name ("UpdateLayeredWindow" in "USER32.DLL"), as the shadow does on Windows.
typedef BOOL (*UpdateLayeredWindowFn)(HWND hwnd, HDC dst, POINT* pos, SIZE* size, HDC src, POINT* srcPos,
                                      COLORREF key, BLENDFUNCTION* blend, DWORD flags);

namespace qelui {

// The bits of the DIB selected into a memory DC (null when none) with its size; for tests and drawing.
const uint32_t* DibBits(HBITMAP bitmap, int* width, int* height);
// Premultiplied ARGB pixels last given to a layered window, top row first; false when none.
bool LayeredPixels(HWND hwnd, int* width, int* height, std::vector<uint32_t>* pixels);

// Shows 0x00RRGGBB pixels (rows of stride bytes, top row first) in the window's client area.
bool PutClientPixels(HWND hwnd, const uint32_t* pixels, int width, int height, int stride);

}  // namespace qelui
