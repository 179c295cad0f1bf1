#include "UIlib/duistring.h"

#include <cstdarg>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "qelplat/codepage.h"

namespace UiLib {

namespace {

// The Windows runtime reads "%s" and "%c" in a wide format as wide arguments; glibc wants "%ls" and "%lc".
std::wstring ToGlibcFormat(LPCTSTR format) {
  std::wstring out;
  for (const wchar_t* p = format; *p; ++p) {
    out += *p;
    if (*p != L'%') continue;
    ++p;
    if (*p == L'%') {
      out += *p;
      continue;
    }
    while (*p && std::wcschr(L"-+ #0123456789.*", *p)) out += *p++;
    bool sized = false;
    while (*p && std::wcschr(L"hlLqjzt", *p)) {
      sized = true;
      out += *p++;
    }
    if (!*p) break;
    if (!sized && (*p == L's' || *p == L'c')) out += L'l';
    out += *p;
  }
  return out;
}

}  // namespace

CDuiString::CDuiString(LPCTSTR text) : text_(text ? text : L"") {}
CDuiString::CDuiString(LPCTSTR text, int length) {
  if (!text) return;
  text_ = length < 0 ? std::wstring(text) : std::wstring(text, wcsnlen(text, static_cast<size_t>(length)));
}
CDuiString::CDuiString(const std::wstring& text) : text_(text) {}

CDuiString& CDuiString::operator=(LPCTSTR text) {
  text_ = text ? text : L"";
  return *this;
}

std::string CDuiString::ToUtf8() const { return qelplat::WideToUtf8(text_); }

CDuiString& CDuiString::operator+=(LPCTSTR text) {
  if (text) text_ += text;
  return *this;
}

CDuiString CDuiString::operator+(LPCTSTR text) const {
  CDuiString out(*this);
  out += text;
  return out;
}

bool CDuiString::operator==(LPCTSTR text) const { return text_ == (text ? text : L""); }

int CDuiString::Compare(LPCTSTR text) const { return text_.compare(text ? text : L""); }

int CDuiString::CompareNoCase(LPCTSTR text) const {
  std::wstring a = text_, b = text ? text : L"";
  for (wchar_t& c : a) c = static_cast<wchar_t>(std::towlower(c));
  for (wchar_t& c : b) c = static_cast<wchar_t>(std::towlower(c));
  return a.compare(b);
}

int CDuiString::Format(LPCTSTR format, ...) {
  if (!format) {
    text_.clear();
    return 0;
  }
  std::wstring fmt = ToGlibcFormat(format);
  // vswprintf reports only "too small" as -1, the same as an encoding error; grow to a sane cap and give
  // up with an empty text rather than loop for ever.
  for (size_t size = 256; size <= (1u << 20); size *= 4) {
    std::vector<wchar_t> buf(size);
    va_list args;
    va_start(args, format);
    int n = std::vswprintf(buf.data(), buf.size(), fmt.c_str(), args);
    va_end(args);
    if (n >= 0) {
      text_.assign(buf.data(), static_cast<size_t>(n));
      return n;
    }
  }
  text_.clear();
  return 0;
}

}  // namespace UiLib
