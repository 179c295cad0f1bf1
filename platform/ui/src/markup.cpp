#include "UIlib/markup.h"

#include <pugixml.hpp>

#include "qelplat/codepage.h"

namespace UiLib {

namespace {

pugi::xml_node Node(const void* p) {
  return pugi::xml_node(static_cast<pugi::xml_node_struct*>(const_cast<void*>(p)));
}

const void* Raw(const pugi::xml_node& node) { return node ? node.internal_object() : nullptr; }

CDuiString Wide(const char* utf8) { return CDuiString(qelplat::Utf8ToWide(utf8 ? utf8 : "")); }

}  // namespace

struct CMarkup::Impl {
  pugi::xml_document doc;
  bool valid = false;
};

CMarkupNode CMarkupNode::GetSibling() const {
  if (!node_) return {};
  pugi::xml_node n = Node(node_).next_sibling();
  while (n && n.type() != pugi::node_element) n = n.next_sibling();
  return CMarkupNode(Raw(n));
}

CMarkupNode CMarkupNode::GetChild() const {
  if (!node_) return {};
  pugi::xml_node n = Node(node_).first_child();
  while (n && n.type() != pugi::node_element) n = n.next_sibling();
  return CMarkupNode(Raw(n));
}

CDuiString CMarkupNode::GetName() const { return node_ ? Wide(Node(node_).name()) : CDuiString(); }

bool CMarkupNode::HasAttribute(LPCTSTR name) const {
  return node_ && name && Node(node_).attribute(qelplat::WideToUtf8(name).c_str());
}

CDuiString CMarkupNode::GetAttributeValue(LPCTSTR name) const {
  if (!node_ || !name) return {};
  return Wide(Node(node_).attribute(qelplat::WideToUtf8(name).c_str()).value());
}

std::vector<std::pair<CDuiString, CDuiString>> CMarkupNode::GetAttributes() const {
  std::vector<std::pair<CDuiString, CDuiString>> out;
  if (!node_) return out;
  for (pugi::xml_attribute a : Node(node_).attributes()) out.emplace_back(Wide(a.name()), Wide(a.value()));
  return out;
}

CMarkup::CMarkup() : impl_(std::make_unique<Impl>()) {}
CMarkup::~CMarkup() = default;

bool CMarkup::Load(LPCTSTR xml) {
  Release();
  std::string text = qelplat::WideToUtf8(xml ? xml : L"");
  pugi::xml_parse_result r = impl_->doc.load_buffer(text.data(), text.size(), pugi::parse_default,
                                                    pugi::encoding_utf8);
  impl_->valid = static_cast<bool>(r) && impl_->doc.document_element();
  if (!impl_->valid) error_ = Wide(r ? "no root element" : r.description());
  return impl_->valid;
}

bool CMarkup::LoadFromFile(LPCTSTR path) {
  Release();
  std::string file = qelplat::WideToUtf8(path ? path : L"");
  pugi::xml_parse_result r = impl_->doc.load_file(file.c_str(), pugi::parse_default, pugi::encoding_auto);
  impl_->valid = static_cast<bool>(r) && impl_->doc.document_element();
  if (!impl_->valid) error_ = Wide((file + ": " + (r ? "no root element" : r.description())).c_str());
  return impl_->valid;
}

bool CMarkup::IsValid() const { return impl_->valid; }

void CMarkup::Release() {
  impl_->doc.reset();
  impl_->valid = false;
  error_.Empty();
}

CMarkupNode CMarkup::GetRoot() const {
  return impl_->valid ? CMarkupNode(Raw(impl_->doc.document_element())) : CMarkupNode();
}

}  // namespace UiLib
