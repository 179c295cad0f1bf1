// The paint manager: layout, drawing and mouse handling of one window's controls.
#include "UIlib/paintmanager.h"

#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "qelplat/codepage.h"
#include "qelui/gdi.h"
#include "qelui/user32.h"

namespace UiLib {

namespace {

std::mutex g_staticMutex;
HINSTANCE g_instance = nullptr;
bool g_instanceSet = false;
std::wstring g_resourcePath;

std::wstring ProgramFolder() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return L"";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return qelplat::Utf8ToWide(slash == std::string::npos ? std::string() : path.substr(0, slash + 1));
}

POINT PointOf(LPARAM lp) { return POINT{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)}; }

}  // namespace

CPaintManagerUI::CPaintManagerUI() = default;
CPaintManagerUI::~CPaintManagerUI() = default;

void CPaintManagerUI::Init(HWND hwnd) {
  hwnd_ = hwnd;
  needLayout_ = true;
}

HINSTANCE CPaintManagerUI::GetInstance() {
  std::lock_guard<std::mutex> lock(g_staticMutex);
  if (!g_instanceSet) {
    g_instance = GetModuleHandleA(nullptr);
    g_instanceSet = true;
  }
  return g_instance;
}

void CPaintManagerUI::SetInstance(HINSTANCE instance) {
  std::lock_guard<std::mutex> lock(g_staticMutex);
  g_instance = instance;
  g_instanceSet = true;
}

CDuiString CPaintManagerUI::GetResourcePath() {
  std::lock_guard<std::mutex> lock(g_staticMutex);
  if (g_resourcePath.empty()) g_resourcePath = ProgramFolder();
  return CDuiString(g_resourcePath);
}

void CPaintManagerUI::SetResourcePath(LPCTSTR path) {
  std::lock_guard<std::mutex> lock(g_staticMutex);
  g_resourcePath = path ? path : L"";
  if (!g_resourcePath.empty() && g_resourcePath.back() != L'/') g_resourcePath += L'/';
}

bool CPaintManagerUI::AttachDialog(CControlUI* root) {
  if (!root) return false;
  hot_ = pushed_ = nullptr;
  root_.reset(root);
  NeedUpdate();
  return true;
}

bool CPaintManagerUI::AddNotifier(INotifyUI* notifier) {
  if (!notifier || std::find(notifiers_.begin(), notifiers_.end(), notifier) != notifiers_.end()) return false;
  notifiers_.push_back(notifier);
  return true;
}

bool CPaintManagerUI::RemoveNotifier(INotifyUI* notifier) {
  auto it = std::find(notifiers_.begin(), notifiers_.end(), notifier);
  if (it == notifiers_.end()) return false;
  notifiers_.erase(it);
  return true;
}

void CPaintManagerUI::SendNotify(CControlUI* control, LPCTSTR type, WPARAM wParam, LPARAM lParam) {
  TNotifyUI msg;
  msg.sType = type;
  msg.pSender = control;
  msg.dwTimestamp = 0;
  msg.wParam = wParam;
  msg.lParam = lParam;
  // A notifier may close the window; work on a copy so removal during the loop is harmless.
  std::vector<INotifyUI*> notifiers = notifiers_;
  for (INotifyUI* n : notifiers) n->Notify(msg);
}

CControlUI* CPaintManagerUI::FindControl(LPCTSTR name) const {
  return root_ && name ? root_->FindControlByName(name) : nullptr;
}

CControlUI* CPaintManagerUI::FindControl(POINT pt) const {
  if (!root_) return nullptr;
  if (needLayout_) const_cast<CPaintManagerUI*>(this)->Layout();
  return root_->FindControlAt(pt);
}

