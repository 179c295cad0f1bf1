#include "UIlib/windowwnd.h"

#include "UIlib/paintmanager.h"
#include "qelplat/lasterror.h"

namespace UiLib {

CWindowWnd::CWindowWnd() = default;

CWindowWnd::~CWindowWnd() {
  // A window must not outlive the object its procedure points at.
  if (m_hWnd && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
}

LPCTSTR CWindowWnd::GetSuperClassName() const { return nullptr; }
UINT CWindowWnd::GetClassStyle() const { return 0; }
void CWindowWnd::OnFinalMessage(HWND) {}

bool CWindowWnd::RegisterWindowClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = GetClassStyle();
  wc.lpfnWndProc = &CWindowWnd::WndProc;
  wc.hInstance = CPaintManagerUI::GetInstance();
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = GetWindowClassName();
  return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CWindowWnd::Create(HWND parent, LPCTSTR name, DWORD style, DWORD exStyle, int x, int y, int cx, int cy,
                        HMENU menu) {
  if (!RegisterWindowClass()) return nullptr;
  closed_ = false;
  closeResult_ = 0;
  m_hWnd = CreateWindowExW(exStyle, GetWindowClassName(), name, style, x, y, cx, cy, parent, menu,
                           CPaintManagerUI::GetInstance(), this);
  return m_hWnd;
}

void CWindowWnd::ShowWindow(bool show, bool takeFocus) {
  if (!m_hWnd) return;
  ::ShowWindow(m_hWnd, show ? (takeFocus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE) : SW_HIDE);
}

UINT CWindowWnd::ShowModal() {
  HWND hwnd = m_hWnd;
  if (!hwnd || !IsWindow(hwnd)) return 0;
  if (!IsWindowVisible(hwnd)) ::ShowWindow(hwnd, SW_SHOWNORMAL);
  MSG msg;
  while (IsWindow(hwnd)) {
    if (!GetMessageW(&msg, nullptr, 0, 0)) {
      // The thread is asked to end: leave, and let the outer loop see the request too.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return closed_ ? closeResult_.load() : 0;
}

void CWindowWnd::Close(UINT result) {
  if (!m_hWnd || !IsWindow(m_hWnd)) return;
  bool expected = false;
  if (closed_.compare_exchange_strong(expected, true)) closeResult_ = result;
  // Posted, not sent: a WM_CLOSE handler that calls Close again must not recurse.
  PostMessageW(m_hWnd, WM_CLOSE, result, 0);
}

LRESULT CWindowWnd::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return SendMessageW(m_hWnd, msg, wParam, lParam);
}

LRESULT CWindowWnd::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return PostMessageW(m_hWnd, msg, wParam, lParam);
}

LRESULT CWindowWnd::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return CallWindowProcW(m_OldWndProc, m_hWnd, msg, wParam, lParam);
}

LRESULT CWindowWnd::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CWindowWnd* self = nullptr;
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
    self = static_cast<CWindowWnd*>(cs->lpCreateParams);
    if (self) {
      self->m_hWnd = hwnd;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
  } else {
    self = reinterpret_cast<CWindowWnd*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
  if (msg == WM_NCDESTROY) {
    LRESULT result = CallWindowProcW(self->m_OldWndProc, hwnd, msg, wParam, lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->m_hWnd = nullptr;
    self->OnFinalMessage(hwnd);
    return result;
  }
  return self->HandleMessage(msg, wParam, lParam);
}

}  // namespace UiLib
