#include "attributes.h"

#include <cwchar>
#include <vector>

namespace UiLib {
namespace detail {

namespace {

// No skin needs coordinates beyond this; clamping keeps all layout arithmetic far from overflow.
const long kLimit = 100000;

long Clamp(long v) { return v < -kLimit ? -kLimit : v > kLimit ? kLimit : v; }

std::vector<long> Numbers(const std::wstring& value, size_t count) {
  std::vector<long> out(count, 0);
  const wchar_t* p = value.c_str();
  for (size_t i = 0; i < count && *p; ++i) {
    wchar_t* end = nullptr;
    long v = std::wcstol(p, &end, 10);
    if (end == p) break;
    out[i] = Clamp(v);
    p = end;
    while (*p == L',' || *p == L' ') ++p;
  }
  return out;
}

}  // namespace

DWORD ParseColor(const std::wstring& value) {
  std::wstring digits = value;
  if (!digits.empty() && digits[0] == L'#') {
    digits.erase(0, 1);
  } else if (digits.size() > 2 && digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X')) {
    digits.erase(0, 2);
  }
  if (digits.size() != 6 && digits.size() != 8) return 0;
  wchar_t* end = nullptr;
  unsigned long v = std::wcstoul(digits.c_str(), &end, 16);
  if (!end || *end) return 0;
  return digits.size() == 6 ? static_cast<DWORD>(0xFF000000u | v) : static_cast<DWORD>(v);
}

RECT ParseRect(const std::wstring& value) {
  std::vector<long> n = Numbers(value, 4);
  return RECT{static_cast<LONG>(n[0]), static_cast<LONG>(n[1]), static_cast<LONG>(n[2]), static_cast<LONG>(n[3])};
}

SIZE ParseSize(const std::wstring& value) {
  std::vector<long> n = Numbers(value, 2);
  return SIZE{static_cast<LONG>(n[0]), static_cast<LONG>(n[1])};
}

int ParseInt(const std::wstring& value, int fallback) {
  wchar_t* end = nullptr;
  long v = std::wcstol(value.c_str(), &end, 10);
  return end == value.c_str() ? fallback : static_cast<int>(Clamp(v));
}

bool ParseBool(const std::wstring& value) { return value == L"true" || value == L"1"; }

}  // namespace detail
}  // namespace UiLib
