#pragma once
// CControlUI and the few control kinds the skins use: containers (plain, vertical, horizontal), labels,
// text, buttons and options. Controls are owned by their container; the root by the paint manager.
#include <memory>
#include <vector>

#include "UIlib/duistring.h"

struct _cairo;

namespace UiLib {

class CPaintManagerUI;

class CControlUI {
 public:
  CControlUI();
  virtual ~CControlUI();
  CControlUI(const CControlUI&) = delete;
  CControlUI& operator=(const CControlUI&) = delete;

  virtual LPCTSTR GetClass() const;
  virtual CDuiString GetName() const;
  virtual void SetName(LPCTSTR name);
  virtual CDuiString GetText() const;
  virtual void SetText(LPCTSTR text);
  virtual bool IsVisible() const;
  virtual void SetVisible(bool visible = true);
  virtual void SetAttribute(LPCTSTR name, LPCTSTR value);

  // Whether a press and release on the control makes a "click" notification.
  virtual bool IsClickable() const { return false; }

  const RECT& GetPos() const { return rcItem_; }
  virtual void SetPos(RECT rc);
  int GetFixedWidth() const { return fixedWidth_; }
  int GetFixedHeight() const { return fixedHeight_; }
  bool IsFloat() const { return float_; }
  const RECT& GetFloatPos() const { return floatPos_; }
  const RECT& GetPadding() const { return padding_; }

  void SetManager(CPaintManagerUI* manager, CControlUI* parent);
  CPaintManagerUI* GetManager() const { return manager_; }
  CControlUI* GetParent() const { return parent_; }
  void Invalidate();

  // Hot and pushed states, kept by the paint manager's mouse handling.
  void SetHot(bool hot);
  void SetPushed(bool pushed);

  virtual CControlUI* FindControlByName(LPCTSTR name);
  virtual CControlUI* FindControlAt(POINT pt);
  virtual void DoPaint(_cairo* cr);

 protected:
  virtual void PaintBackground(_cairo* cr);
  virtual void PaintText(_cairo* cr);
  DWORD CurrentBkColor() const;
  DWORD CurrentTextColor() const;

  CPaintManagerUI* manager_ = nullptr;
  CControlUI* parent_ = nullptr;
  CDuiString name_;
  CDuiString text_;
  bool visible_ = true;
  bool hot_ = false;
  bool pushed_ = false;
  RECT rcItem_{};
  RECT padding_{};
  RECT textPadding_{};
  RECT floatPos_{};
  bool float_ = false;
  int fixedWidth_ = 0;
  int fixedHeight_ = 0;
  DWORD bkColor_ = 0;
  DWORD hotBkColor_ = 0;
  DWORD pushedBkColor_ = 0;
  DWORD borderColor_ = 0;
  int borderSize_ = 0;
  DWORD textColor_ = 0xFF000000;
  DWORD hotTextColor_ = 0;
  int font_ = -1;
  int align_ = 0;  // 0 left, 1 centre, 2 right
  bool wrap_ = false;
};

class CContainerUI : public CControlUI {
 public:
  LPCTSTR GetClass() const override;
  void SetAttribute(LPCTSTR name, LPCTSTR value) override;
  bool Add(std::unique_ptr<CControlUI> control);
  int GetCount() const { return static_cast<int>(items_.size()); }
  CControlUI* GetItemAt(int index) const;
  void SetPos(RECT rc) override;
  CControlUI* FindControlByName(LPCTSTR name) override;
  CControlUI* FindControlAt(POINT pt) override;
  void DoPaint(_cairo* cr) override;

 protected:
  RECT Inner() const;
  void LayoutLinear(bool vertical);
  void PlaceFloat(CControlUI* child) const;

  std::vector<std::unique_ptr<CControlUI>> items_;
  RECT inset_{};
  int childPadding_ = 0;
};

class CVerticalLayoutUI : public CContainerUI {
 public:
  LPCTSTR GetClass() const override;
  void SetPos(RECT rc) override;
};

class CHorizontalLayoutUI : public CContainerUI {
 public:
  LPCTSTR GetClass() const override;
  void SetPos(RECT rc) override;
};

class CLabelUI : public CControlUI {
 public:
  LPCTSTR GetClass() const override;
};

class CTextUI : public CLabelUI {
 public:
  CTextUI();
  LPCTSTR GetClass() const override;
};

class CButtonUI : public CLabelUI {
 public:
  CButtonUI();
  LPCTSTR GetClass() const override;
  bool IsClickable() const override { return true; }
};

class COptionUI : public CButtonUI {
 public:
  LPCTSTR GetClass() const override;
};

}  // namespace UiLib
