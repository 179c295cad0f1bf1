// The registry of window classes and window handles, process-wide. Any thread may use it; one lock guards
// the maps and is never held while a window procedure runs.
#include "windowregistry.h"

#include <cwctype>
#include <map>
#include <mutex>
#include <unordered_map>

#include "qelplat/lasterror.h"
#include "qelui/user32.h"

namespace qelui {
namespace {

std::mutex g_mutex;  // guards the maps and counters below
std::unordered_map<uintptr_t, std::shared_ptr<WindowData>> g_windows;
std::map<std::wstring, ClassInfo> g_classes;  // key: lower-case name
uintptr_t g_nextId = 0x10000;
ATOM g_nextAtom = 0xC000;

std::wstring Lower(const std::wstring& s) {
  std::wstring out(s);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(c));
  return out;
}

}  // namespace

bool FindClass(LPCWSTR name, ClassInfo* info) {
  if (!name) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_classes.find(Lower(name));
  if (it == g_classes.end()) return false;
  *info = it->second;
  return true;
}

HWND RegisterWindow(const std::shared_ptr<WindowData>& w) {
  std::lock_guard<std::mutex> lock(g_mutex);
  w->id = g_nextId++;
  g_windows.emplace(w->id, w);
  return ToHandle(w->id);
}

void UnregisterWindow(const WindowData& w) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_windows.erase(w.id);
}

std::shared_ptr<WindowData> FindWindowData(HWND hwnd) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == g_windows.end() ? nullptr : it->second;
}

HWND ToHandle(uintptr_t id) { return reinterpret_cast<HWND>(id); }

bool StillThere(const WindowData& w) { return FindWindowData(ToHandle(w.id)) != nullptr; }

}  // namespace qelui

ATOM RegisterClassExW(const WNDCLASSEXW* wc) {
  if (!wc || !wc->lpszClassName || wc->cbSize != sizeof(WNDCLASSEXW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> lock(qelui::g_mutex);
  std::wstring key = qelui::Lower(wc->lpszClassName);
  if (qelui::g_classes.count(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  qelui::ClassInfo info{*wc, wc->lpszClassName};
  info.wc.lpszClassName = nullptr;  // the stored name lives in info.name
  qelui::g_classes.emplace(key, info);
  return qelui::g_nextAtom++;
}

BOOL IsWindow(HWND hwnd) { return qelui::FindWindowData(hwnd) ? TRUE : FALSE; }
