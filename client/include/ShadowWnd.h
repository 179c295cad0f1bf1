#pragma once
// CShadowWnd: a soft drop shadow behind a top-level window.
//
// The shadow is a second, layered, click-through window owned by the parent and filled with a per-pixel
// alpha image computed from the parent's window region. It follows the parent (move, size, show, hide)
// because the parent's window procedure is subclassed. A parent without a window region casts no visible
// shadow. Each shadow is used on the thread that owns its parent; the parent map is shared and locked.
#include <cstdint>

#include "UIlib.h"

class CShadowWnd {
 public:
  CShadowWnd();
  virtual ~CShadowWnd();
  CShadowWnd(const CShadowWnd&) = delete;
  CShadowWnd& operator=(const CShadowWnd&) = delete;

  // Looks up the layered-window function and registers the window class; false when it was done before
  // or when layered windows are not available (shadows then stay off).
  static bool Initialize(HINSTANCE instance);
  void Create(HWND parent);

  // Each change re-renders the shadow when it is shown.
  bool SetSize(int size);
  bool SetSharpness(unsigned sharpness);
  bool SetDarkness(unsigned darkness);
  bool SetPosition(int x, int y);
  bool SetColor(COLORREF color);

  HWND GetShadowWindow() const { return IsNone() ? nullptr : hwnd_; }

 protected:
  static LRESULT ParentProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void Update(HWND parent);
  // Renders the shadow of a parent of the given rectangle into a zero-filled bottom-up 32-bit image of
  // (W + 2 size) x (H + 2 size) pixels, through the steps of ShadowImage.h.
  void MakeShadow(uint32_t* bits, HWND parent, const RECT* parentRect);

 private:
  enum : uint8_t { kEnabled = 1, kShown = 2, kParentVisible = 4 };

  bool IsNone() const;
  void Rerender();
  void OnParentMessage(HWND parent, UINT msg, WPARAM wParam, LPARAM lParam);
  void OnParentSize(HWND parent, WPARAM wParam, LPARAM lParam);
  void OnParentShow(WPARAM wParam);
  // Moves the shadow window to `at` and gives it the image, premultiplied alpha over what lies below.
  void Upload(UpdateLayeredWindowFn upload, HBITMAP image, POINT at, SIZE size);

  HWND hwnd_;
  WNDPROC previousProc_ = nullptr;
  HWND parent_ = nullptr;
  uint8_t status_ = 0;
  uint8_t darkness_ = 150;
  uint8_t sharpness_ = 5;
  int8_t size_ = 0;
  int8_t xOffset_ = 5;
  int8_t yOffset_ = 5;
  uint32_t lastSize_ = 0;
  bool updatePending_ = false;
  COLORREF color_ = 0;
};
