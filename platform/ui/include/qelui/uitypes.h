#pragma once
// Window-system types, messages and flags with their Windows names and values, for the window layer over X11.
// Only what the client's windows use is here.
#include <cstdint>

#include "qelplat/dynlib.h"
#include "qelplat/wintypes.h"

// Window handles are opaque numbers handed out by the layer; they are never reused within a process, so a
// message posted to a window that has since gone is dropped instead of reaching a newer window.
struct HWND__;
typedef HWND__* HWND;
struct HMENU__;
typedef HMENU__* HMENU;
typedef HMODULE HINSTANCE;
typedef void* HICON;
typedef void* HCURSOR;
typedef void* HBRUSH;
typedef void* HGDIOBJ;
typedef HGDIOBJ HRGN;
typedef HGDIOBJ HBITMAP;
typedef void* HDC;
typedef DWORD COLORREF;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef const wchar_t* LPCTSTR;
typedef wchar_t TCHAR;
typedef uint16_t ATOM;

#define CALLBACK
typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void (*TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
typedef RECT* LPRECT;
struct POINT {
  LONG x;
  LONG y;
};
struct SIZE {
  LONG cx;
  LONG cy;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;

struct CREATESTRUCTW {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
};
typedef CREATESTRUCTW* LPCREATESTRUCT;

struct WNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
  HICON hIconSm;
};

struct BLENDFUNCTION {
  BYTE BlendOp;
  BYTE BlendFlags;
  BYTE SourceConstantAlpha;
  BYTE AlphaFormat;
};

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
struct RGBQUAD {
  BYTE rgbBlue;
  BYTE rgbGreen;
  BYTE rgbRed;
  BYTE rgbReserved;
};
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};

inline WORD LOWORD(uintptr_t v) { return static_cast<WORD>(v & 0xFFFF); }
inline WORD HIWORD(uintptr_t v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
inline LPARAM MAKELPARAM(int lo, int hi) {
  return static_cast<LPARAM>(static_cast<uint32_t>((static_cast<uint32_t>(hi) << 16) | (lo & 0xFFFF)));
}
// Signed coordinates packed in an LPARAM (screen points can be negative on multi-screen set-ups).
inline int GET_X_LPARAM(LPARAM l) { return static_cast<int16_t>(LOWORD(static_cast<uintptr_t>(l))); }
inline int GET_Y_LPARAM(LPARAM l) { return static_cast<int16_t>(HIWORD(static_cast<uintptr_t>(l))); }
inline COLORREF RGB(BYTE r, BYTE g, BYTE b) { return r | (g << 8) | (static_cast<DWORD>(b) << 16); }
inline BYTE GetRValue(COLORREF c) { return c & 0xFF; }
inline BYTE GetGValue(COLORREF c) { return (c >> 8) & 0xFF; }
inline BYTE GetBValue(COLORREF c) { return (c >> 16) & 0xFF; }

enum : UINT {
  WM_NULL = 0x0000,
  WM_CREATE = 0x0001,
  WM_DESTROY = 0x0002,
  WM_MOVE = 0x0003,
  WM_SIZE = 0x0005,
  WM_ACTIVATE = 0x0006,
  WM_PAINT = 0x000F,
  WM_CLOSE = 0x0010,
  WM_QUIT = 0x0012,
  WM_SHOWWINDOW = 0x0018,
  WM_NCCREATE = 0x0081,
  WM_NCDESTROY = 0x0082,
  WM_NCCALCSIZE = 0x0083,
  WM_NCHITTEST = 0x0084,
  WM_NCPAINT = 0x0085,
  WM_NCACTIVATE = 0x0086,
  WM_KEYDOWN = 0x0100,
  WM_SYSCOMMAND = 0x0112,
  WM_TIMER = 0x0113,
  WM_MOUSEMOVE = 0x0200,
  WM_LBUTTONDOWN = 0x0201,
  WM_LBUTTONUP = 0x0202,
  WM_EXITSIZEMOVE = 0x0232,
  WM_MOUSELEAVE = 0x02A3,
  WM_USER = 0x0400,
};

enum : DWORD {
  WS_OVERLAPPED = 0x00000000,
  WS_POPUP = 0x80000000,
  WS_CHILD = 0x40000000,
  WS_MINIMIZE = 0x20000000,
  WS_VISIBLE = 0x10000000,
  WS_CLIPSIBLINGS = 0x04000000,
  WS_CLIPCHILDREN = 0x02000000,
  WS_MAXIMIZE = 0x01000000,
  WS_CAPTION = 0x00C00000,
  WS_BORDER = 0x00800000,
  WS_SYSMENU = 0x00080000,
  WS_THICKFRAME = 0x00040000,
  WS_MINIMIZEBOX = 0x00020000,
  WS_MAXIMIZEBOX = 0x00010000,
  WS_OVERLAPPEDWINDOW = 0x00CF0000,
  WS_POPUPWINDOW = 0x80880000,
  WS_EX_TOPMOST = 0x00000008,
  WS_EX_TRANSPARENT = 0x00000020,
  WS_EX_TOOLWINDOW = 0x00000080,
  WS_EX_STATICEDGE = 0x00020000,
  WS_EX_LAYERED = 0x00080000,
};

enum : UINT {
  CS_VREDRAW = 0x0001,
  CS_HREDRAW = 0x0002,
  CS_DBLCLKS = 0x0008,
};

#define CW_USEDEFAULT (static_cast<int>(0x80000000))

enum : int {
  SW_HIDE = 0,
  SW_SHOWNORMAL = 1,
  SW_SHOWMINIMIZED = 2,
  SW_SHOWMAXIMIZED = 3,
  SW_SHOWNOACTIVATE = 4,
  SW_SHOW = 5,
  SW_MINIMIZE = 6,
  SW_SHOWNA = 8,
  SW_RESTORE = 9,
};

enum : UINT {
  SWP_NOSIZE = 0x0001,
  SWP_NOMOVE = 0x0002,
  SWP_NOZORDER = 0x0004,
  SWP_NOREDRAW = 0x0008,
  SWP_NOACTIVATE = 0x0010,
  SWP_SHOWWINDOW = 0x0040,
  SWP_HIDEWINDOW = 0x0080,
};

enum : int {
  GWL_WNDPROC = -4,
  GWLP_WNDPROC = -4,
  GWL_STYLE = -16,
  GWL_EXSTYLE = -20,
  GWLP_USERDATA = -21,
};

enum : LRESULT {
  HTERROR = -2,
  HTNOWHERE = 0,
  HTCLIENT = 1,
  HTCAPTION = 2,
};

enum : WPARAM {
  SIZE_RESTORED = 0,
  SIZE_MINIMIZED = 1,
  SIZE_MAXIMIZED = 2,
  SC_CLOSE = 0xF060,
};

enum : DWORD {
  AW_HIDE = 0x00010000,
  AW_BLEND = 0x00080000,
};

enum : UINT {
  SPI_GETWORKAREA = 0x0030,
};

enum : UINT {
  IDOK = 1,
  IDCANCEL = 2,
};

// GDI
enum : BYTE {
  AC_SRC_OVER = 0x00,
  AC_SRC_ALPHA = 0x01,
};
enum : DWORD {
  ULW_COLORKEY = 0x01,
  ULW_ALPHA = 0x02,
  ULW_OPAQUE = 0x04,
  BI_RGB = 0,
};
enum : UINT {
  DIB_RGB_COLORS = 0,
};
enum : int {
  RGN_ERROR = 0,
  NULLREGION = 1,
  SIMPLEREGION = 2,
  COMPLEXREGION = 3,
};

#define IDC_ARROW (reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(32512)))
