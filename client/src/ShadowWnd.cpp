// CShadowWnd: the shadow window, how it follows its parent, and the upload of its picture; the picture
// itself is drawn step by step in ShadowImage.cpp. Used on the thread that owns the parent; the map is locked.
#include "ShadowWnd.h"

#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "ShadowImage.h"

namespace {

const HWND kNoWindow = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

std::mutex g_shadowMutex;  // guards everything below
UpdateLayeredWindowFn g_updateLayeredWindow = nullptr;
HINSTANCE g_instance = nullptr;
std::unordered_map<HWND, CShadowWnd*> g_shadows;

UpdateLayeredWindowFn LayeredFunction() {
  std::lock_guard<std::mutex> lock(g_shadowMutex);
  return g_updateLayeredWindow;
}

// A zero-filled bottom-up 32-bit image, as the layered window takes it.
HBITMAP CreateZeroedImage(int width, int height, uint32_t** bits) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // positive: bottom-up
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  info.bmiHeader.biSizeImage = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4;
  void* memory = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &memory, nullptr, 0);
  if (memory) std::memset(memory, 0, info.bmiHeader.biSizeImage);
  *bits = static_cast<uint32_t*>(memory);
  return bitmap;
}

}  // namespace

CShadowWnd::CShadowWnd() : hwnd_(kNoWindow) {}

CShadowWnd::~CShadowWnd() {
  // Normally the parent is gone by now. If it is not, give it back its own procedure so no message ever
  // reaches a dead object.
  if (!parent_) return;
  bool ours = false;
  {
    std::lock_guard<std::mutex> lock(g_shadowMutex);
    auto it = g_shadows.find(parent_);
    if (it != g_shadows.end() && it->second == this) {
      g_shadows.erase(it);
      ours = true;
    }
  }
  if (!ours || !IsWindow(parent_)) return;
  if (GetWindowLongPtrW(parent_, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&CShadowWnd::ParentProc))
    SetWindowLongPtrW(parent_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousProc_));
  if (!IsNone() && IsWindow(hwnd_)) DestroyWindow(hwnd_);
}

bool CShadowWnd::Initialize(HINSTANCE instance) {
  std::lock_guard<std::mutex> lock(g_shadowMutex);
  if (g_updateLayeredWindow) return false;
  HMODULE user32 = GetModuleHandleW(L"USER32.DLL");
  FARPROC found = user32 ? GetProcAddress(user32, "UpdateLayeredWindow") : nullptr;
  if (!found) return false;
  g_updateLayeredWindow = reinterpret_cast<UpdateLayeredWindowFn>(found);
  g_instance = instance;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(6));
  wc.lpszClassName = L"DorskShadowWnd";
  RegisterClassExW(&wc);
  return true;
}

bool CShadowWnd::IsNone() const { return hwnd_ == kNoWindow || hwnd_ == nullptr; }

void CShadowWnd::Create(HWND parent) {
  if (!LayeredFunction() || !IsWindow(parent)) return;
  {
    std::lock_guard<std::mutex> lock(g_shadowMutex);
    g_shadows[parent] = this;
  }
  parent_ = parent;
  HINSTANCE instance;
  {
    std::lock_guard<std::mutex> lock(g_shadowMutex);
    instance = g_instance;
  }
  HWND shadow = CreateWindowExW(WS_EX_LAYERED | WS_EX_TRANSPARENT, L"DorskShadowWnd", nullptr, WS_POPUPWINDOW,
                                CW_USEDEFAULT, 0, 0, 0, parent, nullptr, instance, nullptr);
  if (!shadow) {
    // No shadow window: leave the parent alone rather than subclass it for nothing.
    std::lock_guard<std::mutex> lock(g_shadowMutex);
    g_shadows.erase(parent);
    parent_ = nullptr;
    return;
  }
  hwnd_ = shadow;
  DWORD style = static_cast<DWORD>(GetWindowLongW(parent, GWL_STYLE));
  if (!(style & WS_VISIBLE)) {
    status_ = kEnabled;
  } else if (style & (WS_MAXIMIZE | WS_MINIMIZE)) {
    status_ = kEnabled | kParentVisible;
  } else {
    status_ = kEnabled | kShown | kParentVisible;
    ShowWindow(hwnd_, SW_SHOWNA);
    Update(parent);
  }
  previousProc_ = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(parent, GWLP_WNDPROC));
  SetWindowLongPtrW(parent, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CShadowWnd::ParentProc));
}

void CShadowWnd::Rerender() {
  if ((status_ & kShown) && !IsNone()) Update(GetParent(hwnd_));
}

bool CShadowWnd::SetSize(int size) {
  if (size < INT8_MIN || size > INT8_MAX) return false;
  size_ = static_cast<int8_t>(size);
  Rerender();
  return true;
}

bool CShadowWnd::SetSharpness(unsigned sharpness) {
  if (sharpness > UINT8_MAX) return false;
  sharpness_ = static_cast<uint8_t>(sharpness);
  Rerender();
  return true;
}

bool CShadowWnd::SetDarkness(unsigned darkness) {
  if (darkness > 255) return false;
  darkness_ = static_cast<uint8_t>(darkness);
  Rerender();
  return true;
}

bool CShadowWnd::SetPosition(int x, int y) {
  if (x < INT8_MIN || x > INT8_MAX || y < INT8_MIN || y > INT8_MAX) return false;
  xOffset_ = static_cast<int8_t>(x);
  yOffset_ = static_cast<int8_t>(y);
  Rerender();
  return true;
}

