#include "ShadowWnd.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

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

// A span [left, right) of x positions; empty when left >= right.
struct Span {
  int left;
  int right;
  bool Empty() const { return left >= right; }
};

uint32_t Premultiplied(COLORREF color, unsigned alpha) {
  uint32_t r = GetRValue(color) * alpha / 255;
  uint32_t g = GetGValue(color) * alpha / 255;
  uint32_t b = GetBValue(color) * alpha / 255;
  return (static_cast<uint32_t>(alpha) << 24) | (r << 16) | (g << 8) | b;
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
  UpdateLayeredWindowFn update = LayeredFunction();
  RECT rc{};
  if (!update || IsNone() || !GetWindowRect(parent, &rc)) return;
  int s = size_;
  int width = rc.right - rc.left + 2 * s;
  int height = rc.bottom - rc.top + 2 * s;
  // A negative size larger than the parent leaves nothing to draw (and no buffer to draw into).
  if (width <= 0 || height <= 0) return;

  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = width;
  bmi.bmiHeader.biHeight = height;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  bmi.bmiHeader.biSizeImage = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap || !bits) return;
  std::memset(bits, 0, bmi.bmiHeader.biSizeImage);
  MakeShadow(static_cast<uint32_t*>(bits), parent, &rc);

  HDC memory = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(memory, bitmap);
  POINT dst{rc.left + xOffset_ - s, rc.top + yOffset_ - s};
  SIZE size{width, height};
  POINT src{0, 0};
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  MoveWindow(hwnd_, dst.x, dst.y, width, height, FALSE);
  update(hwnd_, nullptr, &dst, &size, memory, &src, 0, &blend, ULW_ALPHA);
  SelectObject(memory, old);
  DeleteDC(memory);
  DeleteObject(bitmap);
}

void CShadowWnd::MakeShadow(uint32_t* bits, HWND parent, const RECT* parentRect) {
  const int W = parentRect->right - parentRect->left;
  const int H = parentRect->bottom - parentRect->top;
  const int s = size_;
  const int p = sharpness_;
  const int d = darkness_;
  const int k = std::max(s, p);
  const int BW = W + 2 * s;
  const int BH = H + 2 * s;
  if (W <= 0 || H <= 0 || BW <= 0 || BH <= 0) return;
  const Span emptySpan{W, 0};

  // 1. Outline of the parent, one inside/outside test per pixel from each row's ends.
  HRGN region = CreateRectRgn(0, 0, 0, 0);
  GetWindowRgn(parent, region);
  std::vector<Span> outline(static_cast<size_t>(H), emptySpan);
  for (int y = 0; y < H; ++y) {
    int left = 0;
    while (left < W && !PtInRegion(region, left, y)) ++left;
    if (left >= W) continue;
    int right = W - 1;
    while (right >= left + s && !PtInRegion(region, right, y)) --right;
    if (right < left + s) continue;
    outline[static_cast<size_t>(y)] = Span{left, right + 1};
  }
  DeleteObject(region);

  // 2. Span table in image columns; index i is image row i + first.
  const int first = s >= 0 ? 0 : s;
  const int rows = s >= 0 ? BH : H;
  std::vector<Span> table(static_cast<size_t>(rows), emptySpan);
  for (int i = 0; i < rows; ++i) {
    int y = i + first - s;
    if (y < 0 || y >= H || outline[static_cast<size_t>(y)].Empty()) continue;
    const Span& o = outline[static_cast<size_t>(y)];
    table[static_cast<size_t>(i)] = Span{o.left + s, o.right + s};
  }
  auto spanAt = [&](int imageRow) {
    int i = imageRow - first;
    return i < 0 || i >= rows ? emptySpan : table[static_cast<size_t>(i)];
  };

  // 3. Erosion, so the fading band of the kernel ends where the outline is.
  for (int pass = 0; pass < p - s; ++pass) {
    std::vector<Span> next(table.size());
    for (int i = 0; i < rows; ++i) {
      Span above = i > 0 ? table[static_cast<size_t>(i - 1)] : emptySpan;
      Span below = i + 1 < rows ? table[static_cast<size_t>(i + 1)] : emptySpan;
      const Span& own = table[static_cast<size_t>(i)];
      next[static_cast<size_t>(i)] = Span{std::max({above.left, own.left, below.left}) + 1,
                                          std::min({above.right, own.right, below.right}) - 1};
    }
    table.swap(next);
  }

  // 4. Kernel.
  const int side = 2 * k + 1;
  const int inner = std::max(0, s - p);
  std::vector<uint32_t> kernel(static_cast<size_t>(side) * side, 0);
  for (int dy = -k; dy <= k; ++dy) {
    for (int dx = -k; dx <= k; ++dx) {
      double dist = std::sqrt(static_cast<double>(dx * dx + dy * dy));
      int alpha = 0;
      if (dist < inner) {
        alpha = d;
      } else if (dist <= k) {
        alpha = static_cast<int>((1.0 - (dist - inner) / (p + 1)) * d);
      }
      if (alpha > 0) kernel[static_cast<size_t>((dy + k) * side + dx + k)] = Premultiplied(color_, static_cast<unsigned>(alpha));
    }
  }

  auto pixel = [&](int x, int b) -> uint32_t& {
    return bits[static_cast<size_t>(BH - 1 - b) * static_cast<size_t>(BW) + static_cast<size_t>(x)];
  };
  auto stamp = [&](int cx, int cy) {
    for (int dy = -k; dy <= k; ++dy) {
      int b = cy + dy;
      if (b < 0 || b >= BH) continue;
      for (int dx = -k; dx <= k; ++dx) {
        int x = cx + dx;
        if (x < 0 || x >= BW) continue;
        uint32_t v = kernel[static_cast<size_t>((dy + k) * side + dx + k)];
        uint32_t& target = pixel(x, b);
        if (v > target) target = v;
      }
    }
  };

  // 5. Stamp the kernel along the edges only.
  for (int b = k; b < BH - k; ++b) {
    Span prev = spanAt(b - 1), cur = spanAt(b), next = spanAt(b + 1);
    if (cur.Empty()) continue;
    int x = cur.left;
    for (; x < std::min(cur.right, std::max(prev.left, next.left) + 1); ++x) stamp(x, b);
    for (x = std::max(x, std::min(prev.right, next.right) - 1); x < cur.right; ++x) stamp(x, b);
  }

  // 6. Fill the interior with the solid value, leaving clear what the parent itself covers.
  const uint32_t solid = Premultiplied(color_, static_cast<unsigned>(d));
  auto fill = [&](int b, int from, int to, uint32_t value) {
    for (int x = std::max(0, from); x < std::min(to, BW); ++x) pixel(x, b) = value;
  };
  const int begin = std::min(k, std::max(0, s - yOffset_));
  const int end = std::max(BH - k, std::min(H + s - yOffset_, BH));
  for (int b = std::max(0, begin); b < std::min(end, BH); ++b) {
    Span span = spanAt(b);
    if (span.Empty()) continue;
    int py = b + yOffset_ - s;
    if (py < 0 || py >= H || outline[static_cast<size_t>(py)].Empty()) {
      fill(b, span.left, span.right, solid);
      continue;
    }
    const Span& o = outline[static_cast<size_t>(py)];
    int leftEdge = o.left + s - xOffset_;
    int rightEdge = o.right + s - xOffset_;
    fill(b, span.left, std::min(span.right, leftEdge), solid);
    fill(b, std::max(0, leftEdge), std::min(rightEdge, BW), 0);
    fill(b, std::max(span.left, rightEdge), span.right, solid);
  }
}
