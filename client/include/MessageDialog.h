#pragma once
// CMessageDialog: the update prompt. Shows the product, its old and new version, the update time and up
// to five release-note lines at the bottom-right of the work area, and returns 1 when the user accepts.
//
// Modes: 0 forced (no close button, never closes itself), 1 optional (closes itself after 15 s).
// Results: 1 OK, 2 close/cancel or closed by itself, 0 when no window could be shown.
// Built, shown and destroyed on one thread; prompts on different threads are independent.
#include <vector>

#include "ShadowWnd.h"
#include "UIlib.h"

class CMessageDialog : public UiLib::CWindowWnd, public UiLib::INotifyUI {
 public:
  CMessageDialog();
  ~CMessageDialog() override;

  void SetProductName(LPCTSTR text) { productName_ = text; }
  void SetOldVersion(LPCTSTR text) { oldVersion_ = text; }
  void SetNewVersion(LPCTSTR text) { newVersion_ = text; }
  void SetUpdateTime(LPCTSTR text) { updateTime_ = text; }
  void AddContentLine(LPCTSTR text) { lines_.emplace_back(text); }

  unsigned ShowDialog(int mode, LPCTSTR title);

  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
  void Notify(UiLib::TNotifyUI& msg) override;

  // Tests only: how long an optional prompt stays before it closes itself.
  void SetAutoCloseDelayForTest(DWORD ms) { autoCloseMs_ = ms; }

 protected:
  LPCTSTR GetWindowClassName() const override;
  UINT GetClassStyle() const override;
  void OnFinalMessage(HWND hwnd) override;

 private:
  LRESULT OnCreate();
  LRESULT OnNcHitTest(LPARAM lParam);
  void OnTimer();
  void FillTexts(LPCTSTR title);
  void PlaceBottomRight();
  void SetControlText(LPCTSTR name, LPCTSTR text);

  UiLib::CPaintManagerUI paintManager_;
  UiLib::CDuiString skinPath_;
  CShadowWnd shadow_;
  UiLib::CControlUI* okButton_ = nullptr;
  UiLib::CControlUI* closeButton_ = nullptr;
  DWORD shownAt_ = 0;
  UiLib::CDuiString productName_;
  UiLib::CDuiString oldVersion_;
  UiLib::CDuiString newVersion_;
  UiLib::CDuiString updateTime_;
  std::vector<UiLib::CDuiString> lines_;
  int mode_ = 0;
  DWORD autoCloseMs_ = 15000;
  bool closingByTimer_ = false;
};
