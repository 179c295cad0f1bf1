#pragma once
// Windows, messages, timers and the message loop, over X11.
//
// Every thread that creates a window gets its own X display connection and its own message queue, as every
// Windows thread has its own queue: two prompts on two threads run two independent modal loops. A window
// belongs to the thread that created it; SendMessageW calls its procedure directly and must be used on that
// thread, as must every call that reads or changes a window. PostMessageW, IsWindow, SetTimer and KillTimer
// may be used from any thread: a window's posts and timers go to the queue of the window's thread. Without a
// display (DISPLAY unset or the server not reachable) CreateWindowExW fails with ERROR_INVALID_WINDOW_HANDLE
// and no window exists; the message loop of such a thread still works for posted messages and timers.
#include "qelui/uitypes.h"

enum : DWORD {
  ERROR_INVALID_WINDOW_HANDLE = 1400,
  ERROR_CANNOT_FIND_WND_CLASS = 1407,
  ERROR_CLASS_ALREADY_EXISTS = 1410,
};

ATOM RegisterClassExW(const WNDCLASSEXW* wc);
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int cx,
                     int cy, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
BOOL IsWindowVisible(HWND hwnd);
BOOL IsIconic(HWND hwnd);
BOOL IsZoomed(HWND hwnd);
HWND GetParent(HWND hwnd);

LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index);
LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value);
inline LONG GetWindowLongW(HWND hwnd, int index) { return static_cast<LONG>(GetWindowLongPtrW(hwnd, index)); }
inline LONG SetWindowLongW(HWND hwnd, int index, LONG value) {
  return static_cast<LONG>(SetWindowLongPtrW(hwnd, index, value));
}

BOOL ShowWindow(HWND hwnd, int cmdShow);
BOOL MoveWindow(HWND hwnd, int x, int y, int cx, int cy, BOOL repaint);
BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
BOOL GetWindowRect(HWND hwnd, LPRECT rect);
BOOL GetClientRect(HWND hwnd, LPRECT rect);
BOOL ScreenToClient(HWND hwnd, POINT* pt);
BOOL ClientToScreen(HWND hwnd, POINT* pt);
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL SetWindowTextW(HWND hwnd, LPCWSTR text);
// Fades the window out (AW_HIDE | AW_BLEND) over the given time through the window opacity the compositing
// manager honours, then hides it. Blocks the calling thread for that time, as on Windows.
BOOL AnimateWindow(HWND hwnd, DWORD time, DWORD flags);

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// SPI_GETWORKAREA: the desktop's _NET_WORKAREA when a window manager publishes one, else the whole screen.
BOOL SystemParametersInfoW(UINT action, UINT param, LPVOID value, UINT winIni);

HMODULE GetModuleHandleW(LPCWSTR name);
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name);

BOOL PtInRect(const RECT* rect, POINT pt);

namespace qelui {

// True when a display can be opened for this thread's windows.
bool DisplayAvailable();

}  // namespace qelui
