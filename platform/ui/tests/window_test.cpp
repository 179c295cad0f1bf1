// Windows and the message loop: posted messages, a post from another thread, timers, WM_QUIT, the order of creation
// messages, mouse input from a real X server (Xvfb + xdotool), the first-close-wins modal result, caption
// dragging, owned windows, and the GDI objects behind regions and layered windows.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "UIlib.h"
#include "qelplat/lasterror.h"
#include "test_support.h"
#include "xvfb.h"

namespace {

// Without a display the loop still serves posted messages and timers.
TEST(MessageLoop, PostedMessagesTimersAndQuitWithoutADisplay) {
  qeltest::EnvGuard display("DISPLAY", nullptr);
  static std::atomic<int> ticks{0};
  ticks = 0;
  UINT_PTR timer = SetTimer(nullptr, 0, 1, [](HWND, UINT, UINT_PTR, DWORD) { ++ticks; });
  ASSERT_NE(timer, 0u);

  MSG msg;
  std::vector<UINT> seen;
  bool quit = false;
  while (!quit) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (!got) {
      quit = true;
      EXPECT_EQ(msg.wParam, 7u);
      break;
    }
    DispatchMessageW(&msg);
    if (msg.message == WM_TIMER && ticks == 3) {
      KillTimer(nullptr, timer);
      // Without a window a post goes to the posting thread's own queue; the quit that follows ends it.
      PostMessageW(nullptr, WM_USER + 1, 42, 0);
    }
    if (msg.message == WM_USER + 1) {
      seen.push_back(msg.message);
      EXPECT_EQ(msg.wParam, 42u);
      PostQuitMessage(7);
    }
  }
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(seen.size(), 1u);
}

TEST(MessageLoop, ShowModalWithoutADisplayReturnsZeroAtOnce) {
  qeltest::EnvGuard display("DISPLAY", nullptr);
  class Probe : public UiLib::CWindowWnd {
   protected:
    LPCTSTR GetWindowClassName() const override { return L"QelProbeNoDisplay"; }
  } probe;
  EXPECT_EQ(probe.Create(nullptr, L"", WS_VISIBLE, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(probe.ShowModal(), 0u);
  EXPECT_FALSE(qelui::DisplayAvailable());
  RECT work{1, 1, 1, 1};
  EXPECT_FALSE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  EXPECT_EQ(GetModuleHandleW(L"USER32.DLL"), nullptr);
}

// A window that records what reaches it and can be told what to do on a message.
class Recorder : public UiLib::CWindowWnd {
 public:
  std::vector<UINT> messages;
  std::vector<POINT> clicks;
  bool closeAgainOnClose = false;
  bool captionEverywhere = false;

 protected:
  LPCTSTR GetWindowClassName() const override { return L"QelRecorder"; }
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg != WM_PAINT && msg != WM_NCHITTEST && msg != WM_MOUSEMOVE && msg != WM_MOUSELEAVE)
      messages.push_back(msg);
    if (msg == WM_LBUTTONDOWN) clicks.push_back(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
    if (msg == WM_NCHITTEST && captionEverywhere) return HTCAPTION;
    if (msg == WM_CLOSE && closeAgainOnClose) Close(99);
    return CWindowWnd::HandleMessage(msg, wParam, lParam);
  }
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfb_.ok()) GTEST_SKIP() << "Xvfb not available";
    display_ = std::make_unique<qeltest::EnvGuard>("DISPLAY", xvfb_.display().c_str());
  }
  qeltest::XvfbServer xvfb_;
  std::unique_ptr<qeltest::EnvGuard> display_;
};

TEST_F(WindowTest, CreationMessagesComeInWindowsOrder) {
  Recorder w;
  ASSERT_NE(w.Create(nullptr, L"rec", WS_VISIBLE | WS_POPUP, 0, 10, 20, 100, 50), nullptr);
  std::vector<UINT> expected{WM_NCCREATE, WM_CREATE, WM_SIZE, WM_MOVE, WM_SHOWWINDOW};
  EXPECT_EQ(w.messages, expected);
  RECT rc{};
  GetWindowRect(w, &rc);
  EXPECT_EQ(rc.left, 10);
  EXPECT_EQ(rc.bottom, 70);
  EXPECT_TRUE(IsWindowVisible(w));
  HWND h = w;
  DestroyWindow(h);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(w.GetHWND(), nullptr);
  EXPECT_EQ(w.messages.back(), static_cast<UINT>(WM_DESTROY));
  EXPECT_FALSE(PostMessageW(h, WM_USER, 0, 0)) << "a gone window takes no messages";
}

