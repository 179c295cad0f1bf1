// The update prompt on a real X server (Xvfb), clicked with xdotool: results of each button, the
// auto-close of an optional prompt, a forced prompt that neither offers a close button nor closes itself,
// two prompts on two threads, and a screenshot checked for placement and drawn texts.
// Not covered here: the fade's opacity steps (no compositing manager under Xvfb).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "MessageDialog.h"
#include "qelplat/codepage.h"
#include "test_support.h"
#include "close_request.h"
#include "xvfb.h"

namespace {

const int kScreenW = 1024;
const int kScreenH = 768;

class PromptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfb_.ok()) GTEST_SKIP() << "Xvfb not available";
    display_ = std::make_unique<qeltest::EnvGuard>("DISPLAY", xvfb_.display().c_str());
    UiLib::CPaintManagerUI::SetResourcePath(qelplat::Utf8ToWide(QEL_BIN_DIR).c_str());
    LayoutSkin();
  }

  // Where the skin puts its controls, from the skin itself.
  void LayoutSkin() {
    UiLib::CDialogBuilder builder;
    UiLib::CControlUI* root = builder.Create(L"Skin\\MessageBoxDialog.xml", nullptr, nullptr, &skin_, nullptr);
    ASSERT_NE(root, nullptr) << builder.GetLastErrorMessage().ToUtf8();
    skin_.AttachDialog(root);
    size_ = skin_.GetInitSize();
    root->SetPos(RECT{0, 0, size_.cx, size_.cy});
  }

  // Screen point at the centre of a control of the prompt, which sits at the bottom-right corner.
  POINT Centre(const wchar_t* name) {
    UiLib::CControlUI* control = skin_.FindControl(name);
    EXPECT_NE(control, nullptr);
    if (!control) return POINT{0, 0};
    const RECT& rc = control->GetPos();
    return POINT{kScreenW - size_.cx + (rc.left + rc.right) / 2, kScreenH - size_.cy + (rc.top + rc.bottom) / 2};
  }

  bool ClickOn(const wchar_t* name) {
    POINT pt = Centre(name);
    return xvfb_.Click(pt.x, pt.y);
  }

  static std::future<unsigned> ShowAsync(int mode, DWORD autoCloseMs = 15000, int lines = 2) {
    return std::async(std::launch::async, [=] {
      CMessageDialog dialog;
      dialog.SetProductName(L"Qel Writer");
      dialog.SetOldVersion(L"1.0.0");
      dialog.SetNewVersion(L"1.2.0");
      dialog.SetUpdateTime(L"2026-12-01");
      for (int i = 1; i <= lines; ++i) dialog.AddContentLine((L"note " + std::to_wstring(i)).c_str());
      dialog.SetAutoCloseDelayForTest(autoCloseMs);
      return dialog.ShowDialog(mode, L"版本升级提示");
    });
  }

  // The prompt is mapped first and placed right after; clicks must wait for the placement.
  bool WaitForCorner(const std::string& id, int dx = 0, int dy = 0) {
    std::string wanted = "Position: " + std::to_string(kScreenW - size_.cx + dx) + "," +
                         std::to_string(kScreenH - size_.cy + dy);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      std::string geometry;
      xvfb_.Xdotool("getwindowgeometry " + id, &geometry);
      if (geometry.find(wanted) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string WaitForPrompt() {
    std::string id = xvfb_.WaitForWindowClass("UIMessageDialog");
    return !id.empty() && WaitForCorner(id) ? id : std::string();
  }

  qeltest::XvfbServer xvfb_;
  std::unique_ptr<qeltest::EnvGuard> display_;
  UiLib::CPaintManagerUI skin_;
  SIZE size_{};
};

struct ButtonCase {
  int mode;
  const wchar_t* button;
  unsigned result;
};

TEST_F(PromptTest, EachButtonGivesItsResult) {
  const ButtonCase cases[] = {
      {1, L"okbtn", 1},
      {1, L"cancelbtn", 2},
      {1, L"closebtn", 2},
      {0, L"okbtn", 1},
      {0, L"cancelbtn", 2},
  };
  for (const ButtonCase& c : cases) {
    SCOPED_TRACE(qelplat::WideToUtf8(c.button) + " mode " + std::to_string(c.mode));
    auto result = ShowAsync(c.mode);
    ASSERT_FALSE(WaitForPrompt().empty());
    ASSERT_TRUE(ClickOn(c.button));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), c.result);
  }
}

TEST_F(PromptTest, WindowDestroyedFromOutsideEndsThePromptWithoutInstall) {
  auto result = ShowAsync(0);
  std::string id = WaitForPrompt();
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(xvfb_.Xdotool("windowclose " + id), 0) << "xdotool could not close the window";
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  // xdotool's windowclose destroys the window outright: no button, no close request, so no install.
  EXPECT_EQ(result.get(), 0u);
}

TEST_F(PromptTest, WindowManagerCloseRequestGivesTwoEvenWhenForced) {
  auto result = ShowAsync(0);
  std::string id = WaitForPrompt();
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(SendCloseRequest(xvfb_.display(), std::stoul(id)));
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), 2u);
}

