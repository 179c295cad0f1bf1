#pragma once
// CPaintManagerUI: draws a window's controls and turns its mouse messages into control states and
// notifications. One per window, used on that window's thread.
#include <memory>
#include <vector>

#include "UIlib/control.h"
#include "UIlib/notify.h"

namespace UiLib {

struct TFontInfo {
  CDuiString name;
  int size = 12;  // pixels
  bool bold = false;
};

class CPaintManagerUI {
 public:
  CPaintManagerUI();
  ~CPaintManagerUI();
  CPaintManagerUI(const CPaintManagerUI&) = delete;
  CPaintManagerUI& operator=(const CPaintManagerUI&) = delete;

  void Init(HWND hwnd);
  HWND GetPaintWindow() const { return hwnd_; }

  // The module whose resources the skins belong to, and the folder skin paths are relative to (the
  // program's folder unless set).
  static HINSTANCE GetInstance();
  static void SetInstance(HINSTANCE instance);
  static CDuiString GetResourcePath();
  static void SetResourcePath(LPCTSTR path);

  // Takes ownership of the root.
  bool AttachDialog(CControlUI* root);
  CControlUI* GetRoot() const { return root_.get(); }
  bool AddNotifier(INotifyUI* notifier);
  bool RemoveNotifier(INotifyUI* notifier);
  void SendNotify(CControlUI* control, LPCTSTR type, WPARAM wParam = 0, LPARAM lParam = 0);

  // Null when no control has the name (or no skin is attached).
  CControlUI* FindControl(LPCTSTR name) const;
  // The innermost visible control under a client point, or null.
  CControlUI* FindControl(POINT pt) const;

  // The caption band as insets: left, top, right and bottom (the band's height from the top).
  const RECT& GetCaptionRect() const { return caption_; }
  void SetCaptionRect(const RECT& rc) { caption_ = rc; }
  SIZE GetInitSize() const { return initSize_; }
  void SetInitSize(int cx, int cy);
  void SetRoundCorner(int cx, int cy);
  void AddFont(const TFontInfo& font);
  const TFontInfo* GetFont(int index) const;
  void Invalidate();
  void NeedUpdate();

  bool MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);

 private:
  void Layout();
  void Paint();
  void OnMouseMove(POINT pt);
  void OnButtonDown(POINT pt);
  void OnButtonUp(POINT pt);
  void ApplyRoundCorner();

  HWND hwnd_ = nullptr;
  std::unique_ptr<CControlUI> root_;
  std::vector<INotifyUI*> notifiers_;
  std::vector<TFontInfo> fonts_;
  RECT caption_{};
  SIZE initSize_{};
  SIZE roundCorner_{};
  CControlUI* hot_ = nullptr;
  CControlUI* pushed_ = nullptr;
  bool needLayout_ = true;
};

}  // namespace UiLib