TEST_F(WindowTest, ClicksArriveInClientCoordinates) {
  Recorder w;
  ASSERT_NE(w.Create(nullptr, L"rec", WS_VISIBLE | WS_POPUP, 0, 200, 100, 120, 80), nullptr);
  auto clicker = std::async(std::launch::async, [&] {
    xvfb_.Click(230, 140);
    xvfb_.Click(300, 170);
    PostMessageW(w, WM_USER, 0, 0);
  });
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0)) {
    DispatchMessageW(&msg);
    if (msg.message == WM_USER) break;
  }
  clicker.get();
  ASSERT_EQ(w.clicks.size(), 2u);
  EXPECT_EQ(w.clicks[0].x, 30);
  EXPECT_EQ(w.clicks[0].y, 40);
  EXPECT_EQ(w.clicks[1].x, 100);
  EXPECT_EQ(w.clicks[1].y, 70);
}

TEST_F(WindowTest, APostFromAnotherThreadWakesALoopWithNothingElseToDo) {
  Recorder w;
  ASSERT_NE(w.Create(nullptr, L"rec", WS_POPUP, 0, 0, 0, 40, 40), nullptr);
  HWND target = w;
  std::atomic<bool> looping{false};
  std::thread poster([&] {
    qeltest::WaitUntil([&] { return looping.load(); });
    // Long enough for the loop to be asleep in GetMessageW: only the post can wake it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessageW(target, WM_USER + 2, 5, 0);
  });
  looping = true;
  MSG msg{};
  bool got = false;
  while (!got && GetMessageW(&msg, nullptr, 0, 0)) {
    DispatchMessageW(&msg);
    got = msg.message == WM_USER + 2;
  }
  poster.join();
  ASSERT_TRUE(got);
  EXPECT_EQ(msg.hwnd, target);
  EXPECT_EQ(msg.wParam, 5u);
  EXPECT_EQ(w.messages.back(), static_cast<UINT>(WM_USER + 2)) << "dispatched to the window it was posted to";
}

// A window's timer belongs to the window's thread whichever thread sets or kills it: its WM_TIMER reaches
// the window through the owner's loop, and a kill from elsewhere stops it there.
TEST_F(WindowTest, ATimerSetAndKilledFromAnotherThreadActsOnTheWindowsThread) {
  Recorder w;
  ASSERT_NE(w.Create(nullptr, L"rec", WS_POPUP, 0, 0, 0, 40, 40), nullptr);
  HWND target = w;
  const UINT_PTR kTimer = 5;
  UINT_PTR set = 0;
  std::thread([&] { set = SetTimer(target, kTimer, 20, nullptr); }).join();
  EXPECT_NE(set, 0u);

  UINT_PTR keeper = SetTimer(nullptr, 0, 50, nullptr);  // keeps the loop turning so the deadline is seen
  auto isOurs = [&](const MSG& m) { return m.message == WM_TIMER && m.hwnd == target && m.wParam == kTimer; };
  MSG msg{};
  bool fired = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fired && std::chrono::steady_clock::now() < deadline && GetMessageW(&msg, nullptr, 0, 0)) {
    DispatchMessageW(&msg);
    fired = isOurs(msg);
  }
  ASSERT_TRUE(fired) << "the timer never reached the window's loop";
  EXPECT_EQ(w.messages.back(), static_cast<UINT>(WM_TIMER)) << "dispatched to the window";

  BOOL killed = FALSE;
  std::thread([&] { killed = KillTimer(target, kTimer); }).join();
  EXPECT_TRUE(killed);
  // A 20 ms timer that survived would come due between any two ticks of the 50 ms keeper.
  int ticksAfterKill = 0;
  for (int keeperTicks = 0; keeperTicks < 3 && GetMessageW(&msg, nullptr, 0, 0);) {
    DispatchMessageW(&msg);
    if (isOurs(msg)) ++ticksAfterKill;
    if (msg.message == WM_TIMER && msg.wParam == keeper) ++keeperTicks;
  }
  EXPECT_EQ(ticksAfterKill, 0);
  KillTimer(nullptr, keeper);
}

TEST_F(WindowTest, FirstCloseWinsAndAWmCloseHandlerThatClosesAgainDoesNotRecurse) {
  Recorder w;
  w.closeAgainOnClose = true;
  ASSERT_NE(w.Create(nullptr, L"rec", WS_VISIBLE | WS_POPUP, 0, 0, 0, 50, 50), nullptr);
  w.Close(1);
  w.Close(2);
  EXPECT_EQ(w.ShowModal(), 1u);
  EXPECT_EQ(w.GetHWND(), nullptr);
}

TEST_F(WindowTest, DraggingTheCaptionMovesTheWindow) {
  Recorder w;
  w.captionEverywhere = true;
  ASSERT_NE(w.Create(nullptr, L"rec", WS_VISIBLE | WS_POPUP, 0, 100, 100, 100, 60), nullptr);
  SetTimer(w, 1, 50, nullptr);  // keeps the loop turning so the deadline is seen
  auto dragger = std::async(std::launch::async, [&] {
    xvfb_.Xdotool("mousemove --sync 120 110 mousedown 1");
    xvfb_.Xdotool("mousemove --sync 170 150");
    xvfb_.Xdotool("mousemove --sync 220 190 mouseup 1");
  });
  MSG msg;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((dragger.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready ||
          std::find(w.messages.begin(), w.messages.end(), static_cast<UINT>(WM_EXITSIZEMOVE)) == w.messages.end()) &&
         std::chrono::steady_clock::now() < deadline) {
    if (!GetMessageW(&msg, nullptr, 0, 0)) break;
    DispatchMessageW(&msg);
  }
  RECT rc{};
  GetWindowRect(w, &rc);
  EXPECT_EQ(rc.left, 200);
  EXPECT_EQ(rc.top, 180);
  EXPECT_TRUE(w.clicks.empty()) << "a caption press is a drag, not a click";
}

