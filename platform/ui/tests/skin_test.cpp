// Skins without a window: string formatting with the Windows wide rules, XML parsing, the control tree
// the builder makes (names, classes, attributes, layout) and its refusal of broken or hostile files.
#include <gtest/gtest.h>

#include <string>

#include "UIlib.h"
#include "qelplat/codepage.h"
#include "test_support.h"

#include <sys/stat.h>

namespace {

using UiLib::CControlUI;
using UiLib::CDialogBuilder;
using UiLib::CDuiString;
using UiLib::CPaintManagerUI;

TEST(DuiString, FormatReadsWideArgumentsForPercentS) {
  CDuiString s;
  EXPECT_EQ(s.Format(L"%s->%s", L"1.0.0", L"2.0.0"), 12);
  EXPECT_EQ(s, L"1.0.0->2.0.0");
  s.Format(L"textUpdateContent%d", 5);
  EXPECT_EQ(s, L"textUpdateContent5");
  s.Format(L"[%5s|%-3s|%c|%%|%ls]", L"ab", L"x", L'版', L"wide");
  EXPECT_EQ(s, L"[   ab|x  |版|%|wide]");
  s.Format(L"%s", std::wstring(100000, L'a').c_str());
  EXPECT_EQ(s.GetLength(), 100000);
  s.Format(nullptr);
  EXPECT_TRUE(s.IsEmpty());
}

TEST(DuiString, ComparesAndConverts) {
  CDuiString s(L"OkBtn");
  EXPECT_TRUE(s == L"OkBtn");
  EXPECT_TRUE(s != L"okbtn");
  EXPECT_EQ(s.CompareNoCase(L"OKBTN"), 0);
  EXPECT_TRUE(CDuiString(nullptr) == L"");
  EXPECT_EQ(CDuiString(L"版本").ToUtf8(), "版本");
  EXPECT_EQ(CDuiString(L"abcdef", 3), L"abc");
}

const wchar_t* kSkin = LR"(<?xml version="1.0" encoding="utf-8"?>
<Window size="300,200" caption="0,0,0,30" roundcorner="4,4">
  <Font id="0" name="WenQuanYi Micro Hei" size="13" bold="true"/>
  <VerticalLayout name="root" inset="10,5,10,5" childpadding="4" bkcolor="#FF112233">
    <HorizontalLayout name="bar" height="30" childpadding="6">
      <Label name="title" text="标题"/>
      <Button name="close" width="20"/>
    </HorizontalLayout>
    <Text name="body"/>
    <Mystery name="skipped"/>
    <Option name="opt" height="20" width="50" padding="3,0,0,2"/>
    <Control name="floating" float="true" pos="250,150,290,190"/>
  </VerticalLayout>
</Window>)";

class SkinTest : public ::testing::Test {
 protected:
  CControlUI* Build(const wchar_t* xml) {
    CDialogBuilder builder;
    CControlUI* root = builder.Create(xml, nullptr, nullptr, &pm_, nullptr);
    error_ = builder.GetLastErrorMessage().ToUtf8();
    if (root) pm_.AttachDialog(root);
    return root;
  }
  RECT Pos(const wchar_t* name) {
    CControlUI* c = pm_.FindControl(name);
    EXPECT_NE(c, nullptr) << qelplat::WideToUtf8(name);
    return c ? c->GetPos() : RECT{-1, -1, -1, -1};
  }

  CPaintManagerUI pm_;
  std::string error_;
};

