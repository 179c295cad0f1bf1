#pragma once
// CWindowWnd: a window whose messages reach a virtual HandleMessage, with a modal loop.
#include <atomic>

#include "UIlib/duistring.h"
#include "qelui/user32.h"

namespace UiLib {

class CWindowWnd {
 public:
  CWindowWnd();
  virtual ~CWindowWnd();
  CWindowWnd(const CWindowWnd&) = delete;
  CWindowWnd& operator=(const CWindowWnd&) = delete;

  HWND GetHWND() const { return m_hWnd; }
  operator HWND() const { return m_hWnd; }  // NOLINT: the library converts implicitly

  bool RegisterWindowClass();
  HWND Create(HWND parent, LPCTSTR name, DWORD style, DWORD exStyle, int x = CW_USEDEFAULT,
              int y = CW_USEDEFAULT, int cx = CW_USEDEFAULT, int cy = CW_USEDEFAULT, HMENU menu = nullptr);
  void ShowWindow(bool show = true, bool takeFocus = true);
  // Runs a message loop on the calling thread until the window is gone; returns the result of the first
  // Close, 0 when the window was never created (no display) or went away without Close.
  UINT ShowModal();
  // Ends the modal loop with result: the first Close wins, later ones only repeat the close request.
  void Close(UINT result = IDOK);
  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  LRESULT PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

 protected:
  virtual LPCTSTR GetWindowClassName() const = 0;
  virtual LPCTSTR GetSuperClassName() const;
  virtual UINT GetClassStyle() const;
  virtual LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  virtual void OnFinalMessage(HWND hwnd);

  HWND m_hWnd = nullptr;
  WNDPROC m_OldWndProc = DefWindowProcW;

 private:
  static LRESULT WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  std::atomic<bool> closed_{false};
  std::atomic<UINT> closeResult_{0};
};

}  // namespace UiLib