TEST_F(WindowTest, OwnedWindowsGoWithTheirOwner) {
  Recorder owner;
  ASSERT_NE(owner.Create(nullptr, L"owner", WS_VISIBLE | WS_POPUP, 0, 0, 0, 50, 50), nullptr);
  class Owned : public UiLib::CWindowWnd {
   protected:
    LPCTSTR GetWindowClassName() const override { return L"QelOwned"; }
  } owned;
  ASSERT_NE(owned.Create(owner, L"owned", WS_POPUP, 0, 0, 0, 10, 10), nullptr);
  HWND h = owned;
  EXPECT_EQ(GetParent(h), owner.GetHWND());
  DestroyWindow(owner);
  EXPECT_FALSE(IsWindow(h));
}

TEST(Gdi, RegionsAndBitmaps) {
  HRGN round = CreateRoundRectRgn(0, 0, 101, 101, 20, 20);
  EXPECT_TRUE(PtInRegion(round, 50, 50));
  EXPECT_TRUE(PtInRegion(round, 0, 50));
  EXPECT_FALSE(PtInRegion(round, 0, 0)) << "corners are cut";
  EXPECT_FALSE(PtInRegion(round, 99, 99));
  EXPECT_FALSE(PtInRegion(round, 100, 50)) << "right edge left out";
  EXPECT_TRUE(DeleteObject(round));
  EXPECT_FALSE(DeleteObject(round)) << "deleted twice";
  EXPECT_FALSE(PtInRegion(round, 50, 50));

  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  void* bits = reinterpret_cast<void*>(1);
  for (LONG w : {0, -4}) {
    bmi.bmiHeader.biWidth = w;
    bmi.bmiHeader.biHeight = 4;
    EXPECT_EQ(CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    EXPECT_EQ(bits, nullptr);
  }
  bmi.bmiHeader.biWidth = 1 << 20;
  bmi.bmiHeader.biHeight = 1 << 20;
  EXPECT_EQ(CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr) << "absurd size";
  bmi.bmiHeader.biWidth = 3;
  bmi.bmiHeader.biHeight = 2;
  HBITMAP dib = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(dib, nullptr);
  int w = 0, h = 0;
  EXPECT_EQ(qelui::DibBits(dib, &w, &h), bits);
  EXPECT_EQ(w * h, 6);
  EXPECT_EQ(static_cast<uint32_t*>(bits)[5], 0u) << "zero-filled";
  DeleteObject(dib);
}

TEST_F(WindowTest, LayeredWindowTakesBottomUpPixelsTopRowFirst) {
  auto lookup = reinterpret_cast<UpdateLayeredWindowFn>(
      GetProcAddress(GetModuleHandleW(L"USER32.DLL"), "UpdateLayeredWindow"));
  ASSERT_NE(lookup, nullptr) << "no 32-bit visual, or the function is not exported";
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = DefWindowProcW;
  wc.lpszClassName = L"QelLayeredProbe";
  RegisterClassExW(&wc);
  HWND hwnd = CreateWindowExW(WS_EX_LAYERED | WS_EX_TRANSPARENT, L"QelLayeredProbe", nullptr, WS_POPUP, 5, 5, 2, 2,
                              nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(hwnd, nullptr);
  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
  bmi.bmiHeader.biWidth = 2;
  bmi.bmiHeader.biHeight = 2;  // bottom-up
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  uint32_t* px = static_cast<uint32_t*>(bits);
  px[0] = 0x10000000;  // bottom row
  px[2] = 0x20000000;  // top row
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, dib);
  POINT pos{40, 30};
  SIZE size{2, 2};
  POINT src{0, 0};
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  ASSERT_TRUE(lookup(hwnd, nullptr, &pos, &size, dc, &src, 0, &blend, ULW_ALPHA));
  SIZE tooBig{3, 2};
  EXPECT_FALSE(lookup(hwnd, nullptr, &pos, &tooBig, dc, &src, 0, &blend, ULW_ALPHA)) << "beyond the bitmap";
  int w = 0, h = 0;
  std::vector<uint32_t> out;
  ASSERT_TRUE(qelui::LayeredPixels(hwnd, &w, &h, &out));
  EXPECT_EQ(out[0], 0x20000000u);
  EXPECT_EQ(out[2], 0x10000000u);
  RECT rc{};
  GetWindowRect(hwnd, &rc);
  EXPECT_EQ(rc.left, 40);
  EXPECT_EQ(rc.top, 30);
  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(dib);
  DestroyWindow(hwnd);
}

}  // namespace
