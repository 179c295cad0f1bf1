#include "qelplat/codepage.h"

#include <boost/filesystem/path.hpp>
#include <codecvt>
#include <cstring>
#include <locale>
#include <mutex>

#include "qelplat/lasterror.h"

namespace {

const DWORD kErrorInsufficientBuffer = 122;
const char32_t kReplacement = 0xFFFD;
const char32_t kEscapedByte = 0xDC00;  // + the byte (0x80..0xFF) a path held outside valid UTF-8

bool KnownCodePage(UINT cp) {
  return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP || cp == CP_UTF8;
}

// Decodes one UTF-8 sequence at s[i..n). Returns the scalar and advances i; an invalid or cut sequence
// yields U+FFFD (escaping: U+DC00 + the byte) and advances by one byte, so every bad byte is replaced once.
char32_t DecodeOne(const unsigned char* s, size_t n, size_t& i, bool escape = false) {
  unsigned char b = s[i];
  if (b < 0x80) {
    ++i;
    return b;
  }
  const char32_t bad = escape ? kEscapedByte + b : kReplacement;
  int len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b & 0xE0) == 0xC0) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    ++i;
    return bad;
  }
  if (i + len > n) {
    ++i;
    return bad;
  }
  for (int k = 1; k < len; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) {
      ++i;
      return bad;
    }
    cp = (cp << 6) | (s[i + k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return bad;
  }
  i += len;
  return cp;
}

bool IsScalar(char32_t cp) { return cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF); }

void EncodeOne(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::wstring DecodeAll(const char* src, size_t n, bool escape = false) {
  std::wstring out;
  out.reserve(n);
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  for (size_t i = 0; i < n;) out += static_cast<wchar_t>(DecodeOne(s, n, i, escape));
  return out;
}

bool IsEscapedByte(char32_t cp) { return cp >= kEscapedByte + 0x80 && cp <= kEscapedByte + 0xFF; }

std::string EncodeAll(const wchar_t* src, size_t n, char defaultChar, bool* usedDefault, bool escape = false) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = static_cast<char32_t>(src[i]);
    if (escape && IsEscapedByte(cp)) {
      out += static_cast<char>(cp - kEscapedByte);
    } else if (IsScalar(cp)) {
      EncodeOne(cp, out);
    } else {
      out += defaultChar;
      if (usedDefault) *usedDefault = true;
    }
  }
  return out;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR src, int srcLen, LPWSTR dst, int dstLen) {
  if (!KnownCodePage(codePage) || !src || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = srcLen == -1 ? strlen(src) + 1 : static_cast<size_t>(srcLen);
  std::wstring wide = DecodeAll(src, n);
  if (dstLen == 0) return static_cast<int>(wide.size());
  if (wide.size() > static_cast<size_t>(dstLen)) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  wmemcpy(dst, wide.data(), wide.size());
  return static_cast<int>(wide.size());
}

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR src, int srcLen, LPSTR dst, int dstLen, LPCSTR defaultChar,
                        BOOL* usedDefault) {
  if (!KnownCodePage(codePage) || !src || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = srcLen == -1 ? wcslen(src) + 1 : static_cast<size_t>(srcLen);
  bool used = false;
  std::string narrow = EncodeAll(src, n, defaultChar && *defaultChar ? *defaultChar : '?', &used);
  if (usedDefault) *usedDefault = used ? TRUE : FALSE;
  if (dstLen == 0) return static_cast<int>(narrow.size());
  if (narrow.size() > static_cast<size_t>(dstLen)) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  memcpy(dst, narrow.data(), narrow.size());
  return static_cast<int>(narrow.size());
}

namespace qelplat {

std::wstring Utf8ToWide(const std::string& text) { return DecodeAll(text.data(), text.size()); }

std::string WideToUtf8(const std::wstring& text) { return EncodeAll(text.data(), text.size(), '?', nullptr); }

std::wstring PathToWide(const std::string& path) { return DecodeAll(path.data(), path.size(), true); }

std::string WideToPath(const std::wstring& path, bool* complete) {
  bool replaced = false;
  std::string out = EncodeAll(path.data(), path.size(), '?', &replaced, true);
  if (complete) *complete = !replaced;
  return out;
}

std::string SanitizeUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) EncodeOne(DecodeOne(s, text.size(), i), out);
  return out;
}

void UseUtf8PathConversion() {
  static std::once_flag once;
  std::call_once(once, [] {
    // codecvt_utf8 is deprecated in C++17 but is exactly the fixed conversion Boost's path wants.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    std::locale utf8(std::locale::classic(), new std::codecvt_utf8<wchar_t>);
#pragma GCC diagnostic pop
    boost::filesystem::path::imbue(utf8);
  });
}

}  // namespace qelplat