void CPaintManagerUI::SetInitSize(int cx, int cy) {
  initSize_ = SIZE{cx, cy};
  if (hwnd_ && cx > 0 && cy > 0) SetWindowPos(hwnd_, nullptr, 0, 0, cx, cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CPaintManagerUI::SetRoundCorner(int cx, int cy) {
  roundCorner_ = SIZE{std::max(0, cx), std::max(0, cy)};
  ApplyRoundCorner();
}

void CPaintManagerUI::ApplyRoundCorner() {
  RECT rc;
  if (!hwnd_ || !GetClientRect(hwnd_, &rc) || rc.right <= 0 || rc.bottom <= 0) return;
  if (roundCorner_.cx <= 0 && roundCorner_.cy <= 0) return;
  HRGN rgn = CreateRoundRectRgn(rc.left, rc.top, rc.right + 1, rc.bottom + 1, roundCorner_.cx, roundCorner_.cy);
  SetWindowRgn(hwnd_, rgn, TRUE);
}

void CPaintManagerUI::AddFont(const TFontInfo& font) { fonts_.push_back(font); }

const TFontInfo* CPaintManagerUI::GetFont(int index) const {
  if (index >= 0 && index < static_cast<int>(fonts_.size())) return &fonts_[static_cast<size_t>(index)];
  return fonts_.empty() ? nullptr : &fonts_.front();
}

void CPaintManagerUI::Invalidate() {
  if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
}

void CPaintManagerUI::NeedUpdate() {
  needLayout_ = true;
  Invalidate();
}

void CPaintManagerUI::Layout() {
  needLayout_ = false;
  RECT rc;
  if (!root_ || !hwnd_ || !GetClientRect(hwnd_, &rc)) return;
  root_->SetPos(rc);
}

void CPaintManagerUI::Paint() {
  RECT rc{};
  if (!root_ || !GetClientRect(hwnd_, &rc)) return;
  if (needLayout_) Layout();
  int width = std::max<LONG>(1, rc.right);
  int height = std::max<LONG>(1, rc.bottom);
  // Drawn off screen into plain memory and shown at once: no flicker, and no per-display state in the
  // drawing library that would outlive the thread's display connection.
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(image);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  root_->DoPaint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(image);
  qelui::PutClientPixels(hwnd_, reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(image)), width,
                         height, cairo_image_surface_get_stride(image));
  cairo_surface_destroy(image);
}

void CPaintManagerUI::OnMouseMove(POINT pt) {
  CControlUI* hit = FindControl(pt);
  if (hit == hot_) return;
  if (hot_) hot_->SetHot(false);
  hot_ = hit;
  if (hot_) hot_->SetHot(true);
}

void CPaintManagerUI::OnButtonDown(POINT pt) {
  OnMouseMove(pt);
  CControlUI* hit = FindControl(pt);
  pushed_ = hit && hit->IsClickable() ? hit : nullptr;
  if (pushed_) pushed_->SetPushed(true);
}

void CPaintManagerUI::OnButtonUp(POINT pt) {
  CControlUI* pushed = pushed_;
  pushed_ = nullptr;
  if (!pushed) return;
  pushed->SetPushed(false);
  // A press counts only when released over the same control, as with any button.
  if (FindControl(pt) == pushed) SendNotify(pushed, L"click");
}

bool CPaintManagerUI::MessageHandler(UINT msg, WPARAM, LPARAM lParam, LRESULT& result) {
  result = 0;
  switch (msg) {
    case WM_PAINT:
      Paint();
      return true;
    case WM_SIZE:
      needLayout_ = true;
      ApplyRoundCorner();
      Invalidate();
      return false;
    case WM_MOUSEMOVE:
      OnMouseMove(PointOf(lParam));
      return true;
    case WM_MOUSELEAVE:
      if (hot_) hot_->SetHot(false);
      hot_ = nullptr;
      return true;
    case WM_LBUTTONDOWN:
      OnButtonDown(PointOf(lParam));
      return true;
    case WM_LBUTTONUP:
      OnButtonUp(PointOf(lParam));
      return true;
    case WM_DESTROY:
      hot_ = pushed_ = nullptr;
      return false;
    default:
      return false;
  }
}

}  // namespace UiLib
