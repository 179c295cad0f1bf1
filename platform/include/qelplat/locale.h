#pragma once
// The runtime library's locale by its Windows name. "chs" (Chinese, simplified) becomes zh_CN.UTF-8 when
// that locale is installed, else C.UTF-8: the system code page is UTF-8 either way.
namespace qelplat {
// setlocale(category, name) with the Windows names mapped; returns the locale set, or null.
const char* SetRuntimeLocale(int category, const char* windowsName);
}  // namespace qelplat
