#pragma once
// Text conversions. The system code page (the "ANSI" page of the narrow Windows calls) is UTF-8 here, so
// CP_ACP, CP_THREAD_ACP, CP_OEMCP and CP_UTF8 all mean UTF-8. Wide text is the native wchar_t (UTF-32).
// As on Windows, conversions substitute rather than fail: an invalid byte becomes U+FFFD, a wide value that
// is not a Unicode scalar becomes the default character ('?').
#include <string>

#include "qelplat/wintypes.h"

enum : UINT {
  CP_ACP = 0,
  CP_OEMCP = 1,
  CP_THREAD_ACP = 3,
  CP_UTF8 = 65001,
};

// srcLen -1: the text up to and including its NUL. dstLen 0: returns the size needed, writes nothing.
// Returns 0 with ERROR_INSUFFICIENT_BUFFER (122) when dst is too small, ERROR_INVALID_PARAMETER for bad
// arguments.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst, int dstLen);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                        LPCSTR defaultChar, BOOL* usedDefault);

namespace qelplat {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
// Valid UTF-8 stays as it is; every invalid byte becomes U+FFFD.
std::string SanitizeUtf8(const std::string& text);

// File names on Linux are bytes and need not be valid UTF-8. These two carry a path through wide text without
// loss: valid UTF-8 decodes as usual, and each byte that is not part of valid UTF-8 becomes one of the lone
// surrogates U+DC80..U+DCFF, which no decoded text holds; the way back writes those as the bytes they stand
// for. Every byte string comes back whole; the other lone surrogates and non-scalars become '?' (and
// complete, when given, is set false).
std::wstring PathToWide(const std::string& path);
std::string WideToPath(const std::wstring& path, bool* complete = nullptr);

// Boost.Filesystem converts wide paths with the global locale, which throws when LANG names a locale that
// is not installed. Fix its conversion to UTF-8 once per process; safe to call more than once.
void UseUtf8PathConversion();

}  // namespace qelplat
