#pragma once
// Notifications from controls to the window that hosts them.
#include "UIlib/duistring.h"

namespace UiLib {

class CControlUI;

struct TNotifyUI {
  CDuiString sType;  // "click" for a button press
  CControlUI* pSender = nullptr;
  DWORD dwTimestamp = 0;
  POINT ptMouse{};
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

class INotifyUI {
 public:
  virtual void Notify(TNotifyUI& msg) = 0;

 protected:
  ~INotifyUI() = default;
};

}  // namespace UiLib