TEST_F(PromptTest, TheTitleDragsThePromptAndItsButtonsStillWork) {
  auto result = ShowAsync(1);
  std::string id = WaitForPrompt();
  ASSERT_FALSE(id.empty());
  POINT title = Centre(L"lbTitle");
  xvfb_.Xdotool("mousemove --sync " + std::to_string(title.x) + " " + std::to_string(title.y) + " mousedown 1");
  xvfb_.Xdotool("mousemove --sync " + std::to_string(title.x - 200) + " " + std::to_string(title.y - 100));
  xvfb_.Xdotool("mouseup 1");
  EXPECT_TRUE(WaitForCorner(id, -200, -100));
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout) << "a drag is no click";
  POINT ok = Centre(L"okbtn");
  ASSERT_TRUE(xvfb_.Click(ok.x - 200, ok.y - 100));
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), 1u);
}

TEST_F(PromptTest, OptionalPromptClosesItselfWithTwo) {
  auto result = ShowAsync(1, /*autoCloseMs=*/1);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), 2u);
}

TEST_F(PromptTest, ForcedPromptHasNoCloseButtonAndNeverClosesItself) {
  auto result = ShowAsync(0, /*autoCloseMs=*/1);
  ASSERT_FALSE(WaitForPrompt().empty());
  // The close button's place is plain caption now: clicking it does nothing.
  ASSERT_TRUE(ClickOn(L"closebtn"));
  // Several timer periods later the prompt is still waiting for the user.
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
  ASSERT_TRUE(ClickOn(L"okbtn"));
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), 1u);
}

TEST_F(PromptTest, TwoPromptsOnTwoThreadsRunIndependently) {
  auto first = ShowAsync(0);
  auto second = ShowAsync(0);
  // Both sit at the same corner; whichever is on top takes each click.
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    xvfb_.Xdotool("search --onlyvisible --class '^UIMessageDialog$'", &out);
    if (std::count(out.begin(), out.end(), '\n') >= 2 || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GE(std::count(out.begin(), out.end(), '\n'), 2) << out;
  std::istringstream ids(out);
  for (std::string id; std::getline(ids, id);) ASSERT_TRUE(WaitForCorner(id));
  ASSERT_TRUE(ClickOn(L"okbtn"));
  auto deadline2 = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (first.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
         second.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
         std::chrono::steady_clock::now() < deadline2)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(ClickOn(L"cancelbtn"));
  ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ASSERT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  std::multiset<unsigned> results{first.get(), second.get()};
  EXPECT_EQ(results, (std::multiset<unsigned>{1, 2}));
}

TEST_F(PromptTest, ScreenshotShowsThePromptAtTheCornerWithItsTexts) {
  qeltest::TempDir dir("prompt");
  auto result = ShowAsync(0, 15000, 7);
  std::string id = WaitForPrompt();
  ASSERT_FALSE(id.empty());
  std::string geometry;
  xvfb_.Xdotool("getwindowgeometry " + id, &geometry);
  EXPECT_NE(geometry.find("Position: " + std::to_string(kScreenW - size_.cx) + "," +
                          std::to_string(kScreenH - size_.cy)),
            std::string::npos)
      << geometry;
  EXPECT_NE(geometry.find("Geometry: " + std::to_string(size_.cx) + "x" + std::to_string(size_.cy)),
            std::string::npos)
      << geometry;

  std::string png = dir.file("prompt.png");
  auto textDrawn = [&](const wchar_t* name) {
    const RECT& rc = skin_.FindControl(name)->GetPos();
    return qeltest::DarkestIn(png, kScreenW - size_.cx + rc.left, kScreenH - size_.cy + rc.top, rc.right - rc.left,
                              rc.bottom - rc.top) < 0.6;
  };
  // The first paint may still be on its way: waited for as long as every other wait here.
  qeltest::WaitUntil([&] { return xvfb_.Screenshot(png) && textDrawn(L"textProductName"); }, std::chrono::seconds(10),
                     std::chrono::milliseconds(50));
  for (const wchar_t* name : {L"textProductName", L"textProductVersion", L"textUpdateTime", L"textUpdateContent1",
                              L"textUpdateContent5", L"okbtn"})
    EXPECT_TRUE(textDrawn(name)) << qelplat::WideToUtf8(name);
  // Outside the prompt the screen is untouched (black); the caption band has the skin's colour.
  EXPECT_EQ(qeltest::PixelAt(png, kScreenW - size_.cx - 20, kScreenH - size_.cy - 20), "0,0,0");
  EXPECT_EQ(qeltest::PixelAt(png, kScreenW - size_.cx + 100, kScreenH - size_.cy + 4), "43,108,196");
  ASSERT_TRUE(ClickOn(L"cancelbtn"));
  EXPECT_EQ(result.get(), 2u);
}

TEST_F(PromptTest, WithoutItsSkinThePromptStillEndsButNeverWithOk) {
  qeltest::TempDir empty("noskin");
  UiLib::CPaintManagerUI::SetResourcePath(qelplat::Utf8ToWide(empty.path()).c_str());
  auto timedOut = ShowAsync(1, /*autoCloseMs=*/1);
  ASSERT_EQ(timedOut.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(timedOut.get(), 2u);

  auto closed = ShowAsync(0);
  std::string id = xvfb_.WaitForWindowClass("UIMessageDialog");
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(SendCloseRequest(xvfb_.display(), std::stoul(id)));
  ASSERT_EQ(closed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(closed.get(), 2u);
}

TEST(PromptWithoutDisplay, ShowReturnsZeroAtOnce) {
  qeltest::EnvGuard display("DISPLAY", nullptr);
  CMessageDialog dialog;
  dialog.AddContentLine(L"note");
  EXPECT_EQ(dialog.ShowDialog(1, L"版本升级提示"), 0u);
}

}  // namespace