bool CShadowWnd::SetColor(COLORREF color) {
  color_ = color;
  Rerender();
  return true;
}

LRESULT CShadowWnd::ParentProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CShadowWnd* self = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_shadowMutex);
    auto it = g_shadows.find(hwnd);
    if (it != g_shadows.end()) self = it->second;
  }
  if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
  // Read before the entry may go: the previous procedure still gets this last message.
  WNDPROC previous = self->previousProc_;
  self->OnParentMessage(hwnd, msg, wParam, lParam);
  if (msg == WM_NCDESTROY) {
    std::lock_guard<std::mutex> lock(g_shadowMutex);
    g_shadows.erase(hwnd);
    self->parent_ = nullptr;
  }
  // Never under the lock: the previous procedure may create or destroy other shadows.
  return CallWindowProcW(previous, hwnd, msg, wParam, lParam);
}

void CShadowWnd::OnParentMessage(HWND parent, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_DESTROY:
      if (!IsNone()) DestroyWindow(hwnd_);
      hwnd_ = kNoWindow;
      status_ = 0;
      break;
    case WM_MOVE:
      if (status_ & kShown) {
        RECT rc{};
        GetWindowRect(parent, &rc);
        SetWindowPos(hwnd_, nullptr, rc.left + xOffset_ - size_, rc.top + yOffset_ - size_, 0, 0,
                     SWP_NOSIZE | SWP_NOACTIVATE);
      }
      break;
    case WM_SIZE:
      OnParentSize(parent, wParam, lParam);
      break;
    case WM_PAINT:
      if (updatePending_) {
        Update(parent);
        updatePending_ = false;
      }
      break;
    case WM_SHOWWINDOW:
      OnParentShow(wParam);
      break;
    case WM_EXITSIZEMOVE:
      if (status_ & kShown) Update(parent);
      break;
    default:
      break;
  }
}

void CShadowWnd::OnParentSize(HWND parent, WPARAM wParam, LPARAM lParam) {
  if (!(status_ & kEnabled)) return;
  if (wParam == SIZE_MINIMIZED || wParam == SIZE_MAXIMIZED) {
    ShowWindow(hwnd_, SW_HIDE);
    status_ &= static_cast<uint8_t>(~kShown);
  } else if (status_ & kParentVisible) {
    // Growing waits for the parent's next paint (it is drawn at its new size by then); shrinking re-renders
    // at once so no shadow shows through where the parent was.
    if (LOWORD(static_cast<uintptr_t>(lParam)) > LOWORD(lastSize_) ||
        HIWORD(static_cast<uintptr_t>(lParam)) > HIWORD(lastSize_)) {
      updatePending_ = true;
    } else {
      Update(parent);
    }
    if (!(status_ & kShown)) {
      ShowWindow(hwnd_, SW_SHOWNA);
      status_ |= kShown;
    }
  }
  lastSize_ = static_cast<uint32_t>(lParam);
}

void CShadowWnd::OnParentShow(WPARAM wParam) {
  if (!(status_ & kEnabled)) return;
  if (!wParam) {
    ShowWindow(hwnd_, SW_HIDE);
    status_ &= static_cast<uint8_t>(~(kShown | kParentVisible));
  } else if (!(status_ & kParentVisible)) {
    updatePending_ = true;
    ShowWindow(hwnd_, SW_SHOWNA);
    status_ |= kShown | kParentVisible;
  }
}

void CShadowWnd::Update(HWND parent) {
  UpdateLayeredWindowFn upload = LayeredFunction();
  RECT parentRect{};
  if (!upload || IsNone() || !GetWindowRect(parent, &parentRect)) return;
  const int width = parentRect.right - parentRect.left + 2 * size_;
  const int height = parentRect.bottom - parentRect.top + 2 * size_;
  // A negative size larger than the parent leaves nothing to draw (and no buffer to draw into).
  if (width <= 0 || height <= 0) return;
  uint32_t* bits = nullptr;
  GdiObjectPtr bitmap(CreateZeroedImage(width, height, &bits));
  if (!bitmap || !bits) return;
  MakeShadow(bits, parent, &parentRect);
  Upload(upload, bitmap.get(), POINT{parentRect.left + xOffset_ - size_, parentRect.top + yOffset_ - size_},
         SIZE{width, height});
}

void CShadowWnd::Upload(UpdateLayeredWindowFn upload, HBITMAP image, POINT at, SIZE size) {
  HDC memory = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(memory, image);
  POINT source{0, 0};
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  MoveWindow(hwnd_, at.x, at.y, size.cx, size.cy, FALSE);
  upload(hwnd_, nullptr, &at, &size, memory, &source, 0, &blend, ULW_ALPHA);
  SelectObject(memory, old);
  DeleteDC(memory);
}

void CShadowWnd::MakeShadow(uint32_t* bits, HWND parent, const RECT* parentRect) {
  const TShadowGeometry geometry =
      TShadowGeometry::Of(*parentRect, size_, sharpness_, darkness_, xOffset_, yOffset_);
  if (!geometry.Drawable()) return;
  const std::vector<TShadowSpan> outline = FindParentOutline(parent, geometry);
  CShadowSpans spans(outline, geometry);
  // Narrowed so that the kernel's fading band ends where the outline is.
  spans.Erode(geometry.sharpness - geometry.size);
  CShadowImage image(bits, geometry);
  StampEdges(image, spans, CShadowKernel(geometry, color_));
  FillInterior(image, spans, outline, geometry, PremultipliedPixel(color_, static_cast<unsigned>(darkness_)));
}
