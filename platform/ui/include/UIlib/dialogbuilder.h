#pragma once
// CDialogBuilder: builds a control tree from a skin XML file (or XML text starting with '<').
//
// Skin format: a <Window> root with attributes size="w,h", caption="l,t,r,b", roundcorner="w,h"; <Font>
// children with id, name, size and bold; then one control element (Control, Container, VerticalLayout,
// HorizontalLayout, Label, Text, Button, Option) holding the rest. Unknown elements are offered to the
// callback, then skipped.
#include "UIlib/control.h"
#include "UIlib/markup.h"

namespace UiLib {

class CPaintManagerUI;

class IDialogBuilderCallback {
 public:
  virtual CControlUI* CreateControl(LPCTSTR className) = 0;

 protected:
  ~IDialogBuilderCallback() = default;
};

class CDialogBuilder {
 public:
  CDialogBuilder() = default;
  // The root, owned by the caller (AttachDialog hands it to the paint manager), or null when the skin is
  // missing or malformed.
  CControlUI* Create(LPCTSTR xml, LPCTSTR type = nullptr, IDialogBuilderCallback* callback = nullptr,
                     CPaintManagerUI* manager = nullptr, CControlUI* parent = nullptr);
  CDuiString GetLastErrorMessage() const { return error_; }

 private:
  std::unique_ptr<CControlUI> Build(const CMarkupNode& node, CPaintManagerUI* manager, CControlUI* parent);
  void ReadWindow(const CMarkupNode& window, CPaintManagerUI* manager);

  CMarkup xml_;
  IDialogBuilderCallback* callback_ = nullptr;
  CDuiString error_;
  int depth_ = 0;
};

}  // namespace UiLib
