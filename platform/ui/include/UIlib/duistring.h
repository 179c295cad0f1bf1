#pragma once
// CDuiString: the skin library's wide string.
#include <string>

#include "qelui/uitypes.h"

namespace UiLib {

class CDuiString {
 public:
  CDuiString() = default;
  CDuiString(LPCTSTR text);  // NOLINT: converts like the library's string
  CDuiString(LPCTSTR text, int length);
  CDuiString(const std::wstring& text);  // NOLINT
  CDuiString(const CDuiString& other) = default;
  CDuiString& operator=(const CDuiString& other) = default;
  CDuiString& operator=(LPCTSTR text);
  ~CDuiString() = default;

  int GetLength() const { return static_cast<int>(text_.size()); }
  bool IsEmpty() const { return text_.empty(); }
  void Empty() { text_.clear(); }
  LPCTSTR GetData() const { return text_.c_str(); }
  operator LPCTSTR() const { return text_.c_str(); }  // NOLINT: the library converts implicitly
  const std::wstring& Str() const { return text_; }
  std::string ToUtf8() const;

  CDuiString& operator+=(LPCTSTR text);
  CDuiString operator+(LPCTSTR text) const;
  bool operator==(LPCTSTR text) const;
  bool operator!=(LPCTSTR text) const { return !(*this == text); }
  int Compare(LPCTSTR text) const;
  int CompareNoCase(LPCTSTR text) const;

  // printf-style formatting with the wide-text rules of the Windows runtime: "%s" and "%c" take wide
  // arguments. Returns the new length.
  int Format(LPCTSTR format, ...);

 private:
  std::wstring text_;
};

}  // namespace UiLib
