#pragma once
// Internal: parsing of skin attribute values.
#include <string>

#include "qelui/uitypes.h"

namespace UiLib {
namespace detail {

// "#AARRGGBB", "#RRGGBB" or "0xAARRGGBB" as ARGB; 0 (transparent) when unreadable.
DWORD ParseColor(const std::wstring& value);
// "l,t,r,b"; missing numbers are 0.
RECT ParseRect(const std::wstring& value);
// "cx,cy".
SIZE ParseSize(const std::wstring& value);
int ParseInt(const std::wstring& value, int fallback = 0);
bool ParseBool(const std::wstring& value);

}  // namespace detail
}  // namespace UiLib
