#pragma once
// Internal: the process-wide registry of window classes and window handles. Any thread; one lock guards
// both maps, and never a window procedure.
#include <memory>
#include <string>

#include "xwindow.h"

namespace qelui {

struct ClassInfo {
  WNDCLASSEXW wc;  // lpszClassName cleared: the name lives in `name`
  std::wstring name;
};

// Copies out the class registered under a name (case-insensitive); false when there is none.
bool FindClass(LPCWSTR name, ClassInfo* info);
// Gives the record a fresh handle (never reused) and makes it findable.
HWND RegisterWindow(const std::shared_ptr<WindowData>& w);
void UnregisterWindow(const WindowData& w);

}  // namespace qelui