bool Same(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST_F(SkinTest, BuildsTheTreeWithItsWindowSettingsAndLayout) {
  CControlUI* root = Build(kSkin);
  ASSERT_NE(root, nullptr) << error_;
  EXPECT_EQ(pm_.GetInitSize().cx, 300);
  EXPECT_EQ(pm_.GetInitSize().cy, 200);
  EXPECT_EQ(pm_.GetCaptionRect().bottom, 30);
  ASSERT_NE(pm_.GetFont(0), nullptr);
  EXPECT_TRUE(pm_.GetFont(0)->bold);

  struct {
    const wchar_t* name;
    const wchar_t* cls;
  } classes[] = {{L"root", L"VerticalLayoutUI"}, {L"bar", L"HorizontalLayoutUI"}, {L"title", L"LabelUI"},
                 {L"close", L"ButtonUI"},        {L"body", L"TextUI"},             {L"opt", L"OptionUI"},
                 {L"floating", L"ControlUI"}};
  for (const auto& c : classes) {
    CControlUI* control = pm_.FindControl(c.name);
    ASSERT_NE(control, nullptr) << qelplat::WideToUtf8(c.name);
    EXPECT_EQ(CDuiString(control->GetClass()), c.cls);
  }
  EXPECT_EQ(pm_.FindControl(L"skipped"), nullptr);
  EXPECT_EQ(pm_.FindControl(L"nothing"), nullptr);
  EXPECT_EQ(pm_.FindControl(nullptr), nullptr);
  EXPECT_EQ(pm_.FindControl(L"title")->GetText(), L"标题");

  root->SetPos(RECT{0, 0, 300, 200});
  // Inner area 10..290 x 5..195; rows: bar 30, body the rest, opt 20 (left 3, bottom 2 padding), 4 between rows.
  EXPECT_TRUE(Same(Pos(L"bar"), RECT{10, 5, 290, 35}));
  EXPECT_TRUE(Same(Pos(L"close"), RECT{270, 5, 290, 35}));
  EXPECT_TRUE(Same(Pos(L"title"), RECT{10, 5, 264, 35}));
  EXPECT_TRUE(Same(Pos(L"body"), RECT{10, 39, 290, 169}));
  EXPECT_TRUE(Same(Pos(L"opt"), RECT{13, 173, 63, 193}));
  EXPECT_TRUE(Same(Pos(L"floating"), RECT{250, 150, 290, 190}));

  // Hit testing finds the innermost visible control; hidden ones drop out of the layout.
  EXPECT_EQ(pm_.FindControl(POINT{280, 20}), pm_.FindControl(L"close"));
  EXPECT_EQ(pm_.FindControl(POINT{260, 160}), pm_.FindControl(L"floating"));
  EXPECT_EQ(pm_.FindControl(POINT{5, 100}), root);
  EXPECT_EQ(pm_.FindControl(POINT{400, 100}), nullptr);
  pm_.FindControl(L"bar")->SetVisible(false);
  root->SetPos(RECT{0, 0, 300, 200});
  EXPECT_EQ(Pos(L"body").top, 5);
  EXPECT_EQ(pm_.FindControl(POINT{280, 20}), pm_.FindControl(L"body"));
}

TEST_F(SkinTest, BrokenMissingOrHostileSkinsGiveNoRoot) {
  const wchar_t* broken[] = {
      L"<Window><VerticalLayout>",
      L"<Window size=\"10,10\"/>",
      L"<Window><Nothing/></Window>",
      L"",
      L"Skin\\DoesNotExist.xml",
      L"/nonexistent/skin.xml",
  };
  for (const wchar_t* xml : broken) {
    EXPECT_EQ(Build(xml), nullptr) << qelplat::WideToUtf8(xml);
    EXPECT_FALSE(error_.empty());
  }
  EXPECT_EQ(pm_.FindControl(L"okbtn"), nullptr);
}

TEST_F(SkinTest, DeepNestingStopsInsteadOfExhaustingTheStack) {
  std::wstring xml = L"<Window>";
  for (int i = 0; i < 20000; ++i) xml += L"<Container>";
  xml += L"<Button name=\"deep\"/>";
  for (int i = 0; i < 20000; ++i) xml += L"</Container>";
  xml += L"</Window>";
  ASSERT_NE(Build(xml.c_str()), nullptr) << error_;
  EXPECT_EQ(pm_.FindControl(L"deep"), nullptr);
}

// Found by the skin fuzzer: extreme numbers overflowed the layout arithmetic.
TEST_F(SkinTest, ExtremeNumbersAreClampedBeforeLayout) {
  CControlUI* root = Build(LR"(<Window><HorizontalLayout inset="-2147483648,0,2147483647,0" childpadding="99999999999">
      <Button name="a" width="2147483647" padding="-2147483648,-2147483648,2147483647,2147483647"/>
      <Button name="b" pos="-2147483648,0,2147483647,10" float="true"/>
    </HorizontalLayout></Window>)");
  ASSERT_NE(root, nullptr) << error_;
  root->SetPos(RECT{0, 0, 400, 300});
  EXPECT_LE(Pos(L"a").right, 200000);
  EXPECT_GE(Pos(L"b").left, -200000);
  EXPECT_EQ(pm_.FindControl(POINT{200, 5}), pm_.FindControl(L"b"));
}

TEST_F(SkinTest, SkinFilesResolveAgainstTheResourceFolder) {
  qeltest::TempDir dir("skin");
  ::mkdir(dir.file("Skin").c_str(), 0700);
  qeltest::WriteFile(dir.file("Skin/x.xml"), "<Window><Button name=\"b\"/></Window>");
  CPaintManagerUI::SetResourcePath(qelplat::Utf8ToWide(dir.path()).c_str());
  EXPECT_NE(Build(L"Skin\\x.xml"), nullptr) << error_;
  EXPECT_NE(pm_.FindControl(L"b"), nullptr);
  CPaintManagerUI::SetResourcePath(L"");
}

}  // namespace
