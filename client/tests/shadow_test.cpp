// The drop shadow on a real X server: image size and placement, the kernel's alpha at the edges, the
// transparent part under the parent, following the parent through move, minimise and restore, and sizes
// that leave nothing to draw. Pixels are read back from the layered window (Xvfb has no compositor).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ShadowWnd.h"
#include "test_support.h"
#include "xvfb.h"

namespace {

class PlainWindow : public UiLib::CWindowWnd {
 protected:
  LPCTSTR GetWindowClassName() const override { return L"QelTestPlainWindow"; }
};

const int kW = 200;
const int kH = 120;

class ShadowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfb_.ok()) GTEST_SKIP() << "Xvfb not available";
    display_ = std::make_unique<qeltest::EnvGuard>("DISPLAY", xvfb_.display().c_str());
    CShadowWnd::Initialize(UiLib::CPaintManagerUI::GetInstance());
    ASSERT_TRUE(parent_.Create(nullptr, L"parent", WS_POPUP, 0, 100, 100, kW, kH));
    SetWindowRgn(parent_, CreateRectRgn(0, 0, kW, kH), FALSE);
    ShowWindow(parent_, SW_SHOWNA);
  }

  // The prompt's settings: darkness 150, sharpness 5, size 4, offsets 1 and 1.
  void CreatePromptShadow() {
    shadow_.Create(parent_);
    ASSERT_NE(shadow_.GetShadowWindow(), nullptr) << "no 32-bit visual on the test server";
    shadow_.SetSize(4);
    shadow_.SetPosition(1, 1);
  }

  bool Pixels() { return qelui::LayeredPixels(shadow_.GetShadowWindow(), &bw_, &bh_, &pixels_); }
  uint32_t At(int x, int y) const { return pixels_[static_cast<size_t>(y) * bw_ + x]; }

  qeltest::XvfbServer xvfb_;
  std::unique_ptr<qeltest::EnvGuard> display_;
  PlainWindow parent_;
  CShadowWnd shadow_;
  int bw_ = 0;
  int bh_ = 0;
  std::vector<uint32_t> pixels_;
};

TEST_F(ShadowTest, PromptSettingsGiveTheDocumentedImage) {
  CreatePromptShadow();
  ASSERT_TRUE(Pixels());
  EXPECT_EQ(bw_, kW + 8);
  EXPECT_EQ(bh_, kH + 8);
  RECT rc{};
  GetWindowRect(shadow_.GetShadowWindow(), &rc);
  EXPECT_EQ(rc.left, 97);
  EXPECT_EQ(rc.top, 97);

  struct Expect {
    int x, y;
    uint32_t pixel;
  };
  const Expect cases[] = {
      {0, 0, 0},                          // corner: beyond the kernel
      {2, 64, 75u << 24},                 // three pixels left of the left edge stamps
      {kW + 5, 64, 75u << 24},            // three pixels right of the right edge stamps
      {100, 2, 75u << 24},                // above the top edge
      {100, kH + 5, 75u << 24},           // below the bottom edge
      {100, kH + 7, 24u << 24},           // five pixels out: (1 - 5/6) * 150 truncated
      {100, 64, 0},                       // under the parent: clear
      {5, 64, 0},                         // the parent covers the edge stamp itself
  };
  for (const Expect& e : cases)
    EXPECT_EQ(At(e.x, e.y), e.pixel) << "pixel " << e.x << "," << e.y;
}

TEST_F(ShadowTest, SizeAboveSharpnessHasASolidCore) {
  shadow_.SetSharpness(2);
  shadow_.SetSize(8);
  shadow_.Create(parent_);
  ASSERT_NE(shadow_.GetShadowWindow(), nullptr);
  shadow_.SetPosition(1, 1);
  ASSERT_TRUE(Pixels());
  EXPECT_EQ(bw_, kW + 16);
  EXPECT_EQ(At(3, 64), 150u << 24);  // distance 5, inside the core of radius 6
  EXPECT_EQ(At(1, 64), 100u << 24);  // distance 7: one pixel into the fade of width 3
}

TEST_F(ShadowTest, FollowsTheParent) {
  CreatePromptShadow();
  HWND shadow = shadow_.GetShadowWindow();
  EXPECT_TRUE(IsWindowVisible(shadow));

  SetWindowPos(parent_, nullptr, 300, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  RECT rc{};
  GetWindowRect(shadow, &rc);
  EXPECT_EQ(rc.left, 297);
  EXPECT_EQ(rc.top, 197);

  ShowWindow(parent_, SW_MINIMIZE);
  EXPECT_FALSE(IsWindowVisible(shadow));
  ShowWindow(parent_, SW_RESTORE);
  EXPECT_TRUE(IsWindowVisible(shadow));

  ShowWindow(parent_, SW_HIDE);
  EXPECT_FALSE(IsWindowVisible(shadow));

  DestroyWindow(parent_);
  EXPECT_FALSE(IsWindow(shadow));
}

TEST_F(ShadowTest, ShapesAndSizesThatLeaveLittleOrNothingToDraw) {
  CreatePromptShadow();
  ASSERT_TRUE(Pixels());
  std::vector<uint32_t> before = pixels_;

  // Larger negative than the parent: no image at all, the last one stays.
  EXPECT_TRUE(shadow_.SetSize(-128));
  ASSERT_TRUE(Pixels());
  EXPECT_EQ(pixels_, before);

  // Negative sizes, a rounded outline and a region with holes must render inside the image's bounds.
  for (int size : {-50, -3, 0, 9}) {
    SetWindowRgn(parent_, CreateRoundRectRgn(0, 0, kW + 1, kH + 1, 40, 40), FALSE);
    EXPECT_TRUE(shadow_.SetSize(size));
    ASSERT_TRUE(Pixels());
    EXPECT_EQ(bw_, kW + 2 * size);
  }
  SetWindowRgn(parent_, nullptr, FALSE);
  shadow_.SetSize(4);
  ASSERT_TRUE(Pixels());
  for (uint32_t p : pixels_) ASSERT_EQ(p, 0u) << "a parent without a region casts no shadow";
}

}  // namespace
