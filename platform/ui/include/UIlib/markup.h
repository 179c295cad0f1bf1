#pragma once
// CMarkup: the skin XML document. Nodes are read-only views valid while the document lives.
#include <memory>
#include <string>
#include <vector>

#include "UIlib/duistring.h"

namespace UiLib {

class CMarkup;

class CMarkupNode {
 public:
  CMarkupNode() = default;
  bool IsValid() const { return node_ != nullptr; }
  CMarkupNode GetSibling() const;
  CMarkupNode GetChild() const;
  CDuiString GetName() const;
  bool HasAttribute(LPCTSTR name) const;
  CDuiString GetAttributeValue(LPCTSTR name) const;
  // Every attribute in document order, as (name, value).
  std::vector<std::pair<CDuiString, CDuiString>> GetAttributes() const;

 private:
  friend class CMarkup;
  explicit CMarkupNode(const void* node) : node_(node) {}
  const void* node_ = nullptr;  // a pugi node, kept opaque so the parser stays out of this header
};

class CMarkup {
 public:
  CMarkup();
  ~CMarkup();
  CMarkup(const CMarkup&) = delete;
  CMarkup& operator=(const CMarkup&) = delete;

  bool Load(LPCTSTR xml);
  bool LoadFromFile(LPCTSTR path);
  bool IsValid() const;
  void Release();
  CMarkupNode GetRoot() const;
  CDuiString GetLastErrorMessage() const { return error_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  CDuiString error_;
};

}  // namespace UiLib
