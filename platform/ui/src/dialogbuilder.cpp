// Builds control trees from skin XML.
#include "UIlib/dialogbuilder.h"

#include <cstdio>

#include "UIlib/paintmanager.h"
#include "attributes.h"

namespace UiLib {

namespace {

// Deeper nesting than any real skin; stops a hostile file from exhausting the stack.
const int kMaxDepth = 64;

std::unique_ptr<CControlUI> MakeControl(const CDuiString& tag) {
  if (tag == L"Control") return std::make_unique<CControlUI>();
  if (tag == L"Container") return std::make_unique<CContainerUI>();
  if (tag == L"VerticalLayout") return std::make_unique<CVerticalLayoutUI>();
  if (tag == L"HorizontalLayout") return std::make_unique<CHorizontalLayoutUI>();
  if (tag == L"Label") return std::make_unique<CLabelUI>();
  if (tag == L"Text") return std::make_unique<CTextUI>();
  if (tag == L"Button") return std::make_unique<CButtonUI>();
  if (tag == L"Option") return std::make_unique<COptionUI>();
  return nullptr;
}

CDuiString SkinPath(LPCTSTR xml) {
  std::wstring path = xml;
  for (wchar_t& c : path)
    if (c == L'\\') c = L'/';
  if (!path.empty() && path[0] == L'/') return CDuiString(path);
  return CPaintManagerUI::GetResourcePath() + path.c_str();
}

}  // namespace

CControlUI* CDialogBuilder::Create(LPCTSTR xml, LPCTSTR, IDialogBuilderCallback* callback,
                                   CPaintManagerUI* manager, CControlUI* parent) {
  callback_ = callback;
  error_.Empty();
  depth_ = 0;
  if (!xml || !*xml) {
    error_ = L"no skin given";
    return nullptr;
  }
  bool loaded = xml[0] == L'<' ? xml_.Load(xml) : xml_.LoadFromFile(SkinPath(xml));
  if (!loaded) {
    error_ = xml_.GetLastErrorMessage();
    std::fprintf(stderr, "qelui: skin not loaded: %s\n", error_.ToUtf8().c_str());
    return nullptr;
  }
  CMarkupNode root = xml_.GetRoot();
  CMarkupNode first = root;
  if (root.GetName() == L"Window") {
    ReadWindow(root, manager);
    first = root.GetChild();
    while (first.IsValid() && first.GetName() == L"Font") first = first.GetSibling();
  }
  for (; first.IsValid(); first = first.GetSibling()) {
    std::unique_ptr<CControlUI> control = Build(first, manager, parent);
    if (control) return control.release();
  }
  error_ = L"skin has no control";
  return nullptr;
}

void CDialogBuilder::ReadWindow(const CMarkupNode& window, CPaintManagerUI* manager) {
  if (!manager) return;
  for (CMarkupNode font = window.GetChild(); font.IsValid(); font = font.GetSibling()) {
    if (font.GetName() != L"Font") continue;
    TFontInfo info;
    info.name = font.GetAttributeValue(L"name");
    info.size = detail::ParseInt(font.GetAttributeValue(L"size").Str(), 12);
    info.bold = detail::ParseBool(font.GetAttributeValue(L"bold").Str());
    manager->AddFont(info);
  }
  for (const auto& attr : window.GetAttributes()) {
    if (attr.first == L"size") {
      SIZE size = detail::ParseSize(attr.second.Str());
      manager->SetInitSize(size.cx, size.cy);
    } else if (attr.first == L"caption") {
      manager->SetCaptionRect(detail::ParseRect(attr.second.Str()));
    } else if (attr.first == L"roundcorner") {
      SIZE corner = detail::ParseSize(attr.second.Str());
      manager->SetRoundCorner(corner.cx, corner.cy);
    }
  }
}

std::unique_ptr<CControlUI> CDialogBuilder::Build(const CMarkupNode& node, CPaintManagerUI* manager,
                                                  CControlUI* parent) {
  CDuiString tag = node.GetName();
  std::unique_ptr<CControlUI> control = MakeControl(tag);
  if (!control && callback_) control.reset(callback_->CreateControl(tag));
  if (!control) {
    std::fprintf(stderr, "qelui: skin element <%s> skipped\n", tag.ToUtf8().c_str());
    return nullptr;
  }
  control->SetManager(manager, parent);
  for (const auto& attr : node.GetAttributes()) control->SetAttribute(attr.first, attr.second);
  auto* container = dynamic_cast<CContainerUI*>(control.get());
  if (!container) return control;
  if (++depth_ > kMaxDepth) {
    std::fprintf(stderr, "qelui: skin nested too deeply; inner elements skipped\n");
    --depth_;
    return control;
  }
  for (CMarkupNode child = node.GetChild(); child.IsValid(); child = child.GetSibling()) {
    std::unique_ptr<CControlUI> item = Build(child, manager, container);
    if (item) container->Add(std::move(item));
  }
  --depth_;
  return control;
}

}  // namespace UiLib
