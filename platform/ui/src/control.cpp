// Controls: attributes, layout, hit testing and drawing.
#include "UIlib/control.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>

#include "UIlib/paintmanager.h"
#include "attributes.h"

namespace UiLib {

using detail::ParseBool;
using detail::ParseColor;
using detail::ParseInt;
using detail::ParseRect;

namespace {

void SetSource(cairo_t* cr, DWORD argb) {
  cairo_set_source_rgba(cr, ((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0, (argb & 0xFF) / 255.0,
                        ((argb >> 24) & 0xFF) / 255.0);
}

bool Contains(const RECT& rc, POINT pt) {
  return pt.x >= rc.left && pt.x < rc.right && pt.y >= rc.top && pt.y < rc.bottom;
}

LONG Width(const RECT& rc) { return rc.right - rc.left; }
LONG Height(const RECT& rc) { return rc.bottom - rc.top; }

}  // namespace

CControlUI::CControlUI() = default;
CControlUI::~CControlUI() = default;

LPCTSTR CControlUI::GetClass() const { return L"ControlUI"; }
CDuiString CControlUI::GetName() const { return name_; }
void CControlUI::SetName(LPCTSTR name) { name_ = name; }
CDuiString CControlUI::GetText() const { return text_; }

void CControlUI::SetText(LPCTSTR text) {
  text_ = text;
  Invalidate();
}

bool CControlUI::IsVisible() const { return visible_; }

void CControlUI::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  if (manager_) manager_->NeedUpdate();
}

void CControlUI::SetAttribute(LPCTSTR nameText, LPCTSTR valueText) {
  std::wstring name = nameText ? nameText : L"";
  std::wstring value = valueText ? valueText : L"";
  if (name == L"name") {
    name_ = value;
  } else if (name == L"text") {
    text_ = value;
  } else if (name == L"visible") {
    visible_ = ParseBool(value);
  } else if (name == L"width") {
    fixedWidth_ = std::max(0, ParseInt(value));
  } else if (name == L"height") {
    fixedHeight_ = std::max(0, ParseInt(value));
  } else if (name == L"float") {
    float_ = ParseBool(value);
  } else if (name == L"pos") {
    floatPos_ = ParseRect(value);
    fixedWidth_ = std::max<LONG>(0, floatPos_.right - floatPos_.left);
    fixedHeight_ = std::max<LONG>(0, floatPos_.bottom - floatPos_.top);
  } else if (name == L"padding") {
    padding_ = ParseRect(value);
  } else if (name == L"textpadding") {
    textPadding_ = ParseRect(value);
  } else if (name == L"bkcolor") {
    bkColor_ = ParseColor(value);
  } else if (name == L"hotbkcolor") {
    hotBkColor_ = ParseColor(value);
  } else if (name == L"pushedbkcolor") {
    pushedBkColor_ = ParseColor(value);
  } else if (name == L"bordercolor") {
    borderColor_ = ParseColor(value);
  } else if (name == L"bordersize") {
    borderSize_ = std::max(0, ParseInt(value));
  } else if (name == L"textcolor") {
    textColor_ = ParseColor(value);
  } else if (name == L"hottextcolor") {
    hotTextColor_ = ParseColor(value);
  } else if (name == L"font") {
    font_ = ParseInt(value, -1);
  } else if (name == L"align") {
    align_ = value == L"center" ? 1 : value == L"right" ? 2 : 0;
  } else if (name == L"wordwrap" || name == L"multiline") {
    wrap_ = ParseBool(value);
  }
}

void CControlUI::SetPos(RECT rc) {
  rcItem_ = rc;
  Invalidate();
}

void CControlUI::SetManager(CPaintManagerUI* manager, CControlUI* parent) {
  manager_ = manager;
  parent_ = parent;
}

void CControlUI::Invalidate() {
  if (manager_) manager_->Invalidate();
}

void CControlUI::SetHot(bool hot) {
  if (hot_ == hot) return;
  hot_ = hot;
  Invalidate();
}

void CControlUI::SetPushed(bool pushed) {
  if (pushed_ == pushed) return;
  pushed_ = pushed;
  Invalidate();
}

CControlUI* CControlUI::FindControlByName(LPCTSTR name) { return name && name_ == name ? this : nullptr; }

CControlUI* CControlUI::FindControlAt(POINT pt) {
  return visible_ && Contains(rcItem_, pt) ? this : nullptr;
}

DWORD CControlUI::CurrentBkColor() const {
  if (pushed_ && hot_ && pushedBkColor_) return pushedBkColor_;
  if ((hot_ || pushed_) && hotBkColor_) return hotBkColor_;
  return bkColor_;
}

DWORD CControlUI::CurrentTextColor() const { return (hot_ && hotTextColor_) ? hotTextColor_ : textColor_; }

void CControlUI::DoPaint(cairo_t* cr) {
  if (!visible_ || Width(rcItem_) <= 0 || Height(rcItem_) <= 0) return;
  cairo_save(cr);
  cairo_rectangle(cr, rcItem_.left, rcItem_.top, Width(rcItem_), Height(rcItem_));
  cairo_clip(cr);
  PaintBackground(cr);
  PaintText(cr);
  cairo_restore(cr);
}

void CControlUI::PaintBackground(cairo_t* cr) {
  DWORD bk = CurrentBkColor();
  if (bk >> 24) {
    SetSource(cr, bk);
    cairo_rectangle(cr, rcItem_.left, rcItem_.top, Width(rcItem_), Height(rcItem_));
    cairo_fill(cr);
  }
  if (borderSize_ > 0 && (borderColor_ >> 24)) {
    SetSource(cr, borderColor_);
    cairo_set_line_width(cr, borderSize_);
    double half = borderSize_ / 2.0;
    cairo_rectangle(cr, rcItem_.left + half, rcItem_.top + half, Width(rcItem_) - borderSize_,
                    Height(rcItem_) - borderSize_);
    cairo_stroke(cr);
  }
}

void CControlUI::PaintText(cairo_t* cr) {
  if (text_.IsEmpty()) return;
  RECT box{rcItem_.left + textPadding_.left, rcItem_.top + textPadding_.top, rcItem_.right - textPadding_.right,
           rcItem_.bottom - textPadding_.bottom};
  if (Width(box) <= 0 || Height(box) <= 0) return;
  PangoLayout* layout = pango_cairo_create_layout(cr);
  const TFontInfo* font = manager_ ? manager_->GetFont(font_) : nullptr;
  PangoFontDescription* desc = pango_font_description_new();
  pango_font_description_set_family(desc, font && !font->name.IsEmpty() ? font->name.ToUtf8().c_str()
                                                                         : "WenQuanYi Micro Hei,sans-serif");
  pango_font_description_set_absolute_size(desc, (font ? font->size : 12) * PANGO_SCALE);
  if (font && font->bold) pango_font_description_set_weight(desc, PANGO_WEIGHT_BOLD);
  pango_layout_set_font_description(layout, desc);
  pango_font_description_free(desc);
  std::string utf8 = text_.ToUtf8();
  pango_layout_set_text(layout, utf8.c_str(), static_cast<int>(utf8.size()));
  pango_layout_set_width(layout, Width(box) * PANGO_SCALE);
  if (wrap_) {
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    pango_layout_set_height(layout, Height(box) * PANGO_SCALE);
  } else {
    pango_layout_set_single_paragraph_mode(layout, TRUE);
  }
  pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
  pango_layout_set_alignment(layout, align_ == 1 ? PANGO_ALIGN_CENTER : align_ == 2 ? PANGO_ALIGN_RIGHT
                                                                                    : PANGO_ALIGN_LEFT);
  int textWidth = 0;
  int textHeight = 0;
  pango_layout_get_pixel_size(layout, &textWidth, &textHeight);
  double y = wrap_ ? box.top : box.top + (Height(box) - textHeight) / 2.0;
  SetSource(cr, CurrentTextColor());
  cairo_move_to(cr, box.left, y);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
}

// Containers

LPCTSTR CContainerUI::GetClass() const { return L"ContainerUI"; }

void CContainerUI::SetAttribute(LPCTSTR name, LPCTSTR value) {
  std::wstring n = name ? name : L"";
  if (n == L"inset") {
    inset_ = ParseRect(value ? value : L"");
  } else if (n == L"childpadding") {
    childPadding_ = std::max(0, ParseInt(value ? value : L""));
  } else {
    CControlUI::SetAttribute(name, value);
  }
}

bool CContainerUI::Add(std::unique_ptr<CControlUI> control) {
  if (!control) return false;
  control->SetManager(manager_, this);
  items_.push_back(std::move(control));
  if (manager_) manager_->NeedUpdate();
  return true;
}

CControlUI* CContainerUI::GetItemAt(int index) const {
  return index >= 0 && index < GetCount() ? items_[static_cast<size_t>(index)].get() : nullptr;
}

RECT CContainerUI::Inner() const {
  return RECT{rcItem_.left + inset_.left, rcItem_.top + inset_.top, rcItem_.right - inset_.right,
              rcItem_.bottom - inset_.bottom};
}

void CContainerUI::PlaceFloat(CControlUI* child) const {
  const RECT& p = child->GetFloatPos();
  child->SetPos(RECT{rcItem_.left + p.left, rcItem_.top + p.top, rcItem_.left + p.right, rcItem_.top + p.bottom});
}

void CContainerUI::SetPos(RECT rc) {
  CControlUI::SetPos(rc);
  RECT inner = Inner();
  for (auto& item : items_) {
    if (!item->IsVisible()) continue;
    if (item->IsFloat()) {
      PlaceFloat(item.get());
      continue;
    }
    const RECT& pad = item->GetPadding();
    item->SetPos(RECT{inner.left + pad.left, inner.top + pad.top, inner.right - pad.right, inner.bottom - pad.bottom});
  }
}

CControlUI* CContainerUI::FindControlByName(LPCTSTR name) {
  if (CControlUI* self = CControlUI::FindControlByName(name)) return self;
  for (auto& item : items_)
    if (CControlUI* found = item->FindControlByName(name)) return found;
  return nullptr;
}

CControlUI* CContainerUI::FindControlAt(POINT pt) {
  if (!CControlUI::FindControlAt(pt)) return nullptr;
  for (auto it = items_.rbegin(); it != items_.rend(); ++it)
    if (CControlUI* found = (*it)->FindControlAt(pt)) return found;
  return this;
}

void CContainerUI::DoPaint(cairo_t* cr) {
  if (!visible_) return;
  CControlUI::DoPaint(cr);
  cairo_save(cr);
  cairo_rectangle(cr, rcItem_.left, rcItem_.top, Width(rcItem_), Height(rcItem_));
  cairo_clip(cr);
  for (auto& item : items_) item->DoPaint(cr);
  cairo_restore(cr);
}

// Lays the children out one after another along one axis: fixed sizes first, what is left shared by the
// children without one. Across the axis a child fills the container unless it has a fixed size.
void CContainerUI::LayoutLinear(bool vertical) {
  RECT inner = Inner();
  auto along = [vertical](const CControlUI& c) { return vertical ? c.GetFixedHeight() : c.GetFixedWidth(); };
  auto across = [vertical](const CControlUI& c) { return vertical ? c.GetFixedWidth() : c.GetFixedHeight(); };
  auto lead = [vertical](const RECT& r) { return vertical ? r.top : r.left; };
  auto trail = [vertical](const RECT& r) { return vertical ? r.bottom : r.right; };
  LONG fixed = 0;
  int flexible = 0;
  int placed = 0;
  for (auto& item : items_) {
    if (!item->IsVisible() || item->IsFloat()) continue;
    const RECT& pad = item->GetPadding();
    fixed += lead(pad) + trail(pad) + (placed++ ? childPadding_ : 0);
    if (along(*item) > 0) {
      fixed += along(*item);
    } else {
      ++flexible;
    }
  }
  LONG space = vertical ? Height(inner) : Width(inner);
  LONG share = flexible ? std::max<LONG>(0, (space - fixed) / flexible) : 0;
  LONG cursor = lead(inner);
  placed = 0;
  for (auto& item : items_) {
    if (!item->IsVisible()) continue;
    if (item->IsFloat()) {
      PlaceFloat(item.get());
      continue;
    }
    const RECT& pad = item->GetPadding();
    if (placed++) cursor += childPadding_;
    LONG length = along(*item) > 0 ? along(*item) : share;
    LONG start = cursor + lead(pad);
    LONG crossStart = vertical ? inner.left + pad.left : inner.top + pad.top;
    LONG crossEnd = across(*item) > 0 ? crossStart + across(*item)
                                      : (vertical ? inner.right - pad.right : inner.bottom - pad.bottom);
    item->SetPos(vertical ? RECT{crossStart, start, crossEnd, start + length}
                          : RECT{start, crossStart, start + length, crossEnd});
    cursor = start + length + trail(pad);
  }
}

LPCTSTR CVerticalLayoutUI::GetClass() const { return L"VerticalLayoutUI"; }

void CVerticalLayoutUI::SetPos(RECT rc) {
  CControlUI::SetPos(rc);
  LayoutLinear(true);
}

LPCTSTR CHorizontalLayoutUI::GetClass() const { return L"HorizontalLayoutUI"; }

void CHorizontalLayoutUI::SetPos(RECT rc) {
  CControlUI::SetPos(rc);
  LayoutLinear(false);
}

LPCTSTR CLabelUI::GetClass() const { return L"LabelUI"; }

CTextUI::CTextUI() { wrap_ = true; }
LPCTSTR CTextUI::GetClass() const { return L"TextUI"; }

CButtonUI::CButtonUI() { align_ = 1; }
LPCTSTR CButtonUI::GetClass() const { return L"ButtonUI"; }

LPCTSTR COptionUI::GetClass() const { return L"OptionUI"; }

}  // namespace UiLib
